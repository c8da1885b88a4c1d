#include "slp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "slp_wire.h"

namespace slpda {

namespace {

constexpr int kUdpBatch = 32;                // datagrams served per round
constexpr int kTcpBatch = 8;                 // messages served per connection and round
constexpr size_t kMaxPendingOutput = 65536;  // no new request read while more is unsent
constexpr size_t kRecvChunk = 16384;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string addrText(uint32_t addrNet, uint16_t portHost) {
    char buf[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = addrNet;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(portHost);
}

void log(const std::string& line) {
    fprintf(stderr, "slp-da: %s\n", line.c_str());
}

}  // namespace

struct Server::Conn {
    Fd fd;
    std::string peer;
    uint32_t peerAddrNet = 0;
    uint32_t localAddrNet = 0;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    int64_t lastActiveMs = 0;
    int64_t msgStartMs = 0;  // first byte of the request not yet whole; 0: none
    int64_t outSinceMs = 0;  // when unsent reply bytes appeared; 0: none
    bool closing = false;    // the peer has finished sending or broke the framing

    bool idle() const { return in.empty() && out.empty() && !closing; }
    // A whole message waits in `in` (left over when a round's batch was used up).
    bool hasWhole() const {
        return !closing && in.size() >= 5 && in.size() >= slpwire::peekLength(in.data());
    }
};

Server::Server(DirectoryAgent* agent, uint32_t addrNet, Fd tcp, Fd udp, ServerConfig cfg)
    : mAgent(agent),
      mAddrNet(addrNet),
      mTcp(std::move(tcp)),
      mUdp(std::move(udp)),
      mCfg(cfg),
      mUdpBuf(65536) {}

Server::~Server() = default;

bool Server::run(const volatile sig_atomic_t* stop, volatile sig_atomic_t* reload,
                 const std::function<void()>& onReload) {
    std::vector<struct pollfd> fds;
    bool moreWork = false;
    while (!*stop) {
        if (*reload) {
            *reload = 0;
            onReload();
        }
        fds.clear();
        fds.push_back({mUdp.get(), POLLIN, 0});
        // With the table full, new connections wait in the backlog unless an idle one can go.
        const bool room =
            mConns.size() < mCfg.maxConnections ||
            std::any_of(mConns.begin(), mConns.end(), [](const Conn& c) { return c.idle(); });
        fds.push_back({mTcp.get(), static_cast<short>(room ? POLLIN : 0), 0});
        for (const Conn& c : mConns) {
            short ev = 0;
            if (!c.closing && c.out.size() < kMaxPendingOutput &&
                c.in.size() < mAgent->config().limits.maxMessage) {
                ev |= POLLIN;
            }
            if (!c.out.empty()) ev |= POLLOUT;
            fds.push_back({c.fd.get(), ev, 0});
        }
        int r = poll(fds.data(), fds.size(), pollTimeoutMs(nowMs(), moreWork));
        if (r < 0) {
            if (errno == EINTR) continue;
            perror("poll");
            return false;
        }
        moreWork = false;
        if (fds[0].revents != 0) serveUdp();
        const int64_t now = nowMs();
        for (size_t i = 0; i < mConns.size(); ++i) {
            // A connection with whole messages left from an earlier round is served again.
            if (fds[i + 2].revents != 0 || mConns[i].hasWhole()) {
                if (serveConn(&mConns[i], now)) moreWork = true;
            }
        }
        closeExpired(nowMs());
        if (fds[1].revents != 0) acceptAll();
    }
    return true;
}

int Server::pollTimeoutMs(int64_t now, bool moreWork) const {
    if (moreWork) return 0;
    int64_t wait = 1000;
    for (const Conn& c : mConns) {
        for (int64_t since : {c.msgStartMs, c.outSinceMs}) {
            if (since != 0) wait = std::min(wait, since + mCfg.messageDeadlineMs - now);
        }
    }
    return static_cast<int>(std::max<int64_t>(wait, 0));
}

void Server::serveUdp() {
    Replies replies;
    std::string line;
    for (int i = 0; i < kUdpBatch; ++i) {
        struct sockaddr_in peer = {};
        struct iovec iov = {mUdpBuf.data(), mUdpBuf.size()};
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(struct in_pktinfo))];
        struct msghdr mh = {};
        mh.msg_name = &peer;
        mh.msg_namelen = sizeof peer;
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = cbuf;
        mh.msg_controllen = sizeof cbuf;
        ssize_t n = recvmsg(mUdp.get(), &mh, MSG_DONTWAIT);
        if (n < 0) return;  // EAGAIN, or an error we cannot act on
        uint32_t local = mAddrNet;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                struct in_pktinfo pi;
                memcpy(&pi, CMSG_DATA(c), sizeof pi);
                if (local == INADDR_ANY) local = pi.ipi_addr.s_addr;
            }
        }
        Arrival from;
        from.tcp = false;
        from.localAddrNet = local;
        from.peerAddrNet = peer.sin_addr.s_addr;
        from.peer = addrText(peer.sin_addr.s_addr, ntohs(peer.sin_port));
        from.nowMs = nowMs();
        bool answer = mAgent->handle(mUdpBuf.data(), static_cast<size_t>(n), from, &replies, &line);
        log(line);
        if (answer) {
            for (const std::vector<uint8_t>& reply : replies) sendUdp(reply, peer, local);
        }
    }
}

