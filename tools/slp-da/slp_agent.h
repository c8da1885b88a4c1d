#pragma once

// The Directory Agent's message handling: one received SLPv2 message in, at most one reply and
// one log line out. No sockets here, so the whole protocol logic runs in tests and under the
// fuzzer. Not thread-safe: one message at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "slp_store.h"

namespace slpda {

struct AgentConfig {
    std::vector<std::string> scopes;  // served scopes, as configured
    uint32_t bootTime = 0;            // seconds since 1970 of this start, for DAAdverts
};

// Where and how one message arrived.
struct Arrival {
    bool tcp = false;
    uint32_t localAddrNet = 0;  // the address the message was sent to: the DA's own address
    std::string peer;           // "a.b.c.d:port" of the sender, for the log
    int64_t nowMs = 0;          // monotonic clock
};

class DirectoryAgent {
public:
    explicit DirectoryAgent(AgentConfig cfg);

    Store& store() { return mStore; }

    // Handles one whole message. Returns true with *reply set when an answer is to be sent.
    // *log always receives one line (no newline) describing what was asked and answered:
    //   "<udp|tcp> <peer> SrvRqst type=\"..\" scope=\"..\" predicate=\"..\" urls=N error=E"
    //   "<udp|tcp> <peer> SrvReg url=\"..\" type=\"..\" scope=\"..\" lifetime=L error=E"
    //   "<udp|tcp> <peer> SrvDeReg url=\"..\" scope=\"..\" tags=\"..\" error=E"
    //   "<udp|tcp> <peer> <Message> error=E" for other requests,
    //   "<udp|tcp> <peer> <Message> ignored" for replies sent to us,
    //   "<udp|tcp> <peer> malformed message of N bytes dropped".
    // A request that gets no answer (a multicast request we would answer with nothing, our own
    // address in its previous-responder list) ends with " no reply".
    bool handle(const uint8_t* msg, size_t len, const Arrival& from, std::vector<uint8_t>* reply,
                std::string* log);

    // The largest reply sent over UDP; bigger ones are cut to whole URL entries and flagged
    // OVERFLOW, so that the client asks again over TCP.
    static constexpr size_t kUdpMax = 1400;

private:
    AgentConfig mCfg;
    std::string mScopeText;  // the served scopes joined with ','
    Store mStore;
};

}  // namespace slpda
