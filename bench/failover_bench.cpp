// Time to answer a SynthESMReq when the first of two Directory Agents is silent (a UDP socket
// that takes the requests and never answers) and the second, slp-da, is healthy, against the
// same daemon given the healthy agent alone. Every proxy is an esm-proxy-sim registered with
// slp-da. Each row starts a fresh esm-synthd, so its first request meets an agent the daemon
// knows nothing about yet; the requests after it show what the daemon learned.
//
//   failover_bench [--endpoints 1,5,50] [--then N] [--retry] [--daemon PATH]
//
// --then N    requests after the first (default 3; their median is printed)
// --retry     for the last row, also waits out the hold-down (31 s) and posts once more
// --daemon    another esm-synthd binary, for instance one built before a change
//
// Output: one line per row,
//   failover endpoints=N das=<silent+healthy|healthy> first_ms=F then_ms=T silent_datagrams=D
// with first_ms=failed when the daemon gave no SynthESMOk (the client waits at most 60 s).
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EndPoint.h"
#include "Msg.h"
#include "bench_util.h"
#include "http.h"
#include "slp_test_util.h"

namespace {

using bench::Clock;

const char* const kNet = "127.0.198.";  // the benchmark's own addresses: proxies at .10 and up
const std::string kSilentAddr = std::string(kNet) + "2";
const std::string kDaAddr = std::string(kNet) + "3";

std::string endpointAddr(int i) {
    return "10.198." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

// The daemon's answer time in ms, or -1 unless it is a SynthESMOk with one transport per
// endpoint.
double timeRequest(uint16_t port, int endpoints) {
    std::vector<EndPoint> epv;
    for (int i = 0; i < endpoints; ++i) epv.emplace_back(inet_ADDR(endpointAddr(i).c_str()));
    std::vector<EndZone> zones;
    SynthESMReq req(Msg::generateId(), Msg::generateVersion(), epv, zones);
    const Clock::time_point t = Clock::now();
    std::unique_ptr<Msg> reply(getResponseMsg(sendRequestMsg("127.0.0.1", port, &req)));
    const double ms = bench::msSince(t);
    auto* ok = dynamic_cast<SynthESMOk*>(reply.get());
    return ok != nullptr && ok->getEPTVec().size() == static_cast<size_t>(endpoints) ? ms : -1;
}

std::string msText(double ms) {
    char buf[32];
    if (ms < 0) return "failed";
    snprintf(buf, sizeof buf, "%.1f", ms);
    return buf;
}

struct Options {
    std::vector<int> endpoints = {1, 5, 50};
    int then = 3;
    bool retry = false;
    std::string daemon = ESM_SYNTHD_PATH;
};

bool parseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--retry") {
            o->retry = true;
        } else if (i + 1 < argc && a == "--then") {
            o->then = atoi(argv[++i]);
        } else if (i + 1 < argc && a == "--daemon") {
            o->daemon = argv[++i];
        } else if (i + 1 < argc && a == "--endpoints") {
            o->endpoints.clear();
            for (const char* p = argv[++i]; *p != '\0';) {
                char* end = nullptr;
                const long n = strtol(p, &end, 10);
                if (end == p || n < 1 || n > 240) return false;
                o->endpoints.push_back(static_cast<int>(n));
                p = *end == ',' ? end + 1 : end;
                if (*end != ',' && *end != '\0') return false;
            }
        } else {
            return false;
        }
    }
    // The daemon ends after its 101st answered request: stay well below.
    return !o->endpoints.empty() && o->then >= 0 && o->then <= 90;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArgs(argc, argv, &opt)) {
        fputs(
            "usage: failover_bench [--endpoints N[,N...]] [--then 0..90] [--retry] "
            "[--daemon PATH]\n",
            stderr);
        return 2;
    }
    bench::TempDir dir;
    if (!bench::setUp(dir)) return 1;
    int most = 0;
    for (int n : opt.endpoints) most = n > most ? n : most;

    bench::ProxyOverlay overlay;
    if (!bench::startProxyOverlay(dir, kNet, most, endpointAddr, {"--quiet"}, kDaAddr,
                                  "failover_bench", &overlay)) {
        return 1;
    }
    const std::string healthy = overlay.daArg;
    slptest::SilentAgent silent(kSilentAddr.c_str());
    if (silent.da().substr(silent.da().rfind(':')) == ":0") {
        perror("failover_bench: silent agent");
        return 1;
    }
    xmlInitParser();

    for (size_t row = 0; row < opt.endpoints.size() * 2; ++row) {
        const int n = opt.endpoints[row / 2];
        const bool withSilent = row % 2 == 0;
        const bool lastCount = row / 2 + 1 == opt.endpoints.size();
        const uint16_t port = bench::freePort();
        const std::string log = dir.file("daemon" + std::to_string(row));
        const std::unique_ptr<bench::Proc> daemon = bench::startDaemon(
            "failover_bench", opt.daemon, port, withSilent ? silent.da() + "," + healthy : healthy,
            log + ".out", log + ".err");
        if (!daemon) return 1;
        silent.drain();
        const double first = timeRequest(port, n);
        std::vector<double> then;
        for (int k = 0; k < opt.then && first >= 0; ++k) then.push_back(timeRequest(port, n));
        bool thenFailed = false;
        for (double ms : then) thenFailed = thenFailed || ms < 0;
        printf("failover endpoints=%d das=%s first_ms=%s then_ms=%s silent_datagrams=%d\n", n,
               withSilent ? "silent+healthy" : "healthy", msText(first).c_str(),
               then.empty() ? "-" : msText(thenFailed ? -1 : bench::median(then)).c_str(),
               withSilent ? silent.drain() : 0);
        if (withSilent && lastCount && opt.retry && first >= 0) {
            // The hold-down (30 s by default) runs out: one request asks the silent agent again.
            std::this_thread::sleep_for(std::chrono::seconds(31));
            const double again = timeRequest(port, n);
            const int asked = silent.drain();
            const double after = timeRequest(port, n);
            printf(
                "failover endpoints=%d das=silent+healthy after_holddown_ms=%s "
                "silent_datagrams=%d next_ms=%s silent_datagrams=%d\n",
                n, msText(again).c_str(), asked, msText(after).c_str(), silent.drain());
        }
    }
    return 0;
}
