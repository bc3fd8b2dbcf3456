#include "support/broker_fixture.h"

#include "runtime/block_allocator.h"
#include "runtime/statistics.h"

namespace kov::test {
namespace {

using runtime::Counter;
using StatisticsTest = BrokerTest;

struct CounterCase {
    Counter counter;
    unsigned times;
    std::uint32_t offset;
};
// Distinct counts, so a counter copied to the wrong place shows.
constexpr CounterCase kCounters[] = {
    {Counter::SendCalls, 1, 44},     {Counter::SendDelivered, 2, 52},
    {Counter::SendFailed, 3, 60},    {Counter::SyncCalls, 4, 68},
    {Counter::SyncDelivered, 5, 76}, {Counter::SyncFailed, 6, 84},
};

void countAll() {
    for (const CounterCase& c : kCounters)
        for (unsigned i = 0; i < c.times; ++i) runtime::countCall(c.counter);
}

std::vector<std::uint8_t> copied() {
    std::vector<std::uint8_t> bytes(sizeof(StatisticsRecord), 0xEE);
    runtime::copyStatistics(reinterpret_cast<StatisticsRecord*>(bytes.data()));
    return bytes;
}

TEST_F(StatisticsTest, CopyHasTheFixedLayout) {
    ASSERT_EQ(sizeof(StatisticsRecord), 108u);
    countAll();
    runtime::addSetCount(0x10003); // only the low 16 bits of a set count are counted
    runtime::addSyncWaiting(2);
    runtime::addSyncWaiting(-1);
    void* kept = runtime::allocate(20); // block of 40
    runtime::release(runtime::allocate(4)); // block of 24

    const std::vector<std::uint8_t> r = copied();
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
    EXPECT_EQ(u32(r.data(), 92), 64u);
    EXPECT_EQ(u32(r.data(), 96), 40u);
    EXPECT_EQ(u32(r.data(), 100), 24u);
    EXPECT_EQ(u32(r.data(), 104), 1u);
    runtime::release(kept);
}

TEST_F(StatisticsTest, TotalsAreSumsAsOfTheLastComputation) {
    countAll();
    runtime::computeTotals();
    std::vector<std::uint8_t> r = copied();
    EXPECT_EQ(u64(r.data(), 20), 1u + 4u);
    EXPECT_EQ(u64(r.data(), 28), 2u + 5u);
    EXPECT_EQ(u64(r.data(), 36), 3u + 6u);

    // Later calls show in their own counters at once, in the totals only when computed again.
    runtime::countCall(Counter::SendCalls);
    runtime::countCall(Counter::SyncFailed);
    r = copied();
    EXPECT_EQ(u64(r.data(), 20), 5u);
    EXPECT_EQ(u64(r.data(), 36), 9u);
    runtime::computeTotals();
    r = copied();
    EXPECT_EQ(u64(r.data(), 20), 6u);
    EXPECT_EQ(u64(r.data(), 28), 7u);
    EXPECT_EQ(u64(r.data(), 36), 10u);
}

} // namespace
} // namespace kov::test
