// Where the Windows registry work lands (the scratch root under HKEY_CURRENT_USER) and what the
// system itself records for the broker's calls.
#include "platform/platform.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <string>

namespace kov::platform {
namespace {

std::string scratchPathFor(const char* tag) {
    return std::string("Software\\KOV_Broker_Scratch\\") + tag + "_" +
           std::to_string(GetCurrentProcessId());
}

bool userKeyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

TEST(Win32RegistryRoot, ScratchLivesUnderCurrentUserAndStartsEmpty) {
    const std::string path = scratchPathFor("w32root");
    // Leftovers of an earlier process with the same id.
    HKEY stale = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (path + "\\Old\\Deeper").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &stale, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(stale);

    testing::useScratchRegistry("w32root");
    RegKey root = localMachineKey();
    EXPECT_NE(root, static_cast<RegKey>(HKEY_LOCAL_MACHINE));
    EXPECT_TRUE(userKeyExists(path));
    char name[64];
    EXPECT_EQ(enumKey(root, 0, name, sizeof name), kRegNoMoreItems);

    // Callers may close the root like a predefined key without losing it.
    closeKey(root);
    RegKey child = nullptr;
    std::uint32_t disposition = 0;
    ASSERT_EQ(createKey(root, "Provider List\\One", nullptr, &child, &disposition), kRegOk);
    ASSERT_EQ(setDwordValue(child, "lib.dll", 1), kRegOk);
    closeKey(child);
    EXPECT_TRUE(userKeyExists(path + "\\Provider List\\One"));

    testing::dropScratchRegistry();
    EXPECT_EQ(localMachineKey(), static_cast<RegKey>(HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(userKeyExists(path));
}

TEST(Win32RegistryRoot, NullTagGoesBackToTheMachineRegistry) {
    testing::useScratchRegistry("w32null");
    ASSERT_NE(localMachineKey(), static_cast<RegKey>(HKEY_LOCAL_MACHINE));
    testing::useScratchRegistry(nullptr);
    EXPECT_EQ(localMachineKey(), static_cast<RegKey>(HKEY_LOCAL_MACHINE));
    RegDeleteTreeA(HKEY_CURRENT_USER, scratchPathFor("w32null").c_str());
}

class Win32Registry : public ::testing::Test {
protected:
    void SetUp() override { testing::useScratchRegistry("w32reg"); }
    void TearDown() override { testing::dropScratchRegistry(); }
};

// Wine keeps its own default DACL whatever the attributes say, so only the hand-over of the
// 12-byte record is checked here.
TEST_F(Win32Registry, KeysAcceptTheBrokerAttributesRecord) {
    alignas(4) std::uint8_t sd[20] = {};
    ASSERT_TRUE(initSecurityDescriptor(sd));
    ASSERT_TRUE(setNullDacl(sd));
    struct {
        std::uint32_t length;
        void* descriptor;
        std::uint32_t inherit;
    } const attributes{12, sd, 1};

    RegKey key = nullptr;
    std::uint32_t disposition = 0;
    ASSERT_EQ(createKey(localMachineKey(), "Open", &attributes, &key, &disposition), kRegOk);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(disposition, 1u);
    EXPECT_EQ(setDwordValue(key, "v", 7), kRegOk);
    closeKey(key);
}

// enumValue does not report the type, so only the system can tell it is REG_DWORD.
TEST_F(Win32Registry, DwordIsStoredAsRegDword) {
    RegKey key = nullptr;
    ASSERT_EQ(createKey(localMachineKey(), "Values", nullptr, &key, nullptr), kRegOk);
    ASSERT_EQ(setDwordValue(key, "lib.dll", 0x11223344u), kRegOk);

    DWORD type = 0;
    BYTE data[8] = {};
    DWORD size = sizeof data;
    ASSERT_EQ(RegQueryValueExA(static_cast<HKEY>(key), "lib.dll", nullptr, &type, data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, 4u);
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(data[0], 0x44);
    EXPECT_EQ(data[3], 0x11);
    closeKey(key);
}

// Windows compares value names without case; the POSIX store compares library paths exactly.
TEST(Win32RegistryValues, ValueNamesIgnoreCase) {
    testing::useScratchRegistry("w32values");
    RegKey key = nullptr;
    ASSERT_EQ(kRegOk, createKey(localMachineKey(), "Values", nullptr, &key, nullptr));
    ASSERT_EQ(kRegOk, setDwordValue(key, "lib.dll", 7));
    ASSERT_EQ(kRegOk, setDwordValue(key, "LIB.DLL", 9));
    std::uint32_t count = 0;
    ASSERT_EQ(kRegOk, queryValueCount(key, &count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(kRegOk, deleteValue(key, "Lib.Dll"));
    closeKey(key);
    testing::dropScratchRegistry();
}

} // namespace
} // namespace kov::platform
