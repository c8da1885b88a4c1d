#include "event_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "cpu_time.h"
#include "diag.h"
#include "worker_pool.h"

namespace serve {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kMaxEvents = 256;
// Connections taken from the queue per wake-up, so that reading and answering go on in between.
constexpr int kAcceptBatch = 256;
// Out of descriptors or memory with nothing to free: accepting pauses this long.
constexpr milliseconds kAcceptPause{100};
// How often connections waiting for memory try again.
constexpr milliseconds kBudgetPoll{20};
// How often the loop adds its own CPU time to the sums.
constexpr milliseconds kCpuFlush{100};
constexpr auto kReportEvery = std::chrono::seconds(1);
constexpr size_t kScratchBytes = 64 * 1024;
// What one connection may read in one turn of the loop: a peer that sends as fast as the loop
// reads must not keep the others' events waiting.
constexpr size_t kReadPerTurn = 16 * kScratchBytes;

// What a failed accept calls for.
enum class AcceptFailure {
    Retry,  // a signal, or a connection that died while queued
    Free,   // out of descriptors: make room, or pause so that connections can finish
    Pause,  // out of memory: retry after a pause
    Empty,  // nothing is queued
    Stop,   // the listener is broken: it is not used again
};

AcceptFailure classifyAcceptError(int err) {
    switch (err) {
        case EAGAIN:
            return AcceptFailure::Empty;
        case EMFILE:
        case ENFILE:
            return AcceptFailure::Free;
        case ENOBUFS:
        case ENOMEM:
            return AcceptFailure::Pause;
        // Errors Linux reports for a connection that died while queued.
        case EINTR:
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
            return AcceptFailure::Retry;
        default:
            return AcceptFailure::Stop;
    }
}

// A doubly linked list threaded through its elements, so that a connection moves between the
// loop's lists in constant time without allocating.
template <typename T>
struct Link {
    T* prev = nullptr;
    T* next = nullptr;
    bool linked = false;
};

template <typename T, Link<T> T::*L>
class List {
public:
    bool empty() const { return mHead == nullptr; }
    T* front() const { return mHead; }
    void pushBack(T* t) {
        Link<T>& l = t->*L;
        l.prev = mTail;
        l.next = nullptr;
        l.linked = true;
        if (mTail != nullptr) {
            (mTail->*L).next = t;
        } else {
            mHead = t;
        }
        mTail = t;
    }
    void remove(T* t) {
        Link<T>& l = t->*L;
        if (!l.linked) return;
        if (l.prev != nullptr) {
            (l.prev->*L).next = l.next;
        } else {
            mHead = l.next;
        }
        if (l.next != nullptr) {
            (l.next->*L).prev = l.prev;
        } else {
            mTail = l.prev;
        }
        l = Link<T>();
    }
    void moveToBack(T* t) {
        remove(t);
        pushBack(t);
    }

private:
    T* mHead = nullptr;
    T* mTail = nullptr;
};

enum class State : uint8_t { Reading, BudgetWait, Worker, Writing, Discarding };

struct Conn {
    int fd = -1;
    Peer peer;
    std::unique_ptr<Exchange> ex;
    State state = State::Reading;
    bool registered = false;  // known to epoll
    bool armed = false;       // registered and waiting for an event (one-shot)
    bool ended = false;       // the request stopped arriving: never read it again
    bool dead = false;        // closed by the loop; freed once the batch of events is done
    Clock::time_point accepted;
    Clock::time_point touched;  // last read, wait start, last write progress, or discard start
    size_t headDone = 0;        // writing: bytes of the response head and body written
    size_t bodyDone = 0;
    size_t discardLeft = 0;
    Link<Conn> byAccept;  // Reading and BudgetWait, oldest accepted first
    Link<Conn> byState;   // the list of its state, least recently touched first
};

// Writes what is left of c's response without waiting. 1 when all of it went out, 0 when the
// socket is full, -1 when the connection failed.
int writeSome(Conn* c) {
    const Response& r = c->ex->response();
    for (;;) {
        struct iovec iov[2];
        int n = 0;
        if (c->headDone < r.head.size()) {
            iov[n++] = {const_cast<char*>(r.head.data() + c->headDone),
                        r.head.size() - c->headDone};
        }
        if (c->bodyDone < r.bodyLen) {
            iov[n++] = {const_cast<char*>(r.body + c->bodyDone), r.bodyLen - c->bodyDone};
        }
        if (n == 0) return 1;
        struct msghdr m = {};
        m.msg_iov = iov;
        m.msg_iovlen = static_cast<size_t>(n);
        // MSG_NOSIGNAL: a peer that has gone away gives EPIPE here instead of killing us.
        const ssize_t w = sendmsg(c->fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
        size_t left = static_cast<size_t>(w);
        const size_t head = std::min(left, r.head.size() - c->headDone);
        c->headDone += head;
        c->bodyDone += left - head;
    }
}

}  // namespace

struct Server::Impl {
    Impl(Fd l, Options o, bool handed)
        : listener(std::move(l)),
          options(std::move(o)),
          handedOver(handed),
          epoll(epoll_create1(EPOLL_CLOEXEC)),
          wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          pool(options.maxWorkers, [this](void* c) { serveOnWorker(static_cast<Conn*>(c)); }) {}

