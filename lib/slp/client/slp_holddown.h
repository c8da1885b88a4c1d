#pragma once

// The process-wide memory of Directory Agents that failed: an agent that timed out or refused is
// held down (passed over by lookups) until a hold-down time has passed; then one lookup asks it
// again while the others keep passing it over. Among lookups running at once, only one waits on
// an agent past its first try; the others go on to the next agent. An agent that answers is
// trusted again at once. An agent is named by its "net.slp.DAAddresses" entry and the port
// entries without one use, so a held-down agent is passed over without resolving its name.
// Every function is thread-safe; none blocks beyond a short lock.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "slp.h"

namespace slpclient {

using HoldClock = std::chrono::steady_clock;

// A number of its own for each lookup, never 0.
uint64_t newLookupId();

// Whether `lookup` asks the agent now. False when the agent is held down, or another lookup is
// waiting on it already; *why is then the failure that put it on hold (SLP_NETWORK_TIMED_OUT for
// an agent that another lookup is still waiting on). True otherwise; when the agent's hold-down
// has just run out, `lookup` becomes the one that asks it again (with claim set) and every other
// lookup is told false until recordOutcome for it.
bool mayAsk(const std::string& agent, uint64_t lookup, HoldClock::time_point now, bool claim,
            SLPError* why);

// Called before each retransmission to the agent by a lookup that could ask `alternatives`
// instead. The first lookup to get here waits on (true); any other gives up (false) while at least
// one alternative may be asked, so that at most one lookup waits on a silent agent.
bool keepWaiting(const std::string& agent, uint64_t lookup,
                 const std::vector<std::string>& alternatives, HoldClock::time_point now);

enum class AgentResult {
    kAnswered,     // any reply, an error code included: trusted again
    kSilent,       // timed out or refused: held down for holdDownMs from now
    kInconclusive  // gave up early, or failed for another reason: unchanged
};

// Records what the agent did for `lookup` and releases what that lookup claimed.
void recordOutcome(const std::string& agent, uint64_t lookup, AgentResult result, SLPError error,
                   int holdDownMs, HoldClock::time_point now);

}  // namespace slpclient
