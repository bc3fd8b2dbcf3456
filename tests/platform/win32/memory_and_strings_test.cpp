// Global memory blocks and the string table as the system sees them.
#include "platform/platform.h"
#include "platform/win32/win32.h"
#include "resources/strings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kov::platform {
namespace {

TEST(Win32Memory, HandleNamesTheFixedBlockItReturned) {
    for (const std::uint32_t size : {16u, 24u, 4096u}) {
        GlobalHandle handle = nullptr;
        void* const bytes = globalAlloc(size, &handle);
        ASSERT_NE(bytes, nullptr) << size;
        EXPECT_EQ(::GlobalHandle(bytes), handle) << size;
        EXPECT_EQ(GlobalSize(handle), size);
        EXPECT_EQ(GlobalFlags(handle) & GMEM_DISCARDABLE, 0u);
        globalFree(handle);
    }
}

// The unit tests carry the string table in the program itself; the broker passes its own module.
TEST(Win32Strings, TableIsReadFromTheGivenModule) {
    const HMODULE program = GetModuleHandleA(nullptr);
    char buffer[128];
    ASSERT_EQ(loadString(program, KOV_IDS_PRODUCT, buffer, sizeof buffer),
              static_cast<int>(std::strlen(KOV_STR_PRODUCT)));
    EXPECT_STREQ(buffer, KOV_STR_PRODUCT);

    // A system library with no string table of its own has none of the ids.
    const ModuleHandle other = loadLibrary("dciman32.dll");
    ASSERT_NE(other, nullptr);
    std::strcpy(buffer, "junk");
    EXPECT_EQ(loadString(other, KOV_IDS_PRODUCT, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    freeLibrary(other);
}

} // namespace
} // namespace kov::platform