    Fd listener;
    const Options options;
    const bool handedOver;
    Fd epoll;
    Fd wake;  // eventfd: other threads have something for the loop
    std::vector<char> scratch;

    // Loop thread only.
    List<Conn, &Conn::byAccept> acceptOrder;
    List<Conn, &Conn::byState> reading;  // least recently active first: evicted first
    List<Conn, &Conn::byState> budgetWait;
    List<Conn, &Conn::byState> writing;
    List<Conn, &Conn::byState> discarding;
    std::vector<Conn*> graveyard;  // closed during this batch of events
    std::vector<void*> whole;      // requests made whole this turn, for the workers
    bool listening = false;        // the listener is in epoll
    bool stopped = false;          // the listener is closed for good
    Clock::time_point pausedUntil;
    Clock::time_point lastBudgetPoll;
    Clock::time_point lastCpuFlush;
    Clock::time_point lastAcceptReport;
    Clock::time_point lastEvictReport;
    int evictedSinceReport = 0;
    CpuClock loopCpu;

    std::atomic<bool> stopRequested{false};
    std::mutex stopMutex;
    std::condition_variable stopDone;
    bool listenerClosed = false;  // guarded by stopMutex
    std::atomic<pthread_t> loopThread{pthread_t()};
    std::atomic<bool> running{false};
    std::atomic<bool> acceptPaused{false};
    std::atomic<int> idleCount{0};
    std::atomic<int> busyCount{0};
    std::atomic<int> liveCount{0};

    std::mutex backMutex;
    std::vector<Conn*> handedBack;  // guarded by backMutex: responses a worker could not finish

    WorkerPool pool;  // last: its threads call serveOnWorker, which uses the members above

    void poke() {
        const uint64_t one = 1;
        (void)!write(wake.get(), &one, sizeof one);
    }

    // ---- Registration ----

    // Waits for events on c, once; the caller uses c no more (it may be closed here).
    void arm(Conn* c, uint32_t events) {
        struct epoll_event ev = {};
        ev.events = events | EPOLLONESHOT;
        ev.data.ptr = c;
        if (epoll_ctl(epoll.get(), c->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c->fd, &ev) ==
            0) {
            c->registered = true;
            c->armed = true;
            return;
        }
        closeConn(c);  // out of kernel memory for the watch: it cannot be served
    }

    // Takes c out of epoll while another thread owns it, so that no event refers to it.
    void disarm(Conn* c) {
        if (!c->armed) return;
        epoll_ctl(epoll.get(), EPOLL_CTL_DEL, c->fd, nullptr);
        c->armed = false;
        c->registered = false;
    }

    void setListening(bool on) {
        if (on == listening || !listener.valid()) return;
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        epoll_ctl(epoll.get(), on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listener.get(), &ev);
        listening = on;
    }

    // ---- Connection lifecycle (loop thread) ----

