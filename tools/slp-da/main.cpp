// slp-da: a small SLPv2 Directory Agent for development, tests and demos. One thread serves UDP
// and TCP from a poll loop; the protocol logic lives in DirectoryAgent.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "net_util.h"
#include "slp_agent.h"
#include "slp_regfile.h"
#include "slp_text.h"
#include "slp_wire.h"

namespace {

const char kUsage[] =
    "usage: slp-da [--listen ADDR[:PORT]] [--reg FILE] [--scopes LIST]\n"
    "\n"
    "A small SLPv2 Directory Agent. Serves SrvRqst (service:directory-agent is answered with a\n"
    "DAAdvert), SrvReg and SrvDeReg over UDP and TCP; other requests get MSG_NOT_SUPPORTED and\n"
    "malformed packets are dropped.\n"
    "\n"
    "  --listen ADDR[:PORT]  IPv4 address and port for UDP and TCP (default 127.0.0.1:427);\n"
    "                        port 0 picks a free port, shown in the first line on stderr\n"
    "  --reg FILE            static registrations in slp.reg format, loaded whole or not at all\n"
    "  --scopes LIST         comma-separated scopes served (default \"default\")\n"
    "  --help                this text\n"
    "\n"
    "Standard error gets one line when ready:\n"
    "  slp-da: listening on ADDR:PORT scopes=\"LIST\" registrations=N\n"
    "and then one line per message received:\n"
    "  slp-da: PROTO PEER SrvRqst type=\"T\" scope=\"S\" predicate=\"P\" urls=N error=E\n"
    "  slp-da: PROTO PEER SrvReg url=\"U\" type=\"T\" scope=\"S\" lifetime=L error=E\n"
    "  slp-da: PROTO PEER SrvDeReg url=\"U\" scope=\"S\" tags=\"G\" error=E\n"
    "  slp-da: PROTO PEER MESSAGE error=E            (other requests)\n"
    "  slp-da: PROTO PEER MESSAGE ignored            (replies sent to the agent)\n"
    "  slp-da: PROTO PEER malformed message of N bytes dropped\n"
    "PROTO is udp or tcp, PEER the sender's ADDR:PORT, urls the number of URLs answered, E the\n"
    "SLP error code sent (0 = none). A line ends in \" no reply\" when nothing was sent. In\n"
    "quoted texts '\"', control and non-ASCII bytes are written as \\HH.\n";

constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxTcpMessage = 65536;  // requests are small; a larger one ends the connection
constexpr size_t kMaxPendingOutput = 1 << 20;  // stop reading a connection that does not read
constexpr int kIdleCloseSec = 300;
constexpr size_t kMaxRegFile = 16 << 20;

volatile sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

using Clock = std::chrono::steady_clock;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

std::string addrText(uint32_t addrNet, uint16_t portHost) {
    char buf[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = addrNet;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(portHost);
}

bool parseListen(const std::string& text, uint32_t* addrNet, uint16_t* portHost) {
    std::string host;
    bool hasPort = false;
    struct in_addr a;
    if (!splitHostPort(text, &host, portHost, &hasPort) ||
        inet_pton(AF_INET, host.c_str(), &a) != 1) {
        return false;
    }
    *addrNet = a.s_addr;
    return true;
}

bool readFile(const char* path, std::string* out) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return false;
    char buf[8192];
    size_t n;
    bool ok = true;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        out->append(buf, n);
        if (out->size() > kMaxRegFile) {
            errno = EFBIG;
            ok = false;
            break;
        }
    }
    if (ok && ferror(f)) ok = false;
    fclose(f);
    return ok;
}

struct sockaddr_in sockAddr(uint32_t addrNet, uint16_t portHost) {
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = htons(portHost);
    return sa;
}

