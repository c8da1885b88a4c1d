// loadgen: closed-loop HTTP load on loopback, one request per connection, the same bytes for any
// server. One epoll thread keeps --conns connections in flight; each connects, sends the request
// (an ESMInit text plus the NUL our client appends, under an HTTP/1.0 request line and a lone
// Content-Length header, so that no server needs a Host header), reads the response to the end
// of the stream, checks it and is replaced by a new connection at once.
//
// Output, one line: conns= seconds= ok= rps= errors= p50_us= p99_us= max_us= over_1s= body_bytes=
// Latency runs from the connect call to the end of the stream. Only completions inside the
// measured window count; requests still open at the end count in max_us and over_1s by their age.
//
//   loadgen --target ADDR:PORT [--conns N] [--seconds S] [--warmup S] [--timeout-ms MS]
//   loadgen --target ADDR:PORT --once     one request; prints the response body on stdout
//   loadgen --free-port ADDR              prints a TCP port that is free on ADDR (0.0.0.0: on
//                                         every address)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Msg.h"
#include "malloc_ptr.h"
#include "net_util.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxResponseBytes = 64 * 1024;  // far above any answer under test
constexpr int64_t kSlowUs = 1000000;

struct Options {
    uint32_t addrNet = 0;
    uint16_t port = 0;
    int conns = 32;
    double seconds = 5.0;
    double warmup = 1.0;
    int timeoutMs = 10000;
    bool once = false;
};

void usage() {
    fputs(
        "usage: loadgen --target ADDR:PORT [--conns N] [--seconds S] [--warmup S]\n"
        "               [--timeout-ms MS] [--once]\n"
        "       loadgen --free-port ADDR\n",
        stderr);
}

