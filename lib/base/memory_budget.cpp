#include "memory_budget.h"

#include <cctype>

uint64_t MemoryBudget::usedBytes() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mUsed;
}

uint64_t MemoryBudget::ceilingFor(uint64_t total) const {
    return total <= kSmallReservationBytes ? mLimit : mLimit - mLimit / 16;
}

bool MemoryBudget::take(uint64_t bytes, uint64_t total,
                        std::chrono::steady_clock::time_point deadline) {
    const uint64_t ceiling = ceilingFor(total);
    // The reservation's own earlier bytes count in mUsed: beyond the ceiling it can never fit.
    if (total > ceiling) return false;
    std::unique_lock<std::mutex> lock(mMutex);
    while (mUsed + bytes > ceiling) {
        if (deadline <= std::chrono::steady_clock::now()) return false;
        if (mGiven.wait_until(lock, deadline) == std::cv_status::timeout &&
            mUsed + bytes > ceiling) {
            return false;
        }
    }
    mUsed += bytes;
    return true;
}

void MemoryBudget::give(uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mUsed -= bytes;
    }
    mGiven.notify_all();
}

bool MemoryReservation::growUntil(uint64_t bytes, std::chrono::steady_clock::time_point deadline) {
    if (bytes == 0) return true;
    if (bytes > mBudget->limitBytes()) return false;  // also keeps the sum below from wrapping
    const uint64_t total = mBytes + bytes;
    if (!mBudget->take(bytes, total, deadline)) return false;
    mBytes = total;
    return true;
}

bool MemoryReservation::grow(uint64_t bytes) {
    return growUntil(bytes, std::chrono::steady_clock::now() + mWait);
}

bool MemoryReservation::tryGrow(uint64_t bytes) {
    // A deadline already here: take() looks once and does not wait.
    return growUntil(bytes, std::chrono::steady_clock::now());
}

bool MemoryReservation::canEverHold(uint64_t total) const {
    return total <= mBudget->ceilingFor(total);
}

void MemoryReservation::release() {
    if (mBytes == 0) return;
    mBudget->give(mBytes);
    mBytes = 0;
}

bool parseByteSize(const char* text, uint64_t* bytes) {
    if (text == nullptr || !isdigit(static_cast<unsigned char>(*text))) return false;
    constexpr uint64_t kMax = 1ull << 62;
    uint64_t v = 0;
    const char* p = text;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > kMax) return false;
    }
    int shift = 0;
    switch (tolower(static_cast<unsigned char>(*p))) {
        case 'k':
            shift = 10;
            break;
        case 'm':
            shift = 20;
            break;
        case 'g':
            shift = 30;
            break;
        case 't':
            shift = 40;
            break;
        default:
            break;
    }
    if (shift != 0) {
        ++p;
        if ((*p == 'i' || *p == 'I') && (p[1] == 'B' || p[1] == 'b')) ++p;
    }
    if (*p == 'B' || *p == 'b') ++p;
    if (*p != '\0' || v > (kMax >> shift)) return false;
    *bytes = v << shift;
    return true;
}
