#pragma once

// The handler threads of one server: a pool that grows while handlers block and shrinks when it
// is idle, bounded by a maximum; jobs beyond it wait in order.

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace serve {

class WorkerPool {
public:
    // run serves one job on a worker thread.
    WorkerPool(int maxWorkers, std::function<void(void*)> run);
    // Lets the threads end once the queue is empty; they finish on their own.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues the jobs (FIFO, in their order) and empties *jobs; wakes or starts threads for them
    // where needed. Thread-safe.
    void submit(std::vector<void*>* jobs);
    // Starts threads for queued jobs while those running seem to block (a job running for more
    // than a couple of milliseconds), and retries starts that failed. Returns how soon to call it
    // again while jobs wait, or a negative duration when none waits. Called by the loop.
    std::chrono::milliseconds check();

    int threads() const;

    struct State;  // shared with the threads, which may outlive the pool by a moment

private:
    std::shared_ptr<State> mState;
};

}  // namespace serve
