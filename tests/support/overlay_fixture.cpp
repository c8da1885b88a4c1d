#include "overlay_fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "esm_version.h"

namespace overlay {

namespace {

// Waits until child's standard error holds text; otherwise fails the running test.
void expectStarted(const testutil::Child& child, const std::string& text, const char* what) {
    if (!testutil::waitFor([&] { return child.err().find(text) != std::string::npos; })) {
        ADD_FAILURE() << what << " did not start: " << child.err();
    }
}

}  // namespace

std::string Net::at(int host) const {
    return "127.0." + std::to_string(n) + "." + std::to_string(host);
}

DirectoryAgent::DirectoryAgent(const std::string& addr, const std::string& dir,
                               const std::string& reg)
    : mAddr(addr) {
    const std::string regPath = dir + "/slp.reg";
    spit(regPath, reg);
    mChild = std::make_unique<testutil::Child>(
        SLP_DA_PATH, std::vector<std::string>{"--listen", addr + ":0", "--reg", regPath});
    // The first line names the port it picked: "listening on ADDR:PORT ...".
    const std::string listening = "listening on " + addr + ":";
    expectStarted(*mChild, listening, "slp-da");
    const std::string first = mChild->err();
    const size_t at = first.find(listening);
    if (at != std::string::npos) {
        mPort = static_cast<uint16_t>(atoi(first.c_str() + at + listening.size()));
    }
}

std::vector<std::string> DirectoryAgent::queries() const {
    std::vector<std::string> out;
    for (const std::string& l : grep(log(), " SrvRqst type=")) {
        const size_t from = l.find("type=");
        const size_t urls = l.find(" urls=", from);
        const size_t end = l.find(' ', urls + 1);
        out.push_back(l.substr(from, (end == std::string::npos ? l.size() : end) - from));
    }
    return out;
}

ProxySim::ProxySim(const std::string& addr, uint16_t port, const std::string& fault)
    : mAddr(addr), mPort(port) {
    std::vector<std::string> args{addr, std::to_string(port)};
    if (!fault.empty()) args.push_back(fault);
    mChild = std::make_unique<testutil::Child>(PROXY_SIM_PATH, args);
    expectStarted(*mChild, "listening", "esm-proxy-sim");
}

Monitor::Monitor(const std::string& addr) {
    mChild = std::make_unique<testutil::Child>(GNP_MONITOR_PATH, std::vector<std::string>{addr});
    expectStarted(*mChild, "listening", "gnp-monitor");
}

ConfigDir::ConfigDir(const std::string& coords) {
    spit(mDir.file("gnp.coords"), coords);
    mkdir(mDir.file("abone").c_str(), 0755);
    const std::string loader = mDir.file("abone/sc.linux");
    spit(loader, slurp(NODE_LOADER_STUB));
    chmod(loader.c_str(), 0755);
}

std::vector<std::string> ConfigDir::loaderCalls() const {
    return lines(slurp(mDir.file("abone/calls.log")));
}

std::string reg(const std::string& url, const std::vector<std::string>& attrs) {
    std::string r = url + ",en,65535\n";
    for (const std::string& a : attrs) r += a + "\n";
    return r + "\n";
}

std::string proxyReg(const ProxySim& sim, const std::string& addr, const std::string& mask) {
    return reg(sim.url(), {"addr=" + addr, "mask=" + mask});
}

std::string computeReg(const std::string& url) {
    return reg(url, {"x-GNP-num=1", "x-GNP-clients=12.5 -3.0 7.25"});
}

Daemon::Daemon(const std::string& daArg, const std::vector<std::string>& env)
    : mPort(testutil::freePort()) {
    mChild = std::make_unique<testutil::Child>(
        ESM_SYNTHD_PATH, std::vector<std::string>{std::to_string(mPort), daArg}, env);
    expectStarted(*mChild, "Listening on port", "esm-synthd");
}

std::string post(uint16_t port, const std::string& body, int timeoutMs) {
    int s = testutil::connectTo("127.0.0.1", port);
    if (s < 0) return "";
    const std::string uri = "http://127.0.0.1:" + std::to_string(port) + "/query";
    std::string resp;
    if (testutil::sendAll(s, testutil::postRequest(uri, body)))
        resp = testutil::readAll(s, timeoutMs);
    close(s);
    return resp;
}

std::string daemonStartLines(unsigned port, const std::string& daArg, const std::string& metrics) {
    return std::string("esm-synthd ") + ESM_VERSION + ": port " + std::to_string(port) +
           ", Directory Agents " + daArg + ", metrics " + metrics + "\nListening on port " +
           std::to_string(port) + "\n";
}

}  // namespace overlay
