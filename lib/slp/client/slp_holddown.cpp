#include "slp_holddown.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "no_destructor.h"

namespace slpclient {

namespace {

// What is known of one agent that is not simply trusted.
struct Health {
    bool held = false;            // timed out or refused: passed over until `until`
    HoldClock::time_point until;  // end of the hold-down
    SLPError why = SLP_OK;        // the failure that put it on hold
    uint64_t waiter = 0;          // the one lookup waiting on it past a first try; 0 = none
};

// Agents that failed, or that a lookup is waiting on past a first try; an agent missing here is
// trusted.
struct Table {
    std::mutex mu;
    std::map<std::string, Health> agents;  // guarded by mu
};

// Beyond this many entries, those whose hold-down ran out long ago are dropped.
constexpr size_t kTrimAbove = 256;

Table& table() {
    static NoDestructor<Table> sTable;
    return *sTable.get();
}

// Whether a lookup other than `lookup` should pass the agent over. Caller holds the lock.
bool passOver(const Health& h, uint64_t lookup, HoldClock::time_point now) {
    if (h.waiter != 0 && h.waiter != lookup) return true;
    return h.held && now < h.until;
}

void trimLocked(Table& t, HoldClock::time_point now) {
    if (t.agents.size() <= kTrimAbove) return;
    for (auto it = t.agents.begin(); it != t.agents.end();) {
        if (it->second.waiter == 0 && (!it->second.held || it->second.until <= now)) {
            it = t.agents.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

uint64_t newLookupId() {
    static std::atomic<uint64_t> sNext{1};
    return sNext.fetch_add(1, std::memory_order_relaxed);
}

bool mayAsk(const std::string& agent, uint64_t lookup, HoldClock::time_point now, bool claim,
            SLPError* why) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    auto it = t.agents.find(agent);
    if (it == t.agents.end()) return true;
    Health& h = it->second;
    if (passOver(h, lookup, now)) {
        *why = h.held ? h.why : SLP_NETWORK_TIMED_OUT;
        return false;
    }
    // The hold-down has run out: this lookup asks again, the others wait for its verdict.
    if (claim && h.held) h.waiter = lookup;
    return true;
}

bool keepWaiting(const std::string& agent, uint64_t lookup,
                 const std::vector<std::string>& alternatives, HoldClock::time_point now) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    Health& h = t.agents[agent];
    if (h.waiter == lookup) return true;
    if (passOver(h, lookup, now)) {
        for (const std::string& other : alternatives) {
            auto it = t.agents.find(other);
            if (it == t.agents.end() || !passOver(it->second, lookup, now)) return false;
        }
        return true;  // nowhere else to go: better a slow answer than none
    }
    h.waiter = lookup;
    return true;
}

void recordOutcome(const std::string& agent, uint64_t lookup, AgentResult result, SLPError error,
                   int holdDownMs, HoldClock::time_point now) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    if (result == AgentResult::kAnswered) {
        t.agents.erase(agent);
        return;
    }
    if (result == AgentResult::kSilent) {
        Health& h = t.agents[agent];
        h.held = true;
        h.until = now + std::chrono::milliseconds(holdDownMs);
        h.why = error;
        if (h.waiter == lookup) h.waiter = 0;
        trimLocked(t, now);
        return;
    }
    auto it = t.agents.find(agent);
    if (it == t.agents.end()) return;
    if (it->second.waiter == lookup) it->second.waiter = 0;
    if (!it->second.held && it->second.waiter == 0) t.agents.erase(it);
}

}  // namespace slpclient
