#pragma once

// One request/reply exchange with one Directory Agent (SrvRqst/SrvRply, SrvReg or SrvDeReg/SrvAck):
// UDP with retransmissions, TCP when the message does not fit a datagram. Thread-safe; every wait
// is bounded by the lookup properties.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "slp.h"
#include "slp_props.h"
#include "slp_wire.h"

namespace slpclient {

struct AgentAddr {
    uint32_t addrNet = 0;
    uint16_t portHost = 0;
};

// Reads a "net.slp.DAAddresses" entry: a host name or dotted quad on defaultPort, or
// "host:port". False when the port is not 1..65535 or the host does not resolve to IPv4.
bool resolveAgent(const std::string& entry, uint16_t defaultPort, AgentAddr* out);

// Sends the SrvRqst `request` (whose XID is xid) to the agent and waits for its SrvRply, dropping
// replies with another XID and malformed ones. SLP_OK with *reply filled in (its error code may
// be non-zero); SLP_NETWORK_TIMED_OUT when no reply came within the retry schedule;
// SLP_NETWORK_ERROR for a refusal (*refused set: nobody listens there) or another socket failure.
// keepWaiting, when given, is called before each retransmission over UDP; when it returns false
// the exchange ends there with SLP_NETWORK_TIMED_OUT.
SLPError askAgent(const AgentAddr& agent, const std::vector<uint8_t>& request, uint16_t xid,
                  const LookupConfig& cfg, slpwire::SrvRply* reply, bool* refused,
                  const std::function<bool()>* keepWaiting = nullptr);

// The same for a SrvReg or SrvDeReg `request` and the agent's SrvAck (*ack's error code may be
// non-zero).
SLPError askAgent(const AgentAddr& agent, const std::vector<uint8_t>& request, uint16_t xid,
                  const LookupConfig& cfg, slpwire::SrvAck* ack, bool* refused);

}  // namespace slpclient
