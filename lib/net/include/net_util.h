#pragma once

// Internal socket helpers shared by the transport, the SLP client and the monitor notification:
// an owning descriptor, bounded connect, full-count I/O loops. Failures return -1 or false with
// errno set, so the caller can perror() the call's name right away. All are thread-safe.

#include <sys/types.h>
#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// Time limits, in one place.
constexpr int kServerIoTimeoutSec = 30;  // server: a read or write that waits this long fails
constexpr int kClientConnectTimeoutMs = 10000;  // client and monitor: connecting gives up
constexpr int kClientIoTimeoutSec = 60;  // client: a read or write that waits this long fails
// A peer that trickles its bytes passes every per-read limit; these bound the whole message.
constexpr int kServerRequestTimeoutSec = 30;   // server: reading one request, head and body
constexpr int kClientResponseTimeoutSec = 60;  // client: reading one response, head and body

using Deadline = std::chrono::steady_clock::time_point;

// Owns a descriptor and closes it when destroyed. Move-only.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : mFd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : mFd(o.release()) {}
    Fd& operator=(Fd&& o) noexcept;
    ~Fd() { reset(); }

    int get() const { return mFd; }
    bool valid() const { return mFd >= 0; }
    // Hands the descriptor to an interface that takes a raw int.
    int release() {
        int fd = mFd;
        mFd = -1;
        return fd;
    }
    // Closes the held descriptor (keeping errno) and holds fd instead.
    void reset(int fd = -1);

private:
    int mFd = -1;
};

// A TCP/IPv4 socket connected to addrNet:portHost, or -1 with errno set (ETIMEDOUT when the
// connection was not made within timeoutMs). The socket is left in blocking mode.
int connectTcp(uint32_t addrNet, uint16_t portHost, int timeoutMs);

// A TCP/IPv4 socket bound to addrNet:portHost (SO_REUSEADDR, close-on-exec) and listening with
// the largest backlog the kernel allows, or -1 with errno set and *failedCall naming the call
// that failed ("socket", "bind" or "listen"), for perror().
int listenTcp(uint32_t addrNet, uint16_t portHost, const char** failedCall);

// Makes every later read and write on fd give up after `seconds` (EAGAIN).
void setIoTimeouts(int fd, int seconds);

// The milliseconds from now until deadline, rounded up, within [0, INT_MAX].
int msUntil(Deadline deadline);

// Waits until fd is ready for events (POLLIN, POLLOUT), retrying EINTR: true when it is (or has
// an error or hang-up to report), false with errno ETIMEDOUT at deadline or the error of poll.
bool waitReadyBy(int fd, short events, Deadline deadline);

// One read, retried on EINTR. Returns the count, 0 at end of stream, -1 on error or time-out.
ssize_t readSome(int fd, void* buf, size_t len);

// readSome that waits for data no later than deadline: -1 with errno ETIMEDOUT after it.
ssize_t readSomeBy(int fd, void* buf, size_t len, Deadline deadline);

// Writes the count bytes of every buffer of iov, in order, with as few calls as the kernel
// allows (one, normally), retrying EINTR; never raises SIGPIPE. Changes iov. Returns the total
// written, short when the peer went away or a write timed out.
size_t writeAllv(int fd, struct iovec* iov, int count);

// writeAllv that gives up at deadline: it waits for room no longer than the time left and never
// blocks in a write, so a peer that reads slowly cannot stretch it (errno ETIMEDOUT when time ran
// out).
size_t writeAllvBy(int fd, struct iovec* iov, int count, Deadline deadline);

// Writes all len bytes, retrying EINTR; never raises SIGPIPE. Returns the count written, which
// is less than len when the peer went away or the write timed out.
size_t writeAll(int fd, const void* buf, size_t len);

// Raises the soft limit of open descriptors to the hard limit, so that a server's connections are
// bounded by what the system allows rather than by a default of 1024. Returns the soft limit now
// in force (unchanged when raising it is not allowed).
unsigned long raiseDescriptorLimit();

// Splits "host[:port]" at its last ':'. A port is 1 to 5 decimal digits worth at most 65535 (0
// included: callers that need a real port check for it). False for an empty host or a bad port;
// *hasPort tells whether a port was given (*portHost is left alone when not).
bool splitHostPort(const std::string& text, std::string* host, uint16_t* portHost, bool* hasPort);

// Whether every entry of a comma list is "host[:port]" with a port in 1..65535 and no blank (a
// Directory Agent list as the tools take it); false for an empty list or an empty entry.
bool validHostPortList(const std::string& list);

// "a.b.c.d:port" of an address in network byte order and a port in host byte order.
std::string addrPortText(uint32_t addrNet, uint16_t portHost);

// The IPv4 address (network byte order) of host: a dotted quad with the inet_aton rules, or a
// name looked up with getaddrinfo, which is safe on many threads at once. False with *err set to
// an errno value that explains it (ENXIO: no such host).
bool resolveIPv4(const std::string& host, uint32_t* addrNet, int* err);

// resolveIPv4 that gives up at deadline (*err ETIMEDOUT). A name is looked up on a detached
// thread of its own, which frees what it holds when getaddrinfo returns, however long after the
// deadline that is; the caller never waits past the deadline. EAGAIN when no thread can start.
bool resolveIPv4By(const std::string& host, Deadline deadline, uint32_t* addrNet, int* err);
