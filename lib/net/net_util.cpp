#include "net_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "detached_thread.h"

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
}

void Fd::reset(int fd) {
    if (mFd >= 0) {
        int saved = errno;
        close(mFd);
        errno = saved;
    }
    mFd = fd;
}

int connectTcp(uint32_t addrNet, uint16_t portHost, int timeoutMs) {
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) return -1;
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(portHost);
    sa.sin_addr.s_addr = addrNet;

    int flags = fcntl(s.get(), F_GETFL, 0);
    if (flags < 0 || fcntl(s.get(), F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    if (connect(s.get(), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0) {
        if (errno != EINPROGRESS) return -1;
        struct pollfd p = {s.get(), POLLOUT, 0};
        int r;
        do {
            r = poll(&p, 1, timeoutMs);
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (r < 0) return -1;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) < 0) return -1;
        if (err != 0) {
            errno = err;
            return -1;
        }
    }
    if (fcntl(s.get(), F_SETFL, flags) < 0) return -1;
    return s.release();
}

int listenTcp(uint32_t addrNet, uint16_t portHost, const char** failedCall) {
    *failedCall = "socket";
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) return -1;
    int one = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = htons(portHost);
    *failedCall = "bind";
    if (bind(s.get(), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0) return -1;
    // A short queue drops connection attempts of any burst of clients; the kernel caps this.
    *failedCall = "listen";
    if (listen(s.get(), SOMAXCONN) < 0) return -1;
    return s.release();
}

void setIoTimeouts(int fd, int seconds) {
    struct timeval tv = {seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

ssize_t readSome(int fd, void* buf, size_t len) {
    ssize_t n;
    do {
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

int msUntil(Deadline deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool waitReadyBy(int fd, short events, Deadline deadline) {
    for (;;) {
        const int leftMs = msUntil(deadline);
        if (leftMs == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        struct pollfd p = {fd, events, 0};
        const int r = poll(&p, 1, leftMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r > 0) return true;
    }
}

ssize_t readSomeBy(int fd, void* buf, size_t len, Deadline deadline) {
    // Data that is already there needs no wait: one call instead of poll and read.
    ssize_t n;
    do {
        n = recv(fd, buf, len, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTSOCK)) return n;
    return waitReadyBy(fd, POLLIN, deadline) ? readSome(fd, buf, len) : -1;
}

namespace {

// writeAllv, and writeAllvBy when deadline is not null.
size_t writeAllvUntil(int fd, struct iovec* iov, int count, const Deadline* deadline) {
    size_t done = 0;
    while (count > 0) {
        struct msghdr m = {};
        m.msg_iov = iov;
        m.msg_iovlen = static_cast<size_t>(count);
        // MSG_NOSIGNAL: a peer that has gone away gives EPIPE here instead of killing us.
        ssize_t n = sendmsg(fd, &m, MSG_NOSIGNAL | (deadline != nullptr ? MSG_DONTWAIT : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && deadline != nullptr && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitReadyBy(fd, POLLOUT, *deadline)) break;
            continue;
        }
        if (n <= 0) break;
        done += static_cast<size_t>(n);
        // Skip what was written: whole buffers, then part of the next.
        size_t left = static_cast<size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return done;
}

}  // namespace

size_t writeAllv(int fd, struct iovec* iov, int count) {
    return writeAllvUntil(fd, iov, count, nullptr);
}

size_t writeAllvBy(int fd, struct iovec* iov, int count, Deadline deadline) {
    return writeAllvUntil(fd, iov, count, &deadline);
}

size_t writeAll(int fd, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < len) {
        // MSG_NOSIGNAL: a peer that has gone away gives EPIPE here instead of killing us.
        ssize_t n = send(fd, p + done, len - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

unsigned long raiseDescriptorLimit() {
    struct rlimit r = {};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
    if (r.rlim_cur < r.rlim_max) {
        struct rlimit raised = {r.rlim_max, r.rlim_max};
        // A service manager's filter may forbid it; the limit it set then stands.
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) r.rlim_cur = r.rlim_max;
    }
    return static_cast<unsigned long>(r.rlim_cur);
}

bool splitHostPort(const std::string& text, std::string* host, uint16_t* portHost, bool* hasPort) {
    const size_t colon = text.rfind(':');
    *hasPort = colon != std::string::npos;
    *host = text.substr(0, colon);
    if (host->empty()) return false;
    if (!*hasPort) return true;
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long p = strtoul(port.c_str(), nullptr, 10);
    if (p > 65535) return false;
    *portHost = static_cast<uint16_t>(p);
    return true;
}

bool validHostPortList(const std::string& list) {
    size_t from = 0;
    for (;;) {
        const size_t comma = list.find(',', from);
        const std::string entry =
            list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        std::string host;
        uint16_t port = 0;
        bool hasPort = false;
        if (entry.empty() || entry.find(' ') != std::string::npos ||
            !splitHostPort(entry, &host, &port, &hasPort) || (hasPort && port == 0)) {
            return false;
        }
        if (comma == std::string::npos) return true;
        from = comma + 1;
    }
}

namespace {

// A host name looked up with getaddrinfo.
bool lookUpName(const std::string& host, uint32_t* addrNet, int* err) {
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        // getaddrinfo reports through its result, not errno.
        *err = rc == EAI_SYSTEM   ? errno
               : rc == EAI_MEMORY ? ENOMEM
               : rc == EAI_AGAIN  ? EAGAIN
                                  : ENXIO;
        if (res != nullptr) freeaddrinfo(res);
        return false;
    }
    *addrNet = reinterpret_cast<const struct sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
}

// One lookup, shared by the caller that waits for it and the thread that makes it: the last of
// the two to let go frees it.
struct NameLookup {
    std::string host;
    std::mutex mu;
    std::condition_variable finished;
    bool done = false;     // guarded by mu
    bool ok = false;       // guarded by mu
    uint32_t addrNet = 0;  // guarded by mu
    int err = 0;           // guarded by mu
};

// Runs on a thread of its own, which holds one share of the lookup; the caller, which holds the
// other, may have stopped waiting for it.
void runNameLookup(NameLookup& l) {
    uint32_t addrNet = 0;
    int err = 0;
    const bool ok = lookUpName(l.host, &addrNet, &err);
    {
        std::lock_guard<std::mutex> lock(l.mu);
        l.done = true;
        l.ok = ok;
        l.addrNet = addrNet;
        l.err = err;
    }
    l.finished.notify_one();
}

}  // namespace

bool resolveIPv4(const std::string& host, uint32_t* addrNet, int* err) {
    struct in_addr a;
    if (inet_aton(host.c_str(), &a) != 0) {
        *addrNet = a.s_addr;
        return true;
    }
    return lookUpName(host, addrNet, err);
}

bool resolveIPv4By(const std::string& host, Deadline deadline, uint32_t* addrNet, int* err) {
    struct in_addr a;
    if (inet_aton(host.c_str(), &a) != 0) {
        *addrNet = a.s_addr;
        return true;
    }
    auto lookup = std::make_shared<NameLookup>();
    lookup->host = host;
    // The lookup may outlive its caller's wait: the thread keeps its share of it.
    const int rc = startDetachedThread([lookup] { runNameLookup(*lookup); });
    if (rc != 0) {
        *err = rc;
        return false;
    }
    std::unique_lock<std::mutex> lock(lookup->mu);
    if (!lookup->finished.wait_until(lock, deadline, [&] { return lookup->done; })) {
        *err = ETIMEDOUT;
        return false;
    }
    if (lookup->ok) *addrNet = lookup->addrNet;
    *err = lookup->err;
    return lookup->ok;
}

std::string addrPortText(uint32_t addrNet, uint16_t portHost) {
    char buf[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = addrNet;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(portHost);
}
