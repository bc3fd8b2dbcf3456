// Fixed global memory and the module string table.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kov::platform {
namespace {

TEST(PlatformGlobalMemory, BlocksComeZeroedEvenWhenMemoryIsReused) {
    for (const std::uint32_t size : {1u, 44u, 4096u, 70000u}) {
        GlobalHandle first = nullptr;
        auto* dirty = static_cast<unsigned char*>(globalAlloc(size, &first));
        ASSERT_NE(nullptr, dirty);
        ASSERT_NE(nullptr, first);
        std::memset(dirty, 0xAB, size);
        globalFree(first);

        GlobalHandle handle = nullptr;
        auto* block = static_cast<unsigned char*>(globalAlloc(size, &handle));
        ASSERT_NE(nullptr, block);
        ASSERT_NE(nullptr, handle);
        for (std::uint32_t i = 0; i < size; ++i) ASSERT_EQ(0, block[i]) << "size " << size << " byte " << i;
        globalFree(handle);
    }
}

TEST(PlatformStrings, TableHoldsTheFourResourceStrings) {
    struct Case {
        unsigned id;
        const char* text;
    };
    for (const Case& c : {Case{1, "Copyright (c) 2026 KOV Broker team."},
                          Case{2, "KOV Broker open-source project"},
                          Case{3, "KOV Broker message broker 1.0"}, Case{4, "en|US"}}) {
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        const int copied = loadString(nullptr, c.id, buffer, sizeof buffer);
        EXPECT_EQ(static_cast<int>(std::strlen(c.text)), copied) << "id " << c.id;
        EXPECT_STREQ(c.text, buffer) << "id " << c.id;
    }
}

TEST(PlatformStrings, UnknownIdsGiveNothing) {
    for (const unsigned id : {0u, 5u, 100u}) {
        char buffer[64] = "unchanged?";
        EXPECT_EQ(0, loadString(nullptr, id, buffer, sizeof buffer)) << "id " << id;
    }
}

TEST(PlatformStrings, ShortBufferGetsATerminatedPrefix) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(2, loadString(nullptr, 4, buffer, 3));
    EXPECT_STREQ("en", buffer);
    EXPECT_EQ('x', buffer[3]); // nothing written past the given size
}

} // namespace
} // namespace kov::platform
