#pragma once

// A budget of bytes that the work in flight may hold, and the reservations drawn from it. A
// server reserves what a request is expected to cost before it commits the memory, and gives it
// back when the request is done, so that the requests in flight together never hold more than
// the limit. A reservation that does not fit waits a bounded time for others to give bytes back.
//
// The last sixteenth of the limit is kept for small reservations (kSmallReservationBytes at most
// in all): when large requests have taken what they may, small ones are still served at once.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// A reservation holding at most this many bytes in all may use the whole limit.
constexpr uint64_t kSmallReservationBytes = 1024 * 1024;

// Shared by every thread; all its operations are thread-safe.
class MemoryBudget {
public:
    explicit MemoryBudget(uint64_t limitBytes) : mLimit(limitBytes) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    uint64_t limitBytes() const { return mLimit; }
    // The bytes that reservations hold right now.
    uint64_t usedBytes() const;

private:
    friend class MemoryReservation;

    // Takes bytes for a reservation that then holds total: waits until they fit or until
    // deadline. False at once when they can never fit.
    bool take(uint64_t bytes, uint64_t total, std::chrono::steady_clock::time_point deadline);
    void give(uint64_t bytes);
    // What a reservation that would hold total may bring the budget up to.
    uint64_t ceilingFor(uint64_t total) const;

    const uint64_t mLimit;
    mutable std::mutex mMutex;
    std::condition_variable mGiven;  // signalled whenever bytes come back
    uint64_t mUsed = 0;              // guarded by mMutex
};

// The bytes one request holds in a budget; gives them all back when destroyed. Used by one
// thread at a time. Move-free: it lives in the scope of the request it accounts for.
class MemoryReservation {
public:
    // Each grow() waits at most `wait` for its bytes to fit.
    MemoryReservation(MemoryBudget* budget, std::chrono::milliseconds wait)
        : mBudget(budget), mWait(wait) {}
    ~MemoryReservation() { release(); }
    MemoryReservation(const MemoryReservation&) = delete;
    MemoryReservation& operator=(const MemoryReservation&) = delete;

    // Adds bytes to the reservation, waiting a bounded time for them to fit. False (and nothing
    // added) when they did not fit in time, at once when they never can.
    bool grow(uint64_t bytes);
    // grow() without waiting: false at once when the bytes do not fit now.
    bool tryGrow(uint64_t bytes);
    // Whether a reservation holding total bytes could ever fit the budget.
    bool canEverHold(uint64_t total) const;
    // Gives every byte back.
    void release();
    uint64_t bytes() const { return mBytes; }
    const MemoryBudget& budget() const { return *mBudget; }

private:
    bool growUntil(uint64_t bytes, std::chrono::steady_clock::time_point deadline);

    MemoryBudget* mBudget;
    std::chrono::milliseconds mWait;
    uint64_t mBytes = 0;
};

// Reads a size: decimal digits, optionally followed by a binary unit K, M, G or T (any case,
// 1024-based) and then an optional "iB" or "B" ("1073741824", "1G", "1GiB", "512m", "64KB",
// "4096B").
// False for anything else, or above 2^62.
bool parseByteSize(const char* text, uint64_t* bytes);
