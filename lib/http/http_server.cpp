#include <arpa/inet.h>
#include <libxml/parser.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "diag.h"
#include "http_impl.h"
#include "malloc_ptr.h"
#include "mutex_lock.h"
#include "net_util.h"
#include "no_destructor.h"

pthread_mutex_t global_time_mut = PTHREAD_MUTEX_INITIALIZER;
long global_utime = 0;
long global_stime = 0;

namespace {

const char kHttpVersion[] = "HTTP/1.1";
constexpr useconds_t kAcceptPauseUs = 100000;

// Errors after which accept is simply tried again. The network errors are ones Linux reports
// for a connection that died while queued; the resource errors call for a short pause, so that
// running connections can finish and release what they hold.
bool acceptErrorIsTransient(int err, bool* pause) {
    switch (err) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            *pause = true;
            return true;
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            *pause = false;
            return true;
        default:
            return false;
    }
}

// Counted in and out of Serving::alive, below.
void acceptorsBegan();
void acceptorsEnded();

// The threads of one listening socket. A connection is accepted by a connection thread itself,
// which then serves it; a thread that has finished its connection goes back to accepting instead
// of ending, since starting a thread costs more than serving a small request. Whenever the last
// thread waiting in accept takes a connection, it first starts another, so the next connection
// is served at once too; a thread that has waited long in accept ends, so that the threads of a
// burst go away after it. Shared by those threads: the last one to leave frees it and closes
// the listening socket, so that no thread ever accepts on a descriptor closed under it.
struct Acceptors {
    Acceptors(Fd l, MsgHandler h) : listener(std::move(l)), handler(h) {
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, kConnThreadStackBytes);
        acceptorsBegan();
    }
    ~Acceptors() {
        pthread_attr_destroy(&attr);
        acceptorsEnded();
    }
    Acceptors(const Acceptors&) = delete;
    Acceptors& operator=(const Acceptors&) = delete;

    const Fd listener;
    const MsgHandler handler;
    pthread_attr_t attr;  // detached, small stack
    // Threads in (or about to enter) accept. Atomic rather than locked: it changes twice per
    // request on every thread.
    std::atomic<int> idle{1};
    std::mutex mutex;
    bool stopped = false;  // guarded by mutex: accept failed for good, or stopServing
};

// The listeners of this process, for stopServing and waitServingEnded.
struct Serving {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::weak_ptr<Acceptors>> listeners;  // guarded by mutex
    int alive = 0;           // guarded by mutex: Acceptors not yet destroyed
    bool listening = false;  // guarded by mutex: startServerLoop's socket is open
    bool stopping = false;   // guarded by mutex: stopServing was called
};

Serving& serving() {
    static NoDestructor<Serving> sServing;  // connection threads may outlive main
    return *sServing.get();
}

void acceptorsBegan() {
    Serving& s = serving();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.alive;
}

void acceptorsEnded() {
    Serving& s = serving();
    std::lock_guard<std::mutex> lock(s.mutex);
    --s.alive;
    s.changed.notify_all();
}

bool servingStopped() {
    Serving& s = serving();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.stopping;
}

// Connections by state, for serverConnections.
std::atomic<int> sIdleConnections{0};
std::atomic<int> sBusyConnections{0};

// Counts one connection as idle until busy(), then as busy, until it is destroyed.
class ConnectionGauge {
public:
    ConnectionGauge() { ++sIdleConnections; }
    ~ConnectionGauge() { --(mBusy ? sBusyConnections : sIdleConnections); }
    ConnectionGauge(const ConnectionGauge&) = delete;
    ConnectionGauge& operator=(const ConnectionGauge&) = delete;
    void busy() {
        ++sBusyConnections;
        --sIdleConnections;
        mBusy = true;
    }

private:
    bool mBusy = false;
};

void* connectionThread(void* arg);

