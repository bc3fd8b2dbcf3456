// The already-loaded lookup against the system loader: same module for a name or a full path,
// and no reference of its own. dciman32.dll is a system library nothing in a test program uses.
#include "platform/platform.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <string>

namespace kov::platform {
namespace {

std::string systemLibrary(const char* name) {
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder, length) + "\\" + name;
}

TEST(Win32Library, LoadedModuleIsFoundByNameOrPathWithoutAReference) {
    const std::string fullPath = systemLibrary("dciman32.dll");
    ASSERT_EQ(findLoadedModule("dciman32.dll"), nullptr) << "test needs a library not yet loaded";

    const ModuleHandle module = loadLibrary(fullPath.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(findLoadedModule(fullPath.c_str()), module);
    EXPECT_EQ(findLoadedModule("dciman32.dll"), module);
    EXPECT_EQ(findLoadedModule("DCIMAN32.DLL"), module);
    EXPECT_EQ(findLoadedModule("dciman32"), module); // the system adds .dll

    // Loading again by name shares the module; two frees undo both loads.
    const ModuleHandle again = loadLibrary("dciman32.dll");
    EXPECT_EQ(again, module);
    EXPECT_NE(findSymbol(module, "DCIOpenProvider"), nullptr);
    freeLibrary(again);
    EXPECT_EQ(findLoadedModule("dciman32.dll"), module);
    freeLibrary(module);
    EXPECT_EQ(findLoadedModule("dciman32.dll"), nullptr);
}

TEST(Win32Library, MissingLibraryOrSymbolIsNull) {
    EXPECT_EQ(loadLibrary("kov_no_such_library.dll"), nullptr);
    EXPECT_EQ(findLoadedModule("kov_no_such_library.dll"), nullptr);
    const ModuleHandle kernel = findLoadedModule("kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(findSymbol(kernel, "kov_NoSuchEntry"), nullptr);
    EXPECT_NE(findSymbol(kernel, "GetTickCount"), nullptr);
}

} // namespace
} // namespace kov::platform
