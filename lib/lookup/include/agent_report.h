#pragma once

// What each SLP Directory Agent did for the lookups a tool runs, told in words: whether it was
// down, silent, answered an error or answered. Collected through the built-in SLP client's agent
// observer; with a system libslp nothing is collected (supported() is false).

#include <slp.h>

#include <string>
#include <vector>

namespace agentreport {

// Points the SLP client at the Directory Agents of a tool's --da list (nothing is discovered or
// multicast) and opens a synchronous handle, which the caller closes with SLPClose. Null after
// "PROG: cannot open the SLP client" on standard error (through the diagnostics sink).
SLPHandle openForAgents(const char* prog, const std::string& agents);

enum class Outcome { Found, None, Timeout, Refused, Error, Skipped };

struct AgentResult {
    std::string agent;  // the Directory Agent entry asked, as configured
    Outcome outcome = Outcome::Error;
    int error = 0;         // the SLPError of this agent (0 when it answered without error)
    unsigned daError = 0;  // the error code the agent answered, else 0
};

// True when the SLP client reports what each agent did.
bool supported();

// Collects the reports of every lookup in this process while alive; one at a time per process.
class Collector {
public:
    Collector();
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // The reports since construction or the last take(), in the order the agents were asked.
    std::vector<AgentResult> take();

private:
    std::vector<AgentResult> mResults;  // filled on the lookup's own thread
};

// Has the lookups on handle append what each agent did to *out, in the order the agents were
// asked, until called again with null. Call it on the handle's thread, between lookups.
void observeHandle(SLPHandle handle, std::vector<AgentResult>* out);

// "found 1 URL", "answered, nothing matches", "no answer within the retries", "refused
// (nothing listens there)", "answered error 4 (SCOPE_NOT_SUPPORTED)", ...
std::string describe(const AgentResult& r);

// The lower-case name of an outcome, for JSON: "found", "none", "timeout", "refused", "error".
const char* outcomeName(Outcome o);

// The name of an SLPv2 error code (RFC 2608), e.g. "SCOPE_NOT_SUPPORTED"; "unknown" otherwise.
const char* daErrorName(unsigned code);

}  // namespace agentreport
