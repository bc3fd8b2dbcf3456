#include "support/broker_fixture.h"

#include "runtime/block_allocator.h"
#include "runtime/process.h"
#include "runtime/statistics.h"
#include "runtime/thread_slots.h"

#include <atomic>
#include <thread>
#include <vector>

namespace kov::test {
namespace {

using runtime::Counter;
using StatisticsTest = BrokerTest;

struct CounterCase {
    Counter counter;
    unsigned times;
    std::uint32_t offset;
};
// Distinct counts, so a counter copied to the wrong place shows. Every synchronous call that
// did not fail was delivered: syncDelivered (at 76) is 11 - 6 = 5.
constexpr CounterCase kCounters[] = {
    {Counter::SendCalls, 1, 44},  {Counter::SendDelivered, 2, 52}, {Counter::SendFailed, 3, 60},
    {Counter::SyncCalls, 11, 68}, {Counter::SyncFailed, 6, 84},
};
constexpr std::uint32_t kSyncDeliveredAt = 76;
constexpr unsigned kSyncDelivered = 5;

void countAll() {
    for (const CounterCase& c : kCounters)
        for (unsigned i = 0; i < c.times; ++i) runtime::countCall(c.counter);
}

std::vector<std::uint8_t> copied(std::uint32_t syncWaiting = 0) {
    std::vector<std::uint8_t> bytes(sizeof(StatisticsRecord), 0xEE);
    runtime::copyStatistics(reinterpret_cast<StatisticsRecord*>(bytes.data()), syncWaiting);
    return bytes;
}

TEST_F(StatisticsTest, CopyHasTheFixedLayout) {
    ASSERT_EQ(sizeof(StatisticsRecord), 108u);
    countAll();
    runtime::addSetCount(0x10003); // only the low 16 bits of a set count are counted
    void* kept = runtime::allocate(20); // block of 40
    runtime::release(runtime::allocate(4)); // block of 24

    const std::vector<std::uint8_t> r = copied(0x01020304);
    EXPECT_EQ(u32(r.data(), 0), 108u);
    EXPECT_EQ(u16(r.data(), 4), 1u);
    EXPECT_EQ(u16(r.data(), 6), 0u);
    EXPECT_EQ(u32(r.data(), 8), 0u);
    EXPECT_EQ(u32(r.data(), 12), 0u);
    EXPECT_EQ(u32(r.data(), 16), 3u);
    for (std::uint32_t total : {20u, 28u, 36u})
        EXPECT_EQ(u64(r.data(), total), 0u) << "totals are computed only on request, at " << total;
    for (const CounterCase& c : kCounters) {
        EXPECT_EQ(u32(r.data(), c.offset), c.times) << "low half at " << c.offset;
        EXPECT_EQ(u32(r.data(), c.offset + 4), 0u) << "high half at " << c.offset + 4;
    }
    EXPECT_EQ(u64(r.data(), kSyncDeliveredAt), kSyncDelivered);
    EXPECT_EQ(u32(r.data(), 92), 64u);
    EXPECT_EQ(u32(r.data(), 96), 40u);
    EXPECT_EQ(u32(r.data(), 100), 24u);
    EXPECT_EQ(u32(r.data(), 104), 0x01020304u);
    runtime::release(kept);
}

TEST_F(StatisticsTest, TotalsAreSumsAsOfTheLastComputation) {
    countAll();
    runtime::computeTotals();
    std::vector<std::uint8_t> r = copied();
    EXPECT_EQ(u64(r.data(), 20), 1u + 11u);
    EXPECT_EQ(u64(r.data(), 28), 2u + 5u);
    EXPECT_EQ(u64(r.data(), 36), 3u + 6u);

    // Later calls show in their own counters at once, in the totals only when computed again.
    runtime::countCall(Counter::SendCalls);
    runtime::countCall(Counter::SyncFailed);
    r = copied();
    EXPECT_EQ(u64(r.data(), 20), 12u);
    EXPECT_EQ(u64(r.data(), 36), 9u);
    runtime::computeTotals();
    r = copied();
    EXPECT_EQ(u64(r.data(), 20), 13u);
    EXPECT_EQ(u64(r.data(), 28), 2u + 4u); // one synchronous call more has failed
    EXPECT_EQ(u64(r.data(), 36), 10u);
}

// Runs `work(t)` on `threads` new threads, started together so that they overlap, and joins
// them all.
template <typename Work> void onThreads(unsigned threads, Work work) {
    std::atomic<unsigned> waiting{threads};
    std::vector<std::thread> running;
    for (unsigned t = 0; t < threads; ++t) {
        running.emplace_back([&waiting, &work, t] {
            waiting.fetch_sub(1);
            while (waiting.load() != 0) std::this_thread::yield();
            work(t);
        });
    }
    for (std::thread& thread : running) thread.join();
}

// Each thread keeps its own shares of the counters; a lost or doubled share shows as a wrong
// sum once every thread has been joined. Blocks are freed by a thread other than the one that
// allocated them, so a thread's share of bytesInUse goes below zero and must still add up. The
// second round runs on new threads that reuse the ended threads' slots: nothing counted before
// may be reset or counted twice by that.
constexpr unsigned kThreads = 4;
constexpr unsigned kRounds = 4000;
// Request sizes and the block sizes they get: 0 -> 16, 4 -> 24, 20 -> 40.
constexpr std::uint32_t kSizes[] = {0, 4, 20};
constexpr std::uint64_t kBlockBytesPerRound = 16 + 24 + 40;

TEST_F(StatisticsTest, CountsFromManyThreadsAddUpExactly) {
    const std::vector<std::uint8_t> before = copied();
    std::vector<std::vector<void*>> blocks(kThreads);

    for (int pass = 0; pass < 2; ++pass) {
        onThreads(kThreads, [&blocks](unsigned t) {
            for (unsigned round = 0; round < kRounds; ++round) {
                countAll();
                for (std::uint32_t n : kSizes) blocks[t].push_back(runtime::allocate(n));
            }
        });
        onThreads(kThreads, [&blocks](unsigned t) {
            for (void* block : blocks[(t + 1) % kThreads]) runtime::release(block);
        });
        for (auto& list : blocks) list.clear();
    }

    const std::vector<std::uint8_t> after = copied();
    constexpr std::uint64_t kRoundsInAll = 2ull * kThreads * kRounds;
    for (const CounterCase& c : kCounters)
        EXPECT_EQ(u64(after.data(), c.offset) - u64(before.data(), c.offset), kRoundsInAll * c.times)
            << "counter at " << c.offset;
    const std::uint32_t bytes = static_cast<std::uint32_t>(kRoundsInAll * kBlockBytesPerRound);
    EXPECT_EQ(u32(after.data(), 92) - u32(before.data(), 92), bytes) << "bytesAllocated";
    EXPECT_EQ(u32(after.data(), 100) - u32(before.data(), 100), bytes) << "bytesFreed";
    EXPECT_EQ(u32(after.data(), 96), u32(before.data(), 96)) << "bytesInUse back";
}

// Between a detach and the next attach no thread has a slot: counting then falls back to the
// shared counters and loses nothing.
TEST_F(StatisticsTest, CountsWithoutASlotAreKept) {
    void* block = runtime::allocate(20);
    const std::vector<std::uint8_t> before = copied();
    runtime::detail::isAttached = false; // as the detach does first
    runtime::stopThreadSlots();
    EXPECT_EQ(runtime::currentSlot(), nullptr);
    runtime::countCall(Counter::SendFailed);
    runtime::release(block);
    const std::vector<std::uint8_t> after = copied();
    EXPECT_EQ(u64(after.data(), 60), u64(before.data(), 60) + 1);
    EXPECT_EQ(u32(after.data(), 100), u32(before.data(), 100) + 40);
    EXPECT_EQ(u32(after.data(), 96), u32(before.data(), 96) - 40);
    runtime::startThreadSlots();
    runtime::detail::isAttached = true;
    EXPECT_NE(runtime::currentSlot(), nullptr);
}

// A counter is high * 2^31 + low: the add that takes low to 2^31 reads right at once, and the
// carry that follows moves that bit into high.
TEST_F(StatisticsTest, ACounterCarriesIntoItsHighWord) {
    runtime::ThreadSlot* const slot = runtime::currentSlot();
    ASSERT_NE(slot, nullptr);
    runtime::OwnCounter& counter = slot->counters[static_cast<unsigned>(Counter::SyncCalls)];
    counter.low = 0x7FFFFFFFu;
    counter.high = 1;
    runtime::countCall(slot, Counter::SyncCalls);
    EXPECT_EQ(counter.low.load(), 0u);
    EXPECT_EQ(counter.high.load(), 2u);
    EXPECT_EQ(runtime::read(*slot, counter), 0x100000000ull);
    EXPECT_EQ(u64(copied().data(), 68), 0x100000000ull);
}

} // namespace
} // namespace kov::test
