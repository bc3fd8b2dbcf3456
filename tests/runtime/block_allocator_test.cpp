#include "support/broker_fixture.h"

#include "runtime/block_allocator.h"

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

} // namespace
} // namespace kov::test
