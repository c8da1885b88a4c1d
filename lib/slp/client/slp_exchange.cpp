#include "slp_exchange.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "net_util.h"

namespace slpclient {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kDatagramMax = 65536;

int msUntil(Clock::time_point deadline) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (ms.count() <= 0) return 0;
    return ms.count() > 60000 ? 60000 : static_cast<int>(ms.count());
}

// Waits until fd is readable or the deadline passes: 1 readable, 0 timed out, -1 error.
int waitReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        int ms = msUntil(deadline);
        if (ms == 0) return 0;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, ms);
        if (r < 0 && errno == EINTR) continue;
        return r > 0 ? 1 : r;
    }
}

// Reads exactly n bytes into out (appending) before the deadline.
bool readExactly(int fd, size_t n, Clock::time_point deadline, std::vector<uint8_t>* out) {
    uint8_t buf[16384];
    while (n > 0) {
        if (waitReadable(fd, deadline) != 1) return false;
        ssize_t got = readSome(fd, buf, n < sizeof buf ? n : sizeof buf);
        if (got <= 0) return false;
        out->insert(out->end(), buf, buf + got);
        n -= static_cast<size_t>(got);
    }
    return true;
}

slpwire::ReplyParse parseReply(const uint8_t* buf, size_t len, slpwire::SrvRply* reply) {
    return slpwire::parseSrvRply(buf, len, reply);
}

slpwire::ReplyParse parseReply(const uint8_t* buf, size_t len, slpwire::SrvAck* ack) {
    return slpwire::parseSrvAck(buf, len, ack);
}

// Whether an agent that stays busy has answered: a lookup treats it as silent, but an agent busy
// with a registration is full, and says so.
bool busyIsAnAnswer(const slpwire::SrvRply&) {
    return false;
}

bool busyIsAnAnswer(const slpwire::SrvAck&) {
    return true;
}

// The request again over TCP; the reply is one message of the length in its header.
template <class Reply>
SLPError askOverTcp(const AgentAddr& agent, const std::vector<uint8_t>& request, uint16_t xid,
                    const LookupConfig& cfg, Reply* reply, bool* refused) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(cfg.maxWaitMs);
    Fd s(connectTcp(agent.addrNet, agent.portHost, cfg.maxWaitMs));
    if (!s.valid()) {
        if (errno == ETIMEDOUT) return SLP_NETWORK_TIMED_OUT;
        *refused = errno == ECONNREFUSED;
        return SLP_NETWORK_ERROR;
    }
    setIoTimeouts(s.get(), (cfg.maxWaitMs + 999) / 1000);
    if (writeAll(s.get(), request.data(), request.size()) != request.size()) {
        return SLP_NETWORK_ERROR;
    }
    std::vector<uint8_t> msg;
    if (!readExactly(s.get(), 5, deadline, &msg)) return SLP_NETWORK_ERROR;
    uint32_t len = slpwire::peekLength(msg.data());
    if (len < slpwire::kFixedHeaderSize) return SLP_NETWORK_ERROR;
    if (!readExactly(s.get(), len - 5, deadline, &msg)) return SLP_NETWORK_ERROR;
    if (parseReply(msg.data(), msg.size(), reply) != slpwire::ReplyParse::kOk ||
        reply->hdr.xid != xid) {
        return SLP_NETWORK_ERROR;
    }
    return SLP_OK;
}

// One exchange, whatever the reply's kind.
template <class Reply>
SLPError exchange(const AgentAddr& agent, const std::vector<uint8_t>& request, uint16_t xid,
                  const LookupConfig& cfg, Reply* reply, bool* refused,
                  const std::function<bool()>* keepWaiting) {
    *refused = false;
    // A request that does not fit a datagram goes over TCP straight away.
    if (request.size() > cfg.mtu) return askOverTcp(agent, request, xid, cfg, reply, refused);

    // A connected socket: replies from anyone but the agent are filtered by the kernel, and an
    // ICMP port unreachable shows up as ECONNREFUSED, so a DA that is down fails fast.
    Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) return SLP_NETWORK_ERROR;
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = agent.addrNet;
    sa.sin_port = htons(agent.portHost);
    if (connect(s.get(), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0) {
        return SLP_NETWORK_ERROR;
    }

    std::vector<uint8_t> buf(kDatagramMax);
    bool busy = false;
    const Clock::time_point start = Clock::now();
    int elapsedMs = 0;
    bool sent = false;
    for (int timeoutMs : cfg.timeoutsMs) {
        // The schedule stops where the next full wait would pass the cap; the first send always
        // happens, its wait cut to the cap.
        if (sent && elapsedMs + timeoutMs > cfg.maxWaitMs) break;
        if (sent && keepWaiting != nullptr && !(*keepWaiting)()) break;
        if (timeoutMs > cfg.maxWaitMs) timeoutMs = cfg.maxWaitMs;
        ssize_t n;
        do {
            n = send(s.get(), request.data(), request.size(), MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return SLP_NETWORK_ERROR;
        sent = true;
        elapsedMs += timeoutMs;
        const Clock::time_point slotEnd = start + std::chrono::milliseconds(elapsedMs);
        for (;;) {
            int ready = waitReadable(s.get(), slotEnd);
            if (ready == 0) break;
            if (ready < 0) return SLP_NETWORK_ERROR;
            ssize_t got = recv(s.get(), buf.data(), buf.size(), 0);
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                *refused = errno == ECONNREFUSED;  // nobody listens there
                return SLP_NETWORK_ERROR;
            }
            slpwire::ReplyParse r = parseReply(buf.data(), static_cast<size_t>(got), reply);
            if (r == slpwire::ReplyParse::kMalformed || reply->hdr.xid != xid) continue;
            if (r == slpwire::ReplyParse::kTruncated ||
                (reply->hdr.flags & slpwire::kFlagOverflow) != 0) {
                return askOverTcp(agent, request, xid, cfg, reply, refused);
            }
            // A busy DA asks to be retried later: wait for the next retransmission.
            if (reply->error == slpwire::kDaBusyNow) {
                busy = busyIsAnAnswer(*reply);
                continue;
            }
            return SLP_OK;
        }
    }
    if (!busy) return SLP_NETWORK_TIMED_OUT;
    reply->error = slpwire::kDaBusyNow;
    return SLP_OK;
}

}  // namespace

bool resolveAgent(const std::string& entry, uint16_t defaultPort, AgentAddr* out) {
    std::string host;
    uint16_t port = defaultPort;
    bool hasPort = false;
    int err = 0;
    if (!splitHostPort(entry, &host, &port, &hasPort) || port == 0) return false;
    if (!resolveIPv4(host, &out->addrNet, &err)) return false;
    out->portHost = port;
    return true;
}

SLPError askAgent(const AgentAddr& agent, const std::vector<uint8_t>& request, uint16_t xid,
                  const LookupConfig& cfg, slpwire::SrvRply* reply, bool* refused,
                  const std::function<bool()>* keepWaiting) {
    return exchange(agent, request, xid, cfg, reply, refused, keepWaiting);
}

SLPError askAgent(const AgentAddr& agent, const std::vector<uint8_t>& request, uint16_t xid,
                  const LookupConfig& cfg, slpwire::SrvAck* ack, bool* refused) {
    return exchange(agent, request, xid, cfg, ack, refused, nullptr);
}

}  // namespace slpclient
