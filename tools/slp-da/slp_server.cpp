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
// A connection on which nothing happened for this long (an idle one, or one whose request
// stalled) may be closed to make room for a new one.
constexpr int64_t kQuietMs = 1000;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
    // Idle, or part of a request has waited for the rest, for kQuietMs or more.
    bool quietIdle(int64_t now) const { return idle() && now - lastActiveMs >= kQuietMs; }
    bool stalled(int64_t now) const {
        return msgStartMs != 0 && out.empty() && now - msgStartMs >= kQuietMs;
    }
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
      mUdpSlot(agent->config().limits.maxMessage),
      mUdpBuf(mUdpSlot * kUdpBatch) {}

Server::~Server() {
    flushLog();
}

void Server::log(const std::string& line) {
    mLog += "slp-da: ";
    mLog += line;
    mLog += '\n';
}

void Server::flushLog() {
    if (mLog.empty()) return;
    fwrite(mLog.data(), 1, mLog.size(), stderr);
    fflush(stderr);
    mLog.clear();
}

bool Server::run(const volatile sig_atomic_t* stop, volatile sig_atomic_t* reload,
                 const std::function<void()>& onReload) {
    std::vector<struct pollfd> fds;
    bool moreWork = false;
    while (!*stop) {
        if (*reload) {
            *reload = 0;
            flushLog();
            onReload();
        }
        fds.clear();
        fds.push_back({mUdp.get(), POLLIN, 0});
        // With the table full, new connections wait in the backlog unless an idle one can go.
        const bool room =
            mConns.size() < mCfg.maxConnections || roomVictim(nowMs()) != mConns.end();
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
        flushLog();
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

// Takes up to kUdpBatch datagrams with one call and sends their replies with another.
void Server::serveUdp() {
    struct Slot {
        struct sockaddr_in peer;
        struct iovec iov;
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(struct in_pktinfo))];
    };
    Slot in[kUdpBatch];
    struct mmsghdr msgs[kUdpBatch];
    memset(msgs, 0, sizeof msgs);
    for (int i = 0; i < kUdpBatch; ++i) {
        in[i].iov = {mUdpBuf.data() + static_cast<size_t>(i) * mUdpSlot, mUdpSlot};
        struct msghdr& mh = msgs[i].msg_hdr;
        mh.msg_name = &in[i].peer;
        mh.msg_namelen = sizeof in[i].peer;
        mh.msg_iov = &in[i].iov;
        mh.msg_iovlen = 1;
        mh.msg_control = in[i].cbuf;
        mh.msg_controllen = sizeof in[i].cbuf;
    }
    // MSG_TRUNC: msg_len is the datagram's real length, also when it did not fit its slot.
    int got = recvmmsg(mUdp.get(), msgs, kUdpBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (got <= 0) return;  // EAGAIN, or an error we cannot act on

    std::vector<std::vector<uint8_t>> replies;  // kept alive until sent
    std::vector<struct sockaddr_in> to;
    std::vector<uint32_t> from;
    Replies answer;
    std::string line;
    for (int i = 0; i < got; ++i) {
        const struct msghdr& mh = msgs[i].msg_hdr;
        uint32_t local = mAddrNet;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr;
             c = CMSG_NXTHDR(const_cast<struct msghdr*>(&mh), c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                struct in_pktinfo pi;
                memcpy(&pi, CMSG_DATA(c), sizeof pi);
                if (local == INADDR_ANY) local = pi.ipi_addr.s_addr;
            }
        }
        const struct sockaddr_in& peer = in[i].peer;
        Arrival a;
        a.tcp = false;
        a.localAddrNet = local;
        a.peerAddrNet = peer.sin_addr.s_addr;
        a.peer = addrPortText(peer.sin_addr.s_addr, ntohs(peer.sin_port));
        a.nowMs = nowMs();
        const size_t len = msgs[i].msg_len;
        if (len > mUdpSlot) {
            log("udp " + a.peer + " message of " + std::to_string(len) +
                " bytes dropped: over the " + std::to_string(mUdpSlot) + "-byte limit");
            continue;
        }
        const uint8_t* data = mUdpBuf.data() + static_cast<size_t>(i) * mUdpSlot;
        if (mAgent->handle(data, len, a, &answer, &line)) {
            for (std::vector<uint8_t>& r : answer) {
                replies.push_back(std::move(r));
                to.push_back(peer);
                from.push_back(local);
            }
        }
        log(line);
    }
    flushLog();  // a line is out before its reply, for whoever reads both
    sendUdp(replies, to, from);
}

