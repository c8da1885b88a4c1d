#pragma once

// The Directory Agent's message handling: one received SLPv2 message in, the replies and one log
// line out. No sockets here, so the whole protocol logic runs in tests and under the fuzzer. Not
// thread-safe: one message at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "slp_filter.h"
#include "slp_store.h"

namespace slpda {

// An IPv4 network, "a.b.c.d/n".
struct Cidr {
    uint32_t addrNet = 0;  // network byte order, host bits clear
    int prefix = 32;
};

// Parses "CIDR[,CIDR...]", each "a.b.c.d/n" (n 0..32) or a bare address (/32). False on any bad
// item, with *bad set to it.
bool parseCidrList(const std::string& text, std::vector<Cidr>* out, std::string* bad);

// 127.0.0.0/8.
std::vector<Cidr> loopbackOnly();

// What one request may cost. The defaults keep the work of any single request to a few
// milliseconds, so that a lookup queued behind it is not held up.
struct AgentLimits {
    size_t maxMessage = 8192;         // bytes of one message; larger ones are dropped
    FilterLimits filter;              // nesting and comparisons of a predicate
    size_t maxAttrs = 128;            // attribute values and keywords of one registration
    size_t maxRegistrations = 10000;  // registrations held in all
    size_t maxWork = 100000;          // a lookup's work (Store::find)
};

struct AgentConfig {
    std::vector<std::string> scopes;              // served scopes, as configured
    uint32_t bootTime = 0;                        // seconds since 1970 of this start, for DAAdverts
    std::vector<Cidr> allowReg = loopbackOnly();  // who may register and deregister
    AgentLimits limits;
};

// Where and how one message arrived.
struct Arrival {
    bool tcp = false;
    uint32_t localAddrNet = 0;  // the address the message was sent to: the DA's own address
    uint32_t peerAddrNet = 0;   // the sender's address
    std::string peer;           // "a.b.c.d:port" of the sender, for the log
    int64_t nowMs = 0;          // monotonic clock
};

// The messages sent back for one request: over UDP each is a datagram of its own, over TCP they
// follow each other in the stream.
using Replies = std::vector<std::vector<uint8_t>>;

class DirectoryAgent {
public:
    explicit DirectoryAgent(AgentConfig cfg);

    Store& store() { return mStore; }
    const AgentConfig& config() const { return mCfg; }

    // Handles one whole message. Returns true with *replies set when an answer is to be sent.
    // *log always receives one line (no newline) describing what was asked and answered:
    //   "<udp|tcp> <peer> SrvRqst type=\"..\" scope=\"..\" predicate=\"..\" urls=N error=E"
    //   "<udp|tcp> <peer> SrvReg url=\"..\" type=\"..\" scope=\"..\" lifetime=L error=E"
    //   "<udp|tcp> <peer> SrvDeReg url=\"..\" scope=\"..\" tags=\"..\" error=E"
    //   "<udp|tcp> <peer> <Message> error=E" for other requests,
    //   "<udp|tcp> <peer> <Message> ignored" for replies sent to us,
    //   "<udp|tcp> <peer> malformed message of N bytes dropped",
    //   "<udp|tcp> <peer> message of N bytes dropped: over the M-byte limit".
    // A refused registration's line ends in " (not allowed to register)", one over a limit in
    // " (over --max-attrs)" or " (over --max-registrations)", a lookup that would take more
    // work than allowed (answered DA_BUSY_NOW) in " (over --max-work)". A request that gets
    // no answer (a multicast request we would answer with nothing, our own address in its
    // previous-responder list) ends with " no reply".
    //
    // A discovery request for directory agents from a loopback sender is answered with our
    // DAAdvert followed by the same DAAdvert carrying INTERNAL_ERROR: clients on this host read
    // DAAdverts until one carries an error, and would otherwise wait for more.
    bool handle(const uint8_t* msg, size_t len, const Arrival& from, Replies* replies,
                std::string* log);

    // The largest reply sent over UDP; bigger ones are cut to whole URL entries and flagged
    // OVERFLOW, so that the client asks again over TCP.
    static constexpr size_t kUdpMax = 1400;

private:
    // What handling one request came to: the error code sent, whether anything is sent, and
    // the request-specific middle and end of its log line.
    struct Outcome {
        uint16_t err = 0;
        bool send = true;
        std::string detail;
        std::string note;
    };

    Outcome serveSrvRqst(const slpwire::Request& req, const Arrival& from, Replies* replies);
    Outcome serveSrvReg(const slpwire::Request& req, const Arrival& from, Replies* replies);
    Outcome serveSrvDeReg(const slpwire::Request& req, const Arrival& from, Replies* replies);
    Outcome serveError(const slpwire::Request& req, uint16_t err, Replies* replies);
    bool mayRegister(const Arrival& from) const;

    AgentConfig mCfg;
    std::string mScopeText;  // the served scopes joined with ','
    Store mStore;
};

}  // namespace slpda