// More threads than this left waiting after a burst end when their connection does.
constexpr int kMaxIdleConnectionThreads = 64;
// A connection thread that waits this long in accept without a connection ends (unless it is
// the last one waiting).
constexpr int kIdleThreadSec = 5;

// Takes the calling thread out of a->idle unless it is the last thread waiting there; true when
// it was taken out.
bool leaveIdle(Acceptors* a) {
    int n = a->idle.load();
    while (n > 1 && !a->idle.compare_exchange_weak(n, n - 1)) {
    }
    return n > 1;
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ESM_SANITIZED_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ESM_SANITIZED_ALLOCATOR 1
#endif

// Called when a connection thread ends after a quiet spell: gives the system back the free
// memory a burst's threads left scattered in the allocator's per-thread pools, which freeing
// alone does not return. Sanitizer builds bring their own allocator, so there is nothing of
// glibc's to trim (and trimming glibc's pools under them upsets its per-thread bookkeeping).
void trimAllocator() {
#ifndef ESM_SANITIZED_ALLOCATOR
    malloc_trim(0);
#endif
}

// What a failed accept calls for.
enum class AcceptFailure {
    Retry,  // a signal, or a connection that died while queued
    Pause,  // out of descriptors or memory: retry after a pause so connections can finish
    Quiet,  // the listener's time limit ran out without a connection
    Stop,   // the listener is broken: no thread accepts on it again
};

AcceptFailure classifyAcceptError(int err) {
    if (err == EINTR) return AcceptFailure::Retry;
    if (err == EAGAIN || err == EWOULDBLOCK) return AcceptFailure::Quiet;
    bool pause = false;
    if (!acceptErrorIsTransient(err, &pause)) return AcceptFailure::Stop;
    return pause ? AcceptFailure::Pause : AcceptFailure::Retry;
}

// The first thread to meet a permanent accept failure err reports it and shuts the listener
// down, so that the threads blocked in accept learn of it too; stopServing does the same
// quietly, with err 0. A listener shut down refuses new connections.
void stopAccepting(Acceptors* a, int err) {
    std::lock_guard<std::mutex> lock(a->mutex);
    if (a->stopped) return;
    a->stopped = true;
    if (err != 0) {
        errno = err;
        diagPerror("accept");
    }
    shutdown(a->listener.get(), SHUT_RDWR);
}

// Called by a thread that has just taken the last place waiting in accept: starts another
// thread to wait there, counted in at once so that no other thread starts one too. When no thread
// can be started, the connection just accepted is dropped (only it is lost) and false returned;
// the place counted for the new thread becomes the caller's own again.
bool startSpareAcceptor(const std::shared_ptr<Acceptors>& shared, int sock) {
    Acceptors* a = shared.get();
    ++a->idle;
    pthread_t tid;
    auto* share = new std::shared_ptr<Acceptors>(shared);
    int err = pthread_create(&tid, &a->attr, connectionThread, share);
    if (err == 0) return true;
    delete share;
    errno = err;
    diagPerror("pthread_create");
    diagf(DiagStream::Err, "Can't create thread... exit now!\n");
    close(sock);
    return false;
}

// Accepts and serves connections until accept fails for a reason that is not transient, or
// (when mayEnd) until enough other threads wait or none came for a while. The calling thread is
// counted in a->idle.
void acceptAndServe(const std::shared_ptr<Acceptors>& shared, bool mayEnd) {
    Acceptors* a = shared.get();
    for (;;) {
        struct sockaddr_in peer = {};
        socklen_t len = sizeof peer;
        int sock = accept4(a->listener.get(), reinterpret_cast<struct sockaddr*>(&peer), &len,
                           SOCK_CLOEXEC);
        if (sock < 0) {
            const int err = errno;
            switch (classifyAcceptError(err)) {
                case AcceptFailure::Retry:
                    if (err != EINTR) {
                        errno = err;
                        diagPerror("accept");
                    }
                    continue;
                case AcceptFailure::Pause:
                    errno = err;
                    diagPerror("accept");
                    usleep(kAcceptPauseUs);
                    continue;
                case AcceptFailure::Quiet:
                    if (mayEnd && leaveIdle(a)) {
                        trimAllocator();
                        return;
                    }
                    continue;
                case AcceptFailure::Stop:
                    --a->idle;
                    stopAccepting(a, err);
                    return;
            }
        }
        if (--a->idle == 0 && !startSpareAcceptor(shared, sock)) continue;
        setIoTimeouts(sock, kServerIoTimeoutSec);
        HTTPconn(new Parameters{a->handler, sock, peer.sin_addr.s_addr, peer.sin_port});
        if (mayEnd && a->idle.load() >= kMaxIdleConnectionThreads) return;
        ++a->idle;
    }
}

void reportUndecodable(DecodeStatus status, const DecodeLimits& limits,
                       const MemoryReservation& reservation) {
    switch (status) {
        case DecodeStatus::UnknownType:
            diagf(DiagStream::Err, "undefined request type\n");
            break;
        case DecodeStatus::NotXml:
            diagf(DiagStream::Err, "request body is not a well-formed XML document\n");
            break;
        case DecodeStatus::NoRoot:
            diagf(DiagStream::Err, "request document has no root element\n");
            break;
        case DecodeStatus::Doctype:
            diagf(DiagStream::Err, "request document declares a document type\n");
            break;
        case DecodeStatus::Unbacked:
            diagf(DiagStream::Err,
                  "request lists announce counts other than the entries they hold\n");
            break;
        case DecodeStatus::OverBudget:
            diagf(DiagStream::Err,
                  "memory budget: request lists refused: need %llu bytes, %llu of %llu in use\n",
                  static_cast<unsigned long long>(limits.listBytes),
                  static_cast<unsigned long long>(reservation.budget().usedBytes()),
                  static_cast<unsigned long long>(reservation.budget().limitBytes()));
            break;
        default:
            diagf(DiagStream::Err, "request document does not have the elements of its type\n");
            break;
    }
}

std::atomic<RefusalObserver> gRefusalObserver{nullptr};

// The error response for a request no handler saw.
void refuse(int sock) {
    sendHTTPError(sock);
    if (RefusalObserver observer = gRefusalObserver.load()) observer();
}

// Decodes the request, runs the handler and writes the response (or the error response). The
// list vectors of the request are reserved in reservation before they are allocated.
void answer(const Parameters& p, const HTTPReq* req, MemoryReservation* reservation) {
    if (req == nullptr) {
        diagf(DiagStream::Err, "readHTTPRequest returned NULL\n");
        refuse(p.sock);
        return;
    }
    if (p.RecvCallback == nullptr) {
        diagf(DiagStream::Err, "RecvCallback is NULL!\n");
        sendHTTPError(p.sock);
        return;
    }
    // Clients send the text with its NUL byte, which is not part of the document.
    DecodeStatus status = DecodeStatus::Ok;
    DecodeLimits limits;
    limits.reservation = reservation;
    limits.backedCounts = true;
    std::unique_ptr<Msg> request(
        parseMsg(req->body, strlen(req->body), MsgTable::Requests, &status, &limits));
    if (!request) {
        reportUndecodable(status, limits, *reservation);
        refuse(p.sock);
        return;
    }
    request->setSrcAddr(p.srcaddr);
    request->setSrcPort(ntohs(p.srcport));
    request->sock = p.sock;

    std::unique_ptr<Msg> reply(p.RecvCallback(request.get()));
    request.reset();
    if (!reply) {
        diagf(DiagStream::Err, "RecvCallback returned NULL\n");
        sendHTTPError(p.sock);
        return;
    }
    MallocText text(reply->getChars());
    if (!text) {
        diagf(DiagStream::Err, "reply could not be serialised\n");
        sendHTTPError(p.sock);
        return;
    }
    sendHTTPResponse(p.sock, text.get());
}

// After the error response to a request refused before its body was read: ends the response
// for the peer and reads what it still sends of the body (for a bounded time, keeping none of
// it), so that closing does not reset the connection under the response.
void discardUnreadBody(int sock, size_t unread, Deadline deadline) {
    shutdown(sock, SHUT_WR);
    const Deadline soon = std::chrono::steady_clock::now() + std::chrono::seconds(kDiscardBodySec);
    if (soon < deadline) deadline = soon;
    char buf[16 * 1024];
    while (unread > 0) {
        ssize_t n = readSomeBy(sock, buf, unread < sizeof buf ? unread : sizeof buf, deadline);
        if (n <= 0) break;
        unread -= static_cast<size_t>(n);
    }
}

constexpr uint64_t kDefaultBudgetBytes = 1ull << 30;
std::atomic<uint64_t> gBudgetLimit{kDefaultBudgetBytes};

}  // namespace

