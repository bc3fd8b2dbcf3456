#include "support/broker_fixture.h"

#include "runtime/block_allocator.h"

#include <thread>

namespace kov::test {
namespace {

using BlockAllocatorTest = BrokerTest;

TEST_F(BlockAllocatorTest, BlockSizesFollowTheRoundingRule) {
    struct Case {
        std::uint32_t request, block;
    };
    const Case cases[] = {{0, 16}, {3, 16}, {4, 24}, {11, 24}, {12, 32}, {20, 40}, {108 + 44, 168}};
    for (const Case& c : cases) {
        const std::uint32_t before = statistics().bytesAllocated;
        void* p = runtime::allocate(c.request);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(statistics().bytesAllocated - before, c.block) << "request of " << c.request;
        // The head just before the caller's bytes: tag, handle, size.
        EXPECT_EQ(std::memcmp(static_cast<char*>(p) - 12, "RNEP", 4), 0);
        EXPECT_EQ(u32(static_cast<char*>(p) - 4, 0), c.block);
        runtime::release(p);
    }
}

TEST_F(BlockAllocatorTest, BlocksAreZeroFilled) {
    for (std::uint32_t n : {1u, 44u, 1000u, 65536u}) {
        auto* p = static_cast<std::uint8_t*>(runtime::allocate(n));
        ASSERT_NE(p, nullptr);
        for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(p[i], 0) << "byte " << i << " of " << n;
        std::memset(p, 0xAB, n);
        runtime::release(p);
    }
}

TEST_F(BlockAllocatorTest, CountersTrackAllocationAndRelease) {
    const StatisticsRecord before = statistics();
    void* a = runtime::allocate(20);
    void* b = runtime::allocate(4);
    StatisticsRecord mid = statistics();
    EXPECT_EQ(mid.bytesAllocated - before.bytesAllocated, 64u);
    EXPECT_EQ(mid.bytesInUse - before.bytesInUse, 64u);
    runtime::release(a);
    runtime::release(b);
    const StatisticsRecord after = statistics();
    EXPECT_EQ(after.bytesFreed - before.bytesFreed, 64u);
    EXPECT_EQ(after.bytesInUse, before.bytesInUse);
    EXPECT_EQ(after.bytesInUse, after.bytesAllocated - after.bytesFreed);
}

TEST_F(BlockAllocatorTest, ForeignPointersAndSecondReleasesAreIgnored) {
    alignas(8) std::uint8_t foreign[64] = {};
    const StatisticsRecord before = statistics();
    EXPECT_EQ(runtime::release(foreign + 12), 0u);
    EXPECT_EQ(statistics().bytesFreed, before.bytesFreed);
    EXPECT_EQ(statistics().bytesInUse, before.bytesInUse);

    // Keep the memory of a released block readable (as if the system's free had failed), so a
    // second release can be made safely: it must find the tag cleared and count nothing.
    auto* p = static_cast<std::uint8_t*>(runtime::allocate(8));
    ASSERT_NE(p, nullptr);
    platform::GlobalHandle handle;
    std::memcpy(&handle, p - 8, sizeof handle);
    faults::failNth(faults::Fault::GlobalFree, 1, true);
    runtime::release(p);
    const StatisticsRecord once = statistics();
    EXPECT_EQ(once.bytesFreed - before.bytesFreed, 24u);
    runtime::release(p);
    EXPECT_EQ(statistics().bytesFreed, once.bytesFreed);
    EXPECT_EQ(statistics().bytesInUse, before.bytesInUse);
    faults::clear();
    platform::globalFree(handle);
}

TEST_F(BlockAllocatorTest, FailedAllocationReturnsNullAndCountsNothing) {
    const StatisticsRecord before = statistics();
    faults::failNth(faults::Fault::GlobalAlloc, 1);
    EXPECT_EQ(runtime::allocate(16), nullptr);
    EXPECT_EQ(statistics().bytesAllocated, before.bytesAllocated);
    EXPECT_EQ(runtime::allocate(UINT32_MAX), nullptr);
}

// Outside tests of the fault switch, a thread keeps small blocks it released and hands them out
// again: zeroed as new ones (the header copy included), counted as new ones, and given back to the
// system at the detach (LeakSanitizer sees any that stays) and when the thread ends.
TEST_F(BlockAllocatorTest, ReleasedSmallBlocksComeBackZeroedAndCounted) {
    faults::stopCounting();
    const StatisticsRecord before = statistics();
    auto* p = static_cast<std::uint8_t*>(runtime::allocate(60));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xAB, 60);
    runtime::ThreadSlot* const slot = runtime::currentSlot();
    const std::uint32_t kept = slot->cachedCount;
    runtime::release(p);
    ASSERT_EQ(slot->cachedCount, kept + 1) << "the block was not kept for this thread";
    const std::uint8_t head[5] = {1, 2, 3, 4, 5};
    auto* again = static_cast<std::uint8_t*>(runtime::allocate(60, head, sizeof head));
    EXPECT_EQ(slot->cachedCount, kept);
    ASSERT_EQ(again, p);
    EXPECT_EQ(std::memcmp(again, head, sizeof head), 0);
    for (std::uint32_t i = sizeof head; i < 68; ++i) ASSERT_EQ(again[i], 0) << "byte " << i;
    EXPECT_EQ(std::memcmp(again - 12, "RNEP", 4), 0);
    StatisticsRecord now = statistics();
    EXPECT_EQ(now.bytesAllocated - before.bytesAllocated, 2 * 80u);
    EXPECT_EQ(now.bytesInUse - before.bytesInUse, 80u);
    runtime::release(again);
    EXPECT_EQ(runtime::release(again), 0u) << "a second release of a kept block is ignored";
    now = statistics();
    EXPECT_EQ(now.bytesFreed - before.bytesFreed, 2 * 80u);
    EXPECT_EQ(now.bytesInUse, before.bytesInUse);

    std::thread([] {
        for (std::uint32_t n : {0u, 100u, 400u}) runtime::release(runtime::allocate(n));
    }).join();
    faults::clear();
}

} // namespace
} // namespace kov::test
