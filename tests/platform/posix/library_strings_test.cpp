// The dynamic loader behind the library calls, and string-table edge cases.
#include "platform/faults.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace kov::platform {
namespace {

// Part of the C library on every supported system, and loaded by no part of this test program.
constexpr const char* kUnusedLibrary = "libutil.so.1";

TEST(PlatformLibrary, LoadsLooksUpAndFrees) {
    const ModuleHandle libc = loadLibrary("libc.so.6");
    ASSERT_NE(nullptr, libc);
    const auto length = reinterpret_cast<std::size_t (*)(const char*)>(findSymbol(libc, "strlen"));
    ASSERT_NE(nullptr, length);
    EXPECT_EQ(5u, length("hello"));
    EXPECT_EQ(nullptr, findSymbol(libc, "kov_NoSuchEntry"));
    freeLibrary(libc);
}

TEST(PlatformLibrary, MissingLibraryGivesNull) {
    EXPECT_EQ(nullptr, loadLibrary("/nonexistent/libnothing.so"));
    EXPECT_EQ(nullptr, loadLibrary(nullptr));
    EXPECT_EQ(nullptr, findLoadedModule("/nonexistent/libnothing.so"));
}

// The loader frees its message at the thread's next call into it: asked after such a call, the
// reason is empty, never read from freed memory (AddressSanitizer watches in the sanitized run).
TEST(PlatformLibrary, LoadFailureIsToldUntilTheNextLoaderCall) {
    char reason[256];
    EXPECT_EQ(nullptr, loadLibrary("/nonexistent/libnothing.so"));
    lastLoadFailure(reason, sizeof reason);
    EXPECT_NE(std::string(reason).find("/nonexistent/libnothing.so"), std::string::npos) << reason;

    EXPECT_EQ(nullptr, loadLibrary("/nonexistent/libnothing.so"));
    const ModuleHandle libc = loadLibrary("libc.so.6");
    ASSERT_NE(nullptr, libc);
    EXPECT_EQ(nullptr, findSymbol(libc, "kov_NoSuchEntry"));
    lastLoadFailure(reason, sizeof reason);
    EXPECT_STREQ(reason, "");
    freeLibrary(libc);
}

TEST(PlatformLibrary, FindLoadedModuleNeitherLoadsNorKeepsAReference) {
    EXPECT_EQ(nullptr, findLoadedModule(kUnusedLibrary));
    const ModuleHandle module = loadLibrary(kUnusedLibrary);
    ASSERT_NE(nullptr, module);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(module, findLoadedModule(kUnusedLibrary));
    freeLibrary(module);
    // Only the one reference from loadLibrary existed, so the library is gone now.
    EXPECT_EQ(nullptr, findLoadedModule(kUnusedLibrary));
}

TEST(PlatformLibrary, FaultsFailLoadAndLookup) {
    faults::clear();
    faults::failNth(faults::Fault::LoadLibrary, 1);
    EXPECT_EQ(nullptr, loadLibrary("libc.so.6"));
    const ModuleHandle libc = loadLibrary("libc.so.6");
    ASSERT_NE(nullptr, libc);
    faults::failNth(faults::Fault::FindSymbol, 1);
    EXPECT_EQ(nullptr, findSymbol(libc, "strlen"));
    EXPECT_NE(nullptr, findSymbol(libc, "strlen"));
    freeLibrary(libc);
    faults::clear();
}

TEST(PlatformStringsPosix, NoRoomMeansNothingCopied) {
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(0, loadString(nullptr, 4, buffer, 0));
    EXPECT_EQ('x', buffer[0]);
    EXPECT_EQ(0, loadString(nullptr, 4, nullptr, 16));
    EXPECT_EQ(0, loadString(nullptr, 4, buffer, 1));
    EXPECT_EQ('\0', buffer[0]);
    EXPECT_EQ('x', buffer[1]);
}

} // namespace
} // namespace kov::platform
