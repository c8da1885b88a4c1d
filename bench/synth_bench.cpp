// Time to answer a SynthESMReq with N endpoints (default 50) whose proxies are N proxy
// simulators on distinct loopback addresses, registered in the Directory Agent, against the
// limit: the same N SLP lookups and 2N HTTP exchanges (ESMInit, then ESMCommit with the same
// member lists) made back to back by a minimal client over the same client libraries, in the
// same run, the two alternating in order.
//
//   synth_bench [--runs R] [--endpoints N]
//
// Output: one line per run, then
//   synth endpoints=N runs=R daemon_ms=<median> client_ms=<median> ratio=<daemon/client>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "EndPoint.h"
#include "Msg.h"
#include "SLP.h"
#include "bench_util.h"
#include "http.h"

namespace {

using bench::Clock;

const char* const kScope = "default";
const char* const kNet = "127.0.199.";  // the benchmark's own addresses: proxies at .10 and up
const unsigned short kDataPort = 7560;

struct Peer {
    std::string addr;
    uint16_t port = 0;
};

std::string endpointAddr(int i) {
    return "10.200." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

// The daemon's answer; false unless it is a SynthESMOk with one transport per endpoint.
bool askDaemon(uint16_t port, SynthESMReq& req, size_t endpoints) {
    std::unique_ptr<Msg> reply(getResponseMsg(sendRequestMsg("127.0.0.1", port, &req)));
    auto* ok = dynamic_cast<SynthESMOk*>(reply.get());
    return ok != nullptr && ok->getEPTVec().size() == endpoints;
}

// What the daemon has to do at the least: one lookup per endpoint, then for each proxy an
// ESMInit and an ESMCommit naming every other proxy (nobody for the first).
bool minimalClient(const std::string& da, const std::vector<std::string>& eps) {
    std::vector<TransportEndPoint> proxies;
    for (const std::string& ep : eps) {
        SLPService s("ESMProxy", "(&(addr=" + ep + ")(mask=255.255.255.255))", da, kScope);
        std::vector<ServiceInstance> found;
        if (s.FindServices() <= 0 || s.getSIvec(found) <= 0) return false;
        proxies.emplace_back(found[0].getAddr(), found[0].getPort());
    }
    const unsigned long id = Msg::generateId();
    const unsigned long version = Msg::generateVersion();
    const unsigned long group = inet_ADDR("224.5.6.7");
    for (size_t j = 0; j < proxies.size(); ++j) {
        const std::string host = proxies[j].getAddrStr();
        ESMInit init(id, version, kDataPort);
        std::unique_ptr<Msg> r(
            getResponseMsg(sendRequestMsg(host.c_str(), proxies[j].getPort(), &init)));
        if (!r || r->getType() != Msg::ESMInitOk) return false;
        std::vector<TransportEndPoint> members;
        if (j != 0) {
            members = proxies;
            members.erase(members.begin() + static_cast<std::ptrdiff_t>(j));
        }
        ESMCommit commit(id, version, group, kDataPort, 0, members);
        r.reset(getResponseMsg(sendRequestMsg(host.c_str(), proxies[j].getPort(), &commit)));
        if (!r || r->getType() != Msg::ESMCommitOk) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 9;
    int endpoints = 50;
    // The daemon ends after its 101st answered request: stay well below.
    if (!bench::parseIntOptions(argc, argv,
                                {{"--runs", &runs, 1, 90}, {"--endpoints", &endpoints, 1, 240}})) {
        fputs("usage: synth_bench [--runs 1..90] [--endpoints 1..240]\n", stderr);
        return 2;
    }
    bench::TempDir dir;
    if (!bench::setUp(dir)) return 1;

    bench::ProxyOverlay overlay;
    if (!bench::startProxyOverlay(dir, kNet, endpoints, endpointAddr, {}, std::string(kNet) + "2",
                                  "synth_bench", &overlay)) {
        return 1;
    }
    std::vector<Peer> peers;
    std::vector<std::string> eps;
    for (int i = 0; i < endpoints; ++i) {
        peers.push_back(Peer{overlay.proxies[static_cast<size_t>(i)].first,
                             overlay.proxies[static_cast<size_t>(i)].second});
        eps.push_back(endpointAddr(i));
    }
    const std::string daArg = overlay.daArg;

    const uint16_t port = bench::freePort();
    const std::unique_ptr<bench::Proc> daemon =
        bench::startDaemon("synth_bench", ESM_SYNTHD_PATH, port, daArg, dir.file("daemon.out"),
                           dir.file("daemon.err"));
    if (!daemon) return 1;

    std::vector<EndPoint> epv;
    for (const std::string& e : eps) epv.emplace_back(inet_ADDR(e.c_str()));
    std::vector<EndZone> zones;
    SynthESMReq req(4242, 1, epv, zones);
    xmlInitParser();

    // One untimed round of each warms the caches of every process involved.
    if (!askDaemon(port, req, eps.size()) || !minimalClient(daArg, eps)) {
        fprintf(stderr, "synth_bench: the warm-up round failed\n%s", daemon->err().c_str());
        return 1;
    }
    std::vector<double> daemonMs, clientMs;
    for (int r = 0; r < runs; ++r) {
        double d = 0, c = 0;
        for (int k = 0; k < 2; ++k) {
            const bool daemonTurn = (k == 0) == (r % 2 == 0);
            const Clock::time_point t = Clock::now();
            const bool ok =
                daemonTurn ? askDaemon(port, req, eps.size()) : minimalClient(daArg, eps);
            const double ms = bench::msSince(t);
            if (!ok) {
                fprintf(stderr, "synth_bench: run %d: the %s failed\n", r,
                        daemonTurn ? "daemon" : "minimal client");
                return 1;
            }
            (daemonTurn ? d : c) = ms;
        }
        daemonMs.push_back(d);
        clientMs.push_back(c);
        printf("run %d daemon_ms=%.2f client_ms=%.2f\n", r, d, c);
    }
    const double dm = bench::median(daemonMs), cm = bench::median(clientMs);
    printf("synth endpoints=%d runs=%d daemon_ms=%.2f client_ms=%.2f ratio=%.3f\n", endpoints, runs,
           dm, cm, dm / cm);
    return 0;
}
