// The memory budget: reservations add up and come back, large ones leave room for small ones,
// and what does not fit waits a bounded time.
#include "memory_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>

namespace {

using std::chrono::milliseconds;
constexpr uint64_t kMiB = 1024 * 1024;

TEST(ByteSize, DigitsWithAnOptionalBinaryUnit) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t bytes;
    } cases[] = {
        {"1073741824", true, 1ull << 30},
        {"1G", true, 1ull << 30},
        {"1GiB", true, 1ull << 30},
        {"1gb", true, 1ull << 30},
        {"512M", true, 512 * kMiB},
        {"64KiB", true, 64 * 1024},
        {"4096B", true, 4096},
        {"2t", true, 2ull << 40},
        {"", false, 0},
        {"G", false, 0},
        {"-1G", false, 0},
        {" 1G", false, 0},
        {"1G ", false, 0},
        {"1.5G", false, 0},
        {"1X", false, 0},
        {"1GiBs", false, 0},
        {"4096iB", false, 0},
        {"99999999999999999999", false, 0},
        {"8388608T", false, 0},
    };
    for (const Case& c : cases) {
        uint64_t bytes = 0;
        EXPECT_EQ(parseByteSize(c.text, &bytes), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
    EXPECT_FALSE(parseByteSize(nullptr, nullptr));
}

TEST(MemoryBudgetTest, ReservationsAddUpAndComeBackWhenDestroyed) {
    MemoryBudget budget(64 * kMiB);
    {
        MemoryReservation a(&budget, milliseconds(0));
        MemoryReservation b(&budget, milliseconds(0));
        EXPECT_TRUE(a.grow(10 * kMiB));
        EXPECT_TRUE(a.grow(5 * kMiB));
        EXPECT_TRUE(b.grow(20 * kMiB));
        EXPECT_EQ(a.bytes(), 15 * kMiB);
        EXPECT_EQ(budget.usedBytes(), 35 * kMiB);
        b.release();
        EXPECT_EQ(b.bytes(), 0u);
        EXPECT_EQ(budget.usedBytes(), 15 * kMiB);
    }
    EXPECT_EQ(budget.usedBytes(), 0u);
}

TEST(MemoryBudgetTest, LargeReservationsLeaveTheLastSixteenthToSmallOnes) {
    MemoryBudget budget(64 * kMiB);
    MemoryReservation large(&budget, milliseconds(0));
    EXPECT_TRUE(large.grow(60 * kMiB));
    EXPECT_FALSE(large.grow(1));  // large reservations stop at 60 MiB
    MemoryReservation other(&budget, milliseconds(0));
    EXPECT_FALSE(other.grow(kSmallReservationBytes + 1));
    // Small ones take the rest, each up to kSmallReservationBytes.
    MemoryReservation small[4] = {{&budget, milliseconds(0)},
                                  {&budget, milliseconds(0)},
                                  {&budget, milliseconds(0)},
                                  {&budget, milliseconds(0)}};
    for (MemoryReservation& s : small) EXPECT_TRUE(s.grow(kSmallReservationBytes));
    EXPECT_EQ(budget.usedBytes(), 64 * kMiB);
    MemoryReservation last(&budget, milliseconds(0));
    EXPECT_FALSE(last.grow(1));  // the whole limit is taken
    EXPECT_EQ(budget.usedBytes(), 64 * kMiB);
}

TEST(MemoryBudgetTest, WhatDoesNotFitWaitsForBytesGivenBack) {
    MemoryBudget budget(64 * kMiB);
    auto holder = std::make_unique<MemoryReservation>(&budget, milliseconds(0));
    ASSERT_TRUE(holder->grow(50 * kMiB));
    // Fits once the holder gives its bytes back, whenever that happens within the wait.
    auto waiter = std::async(std::launch::async, [&budget] {
        MemoryReservation r(&budget, milliseconds(30000));
        return r.grow(40 * kMiB);
    });
    holder.reset();
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(budget.usedBytes(), 0u);
}

TEST(MemoryBudgetTest, WhatCanNeverFitIsRefusedWithoutWaiting) {
    MemoryBudget budget(64 * kMiB);
    MemoryReservation r(&budget, milliseconds(600000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(r.grow(61 * kMiB));  // above what a large reservation may hold
    EXPECT_FALSE(r.grow(UINT64_MAX));
    // Generous: only a wait of its own (ten minutes) could take this long.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(budget.usedBytes(), 0u);
}

}  // namespace
