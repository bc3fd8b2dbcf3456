// Paths as registration compares them, and the file the loader took a library from.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

namespace kov::platform {
namespace {

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(PlatformPaths, RelativePathsAreMadeAbsoluteAndNormal) {
    const std::string plain = absolutePath("dir/lib.so");
    EXPECT_FALSE(isRelativePath(plain.c_str())) << plain;
    EXPECT_TRUE(endsWith(plain, "lib.so")) << plain;
    EXPECT_EQ(plain, absolutePath("dir/./sub/../lib.so"));
    EXPECT_EQ(pathKey("dir/lib.so"), pathKey("dir//other/../lib.so"));
    EXPECT_NE(pathKey("dir/lib.so"), pathKey("dir/lib2.so"));
    EXPECT_EQ("", absolutePath(""));
    for (const char* relative : {"lib.so", "dir/lib.so", "./lib.so", "../lib.so"})
        EXPECT_TRUE(isRelativePath(relative)) << relative;
    EXPECT_FALSE(isRelativePath(plain.c_str()));
}

TEST(PlatformPaths, ALoadedModuleNamesTheFileItCameFrom) {
    const std::string name = std::string(KOV_TEST_DIR) + "kov_test_immediate" + KOV_TEST_LIB_SUFFIX;
    const ModuleHandle module = loadLibrary(name.c_str());
    ASSERT_NE(nullptr, module);
    const std::string path = modulePath(module);
    freeLibrary(module);
    EXPECT_TRUE(endsWith(path, std::string("kov_test_immediate") + KOV_TEST_LIB_SUFFIX)) << path;
    // Tests run in the folder that holds the libraries: the name as given and the file the loader
    // found are one file.
    EXPECT_EQ(pathKey(name), pathKey(path));
    EXPECT_EQ("", modulePath(nullptr));
}

} // namespace
} // namespace kov::platform
