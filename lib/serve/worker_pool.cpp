#include "worker_pool.h"

#include <unistd.h>

#include <cerrno>

#include "diag.h"
#include "request_memory.h"

namespace serve {

namespace {

using Clock = std::chrono::steady_clock;

// A job running longer than this is taken to block (on a peer, a lookup, a child process) rather
// than to compute, so a queued job gets a thread of its own instead of waiting behind it.
constexpr auto kBlockedAfter = std::chrono::milliseconds(2);
constexpr auto kCheckEvery = std::chrono::milliseconds(2);
// A thread with nothing to do for this long ends (the last one stays).
constexpr auto kIdleExit = std::chrono::seconds(5);
// After a thread could not be started, the next try waits this long.
constexpr auto kStartRetry = std::chrono::milliseconds(50);
constexpr auto kReportEvery = std::chrono::seconds(1);
constexpr size_t kStackBytes = 256 * 1024;  // thousands of threads must fit

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct WorkerPool::State {
    State(int max, std::function<void(void*)> r) : run(std::move(r)), maxWorkers(max) {
        const long n = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = n > 0 ? static_cast<int>(n) : 1;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, kStackBytes);
    }
    ~State() { pthread_attr_destroy(&attr); }

    const std::function<void(void*)> run;
    const int maxWorkers;
    int cpus = 1;
    pthread_attr_t attr;

    std::mutex mu;
    std::condition_variable cv;
    std::deque<void*> queue;  // guarded by mu
    int threads = 0;          // guarded by mu: started and not yet ended
    int idle = 0;             // guarded by mu: waiting for a job and not yet woken for one
    int wakeups = 0;          // guarded by mu: wakes sent and not yet taken
    bool closing = false;     // guarded by mu
    // When each thread's current job began (ns of the steady clock), 0 while it has none.
    std::vector<std::shared_ptr<std::atomic<int64_t>>> busySince;  // guarded by mu
    Clock::time_point nextStart;                                   // guarded by mu
    Clock::time_point lastReport;                                  // guarded by mu

    // Wakes a waiting thread for a queued job; false when none waits.
    bool wakeOne() {
        if (idle == 0) return false;
        --idle;
        ++wakeups;
        cv.notify_one();
        return true;
    }

    // Threads running jobs that seem to compute rather than block.
    int computing() const {
        const int64_t limit = nowNs() - std::chrono::nanoseconds(kBlockedAfter).count();
        int n = 0;
        for (const auto& since : busySince) {
            const int64_t t = since->load(std::memory_order_relaxed);
            n += t != 0 && t > limit;
        }
        return n;
    }

    // Starts up to n threads; stops at the first that cannot be started.
    void start(int n, const std::shared_ptr<State>& self);
};

namespace {

struct WorkerArg {
    std::shared_ptr<WorkerPool::State> state;
    std::shared_ptr<std::atomic<int64_t>> busySince;
};

void* workerMain(void* p);

}  // namespace

void WorkerPool::State::start(int n, const std::shared_ptr<State>& self) {
    const auto now = Clock::now();
    if (now < nextStart) return;
    for (int i = 0; i < n && threads < maxWorkers; ++i) {
        auto since = std::make_shared<std::atomic<int64_t>>(0);
        auto* arg = new WorkerArg{self, since};
        pthread_t tid;
        const int err = pthread_create(&tid, &attr, workerMain, arg);
        if (err != 0) {
            delete arg;
            // The job stays queued: a thread that ends, or a later start, takes it.
            nextStart = now + kStartRetry;
            if (now - lastReport >= kReportEvery) {
                lastReport = now;
                errno = err;
                diagPerror("pthread_create");
                diagf(DiagStream::Err, "Can't create thread... exit now!\n");
            }
            return;
        }
        ++threads;
        busySince.push_back(std::move(since));
    }
}

namespace {

void* workerMain(void* p) {
    // Owns its argument; shares the pool's state with the other threads and the pool.
    std::unique_ptr<WorkerArg> arg(static_cast<WorkerArg*>(p));
    WorkerPool::State& s = *arg->state;
    bool quiet = false;
    bool trimmed = true;  // since its last job
    std::unique_lock<std::mutex> lock(s.mu);
    for (;;) {
        while (s.queue.empty() && !s.closing) {
            ++s.idle;
            const bool timedOut = s.cv.wait_for(lock, kIdleExit) == std::cv_status::timeout;
            if (s.wakeups > 0) {
                --s.wakeups;  // woken for a job (or another waiter's wake: either serves it)
            } else {
                --s.idle;
            }
            if (timedOut && s.queue.empty() && s.threads > 1) {
                quiet = true;
                break;
            }
            if (timedOut && !trimmed) {
                // The last thread stays; after a quiet spell it trims all the same.
                trimmed = true;
                lock.unlock();
                giveBackFreedMemory();
                lock.lock();
            }
        }
        if (s.queue.empty()) break;  // quiet, or the pool is closing
        void* job = s.queue.front();
        s.queue.pop_front();
        arg->busySince->store(nowNs(), std::memory_order_relaxed);
        lock.unlock();
        s.run(job);
        arg->busySince->store(0, std::memory_order_relaxed);
        trimmed = false;
        lock.lock();
    }
    for (auto it = s.busySince.begin(); it != s.busySince.end(); ++it) {
        if (*it == arg->busySince) {
            s.busySince.erase(it);
            break;
        }
    }
    --s.threads;
    lock.unlock();
    if (quiet) giveBackFreedMemory();
    return nullptr;
}

}  // namespace

WorkerPool::WorkerPool(int maxWorkers, std::function<void(void*)> run)
    : mState(std::make_shared<State>(maxWorkers > 0 ? maxWorkers : 1, std::move(run))) {}

WorkerPool::~WorkerPool() {
    std::lock_guard<std::mutex> lock(mState->mu);
    mState->closing = true;
    mState->cv.notify_all();
}

void WorkerPool::submit(void* job) {
    State& s = *mState;
    std::lock_guard<std::mutex> lock(s.mu);
    s.queue.push_back(job);
    if (s.wakeOne()) return;
    // Nobody waits: a new thread, unless enough of those running compute (they will come back
    // for it soon) or the pool is full (then it waits its turn).
    if (s.threads == 0 || s.computing() < s.cpus) s.start(1, mState);
}

std::chrono::milliseconds WorkerPool::check() {
    State& s = *mState;
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.queue.empty()) return std::chrono::milliseconds(-1);
    while (static_cast<int>(s.queue.size()) > s.wakeups && s.wakeOne()) {
    }
    const int waiting = static_cast<int>(s.queue.size()) - s.wakeups;
    const int room = s.threads == 0 ? 1 : s.cpus - s.computing();
    const int n = waiting < room ? waiting : room;
    if (n > 0) s.start(n, mState);
    return kCheckEvery;
}

int WorkerPool::threads() const {
    std::lock_guard<std::mutex> lock(mState->mu);
    return mState->threads;
}

}  // namespace serve
