// The sample provider's block tracking gives back all its heap once no block is live: the broker
// may unload the library at any time, and what it still holds then is lost for good.
#include "sample_provider.h"
#include "sweeps/heap_faults.h"

#include <gtest/gtest.h>

namespace {

TEST(SampleProviderBlocks, NothingKeptOnceTheLastBlockIsReleased) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const long before = kov::test::heap::blocksLive();
        BrokerMessage* info = sample::newBlock(64);
        BrokerMessage* confirm = sample::newBlock(48);
        ASSERT_NE(info, nullptr);
        ASSERT_NE(confirm, nullptr);
        EXPECT_EQ(sample::releaseBlock(info), 0);
        EXPECT_EQ(sample::releaseBlock(info), 1) << "a second release is refused";
        EXPECT_EQ(sample::releaseBlock(confirm), 0);
        EXPECT_EQ(kov::test::heap::blocksLive(), before) << "heap kept after the last release";
    }
}

TEST(SampleProviderBlocks, NoMemoryForTrackingGivesNull) {
    kov::test::heap::failNth(1, true);
    BrokerMessage* block = sample::newBlock(48);
    kov::test::heap::clear();
    EXPECT_EQ(block, nullptr);
}

} // namespace