    void unlinkLoopLists(Conn* c) {
        acceptOrder.remove(c);
        switch (c->state) {
            case State::Reading:
                reading.remove(c);
                break;
            case State::BudgetWait:
                budgetWait.remove(c);
                break;
            case State::Writing:
                writing.remove(c);
                break;
            case State::Discarding:
                discarding.remove(c);
                break;
            case State::Worker:
                break;
        }
    }

    // Closes c on the loop; it is freed after the current batch of events, which may still
    // name it.
    void closeConn(Conn* c) {
        unlinkLoopLists(c);
        release(c);
        c->dead = true;
        graveyard.push_back(c);
        if (acceptPaused.load()) resumeAccept();
    }

    // Closes c's connection and counts it out; any thread.
    void release(Conn* c) {
        close(c->fd);
        --(c->state == State::Reading || c->state == State::BudgetWait ? idleCount : busyCount);
        liveCount.fetch_sub(1);
    }

    void buryTheDead() {
        for (Conn* c : graveyard) delete c;
        graveyard.clear();
    }

    void becomeBusy(Conn* c) {
        disarm(c);
        acceptOrder.remove(c);
        if (c->state == State::Reading) reading.remove(c);
        if (c->state == State::BudgetWait) budgetWait.remove(c);
        --idleCount;
        ++busyCount;
    }

    // Does what the exchange asked for.
    void act(Conn* c, Exchange::Next next) {
        using Next = Exchange::Next;
        switch (next) {
            case Next::Read:
                if (c->state == State::BudgetWait) {
                    budgetWait.remove(c);
                    c->state = State::Reading;
                    c->touched = Clock::now();
                    reading.pushBack(c);
                    readFrom(c);  // what arrived while it waited
                    return;
                }
                arm(c, EPOLLIN | EPOLLRDHUP);
                return;
            case Next::WaitBudget:
                if (c->state == State::Reading) {
                    reading.remove(c);
                    c->state = State::BudgetWait;
                    c->touched = Clock::now();
                    budgetWait.pushBack(c);
                }
                return;
            case Next::Handle:
                becomeBusy(c);
                c->state = State::Worker;
                whole.push_back(c);  // to the workers at the end of this turn of the loop
                return;
            case Next::Reply:
                becomeBusy(c);
                startWriting(c);
                return;
            case Next::Close:
                closeConn(c);
                return;
        }
    }

    // Reads what has arrived on c and hands it to its exchange.
    void readFrom(Conn* c) {
        for (size_t turn = 0;;) {
            const size_t limit = c->ex->readLimit();
            const size_t want = limit < scratch.size() ? limit : scratch.size();
            const ssize_t n = recv(c->fd, scratch.data(), want, MSG_DONTWAIT);
            if (n > 0) {
                c->touched = Clock::now();
                reading.moveToBack(c);
                const Exchange::Next next = c->ex->received(scratch.data(), static_cast<size_t>(n));
                if (next != Exchange::Next::Read || static_cast<size_t>(n) < want) {
                    act(c, next);
                    return;
                }
                turn += static_cast<size_t>(n);
                if (turn >= kReadPerTurn) {
                    arm(c, EPOLLIN | EPOLLRDHUP);  // more next turn, after the others
                    return;
                }
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                arm(c, EPOLLIN | EPOLLRDHUP);
                return;
            }
            end(c, false);  // end of stream, or the connection failed
            return;
        }
    }

    void end(Conn* c, bool timedOut) {
        c->ended = true;
        const Exchange::Next next = c->ex->ended(timedOut);
        act(c, next == Exchange::Next::Read ? Exchange::Next::Close : next);
    }

    void startWriting(Conn* c) {
        c->state = State::Writing;
        c->touched = Clock::now();
        writing.pushBack(c);
        continueWriting(c);
    }

    void continueWriting(Conn* c) {
        const size_t before = c->headDone + c->bodyDone;
        const int r = writeSome(c);
        if (r == 0) {
            // The limit is on a write that waits, not on the whole answer: progress renews it.
            if (c->headDone + c->bodyDone != before) {
                c->touched = Clock::now();
                writing.moveToBack(c);
            }
            arm(c, EPOLLOUT);
            return;
        }
        writing.remove(c);
        c->ex->written(c->bodyDone, r > 0);
        afterWriting(c, r > 0);
    }

