// The descriptor and attribute records the broker builds reach the system exactly as laid out.
#include "platform/platform.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kov::platform {
namespace {

struct Attributes { // the 12-byte record the broker builds in its own memory
    std::uint32_t length;
    void* descriptor;
    std::uint32_t inherit;
};

TEST(Win32Security, NullDaclDescriptorHasTheAbsoluteLayout) {
    alignas(4) std::uint8_t sd[20] = {};
    ASSERT_TRUE(initSecurityDescriptor(sd));
    ASSERT_TRUE(setNullDacl(sd));

    EXPECT_EQ(sd[0], 1);                   // revision
    EXPECT_EQ(sd[2] | (sd[3] << 8), 0x0004); // control: DACL present, nothing else
    for (int i = 4; i < 20; ++i) EXPECT_EQ(sd[i], 0) << "offset " << i; // owner..dacl all null

    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    EXPECT_FALSE(defaulted);
}

TEST(Win32Security, AttributesReachLockAndEvent) {
    alignas(4) std::uint8_t sd[20] = {};
    ASSERT_TRUE(initSecurityDescriptor(sd));
    ASSERT_TRUE(setNullDacl(sd));
    const Attributes inheritable{12, sd, 1};
    const Attributes private_{12, sd, 0};

    struct Case {
        const char* what;
        void* (*create)(const void*);
        void (*close)(void*);
    };
    const Case cases[] = {{"lock", createLock, closeLock}, {"event", createEvent, closeEvent}};
    for (const Case& c : cases) {
        for (const Attributes* attributes : {&inheritable, &private_}) {
            void* const handle = c.create(attributes);
            ASSERT_NE(handle, nullptr) << c.what;
            DWORD flags = 0;
            ASSERT_TRUE(GetHandleInformation(handle, &flags)) << c.what;
            EXPECT_EQ((flags & HANDLE_FLAG_INHERIT) != 0, attributes->inherit != 0) << c.what;
            c.close(handle);
        }
        void* const plain = c.create(nullptr);
        ASSERT_NE(plain, nullptr) << c.what;
        c.close(plain);
    }
}

} // namespace
} // namespace kov::platform
