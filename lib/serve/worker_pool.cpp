#include "worker_pool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag.h"
#include "request_memory.h"

namespace serve {

namespace {

using Clock = std::chrono::steady_clock;

// A job running longer than this may block (on a peer, a lookup, a child process) rather than
// compute: whether it does is then asked of the kernel, and a queued job gets a thread of its own
// instead of waiting behind it.
constexpr auto kBlockedAfter = std::chrono::milliseconds(2);
// A job running longer than this no longer holds queued ones back, computing or not: the kernel
// then shares the CPUs between it and them, so that a few costly requests cannot keep every
// short one waiting until they end. Short jobs still run no more than one per CPU at a time.
constexpr auto kTimeSlice = std::chrono::milliseconds(20);
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

// Whether thread tid of this process is running or waiting for a CPU, rather than sleeping (on
// a socket, a lock, a child): the state in /proc/self/task/TID/stat. A thread whose state
// cannot be read counts as running, so that no thread is started on a guess.
bool threadRunnable(pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char buf[512];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return true;
    buf[n] = '\0';
    // "TID (COMM) STATE ...": the name may hold anything, so the state follows the last ')'.
    const char* p = strrchr(buf, ')');
    return p == nullptr || p[1] != ' ' || p[2] == 'R';
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
    std::deque<void*> queue;        // guarded by mu
    std::atomic<size_t> queued{0};  // queue.size(), written under mu, read without it
    int threads = 0;                // guarded by mu: started and not yet ended
    int idle = 0;                   // guarded by mu: waiting for a job and not yet woken for one
    int wakeups = 0;                // guarded by mu: wakes sent and not yet taken
    bool closing = false;           // guarded by mu
    // Each thread's kernel id and when its current job began (ns of the steady clock, 0 while it
    // has none), written by the thread and read by the pool.
    struct Slot {
        std::atomic<int64_t> busySince{0};
        std::atomic<pid_t> tid{0};
    };
    std::vector<std::shared_ptr<Slot>> slots;  // guarded by mu
    Clock::time_point nextStart;               // guarded by mu
    Clock::time_point lastReport;              // guarded by mu

    // Wakes a waiting thread for a queued job; false when none waits.
    bool wakeOne() {
        if (idle == 0) return false;
        --idle;
        ++wakeups;
        cv.notify_one();
        return true;
    }

    // Threads whose jobs hold queued ones back: every thread not waiting for a job (one between
    // two jobs included), less those whose job has used up its time slice and those whose job
    // has run for a while and that the kernel says sleep. The kernel is asked only as far as it
    // matters: until the count is known to be below cpus.
    int computing() const {
        const int notWaiting = threads - idle;
        if (notWaiting < cpus) return notWaiting;
        const int64_t now = nowNs();
        const int64_t blockedBefore = now - std::chrono::nanoseconds(kBlockedAfter).count();
        const int64_t sliceBefore = now - std::chrono::nanoseconds(kTimeSlice).count();
        int yielding = 0;
        for (const auto& slot : slots) {
            if (notWaiting - yielding < cpus) break;
            const int64_t t = slot->busySince.load(std::memory_order_relaxed);
            if (t == 0 || t > blockedBefore) continue;
            if (t <= sliceBefore || !threadRunnable(slot->tid.load(std::memory_order_relaxed)))
                ++yielding;
        }
        return notWaiting - yielding;
    }

    // Starts up to n threads; stops at the first that cannot be started.
    void start(int n, const std::shared_ptr<State>& self);
};

namespace {

struct WorkerArg {
    std::shared_ptr<WorkerPool::State> state;
    std::shared_ptr<WorkerPool::State::Slot> slot;
};

void* workerMain(void* p);

}  // namespace

void WorkerPool::State::start(int n, const std::shared_ptr<State>& self) {
    const auto now = Clock::now();
    if (now < nextStart) return;
    for (int i = 0; i < n && threads < maxWorkers; ++i) {
        auto slot = std::make_shared<Slot>();
        auto* arg = new WorkerArg{self, slot};
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
        slots.push_back(std::move(slot));
    }
}

namespace {

void* workerMain(void* p) {
    // Owns its argument; shares the pool's state with the other threads and the pool.
    std::unique_ptr<WorkerArg> arg(static_cast<WorkerArg*>(p));
    WorkerPool::State& s = *arg->state;
    arg->slot->tid.store(gettid(), std::memory_order_relaxed);
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
        s.queued.store(s.queue.size(), std::memory_order_relaxed);
        arg->slot->busySince.store(nowNs(), std::memory_order_relaxed);
        lock.unlock();
        s.run(job);
        arg->slot->busySince.store(0, std::memory_order_relaxed);
        trimmed = false;
        lock.lock();
    }
    for (auto it = s.slots.begin(); it != s.slots.end(); ++it) {
        if (*it == arg->slot) {
            s.slots.erase(it);
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

void WorkerPool::submit(std::vector<void*>* jobs) {
    if (jobs->empty()) return;
    State& s = *mState;
    std::lock_guard<std::mutex> lock(s.mu);
    s.queue.insert(s.queue.end(), jobs->begin(), jobs->end());
    s.queued.store(s.queue.size(), std::memory_order_relaxed);
    jobs->clear();
    while (static_cast<int>(s.queue.size()) > s.wakeups && s.wakeOne()) {
    }
    const int waiting = static_cast<int>(s.queue.size()) - s.wakeups;
    if (waiting <= 0) return;
    // Nobody waits for these: new threads, unless enough of those running compute (they will
    // come back for them soon) or the pool is full (then they wait their turn).
    const int room = s.threads == 0 ? 1 : s.cpus - s.computing();
    if (room > 0) s.start(waiting < room ? waiting : room, mState);
}

std::chrono::milliseconds WorkerPool::check() {
    State& s = *mState;
    // Called on every turn of the loop: nothing to do, and no lock taken, while nothing waits.
    if (s.queued.load(std::memory_order_relaxed) == 0) return std::chrono::milliseconds(-1);
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