    // The response is out (or could not go out): drop what the peer still sends, or close.
    void afterWriting(Conn* c, bool complete) {
        const size_t unread = complete && !c->ended ? c->ex->unreadAfterReply() : 0;
        if (unread == 0) {
            closeConn(c);
            return;
        }
        shutdown(c->fd, SHUT_WR);  // the response is whole for the peer now
        c->state = State::Discarding;
        c->discardLeft = unread;
        c->touched = Clock::now();
        discarding.pushBack(c);
        arm(c, EPOLLIN | EPOLLRDHUP);
    }

    void discardFrom(Conn* c) {
        for (size_t turn = 0;; turn += scratch.size()) {
            if (turn >= kReadPerTurn) {
                arm(c, EPOLLIN | EPOLLRDHUP);
                return;
            }
            const size_t want = c->discardLeft < scratch.size() ? c->discardLeft : scratch.size();
            const ssize_t n = recv(c->fd, scratch.data(), want, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                arm(c, EPOLLIN | EPOLLRDHUP);
                return;
            }
            if (n <= 0) break;
            c->discardLeft -= static_cast<size_t>(n);
            if (c->discardLeft == 0) break;
        }
        closeConn(c);
    }

    // ---- Workers ----

    void serveOnWorker(Conn* c) {
        c->ex->handle(c->peer, c->fd);
        const int r = writeSome(c);
        if (r == 0 || (r > 0 && c->ex->unreadAfterReply() > 0)) {
            // The loop finishes it: the socket is full, or the peer still sends.
            if (r > 0) c->ex->written(c->bodyDone, true);
            c->state = r == 0 ? State::Writing : State::Discarding;
            addCpuTime();
            {
                std::lock_guard<std::mutex> lock(backMutex);
                handedBack.push_back(c);
            }
            poke();
            return;
        }
        c->ex->written(c->bodyDone, r > 0);
        // Counted before the connection closes, so that whoever waits for the last connection to
        // end reads sums that hold it.
        addCpuTime();
        release(c);
        delete c;
        if (acceptPaused.load()) poke();
    }

    void addCpuTime() {
        if (!options.cpuTime) return;
        thread_local CpuClock clock;
        long utime = 0, stime = 0;
        clock.lap(&utime, &stime);
        options.cpuTime(utime, stime);
    }

    void takeHandedBack() {
        std::vector<Conn*> back;
        {
            std::lock_guard<std::mutex> lock(backMutex);
            back.swap(handedBack);
        }
        for (Conn* c : back) {
            if (c->state == State::Writing) {
                c->touched = Clock::now();
                writing.pushBack(c);
                arm(c, EPOLLOUT);
            } else {
                c->state = State::Writing;  // so that afterWriting starts from a known state
                afterWriting(c, true);
            }
        }
    }

    // ---- Accepting ----

    // Takes up to a batch of queued connections; returns how many it took.
    int accept() {
        int taken = 0;
        for (int i = 0; i < kAcceptBatch && listening; ++i) {
            struct sockaddr_in sa = {};
            socklen_t len = sizeof sa;
            const int fd = accept4(listener.get(), reinterpret_cast<struct sockaddr*>(&sa), &len,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                const int err = errno;
                switch (classifyAcceptError(err)) {
                    case AcceptFailure::Empty:
                        return taken;
                    case AcceptFailure::Retry:
                        continue;
                    case AcceptFailure::Free:
                        if (evictIdle()) continue;
                        pauseAccept(err);
                        return taken;
                    case AcceptFailure::Pause:
                        pauseAccept(err);
                        return taken;
                    case AcceptFailure::Stop:
                        errno = err;
                        diagPerror("accept");
                        closeListener();
                        return taken;
                }
            }
            auto* c = new Conn;
            c->fd = fd;
            c->peer = Peer{sa.sin_addr.s_addr, sa.sin_port};
            c->ex = options.newExchange(c->peer);
            c->accepted = c->touched = Clock::now();
            ++idleCount;
            liveCount.fetch_add(1);
            acceptOrder.pushBack(c);
            reading.pushBack(c);
            ++taken;
            // Connections are accepted once their request has begun to arrive: read at once.
            readFrom(c);
        }
        return taken;
    }