void setRefusalObserver(RefusalObserver observer) {
    gRefusalObserver.store(observer);
}

void setRequestMemoryBudgetLimit(uint64_t bytes) {
    gBudgetLimit.store(bytes);
}

MemoryBudget& requestMemoryBudget() {
    // Never destroyed: detached connection threads may give bytes back while the process exits.
    static NoDestructor<MemoryBudget> sBudget(gBudgetLimit.load());
    return *sBudget.get();
}

void freeHTTPReq(HTTPReq* req) {
    if (req == nullptr) return;
    free(req->uri);
    free(req->body);
    free(req);
}

void get_rusage_times(long* utime, long* stime) {
    struct rusage ru = {};
    getrusage(RUSAGE_THREAD, &ru);
    *utime = ru.ru_utime.tv_sec * 1000000L + ru.ru_utime.tv_usec;
    *stime = ru.ru_stime.tv_sec * 1000000L + ru.ru_stime.tv_usec;
}

void global_time_init() {
    MutexLock lock(&global_time_mut);
    global_utime = 0;
    global_stime = 0;
}

void global_time_add(long utime, long stime) {
    MutexLock lock(&global_time_mut);
    global_utime += utime;
    global_stime += stime;
}

void startServerLoop(unsigned short port, MsgHandler handler) {
    if (handler == nullptr) {
        diagf(DiagStream::Err, "RecvCallback is NULL!\n");
        exit(1);
    }
    // Once, before any connection thread parses; the budget's setting is read (and a bad one
    // reported) at start rather than on the first request.
    xmlInitParser();
    requestMemoryBudget();
    auto* param = new ThreadParam{port, handler};
    pthread_t tid;
    int err = pthread_create(&tid, nullptr, serverThread, param);
    if (err != 0) {
        errno = err;
        diagPerror("pthread_create");
        diagf(DiagStream::Err, "Can't create thread... exit now!\n");
        delete param;
        exit(1);
    }
    pthread_detach(tid);
}

