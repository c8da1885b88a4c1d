#pragma once

// The serving core of every HTTP server of the project: one event loop (epoll) per listening
// socket accepts connections, reads requests without blocking and writes answers; a request runs
// its handler on a worker thread only once it is complete. Idle and slow connections therefore
// hold no thread: a connection costs a descriptor and a small record until its request is in.
//
// What a request looks like on the wire and what answers it is the protocol's: the core asks an
// Exchange, one per connection, what to do with the bytes that arrive, and runs its handler.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net_util.h"

namespace serve {

// The bytes that answer one request: head, then body (which the exchange owns).
struct Response {
    std::string head;
    const char* body = nullptr;
    size_t bodyLen = 0;
};

// Where a connection comes from (network byte order).
struct Peer {
    uint32_t addr = 0;
    uint16_t port = 0;
};

// One request on one connection, as the protocol reads and answers it. The core calls the
// reading methods on the loop thread, then handle() on a worker thread, then written() on
// whichever thread finished writing; never two at once.
class Exchange {
public:
    enum class Next {
        Read,        // read more (at most readLimit() bytes next)
        WaitBudget,  // stop reading until retryBudget() says otherwise
        Handle,      // complete: run handle() on a worker, then write response()
        Reply,       // answer with response() now, on the loop, without handle()
        Close,       // close without a word
    };
    virtual ~Exchange() = default;

    // How many bytes the next read may bring (at least 1).
    virtual size_t readLimit() const = 0;
    // The n > 0 bytes of one read; the first call carries the connection's first read.
    virtual Next received(const char* data, size_t n) = 0;
    // The request stopped arriving: the peer closed or a read failed (timedOut false), or the
    // time to receive the request ran out (true). Read, WaitBudget are not allowed here.
    virtual Next ended(bool timedOut) = 0;
    // While it waits for memory: tried again now and then; lastTry when the wait is over.
    // Returns Read or Handle once the memory is there; WaitBudget (unless lastTry) or Reply.
    virtual Next retryBudget(bool lastTry) = 0;
    // On a worker: serves the complete request and sets response(). fd is the connection
    // (non-blocking), for handlers that use it.
    virtual void handle(const Peer& peer, int fd) = 0;
    virtual const Response& response() const = 0;
    // Writing response() ended: bodyBytes of its body went out after the whole head; complete
    // when all of it did.
    virtual void written(size_t bodyBytes, bool complete) = 0;
    // After a Reply: how many more bytes of the request the peer will send; they are read and
    // dropped for a bounded time before closing, so that closing does not reset the connection
    // under the reply.
    virtual size_t unreadAfterReply() const { return 0; }
};

struct Options {
    // Makes the exchange of each connection as it is accepted. Called on the loop thread.
    std::function<std::unique_ptr<Exchange>(const Peer& peer)> newExchange;
    // The whole request must arrive within this, from accept.
    std::chrono::milliseconds requestTimeout{30000};
    // A response that makes no progress for this long is given up.
    std::chrono::milliseconds writeStallTimeout{30000};
    // What may still arrive after a Reply is dropped for at most this long.
    std::chrono::milliseconds discardTimeout{5000};
    // How long a connection may wait for memory (retryBudget) before its last try.
    std::chrono::milliseconds budgetWait{3000};
    // The most handler threads; complete requests beyond them wait in order.
    int maxWorkers = 256;
    // Receives the CPU time (microseconds) that workers spent on requests and that the loop
    // spent, now and then; null for none. Called on any of the server's threads.
    std::function<void(long utimeUs, long stimeUs)> cpuTime;
    // Print the accept failures that pause accepting ("accept: ..."), at most once a second.
    bool reportAcceptErrors = true;
};

// Connections by state: idle ones are accepted and their request is still arriving, busy ones
// are being answered. Each count may lag the other by a connection.
struct Counts {
    int idle = 0;
    int busy = 0;
};

// One listening socket and its loop. Thread-safe unless said otherwise.
class Server {
public:
    // Takes over listener (made non-blocking). handedOver: the socket belongs to a service
    // manager too, so stopping never refuses what it queues (see stop()).
    Server(Fd listener, Options options, bool handedOver = false);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Runs the loop on the calling thread until the server has stopped (stop(), or accept
    // failed for good) and every connection it accepted has been served. False, after perror(),
    // when the loop cannot be set up. Call once.
    bool run();

    // Stops accepting, for good; connections already accepted are served to the end. A socket
    // of our own is closed once the connections already queued on it are taken (new ones are
    // refused); a handed-over one is left to queue for the next process. Returns once the loop
    // no longer accepts (at most 2 s). Calling it again does nothing more.
    void stop();

    Counts counts() const;
    // Connections accepted and not yet closed.
    int live() const;
    // Threads of the worker pool right now.
    int workers() const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

}  // namespace serve