// Binds TCP and UDP to the same address and port; with port 0, the first free port that both
// can have. Returns the port, or -1 after perror().
int bindBoth(uint32_t addrNet, uint16_t portHost, Fd* tcp, Fd* udp) {
    for (int attempt = 0; attempt < 32; ++attempt) {
        tcp->reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        udp->reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!tcp->valid() || !udp->valid()) {
            perror("socket");
            return -1;
        }
        int one = 1;
        setsockopt(tcp->get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in sa = sockAddr(addrNet, portHost);
        if (bind(tcp->get(), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0) {
            perror("bind");
            return -1;
        }
        socklen_t len = sizeof sa;
        getsockname(tcp->get(), reinterpret_cast<struct sockaddr*>(&sa), &len);
        if (bind(udp->get(), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0) {
            if (portHost == 0 && errno == EADDRINUSE) continue;
            perror("bind");
            return -1;
        }
        if (listen(tcp->get(), 64) < 0) {
            perror("listen");
            return -1;
        }
        setsockopt(udp->get(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        return ntohs(sa.sin_port);
    }
    fprintf(stderr, "slp-da: no port free for both UDP and TCP\n");
    return -1;
}

struct Conn {
    Fd fd;
    std::string peer;
    uint32_t localAddrNet = 0;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    int64_t lastActiveMs = 0;
    bool closing = false;  // the peer has finished sending or broke the framing
};

class Server {
public:
    Server(slpda::DirectoryAgent* agent, uint32_t addrNet, Fd tcp, Fd udp)
        : mAgent(agent), mAddrNet(addrNet), mTcp(std::move(tcp)), mUdp(std::move(udp)) {}

    void run() {
        std::vector<struct pollfd> fds;
        while (!gStop) {
            fds.clear();
            fds.push_back({mUdp.get(), POLLIN, 0});
            fds.push_back(
                {mTcp.get(), static_cast<short>(mConns.size() < kMaxConnections ? POLLIN : 0), 0});
            for (const Conn& c : mConns) {
                short ev = 0;
                if (!c.closing && c.out.size() < kMaxPendingOutput) ev |= POLLIN;
                if (!c.out.empty()) ev |= POLLOUT;
                fds.push_back({c.fd.get(), ev, 0});
            }
            int r = poll(fds.data(), fds.size(), 1000);
            if (r < 0) {
                if (errno == EINTR) continue;
                perror("poll");
                return;
            }
            if (fds[0].revents != 0) serveUdp();
            for (size_t i = 0; i < mConns.size(); ++i) {
                if (fds[i + 2].revents != 0) serveConn(&mConns[i]);
            }
            dropFinished();
            if (fds[1].revents != 0) acceptAll();
        }
    }

private:
    void log(const std::string& line) { fprintf(stderr, "slp-da: %s\n", line.c_str()); }

    void serveUdp() {
        std::vector<uint8_t> buf(65536);
        std::vector<uint8_t> reply;
        std::string line;
        // Bounded, so that a flood on UDP cannot starve TCP.
        for (int i = 0; i < 64; ++i) {
            struct sockaddr_in peer = {};
            struct iovec iov = {buf.data(), buf.size()};
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
            slpda::Arrival from;
            from.tcp = false;
            from.localAddrNet = local;
            from.peer = addrText(peer.sin_addr.s_addr, ntohs(peer.sin_port));
            from.nowMs = nowMs();
            bool answer = mAgent->handle(buf.data(), static_cast<size_t>(n), from, &reply, &line);
            log(line);
            if (answer) sendUdp(reply, peer, local);
        }
    }

    // Replies from the address the request was sent to, which a client's connected socket
    // expects even when we listen on 0.0.0.0.
    void sendUdp(const std::vector<uint8_t>& reply, struct sockaddr_in& peer, uint32_t local) {
        struct iovec iov = {const_cast<uint8_t*>(reply.data()), reply.size()};
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(struct in_pktinfo))] = {};
        struct msghdr mh = {};
        mh.msg_name = &peer;
        mh.msg_namelen = sizeof peer;
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
            pi.ipi_spec_dst.s_addr = local;
            memcpy(CMSG_DATA(c), &pi, sizeof pi);
        }
        // A lost reply is a lost datagram: the client retransmits.
        sendmsg(mUdp.get(), &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
    }

    void acceptAll() {
        while (mConns.size() < kMaxConnections) {
            struct sockaddr_in peer = {};
            socklen_t len = sizeof peer;
            Fd fd(accept4(mTcp.get(), reinterpret_cast<struct sockaddr*>(&peer), &len,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd.valid()) return;
            Conn c;
            struct sockaddr_in local = {};
            len = sizeof local;
            getsockname(fd.get(), reinterpret_cast<struct sockaddr*>(&local), &len);
            c.localAddrNet = local.sin_addr.s_addr;
            c.fd = std::move(fd);
            c.peer = addrText(peer.sin_addr.s_addr, ntohs(peer.sin_port));
            c.lastActiveMs = nowMs();
            mConns.push_back(std::move(c));
        }
    }

    void serveConn(Conn* c) {
        uint8_t buf[16384];
        if (!c->closing && c->out.size() < kMaxPendingOutput) {
            ssize_t n = recv(c->fd.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                c->in.insert(c->in.end(), buf, buf + n);
                c->lastActiveMs = nowMs();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                c->closing = true;
            }
        }
        std::vector<uint8_t> reply;
        std::string line;
        while (c->in.size() >= 5) {
            size_t len = slpwire::peekLength(c->in.data());
            if (len < slpwire::kFixedHeaderSize || len > kMaxTcpMessage) {
                log("tcp " + c->peer + " malformed message of " + std::to_string(len) +
                    " bytes dropped");
                c->in.clear();
                c->closing = true;  // the framing is lost
                break;
            }
            if (c->in.size() < len) break;
            slpda::Arrival from;
            from.tcp = true;
            from.localAddrNet = c->localAddrNet;
            from.peer = c->peer;
            from.nowMs = nowMs();
            if (mAgent->handle(c->in.data(), len, from, &reply, &line)) {
                c->out.insert(c->out.end(), reply.begin(), reply.end());
            }
            log(line);
            c->in.erase(c->in.begin(), c->in.begin() + static_cast<std::ptrdiff_t>(len));
        }
        while (!c->out.empty()) {
            ssize_t n =
                send(c->fd.get(), c->out.data(), c->out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) {
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
                c->out.clear();
                c->closing = true;
                break;
            }
            c->out.erase(c->out.begin(), c->out.begin() + n);
            c->lastActiveMs = nowMs();
        }
    }

    void dropFinished() {
        const int64_t now = nowMs();
        for (size_t i = mConns.size(); i-- > 0;) {
            Conn& c = mConns[i];
            bool idle = now - c.lastActiveMs > int64_t{kIdleCloseSec} * 1000;
            if ((c.closing && c.out.empty()) || idle) {
                mConns.erase(mConns.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }

    slpda::DirectoryAgent* mAgent;
    uint32_t mAddrNet;
    Fd mTcp;
    Fd mUdp;
    std::vector<Conn> mConns;
};

}  // namespace

int main(int argc, char** argv) {
    uint32_t addrNet = htonl(INADDR_LOOPBACK);
    uint16_t portHost = 427;
    const char* regPath = nullptr;
    std::string scopeText = "default";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc || (a != "--listen" && a != "--reg" && a != "--scopes")) {
            fprintf(stderr, "slp-da: bad argument \"%s\"\n%s", a.c_str(), kUsage);
            return 2;
        }
        const char* v = argv[++i];
        if (a == "--listen") {
            if (!parseListen(v, &addrNet, &portHost)) {
                fprintf(stderr, "slp-da: --listen wants ADDR[:PORT], got \"%s\"\n", v);
                return 2;
            }
        } else if (a == "--reg") {
            regPath = v;
        } else {
            scopeText = v;
        }
    }

    slpda::AgentConfig cfg;
    cfg.scopes = slpda::splitList(scopeText);
    if (cfg.scopes.empty()) {
        fprintf(stderr, "slp-da: --scopes needs at least one scope\n");
        return 2;
    }
    cfg.bootTime = static_cast<uint32_t>(time(nullptr));
    slpda::DirectoryAgent agent(cfg);

    if (regPath != nullptr) {
        std::string text;
        if (!readFile(regPath, &text)) {
            fprintf(stderr, "slp-da: %s: %s\n", regPath, strerror(errno));
            return 1;
        }
        std::vector<slpda::Registration> regs;
        std::string error;
        if (!slpda::parseRegFile(text, cfg.scopes, &regs, &error)) {
            fprintf(stderr, "slp-da: %s: %s\n", regPath, error.c_str());
            return 1;
        }
        const int64_t now = nowMs();
        for (slpda::Registration& r : regs) agent.store().add(std::move(r), true, now);
    }

    Fd tcp;
    Fd udp;
    int port = bindBoth(addrNet, portHost, &tcp, &udp);
    if (port < 0) return 1;

    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    fprintf(stderr, "slp-da: listening on %s scopes=\"%s\" registrations=%zu\n",
            addrText(addrNet, static_cast<uint16_t>(port)).c_str(),
            slpda::logSafe(scopeText).c_str(), agent.store().size(nowMs()));
    Server server(&agent, addrNet, std::move(tcp), std::move(udp));
    server.run();
    return 0;
}