    // Closes the connection that has been idle longest among those whose request is still
    // arriving, to make room for a new one. False when there is none.
    bool evictIdle() {
        Conn* c = reading.front();
        if (c == nullptr) return false;
        ++evictedSinceReport;
        closeConn(c);
        const auto now = Clock::now();
        if (now - lastEvictReport >= kReportEvery) {
            lastEvictReport = now;
            diagf(DiagStream::Err,
                  "out of descriptors: closed %d idle connections whose request had not "
                  "arrived\n",
                  evictedSinceReport);
            evictedSinceReport = 0;
        }
        return true;
    }

    void pauseAccept(int err) {
        const auto now = Clock::now();
        if (options.reportAcceptErrors && now - lastAcceptReport >= kReportEvery) {
            lastAcceptReport = now;
            errno = err;
            diagPerror("accept");
        }
        setListening(false);
        pausedUntil = now + kAcceptPause;
        acceptPaused.store(true);
    }

    void resumeAccept() {
        acceptPaused.store(false);
        if (!stopped) setListening(true);
    }

    void closeListener() {
        setListening(false);
        listener.reset();
        stopped = true;
        acceptPaused.store(false);
        std::lock_guard<std::mutex> lock(stopMutex);
        listenerClosed = true;
        stopDone.notify_all();
    }

    void stopAccepting() {
        if (stopped) return;
        // A socket of our own: take what is already queued (it would be reset otherwise), then
        // close it so that new connections are refused. A handed-over socket keeps queueing for
        // the next process: leave the queue alone.
        if (!handedOver) {
            setListening(true);
            while (accept() == kAcceptBatch) {
            }
        }
        closeListener();
    }

    // ---- Time ----

    // Deals with every time limit that has run out; returns how long epoll may wait.
    int expire() {
        const auto now = Clock::now();
        auto until = Clock::time_point::max();
        auto consider = [&](Clock::time_point t) {
            if (t < until) until = t;
        };
        while (Conn* c = acceptOrder.front()) {
            const auto deadline = c->accepted + options.requestTimeout;
            if (deadline > now) {
                consider(deadline);
                break;
            }
            acceptOrder.remove(c);
            if (c->state == State::BudgetWait) {
                budgetWait.remove(c);
                c->state = State::Reading;  // end() acts from here
                reading.pushBack(c);
            }
            end(c, true);
        }
        while (Conn* c = writing.front()) {
            const auto deadline = c->touched + options.writeStallTimeout;
            if (deadline > now) {
                consider(deadline);
                break;
            }
            writing.remove(c);
            c->ex->written(c->bodyDone, false);
            closeConn(c);
        }
        while (Conn* c = discarding.front()) {
            const auto deadline = c->touched + options.discardTimeout;
            if (deadline > now) {
                consider(deadline);
                break;
            }
            closeConn(c);
        }
        if (!budgetWait.empty()) {
            if (now - lastBudgetPoll >= kBudgetPoll) {
                lastBudgetPoll = now;
                retryBudgets(now);
            }
            consider(lastBudgetPoll + kBudgetPoll);
        }
        if (acceptPaused.load() && !stopped) {
            if (now >= pausedUntil) {
                resumeAccept();
            } else {
                consider(pausedUntil);
            }
        }
        const milliseconds poolCheck = pool.check();
        if (poolCheck.count() >= 0) consider(now + poolCheck);
        if (now - lastCpuFlush >= kCpuFlush) {
            lastCpuFlush = now;
            if (options.cpuTime) {
                long utime = 0, stime = 0;
                loopCpu.lap(&utime, &stime);
                if (utime != 0 || stime != 0) options.cpuTime(utime, stime);
            }
        }
        if (liveCount.load() > 0) consider(lastCpuFlush + kCpuFlush);
        if (until == Clock::time_point::max()) return -1;
        const auto left = std::chrono::ceil<milliseconds>(until - Clock::now()).count();
        return left < 0 ? 0 : left > 60000 ? 60000 : static_cast<int>(left);
    }

