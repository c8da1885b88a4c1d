// The message transport's servers: listening sockets served by the event loop of the serving
// core, the process-wide controls over them (stop, drain, counts), the memory budget of their
// requests and the CPU time they spend.

#include <arpa/inet.h>
#include <libxml/parser.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cpu_time.h"
#include "detached_thread.h"
#include "diag.h"
#include "event_server.h"
#include "http_exchange.h"
#include "http_impl.h"
#include "http_request_reader.h"
#include "mutex_lock.h"
#include "net_util.h"
#include "no_destructor.h"

pthread_mutex_t global_time_mut = PTHREAD_MUTEX_INITIALIZER;
long global_utime = 0;
long global_stime = 0;

namespace {

constexpr uint64_t kDefaultBudgetBytes = 1ull << 30;
std::atomic<uint64_t> gBudgetLimit{kDefaultBudgetBytes};
std::atomic<int> gMaxWorkers{256};

// The servers of this process, for stopServing, waitServingEnded and serverConnections.
struct Serving {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::weak_ptr<serve::Server>> servers;  // guarded by mutex
    bool listening = false;  // guarded by mutex: startServerLoop's socket is open
    bool stopping = false;   // guarded by mutex: stopServing was called
};

Serving& serving() {
    static NoDestructor<Serving> sServing;  // worker threads may outlive main
    return *sServing.get();
}

serve::Options messageOptions(MsgHandler handler) {
    serve::Options o;
    o.newExchange = [handler](const serve::Peer& peer) {
        return newMessageExchange(handler, peer);
    };
    o.requestTimeout = std::chrono::seconds(kServerRequestTimeoutSec);
    o.writeStallTimeout = std::chrono::seconds(kServerIoTimeoutSec);
    o.discardTimeout = std::chrono::seconds(kDiscardBodySec);
    o.budgetWait = kBudgetWait;
    o.maxWorkers = gMaxWorkers.load();
    o.cpuTime = global_time_add;
    return o;
}

// Serves listener with handler on the calling thread until the server ends: stopServing, or an
// accept failure for good.
void runServer(Fd listener, MsgHandler handler, bool handedOver) {
    requestMemoryBudget();  // its limit is fixed before the first request
    // Accepted sockets inherit these: a handler that reads or writes its request's socket itself
    // waits no longer than the server would.
    setIoTimeouts(listener.get(), kServerIoTimeoutSec);
    // Peers speak first, so a connection is accepted once its request has begun to arrive (or
    // after a second of silence), and the loop reads it at once instead of waiting for it.
    int deferSec = 1;
    setsockopt(listener.get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSec, sizeof deferSec);
    auto server =
        std::make_shared<serve::Server>(std::move(listener), messageOptions(handler), handedOver);
    bool stopping;
    {
        Serving& s = serving();
        std::lock_guard<std::mutex> lock(s.mutex);
        std::vector<std::weak_ptr<serve::Server>>& l = s.servers;
        l.erase(std::remove_if(l.begin(), l.end(), [](const auto& w) { return w.expired(); }),
                l.end());
        l.emplace_back(server);
        stopping = s.stopping;
    }
    if (stopping) server->stop();
    if (!server->run()) exit(1);
}

void markListening() {
    Serving& s = serving();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.listening = true;
    s.changed.notify_all();
}

bool servingStopped() {
    Serving& s = serving();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.stopping;
}

// Runs fn on a server thread of its own, or exits the process with status 1 when it cannot.
void startServerThread(std::function<void()> fn) {
    const int err = startDetachedThread(std::move(fn));
    if (err != 0) {
        errno = err;
        diagPerror("pthread_create");
        diagf(DiagStream::Err, "Can't create thread... exit now!\n");
        exit(1);
    }
}

void checkHandler(MsgHandler handler) {
    if (handler == nullptr) {
        diagf(DiagStream::Err, "RecvCallback is NULL!\n");
        exit(1);
    }
    // Once, before any worker parses; the budget is fixed before the first request.
    xmlInitParser();
    requestMemoryBudget();
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

}  // namespace

void setRequestMemoryBudgetLimit(uint64_t bytes) {
    gBudgetLimit.store(bytes);
}

MemoryBudget& requestMemoryBudget() {
    // Never destroyed: worker threads may give bytes back while the process exits.
    static NoDestructor<MemoryBudget> sBudget(gBudgetLimit.load());
    return *sBudget.get();
}

void setMaxWorkers(int n) {
    gMaxWorkers.store(n > 0 ? n : 1);
}

void freeHTTPReq(HTTPReq* req) {
    if (req == nullptr) return;
    free(req->uri);
    free(req->body);
    free(req);
}

void get_rusage_times(long* utime, long* stime) {
    serve::CpuClock clock;
    clock.lap(utime, stime);
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
    checkHandler(handler);
    auto* param = new ThreadParam{port, handler};
    startServerThread([param] { serverThread(param); });
}

void startServerLoopOn(Fd listener, MsgHandler handler) {
    checkHandler(handler);
    struct sockaddr_in sa = {};
    socklen_t len = sizeof sa;
    getsockname(listener.get(), reinterpret_cast<struct sockaddr*>(&sa), &len);
    diagf(DiagStream::Err, "Listening on port %d\n", ntohs(sa.sin_port));
    auto adopted = std::make_shared<Fd>(std::move(listener));
    startServerThread([adopted, handler] {
        markListening();
        runServer(std::move(*adopted), handler, true);
    });
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
    markListening();
    runServer(std::move(listener), param->RecvCallback, false);
    if (!servingStopped()) diagf(DiagStream::Err, "serverThread terminating now...\n");
    return nullptr;
}

void serveListener(Fd listener, MsgHandler handler) {
    runServer(std::move(listener), handler, false);
}

ServerConnections serverConnections() {
    ServerConnections total{0, 0};
    Serving& s = serving();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const std::weak_ptr<serve::Server>& w : s.servers) {
        if (std::shared_ptr<serve::Server> server = w.lock()) {
            const serve::Counts c = server->counts();
            total.idle += c.idle;
            total.busy += c.busy;
        }
    }
    return total;
}

