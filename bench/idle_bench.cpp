// Resident memory of the daemon with many idle connections open to it (default 1,000), and the
// latency of a new request meanwhile against the same request on an idle daemon. Each run
// starts a fresh daemon; the request is a SynthESMReq without endpoints or zones, which the
// daemon answers at once without asking anyone.
//
//   idle_bench [--runs R] [--conns N]
//
// Output: one line per run, then
//   idle conns=N runs=R rss_idle_kib=<median> rss_base_kib=<median> rss_after_kib=<median>
//        threads_base=<median> threads_idle=<median>
//        lat_idle_ms=<median> lat_base_ms=<median> lat_idle_max_ms=<max>
// The connections count once the daemon holds a descriptor for each; rss_after is read once it
// has closed them all. The threads show that idle connections hold none.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Msg.h"
#include "bench_util.h"
#include "http.h"
#include "net_util.h"

namespace {

using bench::Clock;

long threads(pid_t pid) {
    return bench::procStatusField(pid, "Threads");
}

// Latency of one answered request in ms, or -1.
double timedRequest(uint16_t port, SynthESMReq& req) {
    const Clock::time_point t = Clock::now();
    std::unique_ptr<Msg> reply(getResponseMsg(sendRequestMsg("127.0.0.1", port, &req)));
    const double ms = bench::msSince(t);
    return dynamic_cast<SynthESMOk*>(reply.get()) != nullptr ? ms : -1;
}

struct RunResult {
    long rssBase = 0, rssIdle = 0, rssAfter = 0;
    long threadsBase = 0, threadsIdle = 0;
    double latBase = 0, latIdle = 0;
};

bool oneRun(const bench::TempDir& dir, int run, int conns, SynthESMReq& req, RunResult* out) {
    const uint16_t port = bench::freePort();
    // The Directory Agent is never asked: the request names no endpoint.
    const std::unique_ptr<bench::Proc> daemon =
        bench::startDaemon("idle_bench", ESM_SYNTHD_PATH, port, "127.0.0.1:9", "/dev/null",
                           dir.file("daemon" + std::to_string(run) + ".err"));
    if (!daemon) return false;
    // One request first, so that the baseline includes what the first request sets up.
    if (timedRequest(port, req) < 0) return false;
    out->latBase = timedRequest(port, req);
    out->rssBase = bench::procStatusField(daemon->pid(), "VmRSS");
    out->threadsBase = threads(daemon->pid());
    const long baseFds = bench::openDescriptors(daemon->pid());

    std::vector<Fd> idle;
    for (int i = 0; i < conns; ++i) {
        Fd s(connectTcp(bench::addrOf("127.0.0.1"), port, 5000));
        if (!s.valid()) {
            perror("idle_bench: connect");
            return false;
        }
        idle.push_back(std::move(s));
    }
    // Accepted (connections that send nothing are accepted a second after they connect).
    if (!bench::waitFor([&] { return bench::openDescriptors(daemon->pid()) >= baseFds + conns; },
                        20000)) {
        fprintf(stderr, "idle_bench: the daemon holds only %ld descriptors\n",
                bench::openDescriptors(daemon->pid()));
        return false;
    }
    out->rssIdle = bench::procStatusField(daemon->pid(), "VmRSS");
    out->threadsIdle = threads(daemon->pid());
    out->latIdle = timedRequest(port, req);

    idle.clear();
    if (!bench::waitFor([&] { return bench::openDescriptors(daemon->pid()) <= baseFds; }, 40000)) {
        fprintf(stderr, "idle_bench: %ld descriptors left after closing\n",
                bench::openDescriptors(daemon->pid()));
        return false;
    }
    out->rssAfter = bench::procStatusField(daemon->pid(), "VmRSS");
    return out->latBase >= 0 && out->latIdle >= 0 && daemon->running();
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    int conns = 1000;
    if (!bench::parseIntOptions(argc, argv,
                                {{"--runs", &runs, 1, 50}, {"--conns", &conns, 1, 10000}})) {
        fputs("usage: idle_bench [--runs 1..50] [--conns 1..10000]\n", stderr);
        return 2;
    }
    bench::TempDir dir;
    if (!bench::setUp(dir)) return 1;
    xmlInitParser();
    std::vector<EndPoint> epv;
    std::vector<EndZone> zones;
    SynthESMReq req(17, 1, epv, zones);

    std::vector<double> base, idle, after, threadsBase, threadsIdle, latBase, latIdle;
    double latIdleMax = 0;
    for (int r = 0; r < runs; ++r) {
        RunResult res;
        if (!oneRun(dir, r, conns, req, &res)) {
            fprintf(stderr, "idle_bench: run %d failed\n", r);
            return 1;
        }
        printf(
            "run %d rss_base_kib=%ld rss_idle_kib=%ld rss_after_kib=%ld threads_base=%ld "
            "threads_idle=%ld lat_base_ms=%.3f lat_idle_ms=%.3f\n",
            r, res.rssBase, res.rssIdle, res.rssAfter, res.threadsBase, res.threadsIdle,
            res.latBase, res.latIdle);
        base.push_back(static_cast<double>(res.rssBase));
        idle.push_back(static_cast<double>(res.rssIdle));
        after.push_back(static_cast<double>(res.rssAfter));
        threadsBase.push_back(static_cast<double>(res.threadsBase));
        threadsIdle.push_back(static_cast<double>(res.threadsIdle));
        latBase.push_back(res.latBase);
        latIdle.push_back(res.latIdle);
        latIdleMax = std::max(latIdleMax, res.latIdle);
    }
    printf(
        "idle conns=%d runs=%d rss_idle_kib=%.0f rss_base_kib=%.0f rss_after_kib=%.0f "
        "threads_base=%.0f threads_idle=%.0f lat_idle_ms=%.3f lat_base_ms=%.3f "
        "lat_idle_max_ms=%.3f\n",
        conns, runs, bench::median(idle), bench::median(base), bench::median(after),
        bench::median(threadsBase), bench::median(threadsIdle), bench::median(latIdle),
        bench::median(latBase), latIdleMax);
    return 0;
}