int openServerSocket(unsigned short port) {
    const char* failed = nullptr;
    int s = listenTcp(htonl(INADDR_ANY), port, &failed);
    if (s < 0) {
        diagPerror(failed);
        return -1;
    }
    diagf(DiagStream::Err, "Listening on port %d\n", port);
    return s;
}

void* serverThread(void* arg) {
    // Owns its ThreadParam and the listening socket; shares nothing but the handler pointer.
    std::unique_ptr<ThreadParam> param(static_cast<ThreadParam*>(arg));
    Fd listener(openServerSocket(param->listenport));
    if (!listener.valid()) {
        diagf(DiagStream::Err, "Couldn't open server socket on port %d.\n", param->listenport);
        exit(1);
    }
    {
        Serving& s = serving();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.listening = true;
        s.changed.notify_all();
    }
    serveListener(std::move(listener), param->RecvCallback);
    param.reset();
    if (!servingStopped()) diagf(DiagStream::Err, "serverThread terminating now...\n");
    return nullptr;
}

void serveListener(Fd listener, MsgHandler handler) {
    requestMemoryBudget();  // read its setting before the first request
    // On a listening socket the receive time limit bounds each wait in accept: how long an idle
    // connection thread lives. (Accepted sockets inherit it, so each gets its own limits.)
    setIoTimeouts(listener.get(), kIdleThreadSec);
    // Peers speak first, so accept a connection once its request has begun to arrive (or after a
    // second of silence): the thread that takes it then reads at once instead of sleeping in poll
    // and being woken again, which cut the server's CPU per small request by about a third.
    // Only an optimisation: without it every connection is served all the same.
    int deferSec = 1;
    setsockopt(listener.get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSec, sizeof deferSec);
    auto acceptors = std::make_shared<Acceptors>(std::move(listener), handler);
    bool stopping;
    {
        Serving& s = serving();
        std::lock_guard<std::mutex> lock(s.mutex);
        std::vector<std::weak_ptr<Acceptors>>& l = s.listeners;
        l.erase(std::remove_if(l.begin(), l.end(), [](const auto& w) { return w.expired(); }),
                l.end());
        l.emplace_back(acceptors);
        stopping = s.stopping;
    }
    if (stopping) stopAccepting(acceptors.get(), 0);
    acceptAndServe(acceptors, false);
}

