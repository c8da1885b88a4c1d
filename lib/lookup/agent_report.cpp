#include "agent_report.h"

#include <slp.h>

#include "diag.h"

#ifndef ESM_SYSTEM_OPENSLP
#include "slp_agents.h"
#endif

namespace agentreport {

namespace {

#ifndef ESM_SYSTEM_OPENSLP
Outcome outcomeOf(SLPAgentOutcome o) {
    switch (o) {
        case SLP_AGENT_FOUND:
            return Outcome::Found;
        case SLP_AGENT_NONE:
            return Outcome::None;
        case SLP_AGENT_TIMEOUT:
            return Outcome::Timeout;
        case SLP_AGENT_REFUSED:
            return Outcome::Refused;
        case SLP_AGENT_SKIPPED:
            return Outcome::Skipped;
        default:
            return Outcome::Error;
    }
}

// Runs on the lookup's thread: the tool's only one for a Collector, the handle's owner for
// observeHandle.
void observe(const SLPAgentReport* report, void* cookie) {
    auto* out = static_cast<std::vector<AgentResult>*>(cookie);
    out->push_back(AgentResult{report->agent != nullptr ? report->agent : "",
                               outcomeOf(report->outcome), static_cast<int>(report->error),
                               report->daError});
}
#endif

}  // namespace

SLPHandle openForAgents(const char* prog, const std::string& agents) {
    SLPSetProperty("net.slp.DAAddresses", agents.c_str());
    SLPSetProperty("net.slp.activeDADetection", "false");
    SLPSetProperty("net.slp.passiveDADetection", "false");
    SLPHandle handle = nullptr;
    if (SLPOpen("en", SLP_FALSE, &handle) != SLP_OK) {
        diagf(DiagStream::Err, "%s: cannot open the SLP client\n", prog);
        return nullptr;
    }
    return handle;
}

bool supported() {
#ifndef ESM_SYSTEM_OPENSLP
    return true;
#else
    return false;
#endif
}

Collector::Collector() {
#ifndef ESM_SYSTEM_OPENSLP
    SLPSetAgentObserver(observe, &mResults);
#endif
}

Collector::~Collector() {
#ifndef ESM_SYSTEM_OPENSLP
    SLPSetAgentObserver(nullptr, nullptr);
#endif
}

std::vector<AgentResult> Collector::take() {
    std::vector<AgentResult> out;
    out.swap(mResults);
    return out;
}

void observeHandle(SLPHandle handle, std::vector<AgentResult>* out) {
#ifndef ESM_SYSTEM_OPENSLP
    SLPSetHandleAgentObserver(handle, out != nullptr ? observe : nullptr, out);
#else
    (void)handle;
    (void)out;
#endif
}

const char* outcomeName(Outcome o) {
    switch (o) {
        case Outcome::Found:
            return "found";
        case Outcome::None:
            return "none";
        case Outcome::Timeout:
            return "timeout";
        case Outcome::Refused:
            return "refused";
        case Outcome::Skipped:
            return "skipped";
        default:
            return "error";
    }
}

const char* daErrorName(unsigned code) {
    static const char* const kNames[] = {"OK",
                                         "LANGUAGE_NOT_SUPPORTED",
                                         "PARSE_ERROR",
                                         "INVALID_REGISTRATION",
                                         "SCOPE_NOT_SUPPORTED",
                                         "AUTHENTICATION_UNKNOWN",
                                         "AUTHENTICATION_ABSENT",
                                         "AUTHENTICATION_FAILED",
                                         "unknown",
                                         "VER_NOT_SUPPORTED",
                                         "INTERNAL_ERROR",
                                         "DA_BUSY_NOW",
                                         "OPTION_NOT_UNDERSTOOD",
                                         "INVALID_UPDATE",
                                         "MSG_NOT_SUPPORTED",
                                         "REFRESH_REJECTED"};
    return code < sizeof kNames / sizeof kNames[0] ? kNames[code] : "unknown";
}

std::string describe(const AgentResult& r) {
    switch (r.outcome) {
        case Outcome::Found:
            return "answered";
        case Outcome::None:
            return "answered, nothing registered matches";
        case Outcome::Timeout:
            return "no answer (timed out after its retries)";
        case Outcome::Refused:
            return "refused (nothing listens there)";
        case Outcome::Skipped:
            return r.error == SLP_NETWORK_TIMED_OUT
                       ? "passed over (it timed out recently, or another lookup is waiting on it)"
                       : "passed over (it refused recently)";
        default:
            break;
    }
    if (r.daError != 0) {
        return "answered error " + std::to_string(r.daError) + " (" + daErrorName(r.daError) + ")";
    }
    if (r.error == SLP_PARAMETER_BAD) return "not an address (no such host, or a bad port)";
    return "network error (SLP error " + std::to_string(r.error) + ")";
}

}  // namespace agentreport