// Replies from the address the request was sent to, which a client's connected socket expects
// even when we listen on 0.0.0.0.
void Server::sendUdp(const std::vector<uint8_t>& reply, const struct sockaddr_in& peer,
                     uint32_t localAddrNet) {
    struct sockaddr_in to = peer;
    struct iovec iov = {const_cast<uint8_t*>(reply.data()), reply.size()};
    alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(struct in_pktinfo))] = {};
    struct msghdr mh = {};
    mh.msg_name = &to;
    mh.msg_namelen = sizeof to;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    if (mAddrNet == INADDR_ANY) {
        mh.msg_control = cbuf;
        mh.msg_controllen = sizeof cbuf;
        struct cmsghdr* c = CMSG_FIRSTHDR(&mh);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
        struct in_pktinfo pi = {};
        pi.ipi_spec_dst.s_addr = localAddrNet;
        memcpy(CMSG_DATA(c), &pi, sizeof pi);
    }
    // A lost reply is a lost datagram: the client retransmits.
    sendmsg(mUdp.get(), &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
}

bool Server::evictOldestIdle() {
    auto oldest = mConns.end();
    for (auto it = mConns.begin(); it != mConns.end(); ++it) {
        if (it->idle() && (oldest == mConns.end() || it->lastActiveMs < oldest->lastActiveMs)) {
            oldest = it;
        }
    }
    if (oldest == mConns.end()) return false;
    log("tcp " + oldest->peer + " idle connection closed to make room");
    mConns.erase(oldest);
    return true;
}

void Server::acceptAll() {
    for (;;) {
        struct sockaddr_in peer = {};
        socklen_t len = sizeof peer;
        Fd fd(accept4(mTcp.get(), reinterpret_cast<struct sockaddr*>(&peer), &len,
                      SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) return;
        Conn c;
        c.peer = addrText(peer.sin_addr.s_addr, ntohs(peer.sin_port));
        if (mConns.size() >= mCfg.maxConnections && !evictOldestIdle()) {
            // Every connection has a request under way; this one retries later.
            log("tcp " + c.peer + " connection refused: " + std::to_string(mConns.size()) +
                " connections busy");
            return;
        }
        struct sockaddr_in local = {};
        len = sizeof local;
        getsockname(fd.get(), reinterpret_cast<struct sockaddr*>(&local), &len);
        c.localAddrNet = local.sin_addr.s_addr;
        c.peerAddrNet = peer.sin_addr.s_addr;
        c.fd = std::move(fd);
        c.lastActiveMs = nowMs();
        mConns.push_back(std::move(c));
    }
}

// Reads what has arrived, serves up to kTcpBatch whole messages and writes what it can. Returns
// true when whole messages are left for the next round.
bool Server::serveConn(Conn* c, int64_t now) {
    const size_t maxMessage = mAgent->config().limits.maxMessage;
    if (!c->closing && c->out.size() < kMaxPendingOutput && c->in.size() < maxMessage) {
        uint8_t buf[kRecvChunk];
        ssize_t n = recv(c->fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            if (c->in.empty()) c->msgStartMs = now;
            c->in.insert(c->in.end(), buf, buf + n);
            c->lastActiveMs = now;
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            c->closing = true;
        }
    }
    Replies replies;
    std::string line;
    int served = 0;
    size_t used = 0;  // bytes of c->in consumed
    while (c->in.size() - used >= 5 && served < kTcpBatch) {
        const uint8_t* msg = c->in.data() + used;
        size_t len = slpwire::peekLength(msg);
        if (len < slpwire::kFixedHeaderSize) {
            log("tcp " + c->peer + " malformed message of " + std::to_string(len) +
                " bytes dropped");
            used = c->in.size();
            c->closing = true;  // the framing is lost
            break;
        }
        if (len > maxMessage) {
            // Refused before it is read, so the stream cannot go on.
            log("tcp " + c->peer + " message of " + std::to_string(len) +
                " bytes dropped: over the " + std::to_string(maxMessage) + "-byte limit");
            used = c->in.size();
            c->closing = true;
            break;
        }
        if (c->in.size() - used < len) break;
        Arrival from{true, c->localAddrNet, c->peerAddrNet, c->peer, now};
        if (mAgent->handle(msg, len, from, &replies, &line)) {
            if (c->out.empty()) c->outSinceMs = now;
            for (const std::vector<uint8_t>& r : replies) {
                c->out.insert(c->out.end(), r.begin(), r.end());
            }
        }
        log(line);
        used += len;
        ++served;
    }
    if (used > 0) {
        c->in.erase(c->in.begin(), c->in.begin() + static_cast<std::ptrdiff_t>(used));
        // What is left is the start of the next message, which arrived by now.
        c->msgStartMs = c->in.empty() ? 0 : now;
    }
    while (!c->out.empty()) {
        ssize_t n = send(c->fd.get(), c->out.data(), c->out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
            c->out.clear();
            c->closing = true;
            break;
        }
        c->out.erase(c->out.begin(), c->out.begin() + n);
        c->lastActiveMs = now;
    }
    if (c->out.empty()) c->outSinceMs = 0;
    return c->hasWhole();
}

void Server::closeExpired(int64_t now) {
    for (size_t i = mConns.size(); i-- > 0;) {
        Conn& c = mConns[i];
        bool drop = c.closing && c.out.empty();
        if (!drop && c.msgStartMs != 0 && now - c.msgStartMs >= mCfg.messageDeadlineMs) {
            log("tcp " + c.peer + " message not complete within " +
                std::to_string(mCfg.messageDeadlineMs / 1000) + " s: connection closed");
            drop = true;
        } else if (!drop && c.outSinceMs != 0 && now - c.outSinceMs >= mCfg.messageDeadlineMs) {
            log("tcp " + c.peer + " reply not taken within " +
                std::to_string(mCfg.messageDeadlineMs / 1000) + " s: connection closed");
            drop = true;
        } else if (!drop && c.idle() && now - c.lastActiveMs >= mCfg.idleCloseMs) {
            drop = true;
        }
        if (drop) mConns.erase(mConns.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

}  // namespace slpda