ServerConnections serverConnections() {
    return ServerConnections{sIdleConnections.load(), sBusyConnections.load()};
}

bool waitServerListening(int timeoutMs) {
    Serving& s = serving();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.listening; });
}

void stopServing() {
    std::vector<std::shared_ptr<Acceptors>> live;
    {
        Serving& s = serving();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = true;
        for (const std::weak_ptr<Acceptors>& w : s.listeners) {
            if (std::shared_ptr<Acceptors> a = w.lock()) live.push_back(std::move(a));
        }
        s.listeners.clear();
    }
    for (const std::shared_ptr<Acceptors>& a : live) stopAccepting(a.get(), 0);
}

bool waitServingEnded(int timeoutMs) {
    Serving& s = serving();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.alive == 0; });
}

namespace {

void* connectionThread(void* arg) {
    // Shares the Acceptors of its listening socket (a share of their ownership comes in arg), the
    // CPU time sums and whatever the handler shares; owns each connection it accepts while it
    // serves it.
    std::unique_ptr<std::shared_ptr<Acceptors>> share(
        static_cast<std::shared_ptr<Acceptors>*>(arg));
    acceptAndServe(*share, true);
    return nullptr;
}

}  // namespace

void* HTTPconn(void* arg) {
    // Owns its Parameters, the connection, the request and both messages; shares the CPU time
    // sums (under global_time_mut) and whatever the handler shares.
    std::unique_ptr<Parameters> params(static_cast<Parameters*>(arg));
    {
        ConnectionGauge gauge;
        // What the request holds is reserved here until it is freed, after the socket closes.
        MemoryReservation reservation(&requestMemoryBudget(), kBudgetWait);
        HTTPReqPtr req;
        Fd sock(params->sock);
        const Deadline deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(kServerRequestTimeoutSec);
        RequestRead read;
        req.reset(readBudgetedRequest(sock.get(), deadline, &reservation, &read));
        gauge.busy();
        if (read.overBudget) {
            refuse(sock.get());
            discardUnreadBody(sock.get(), read.unreadBody, deadline);
        } else {
            answer(*params, req.get(), &reservation);
        }
    }  // closing the socket ends the response for the peer
    params.reset();
    // A thread serves connection after connection: each adds what it used since the last.
    thread_local long countedUtime = 0, countedStime = 0;
    long utime = 0, stime = 0;
    get_rusage_times(&utime, &stime);
    global_time_add(utime - countedUtime, stime - countedStime);
    countedUtime = utime;
    countedStime = stime;
    return nullptr;
}

