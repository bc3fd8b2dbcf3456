// The wait entry's generations: the ones kept out of use are skipped as the entry counts on, and
// the list keeps the last eight, dropping the oldest first.
#include "dispatch/wait_entries.h"

#include <gtest/gtest.h>

namespace kov::dispatch::wait {
namespace {

TEST(WaitEntriesTest, GenerationsKeptOutAreSkippedAndTheOldestIsDroppedFirst) {
    const std::uint32_t savedStep = generationStep;
    generationStep = 1u << 28; // 16 generations: a wrap within a few steps
    Entry entry{};
    const auto generation = [](std::uint32_t n) { return n << 28; };

    // The entry at generation 0 keeps generations 2 and 3 out: counting on from 1 skips both.
    std::uint32_t undo = 0;
    EXPECT_EQ(keepOut(entry, generation(2) | Waiting, undo), generation(2) | kLateFlag | Free);
    keepOut(entry, generation(3) | Sleeping, undo);
    EXPECT_EQ(nextGeneration(entry, generation(1) | kLateFlag | Free), generation(4));
    EXPECT_EQ(nextGeneration(entry, generation(15) | kLateFlag | Free), generation(0)); // the wrap
    // Without the flag nothing is looked up: the word says nothing is kept out.
    EXPECT_EQ(nextGeneration(entry, generation(1) | Free), generation(2));

    // A generation noted and then forgotten (an answer came meanwhile) is in use again.
    keepOut(entry, generation(5) | Waiting, undo);
    forgetLate(entry, undo);
    EXPECT_EQ(nextGeneration(entry, generation(4) | kLateFlag | Free), generation(5));

    // Six more fill the list (2, 3, 6 to 11); each one after that drops the oldest: 2, then 3.
    for (std::uint32_t n = 6; n < 12; ++n) keepOut(entry, generation(n) | Waiting, undo);
    EXPECT_EQ(nextGeneration(entry, generation(1) | kLateFlag | Free), generation(4));
    keepOut(entry, generation(12) | Waiting, undo);
    EXPECT_EQ(nextGeneration(entry, generation(1) | kLateFlag | Free), generation(2));
    keepOut(entry, generation(13) | Waiting, undo);
    EXPECT_EQ(nextGeneration(entry, generation(2) | kLateFlag | Free), generation(3));
    generationStep = savedStep;
}

} // namespace
} // namespace kov::dispatch::wait
