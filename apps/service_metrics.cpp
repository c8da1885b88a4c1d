#include "service_metrics.h"

#include <mutex>

#include "esm_version.h"
#include "http.h"
#include "http_serve.h"
#include "memory_budget.h"
#include "no_destructor.h"
#include "request_outcome.h"
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
    metrics::Counter* failures[kFailureCauses];  // by FailureCause; None is not counted
    metrics::Counter* located[3];                // by LocateReport::Kind
    metrics::Counter* exchanges[2][5];           // [step][ok, refused, timeout, wrong, error]
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
        for (int c = 1; c < kFailureCauses; ++c) {
            failures[c] = &registry.counter("esm_synth_request_failures_total",
                                            "Failed synthesis requests by their cause.",
                                            {{"cause", causeName(static_cast<FailureCause>(c))}});
        }
        const char* kinds[] = {"running", "node", "none"};
        for (int k = 0; k < 3; ++k) {
            located[k] = &registry.counter(
                "esm_synth_locate_total",
                "Endpoints and zones located: a running proxy, a compute node, or none.",
                {{"kind", kinds[k]}});
        }
        const char* steps[] = {"init", "commit"};
        const char* outcomes[] = {"ok", "refused", "timeout", "wrong_reply", "error"};
        for (int st = 0; st < 2; ++st) {
            for (int o = 0; o < 5; ++o) {
                exchanges[st][o] =
                    &registry.counter("esm_synth_proxy_exchanges_total",
                                      "ESMInit and ESMCommit exchanges with running proxies.",
                                      {{"step", steps[st]}, {"outcome", outcomes[o]}});
            }
        }
        launches = &registry.counter("esm_synth_node_launches_total",
                                     "Proxies launched on compute nodes through the node loader.");
        registry.gauge("esm_synth_build_info", "The version of the running daemon.", [] {
            return std::vector<metrics::Sample>{{{{"version", ESM_VERSION}}, 1}};
        });
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

void countFailure(FailureCause cause) {
    const int c = static_cast<int>(cause);
    if (c > 0 && c < kFailureCauses) families().failures[c]->inc();
}

void countLocate(LocateReport::Kind kind) {
    families().located[static_cast<int>(kind)]->inc();
}

void countProxyExchange(Step step, FailureCause cause) {
    int outcome = 4;  // error
    switch (cause) {
        case FailureCause::None:
            outcome = 0;
            break;
        case FailureCause::ProxyRefused:
            outcome = 1;
            break;
        case FailureCause::ProxyTimeout:
            outcome = 2;
            break;
        case FailureCause::ProxyWrongReply:
            outcome = 3;
            break;
        default:
            break;
    }
    families().exchanges[step == Step::Commit ? 1 : 0][outcome]->inc();
}

void countNodeLaunch() {
    families().launches->inc();
}

void install() {
    families();
#ifndef ESM_SYSTEM_OPENSLP
    SLPSetAgentObserver(observeAgent, nullptr);  // a system libslp does not tell
#endif
    setRefusalObserver(reportRefusal);  // the outcome line also counts it
}

bool startListener(const std::string& addrPort, std::string* error) {
    if (addrPort.empty()) return true;
    return metrics::startMetricsServer(addrPort, &families().registry, error);
}

}  // namespace servicemetrics