HTTPReq* readHTTPRequest(int sock) {
    return readHTTPRequestBy(
        sock, std::chrono::steady_clock::now() + std::chrono::seconds(kServerRequestTimeoutSec));
}

HTTPReq* readHTTPRequestBy(int sock, Deadline deadline) {
    return readBudgetedRequest(sock, deadline, nullptr, nullptr);
}

HTTPReq* readBudgetedRequest(int sock, Deadline deadline, MemoryReservation* reservation,
                             RequestRead* read) {
    // Descriptor 0 is a connection like any other when standard input was closed.
    if (sock < 0) return nullptr;
    HTTPReqPtr req(static_cast<HTTPReq*>(calloc(1, sizeof(HTTPReq))));
    if (!req) return nullptr;
    req->uri = static_cast<char*>(malloc(kUriBufSize));
    if (req->uri == nullptr) return nullptr;

    // The head must come whole with the first read; later bytes belong to the body.
    char head[kHeadBufSize + 1] = {};
    ssize_t got = readSomeBy(sock, head, kHeadBufSize, deadline);
    const char* headEnd = head + (got > 0 ? got : 0);

    RequestLine line;
    if (!parseRequestLine(head, headEnd, &line)) {
        diagf(DiagStream::Err, "Unexpected header from client:\n%s\n", head);
        return nullptr;
    }
    memcpy(req->method, line.method.data, line.method.len);
    req->method[line.method.len] = '\0';
    memcpy(req->uri, line.uri.data, line.uri.len);
    req->uri[line.uri.len] = '\0';

    int length = 0;
    const char* bodyStart = nullptr;
    if (!parseContentLength(line.end, headEnd, &length, &bodyStart)) {
        diagf(DiagStream::Err, "Unexpected content-length from client:\n%s\n", head);
        return nullptr;
    }
    // Lengths out of range are refused below, with their own line.
    if (reservation != nullptr && length > 0 && length <= kMaxBodyBytes &&
        !reservation->grow(requestCostBytes(length))) {
        const MemoryBudget& budget = reservation->budget();
        diagf(DiagStream::Err,
              "memory budget: request of %d bytes refused: needs %llu bytes, %llu of %llu in "
              "use\n",
              length, static_cast<unsigned long long>(requestCostBytes(length)),
              static_cast<unsigned long long>(budget.usedBytes()),
              static_cast<unsigned long long>(budget.limitBytes()));
        const size_t inHead = static_cast<size_t>(headEnd - bodyStart);
        read->overBudget = true;
        const size_t want = static_cast<size_t>(length);
        read->unreadBody = want > inHead ? want - inHead : 0;
        return nullptr;
    }
    req->body = newBodyBuffer(length);
    if (req->body == nullptr) return nullptr;
    req->content_length = length;
    size_t received =
        receiveBody(sock, bodyStart, headEnd, req->body, static_cast<size_t>(length), deadline);
    if (received < static_cast<size_t>(length)) {
        diagf(DiagStream::Err, "Only received %d bytes of message body out of %d expected.\n",
              static_cast<int>(received), length);
    }
    return req.release();
}

void sendHTTPResponse(int sock, const char* text) {
    size_t n = strlen(text);
    char head[kHeadBufSize];
    int headLen =
        snprintf(head, sizeof head, "%s 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n",
                 kHttpVersion, static_cast<int>(n));
    size_t written = writeMessage(sock, head, static_cast<size_t>(headLen), text, n);
    if (written < n) {
        diagf(DiagStream::Err, "Warning: Could only write %d bytes out of %d total!\n",
              static_cast<int>(written), static_cast<int>(n));
    }
}

void sendHTTPError(int sock) {
    char buf[kHeadBufSize];
    int len =
        snprintf(buf, sizeof buf, "%s 400 Bad Request\r\nConnection: close\r\n", kHttpVersion);
    len += snprintf(buf + len, sizeof buf - static_cast<size_t>(len), "\r\n");
    writeAll(sock, buf, static_cast<size_t>(len));
}