// Sends each reply from the address its request was sent to, which a client's connected
// socket expects even when we listen on 0.0.0.0. A lost reply is a lost datagram: the client
// retransmits.
void Server::sendUdp(const std::vector<std::vector<uint8_t>>& replies,
                     std::vector<struct sockaddr_in>& to, const std::vector<uint32_t>& from) {
    const size_t n = replies.size();
    if (n == 0) return;
    struct Slot {
        struct iovec iov;
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(struct in_pktinfo))];
    };
    std::vector<Slot> slots(n);
    std::vector<struct mmsghdr> msgs(n);
    for (size_t i = 0; i < n; ++i) {
        memset(&msgs[i], 0, sizeof msgs[i]);
        memset(slots[i].cbuf, 0, sizeof slots[i].cbuf);
        slots[i].iov = {const_cast<uint8_t*>(replies[i].data()), replies[i].size()};
        struct msghdr& mh = msgs[i].msg_hdr;
        mh.msg_name = &to[i];
        mh.msg_namelen = sizeof to[i];
        mh.msg_iov = &slots[i].iov;
        mh.msg_iovlen = 1;
        if (mAddrNet == INADDR_ANY) {
            mh.msg_control = slots[i].cbuf;
            mh.msg_controllen = sizeof slots[i].cbuf;
            struct cmsghdr* c = CMSG_FIRSTHDR(&mh);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
            struct in_pktinfo pi = {};
            pi.ipi_spec_dst.s_addr = from[i];
            memcpy(CMSG_DATA(c), &pi, sizeof pi);
        }
    }
    size_t sent = 0;
    while (sent < n) {
        int r = sendmmsg(mUdp.get(), msgs.data() + sent, static_cast<unsigned>(n - sent),
                         MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r <= 0) {
            ++sent;  // skip the datagram that failed
        } else {
            sent += static_cast<size_t>(r);
        }
    }
}

// A full table makes room by closing the longest-idle connection or, when none is idle, the one
// whose request stalled longest; either must have been quiet for kQuietMs (a client's request
// arrives in well under that), so only a peer that holds a connection without using it loses
// out.
std::vector<Server::Conn>::iterator Server::roomVictim(int64_t now) {
    auto pick = mConns.end();
    for (auto it = mConns.begin(); it != mConns.end(); ++it) {
        if (it->quietIdle(now) &&
            (pick == mConns.end() || !pick->idle() || it->lastActiveMs < pick->lastActiveMs)) {
            pick = it;
        } else if (it->stalled(now) &&
                   (pick == mConns.end() || (!pick->idle() && it->msgStartMs < pick->msgStartMs))) {
            pick = it;
        }
    }
    return pick;
}

// Accepts while there is room; with the table full, a quiet connection is closed for each new
// one, and when there is none the rest wait in the backlog.
void Server::acceptAll() {
    for (;;) {
        const int64_t now = nowMs();
        const bool full = mConns.size() >= mCfg.maxConnections;
        if (full && roomVictim(now) == mConns.end()) return;
        struct sockaddr_in peer = {};
        socklen_t len = sizeof peer;
        Fd fd(accept4(mTcp.get(), reinterpret_cast<struct sockaddr*>(&peer), &len,
                      SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) return;
        if (full) {
            auto victim = roomVictim(now);
            log("tcp " + victim->peer + (victim->idle() ? " idle" : " stalled") +
                " connection closed to make room");
            mConns.erase(victim);
        }
        Conn c;
        c.peer = addrPortText(peer.sin_addr.s_addr, ntohs(peer.sin_port));
        struct sockaddr_in local = {};
        len = sizeof local;
        getsockname(fd.get(), reinterpret_cast<struct sockaddr*>(&local), &len);
        c.localAddrNet = local.sin_addr.s_addr;
        c.peerAddrNet = peer.sin_addr.s_addr;
        c.fd = std::move(fd);
        c.lastActiveMs = now;
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
    flushLog();
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
