#include "service_metrics.h"

#include <mutex>

#include "http.h"
#include "http_serve.h"
#include "memory_budget.h"
#include "no_destructor.h"
#ifndef ESM_SYSTEM_OPENSLP
#include "slp_agents.h"
#endif

namespace servicemetrics {

namespace {

const std::vector<double> kRequestSecondBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                  1,     2.5,  5,     10,   15,  30,   60};

// Every series the daemon knows in advance, made once so counting never takes the registry lock.
struct Families {
    metrics::Registry registry;
    metrics::Counter* answered;
    metrics::Counter* refused;
    metrics::Counter* failed;
    metrics::Histogram* seconds;
    metrics::Counter* exchanges[2][2];  // [step][ok]
    metrics::Counter* launches;

    Families() {
        const char* requestsHelp = "Synthesis requests by how they ended.";
        answered =
            &registry.counter("esm_synth_requests_total", requestsHelp, {{"outcome", "answered"}});
        refused =
            &registry.counter("esm_synth_requests_total", requestsHelp, {{"outcome", "refused"}});
        failed =
            &registry.counter("esm_synth_requests_total", requestsHelp, {{"outcome", "failed"}});
        seconds =
            &registry.histogram("esm_synth_request_seconds",
                                "Time the handler spent on one request.", kRequestSecondBounds);
        // Registered here so the lookups appear in the text in a fixed place, before any lookup.
        registry.declareCounter("esm_synth_slp_lookups_total",
                                "SLP lookups by Directory Agent and what it did.");
        const char* steps[] = {"init", "commit"};
        const char* outcomes[] = {"failed", "ok"};
        for (int s = 0; s < 2; ++s) {
            for (int ok = 0; ok < 2; ++ok) {
                exchanges[s][ok] =
                    &registry.counter("esm_synth_proxy_exchanges_total",
                                      "ESMInit and ESMCommit exchanges with running proxies.",
                                      {{"step", steps[s]}, {"outcome", outcomes[ok]}});
            }
        }
        launches = &registry.counter("esm_synth_node_launches_total",
                                     "Proxies launched on compute nodes through the node loader.");
        registry.gauge("esm_synth_connections", "Connections being served.", [] {
            const ServerConnections c = serverConnections();
            return std::vector<metrics::Sample>{{{{"state", "busy"}}, static_cast<double>(c.busy)},
                                                {{{"state", "idle"}}, static_cast<double>(c.idle)}};
        });
        registry.gauge("esm_synth_memory_budget_bytes",
                       "The memory budget of requests in flight: its limit and what is reserved.",
                       [] {
                           const MemoryBudget& b = requestMemoryBudget();
                           return std::vector<metrics::Sample>{
                               {{{"kind", "limit"}}, static_cast<double>(b.limitBytes())},
                               {{{"kind", "used"}}, static_cast<double>(b.usedBytes())}};
                       });
        registry.gauge("process_resident_memory_bytes", "Resident memory size in bytes.", [] {
            return std::vector<metrics::Sample>{{{}, metrics::residentMemoryBytes()}};
        });
        const double start = metrics::processStartTimeSeconds();
        registry.gauge("process_start_time_seconds",
                       "Start time of the process since the epoch in seconds.", [start] {
                           return std::vector<metrics::Sample>{{{}, start}};
                       });
    }
};

Families& families() {
    static NoDestructor<Families> sFamilies;
    return *sFamilies.get();
}

#ifndef ESM_SYSTEM_OPENSLP
const char* outcomeLabel(SLPAgentOutcome o) {
    switch (o) {
        case SLP_AGENT_FOUND:
            return "found";
        case SLP_AGENT_NONE:
            return "none";
        case SLP_AGENT_TIMEOUT:
            return "timeout";
        case SLP_AGENT_REFUSED:
            return "refused";
        case SLP_AGENT_SKIPPED:
            return "skipped";
        default:
            return "error";
    }
}

void observeAgent(const SLPAgentReport* r, void*) {
    // The series are few (agents of one DA list times six outcomes); the registry finds or
    // makes each under its lock, which costs far less than the lookup that reports it.
    families()
        .registry
        .counter("esm_synth_slp_lookups_total", "",
                 {{"da", r->agent}, {"outcome", outcomeLabel(r->outcome)}})
        .inc();
}

#endif

void observeRefusal(const RefusalInfo&) {
    countRequest(Outcome::Refused, 0);
}

}  // namespace

metrics::Registry& registry() {
    return families().registry;
}

void countRequest(Outcome outcome, double seconds) {
    Families& f = families();
    switch (outcome) {
        case Outcome::Answered:
            f.answered->inc();
            break;
        case Outcome::Refused:
            f.refused->inc();
            break;
        case Outcome::Failed:
            f.failed->inc();
            break;
    }
    f.seconds->observe(seconds);
}

void countProxyExchange(Step step, bool ok) {
    families().exchanges[step == Step::Commit ? 1 : 0][ok ? 1 : 0]->inc();
}

void countNodeLaunch() {
    families().launches->inc();
}

void install() {
    families();
#ifndef ESM_SYSTEM_OPENSLP
    SLPSetAgentObserver(observeAgent, nullptr);  // a system libslp does not tell
#endif
    setRefusalObserver(observeRefusal);
}

bool startListener(const std::string& addrPort, std::string* error) {
    if (addrPort.empty()) return true;
    return metrics::startMetricsServer(addrPort, &families().registry, error);
}

}  // namespace servicemetrics