bool waitServerListening(int timeoutMs) {
    Serving& s = serving();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return s.listening; });
}

void stopServing() {
    std::vector<std::shared_ptr<serve::Server>> live;
    {
        Serving& s = serving();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = true;
        for (const std::weak_ptr<serve::Server>& w : s.servers) {
            if (std::shared_ptr<serve::Server> server = w.lock()) live.push_back(std::move(server));
        }
    }
    for (const std::shared_ptr<serve::Server>& server : live) server->stop();
}

bool waitServingEnded(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool busy = false;
        {
            Serving& s = serving();
            std::lock_guard<std::mutex> lock(s.mutex);
            for (const std::weak_ptr<serve::Server>& w : s.servers) {
                if (std::shared_ptr<serve::Server> server = w.lock()) busy |= server->live() > 0;
            }
        }
        if (!busy) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void* HTTPconn(void* arg) {
    // Owns its Parameters, the connection, the request and both messages; shares the CPU time
    // sums (under global_time_mut) and whatever the handler shares.
    std::unique_ptr<Parameters> params(static_cast<Parameters*>(arg));
    {
        const serve::Peer peer{params->srcaddr, params->srcport};
        // What the request holds is reserved here until it is freed, after the socket closes.
        MemoryReservation reservation(&requestMemoryBudget(), kBudgetWait);
        Fd sock(params->sock);
        const Deadline deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(kServerRequestTimeoutSec);
        RequestRead read;
        HTTPReqPtr req(readBudgetedRequest(sock.get(), deadline, &reservation, &read));
        if (read.overBudget) {
            sendHTTPError(sock.get());
            noteRefusal(peer, "memory budget");
            discardUnreadBody(sock.get(), read.unreadBody, deadline);
        } else if (!req) {
            diagf(DiagStream::Err, "readHTTPRequest returned NULL\n");
            sendHTTPError(sock.get());
            noteRefusal(peer, "no whole request");
        } else {
            Answer answer;
            answerRequest(params->RecvCallback, req.get(), peer, sock.get(), &reservation, &answer);
            req.reset();
            const serve::Response& r = answer.response;
            const size_t written =
                writeMessage(sock.get(), r.head.data(), r.head.size(), r.body, r.bodyLen);
            if (answer.ok && written < r.bodyLen) reportShortWrite(written, r.bodyLen);
        }
    }  // closing the socket ends the response for the peer
    params.reset();
    // A thread may serve connection after connection: each adds what it used since the last.
    thread_local serve::CpuClock clock;
    long utime = 0, stime = 0;
    clock.lap(&utime, &stime);
    global_time_add(utime, stime);
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
    RequestReader reader(reservation, true);
    char buf[16 * 1024];
    RequestReader::Step step = RequestReader::Step::More;
    while (step == RequestReader::Step::More) {
        const size_t want = std::min(reader.want(), sizeof buf);
        const ssize_t n = readSomeBy(sock, buf, want, deadline);
        step = n > 0 ? reader.feed(buf, static_cast<size_t>(n)) : reader.end();
    }
    if (step == RequestReader::Step::Done) return reader.take();
    if (read != nullptr && reader.overBudget()) {
        read->overBudget = true;
        read->unreadBody = reader.unreadBody();
    }
    return nullptr;
}

void sendHTTPResponse(int sock, const char* text) {
    const size_t n = strlen(text);
    const std::string head = okResponseHead(n);
    const size_t written = writeMessage(sock, head.data(), head.size(), text, n);
    if (written < n) reportShortWrite(written, n);
}

void sendHTTPError(int sock) {
    const std::string head = errorResponseHead();
    writeAll(sock, head.data(), head.size());
}