// The request every connection sends.
std::string requestBytes() {
    ESMInit init(1, 1, 7560);
    MallocText text(init.getChars());
    std::string body(text.get());
    body.push_back('\0');
    return "POST /query HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

bool parseTarget(const char* text, Options* o) {
    std::string host;
    uint16_t port = 0;
    bool hasPort = false;
    int err = 0;
    if (!splitHostPort(text, &host, &port, &hasPort) || !hasPort || port == 0 ||
        !resolveIPv4(host, &o->addrNet, &err)) {
        return false;
    }
    o->port = port;
    return true;
}

// The body of a complete response if it is a 200 whose Content-Length matches, else -1.
long checkResponse(const std::string& r, std::string* body) {
    if (r.size() < 12 || r.compare(0, 5, "HTTP/") != 0 || r.compare(8, 4, " 200") != 0) return -1;
    size_t headEnd = r.find("\r\n\r\n");
    if (headEnd == std::string::npos) return -1;
    long announced = -1;
    for (size_t at = r.find("\r\n"); at < headEnd; at = r.find("\r\n", at + 2)) {
        static const char kName[] = "content-length:";
        if (strncasecmp(r.c_str() + at + 2, kName, sizeof kName - 1) == 0) {
            announced = strtol(r.c_str() + at + 2 + sizeof kName - 1, nullptr, 10);
            break;
        }
    }
    const size_t got = r.size() - headEnd - 4;
    if (announced < 0 || static_cast<size_t>(announced) != got) return -1;
    if (body != nullptr) *body = r.substr(headEnd + 4);
    return announced;
}

enum class State { Idle, Connecting, Reading };

struct Conn {
    int fd = -1;
    State state = State::Idle;
    Clock::time_point start;
    std::string in;
};

class Load {
public:
    Load(const Options& o, std::string request) : mOpt(o), mRequest(std::move(request)) {}

    int run() {
        mEpoll = Fd(epoll_create1(EPOLL_CLOEXEC));
        if (!mEpoll.valid()) {
            perror("epoll_create1");
            return 1;
        }
        mConns.resize(static_cast<size_t>(mOpt.conns));
        const Clock::time_point begin = Clock::now();
        mWindowStart = begin + toDuration(mOpt.warmup);
        mWindowEnd = mWindowStart + toDuration(mOpt.seconds);
        for (size_t i = 0; i < mConns.size(); ++i) start(i);

        std::vector<epoll_event> events(mConns.size());
        Clock::time_point lastSweep = begin;
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (now >= mWindowEnd) break;
            if (now - lastSweep >= std::chrono::milliseconds(100)) {
                sweep(now);
                lastSweep = now;
            }
            // Slots whose connect failed at once are tried again after a short pause.
            bool idle = false;
            for (size_t i = 0; i < mConns.size(); ++i)
                idle = idle || mConns[i].state == State::Idle;
            const int n = epoll_wait(mEpoll.get(), events.data(), static_cast<int>(events.size()),
                                     idle ? 1 : 20);
            if (n < 0 && errno != EINTR) {
                perror("epoll_wait");
                return 1;
            }
            for (int k = 0; k < n; ++k) handle(events[static_cast<size_t>(k)].data.u64);
            if (idle) {
                for (size_t i = 0; i < mConns.size(); ++i) {
                    if (mConns[i].state == State::Idle) start(i);
                }
            }
        }
        // Requests still open count by their age, so that a stuck one cannot hide.
        const Clock::time_point end = Clock::now();
        for (Conn& c : mConns) {
            if (c.state == State::Idle) continue;
            const int64_t age = usSince(c.start, end);
            mMaxUs = std::max(mMaxUs, age);
            if (age > kSlowUs) ++mOver1s;
            closeConn(c);
        }
        report();
        return 0;
    }

private:
    static Clock::duration toDuration(double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }
    static int64_t usSince(Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration_cast<std::chrono::microseconds>(b - a).count();
    }

    void start(size_t i) {
        Conn& c = mConns[i];
        c.in.clear();
        c.start = Clock::now();
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) {
            failed(c);
            return;
        }
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(mOpt.port);
        sa.sin_addr.s_addr = mOpt.addrNet;
        if (connect(c.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 &&
            errno != EINPROGRESS) {
            failed(c);
            return;
        }
        c.state = State::Connecting;
        watch(i, EPOLL_CTL_ADD, EPOLLOUT);
    }

    void handle(size_t i) {
        Conn& c = mConns[i];
        if (c.state == State::Connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) {
                failed(c);
                return;
            }
            // The request is small: one send fits in an empty socket buffer.
            const ssize_t n = send(c.fd, mRequest.data(), mRequest.size(), MSG_NOSIGNAL);
            if (n != static_cast<ssize_t>(mRequest.size())) {
                failed(c);
                return;
            }
            c.state = State::Reading;
            watch(i, EPOLL_CTL_MOD, EPOLLIN);
            return;
        }
        if (c.state != State::Reading) return;
        char buf[16384];
        for (;;) {
            const ssize_t n = read(c.fd, buf, sizeof buf);
            if (n > 0) {
                c.in.append(buf, static_cast<size_t>(n));
                if (c.in.size() > kMaxResponseBytes) {
                    failed(c);
                    return;
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            if (n < 0) {
                failed(c);
                return;
            }
            break;  // end of stream: the response is complete
        }
        const long body = checkResponse(c.in, nullptr);
        if (body < 0) {
            failed(c);
            return;
        }
        const Clock::time_point now = Clock::now();
        if (now >= mWindowStart && now < mWindowEnd) {
            const int64_t us = usSince(c.start, now);
            mLatUs.push_back(us);
            if (us > kSlowUs) ++mOver1s;
            mBodyBytes = body;
        }
        closeConn(c);
        start(i);
    }

    // Closes connections that have waited longer than the time limit; each is an error.
    void sweep(Clock::time_point now) {
        for (size_t i = 0; i < mConns.size(); ++i) {
            Conn& c = mConns[i];
            if (c.state != State::Idle && usSince(c.start, now) > int64_t{mOpt.timeoutMs} * 1000) {
                failed(c);
                start(i);
            }
        }
    }

    // Has the poll wait for events on connection i (op: EPOLL_CTL_ADD or _MOD); fails it when
    // that cannot be done.
    void watch(size_t i, int op, uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = i;
        if (epoll_ctl(mEpoll.get(), op, mConns[i].fd, &ev) < 0) failed(mConns[i]);
    }

    void failed(Conn& c) {
        const Clock::time_point now = Clock::now();
        if (now >= mWindowStart && now < mWindowEnd) {
            ++mErrors;
            const int64_t us = usSince(c.start, now);
            mMaxUs = std::max(mMaxUs, us);
            if (us > kSlowUs) ++mOver1s;
        }
        closeConn(c);
    }

    void closeConn(Conn& c) {
        if (c.fd >= 0) close(c.fd);  // close also removes it from the epoll set
        c.fd = -1;
        c.state = State::Idle;
    }

    void report() {
        std::sort(mLatUs.begin(), mLatUs.end());
        auto pct = [&](double p) -> int64_t {
            if (mLatUs.empty()) return 0;
            size_t at = static_cast<size_t>(p * static_cast<double>(mLatUs.size() - 1) + 0.5);
            return mLatUs[at];
        };
        if (!mLatUs.empty()) mMaxUs = std::max(mMaxUs, mLatUs.back());
        printf(
            "conns=%d seconds=%.2f ok=%zu rps=%.0f errors=%ld p50_us=%lld p99_us=%lld "
            "max_us=%lld over_1s=%ld body_bytes=%ld\n",
            mOpt.conns, mOpt.seconds, mLatUs.size(),
            static_cast<double>(mLatUs.size()) / mOpt.seconds, mErrors,
            static_cast<long long>(pct(0.50)), static_cast<long long>(pct(0.99)),
            static_cast<long long>(mMaxUs), mOver1s, mBodyBytes);
    }

    Options mOpt;
    std::string mRequest;
    Fd mEpoll;
    std::vector<Conn> mConns;
    Clock::time_point mWindowStart;
    Clock::time_point mWindowEnd;
    std::vector<int64_t> mLatUs;
    long mErrors = 0;
    long mOver1s = 0;
    int64_t mMaxUs = 0;
    long mBodyBytes = -1;
};

// One blocking exchange; prints the body of a good response on standard output.
int once(const Options& o, const std::string& request) {
    Fd s(connectTcp(o.addrNet, o.port, 5000));
    if (!s.valid()) {
        perror("connect");
        return 1;
    }
    setIoTimeouts(s.get(), 5);
    if (writeAll(s.get(), request.data(), request.size()) != request.size()) {
        perror("send");
        return 1;
    }
    std::string r;
    char buf[4096];
    for (ssize_t n; (n = readSome(s.get(), buf, sizeof buf)) > 0;)
        r.append(buf, static_cast<size_t>(n));
    std::string body;
    if (checkResponse(r, &body) < 0) {
        fprintf(stderr, "loadgen: unexpected response:\n%s\n", r.c_str());
        return 1;
    }
    fwrite(body.data(), 1, body.size(), stdout);
    return 0;
}

int freePort(const char* addr) {
    in_addr a{};
    if (inet_aton(addr, &a) == 0) return 2;
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = a;
    socklen_t len = sizeof sa;
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ||
        getsockname(s.get(), reinterpret_cast<sockaddr*>(&sa), &len) < 0) {
        perror("bind");
        return 1;
    }
    printf("%u\n", ntohs(sa.sin_port));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    bool haveTarget = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--once") {
            o.once = true;
            continue;
        }
        if (v == nullptr) {
            usage();
            return 2;
        }
        ++i;
        if (a == "--free-port") return freePort(v);
        if (a == "--target") {
            haveTarget = parseTarget(v, &o);
        } else if (a == "--conns") {
            o.conns = atoi(v);
        } else if (a == "--seconds") {
            o.seconds = atof(v);
        } else if (a == "--warmup") {
            o.warmup = atof(v);
        } else if (a == "--timeout-ms") {
            o.timeoutMs = atoi(v);
        } else {
            usage();
            return 2;
        }
    }
    if (!haveTarget || o.conns <= 0 || o.seconds <= 0 || o.warmup < 0 || o.timeoutMs <= 0) {
        usage();
        return 2;
    }
    xmlInitParser();
    const std::string request = requestBytes();
    if (o.once) return once(o, request);

    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    return Load(o, request).run();
}