    void retryBudgets(Clock::time_point now) {
        // Those that waited longest first: memory given back goes to them.
        std::vector<Conn*> waiting;
        for (Conn* c = budgetWait.front(); c != nullptr; c = c->byState.next) waiting.push_back(c);
        for (Conn* c : waiting) {
            const bool lastTry = now - c->touched >= options.budgetWait;
            const Exchange::Next next = c->ex->retryBudget(lastTry);
            if (next == Exchange::Next::WaitBudget && !lastTry) continue;
            if (next == Exchange::Next::Read && c->ended) {
                act(c, Exchange::Next::Close);
                continue;
            }
            act(c, next == Exchange::Next::WaitBudget ? Exchange::Next::Close : next);
        }
    }

    bool run() {
        if (!epoll.valid() || !wake.valid()) {
            diagPerror(!epoll.valid() ? "epoll_create1" : "eventfd");
            return false;
        }
        scratch.resize(kScratchBytes);
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.ptr = &wake;
        epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &ev);
        const int flags = fcntl(listener.get(), F_GETFL, 0);
        if (flags >= 0) fcntl(listener.get(), F_SETFL, flags | O_NONBLOCK);
        setListening(true);
        loopThread.store(pthread_self());
        running.store(true);
        lastCpuFlush = Clock::now();
        loopCpu.lap(nullptr, nullptr);

        std::vector<struct epoll_event> events(kMaxEvents);
        for (;;) {
            if (stopRequested.load() && !stopped) stopAccepting();
            if (stopped && liveCount.load() == 0) break;
            const int timeout = expire();
            pool.submit(&whole);
            if (stopped && liveCount.load() == 0) break;
            const int n = epoll_wait(epoll.get(), events.data(), kMaxEvents, timeout);
            if (n < 0 && errno != EINTR) {
                diagPerror("epoll_wait");
                return false;
            }
            for (int i = 0; i < n; ++i) {
                void* p = events[i].data.ptr;
                if (p == nullptr) {
                    accept();
                } else if (p == &wake) {
                    uint64_t count;
                    (void)!read(wake.get(), &count, sizeof count);
                    takeHandedBack();
                    if (acceptPaused.load()) resumeAccept();
                } else {
                    Conn* c = static_cast<Conn*>(p);
                    if (c->dead) continue;
                    c->armed = false;
                    switch (c->state) {
                        case State::Reading:
                            readFrom(c);
                            break;
                        case State::Writing:
                            continueWriting(c);
                            break;
                        case State::Discarding:
                            discardFrom(c);
                            break;
                        case State::BudgetWait:
                        case State::Worker:
                            break;  // not armed in these states
                    }
                }
            }
            // One hand-over of everything the batch made whole: one lock, and the wake-ups it
            // needs, instead of one of each per request.
            pool.submit(&whole);
            buryTheDead();
        }
        if (options.cpuTime) {
            long utime = 0, stime = 0;
            loopCpu.lap(&utime, &stime);
            options.cpuTime(utime, stime);
        }
        return true;
    }
};

Server::Server(Fd listener, Options options, bool handedOver)
    : mImpl(std::make_unique<Impl>(std::move(listener), std::move(options), handedOver)) {}

Server::~Server() = default;

bool Server::run() {
    return mImpl->run();
}

void Server::stop() {
    Impl& m = *mImpl;
    m.stopRequested.store(true);
    if (m.wake.valid()) m.poke();
    // Once this returns, new connections are no longer accepted: wait for the loop to close the
    // listener (it takes what is queued first), unless this is the loop itself.
    if (!m.running.load() || pthread_equal(m.loopThread.load(), pthread_self())) return;
    std::unique_lock<std::mutex> lock(m.stopMutex);
    m.stopDone.wait_for(lock, std::chrono::seconds(2), [&] { return m.listenerClosed; });
}

Counts Server::counts() const {
    return Counts{mImpl->idleCount.load(), mImpl->busyCount.load()};
}

int Server::live() const {
    return mImpl->liveCount.load();
}

int Server::workers() const {
    return mImpl->pool.threads();
}

}  // namespace serve
