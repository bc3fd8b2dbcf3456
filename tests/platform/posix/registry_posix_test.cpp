// Registry details pinned down for the SQLite store: exact error codes, name order and limits.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kov::platform {
namespace {

constexpr long kFileNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kInvalidParameter = 87;
constexpr long kBadPathname = 161;
constexpr long kKeyDeleted = 1018;

class PlatformRegistryPosix : public ::testing::Test {
protected:
    void SetUp() override {
        testing::useScratchRegistry("platform_registry_posix");
        ASSERT_EQ(kRegOk, createKey(localMachineKey(), "Software\\Test", nullptr, &base, nullptr));
    }
    void TearDown() override {
        if (base != nullptr) closeKey(base);
        testing::dropScratchRegistry();
    }

    long create(const std::string& name, std::uint32_t* disposition = nullptr) {
        RegKey key = nullptr;
        const long rc = createKey(base, name.c_str(), nullptr, &key, disposition);
        if (key != nullptr) closeKey(key);
        return rc;
    }

    std::vector<std::string> subkeys() {
        std::vector<std::string> names;
        char name[300];
        for (std::uint32_t i = 0; enumKey(base, i, name, sizeof name) == kRegOk; ++i)
            names.push_back(name);
        return names;
    }

    RegKey base = nullptr;
};

// Windows compares upper-cased names, which puts '[' and '_' after the letters.
TEST_F(PlatformRegistryPosix, SubkeysSortAsUpperCase) {
    for (const char* name : {"a_b", "aab", "a[", "AZ"}) ASSERT_EQ(kRegOk, create(name));
    EXPECT_EQ((std::vector<std::string>{"aab", "AZ", "a[", "a_b"}), subkeys());
}

TEST_F(PlatformRegistryPosix, KeyPathsFollowWindowsRules) {
    struct Case {
        std::string name;
        long expected;
    };
    const Case cases[] = {
        {"\\leading", kBadPathname},
        {"empty\\\\level", kBadPathname},
        {"trailing\\", kRegOk},
        {std::string(255, 'k'), kRegOk},
        {std::string(256, 'k'), kInvalidParameter},
        {"ok\\" + std::string(256, 'k'), kInvalidParameter},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, create(c.name)) << c.name;
    // Refused paths created nothing, not even their valid first levels.
    EXPECT_EQ((std::vector<std::string>{std::string(255, 'k'), "trailing"}), subkeys());
}

TEST_F(PlatformRegistryPosix, ValuesEnumerateInInsertionOrder) {
    for (const char* name : {"zeta", "alpha", "Mid"}) ASSERT_EQ(kRegOk, setDwordValue(base, name, 0));
    ASSERT_EQ(kRegOk, deleteValue(base, "alpha"));
    ASSERT_EQ(kRegOk, setDwordValue(base, "beta", 0));
    std::vector<std::string> names;
    char name[400];
    std::uint8_t data[4];
    for (std::uint32_t i = 0; enumValue(base, i, name, sizeof name, data, sizeof data) == kRegOk; ++i)
        names.push_back(name);
    EXPECT_EQ((std::vector<std::string>{"zeta", "Mid", "beta"}), names);
}

TEST_F(PlatformRegistryPosix, ReplacedValueKeepsItsPlace) {
    for (const char* name : {"gamma", "beta", "alpha"}) ASSERT_EQ(kRegOk, setDwordValue(base, name, 1));
    ASSERT_EQ(kRegOk, setDwordValue(base, "beta", 0x0A0B0C0D));
    char name[400];
    std::uint8_t data[4];
    ASSERT_EQ(kRegOk, enumValue(base, 1, name, sizeof name, data, sizeof data));
    EXPECT_STREQ("beta", name);
    EXPECT_EQ(0x0D, data[0]);
    EXPECT_EQ(0x0A, data[3]);
    ASSERT_EQ(kRegOk, enumValue(base, 2, name, sizeof name, data, sizeof data));
    EXPECT_STREQ("alpha", name);
}

TEST_F(PlatformRegistryPosix, DeleteKeyErrorCodes) {
    ASSERT_EQ(kRegOk, create("Parent\\Child"));
    EXPECT_EQ(kAccessDenied, deleteKey(base, "Parent"));
    EXPECT_EQ(kFileNotFound, deleteKey(base, "Parent\\Nobody"));
    EXPECT_EQ(kFileNotFound, deleteKey(base, "Nobody\\Child"));
    EXPECT_EQ(kRegOk, deleteKey(base, "parent\\child"));
    EXPECT_EQ(kRegOk, deleteKey(base, "Parent"));
    EXPECT_EQ(kAccessDenied, deleteKey(localMachineKey(), ""));
}

TEST_F(PlatformRegistryPosix, EveryCallOnADeletedKeyReportsIt) {
    RegKey doomed = nullptr;
    ASSERT_EQ(kRegOk, createKey(base, "Doomed", nullptr, &doomed, nullptr));
    ASSERT_EQ(kRegOk, deleteKey(base, "Doomed"));
    char name[400];
    std::uint8_t data[8];
    std::uint32_t count = 0;
    RegKey child = nullptr;
    EXPECT_EQ(kKeyDeleted, enumKey(doomed, 0, name, 300));
    EXPECT_EQ(kKeyDeleted, enumValue(doomed, 0, name, sizeof name, data, sizeof data));
    EXPECT_EQ(kKeyDeleted, setDwordValue(doomed, "v.so", 0));
    EXPECT_EQ(kKeyDeleted, deleteValue(doomed, "v.so"));
    EXPECT_EQ(kKeyDeleted, queryValueCount(doomed, &count));
    EXPECT_EQ(kKeyDeleted, flushKey(doomed));
    EXPECT_EQ(kKeyDeleted, createKey(doomed, "Child", nullptr, &child, nullptr));
    EXPECT_EQ(nullptr, child);
    EXPECT_EQ(kKeyDeleted, deleteKey(doomed, "Child"));
    closeKey(doomed);
    // A new key of the same name is a different key.
    std::uint32_t disposition = 0;
    EXPECT_EQ(kRegOk, create("Doomed", &disposition));
    EXPECT_EQ(kRegCreatedNewKey, disposition);
}

// Value names are library paths, and this file system tells them apart by case; key names do not.
TEST_F(PlatformRegistryPosix, ValueNamesCompareWithCaseKeyNamesWithout) {
    ASSERT_EQ(kRegOk, setDwordValue(base, "/x/info2.so", 0));
    ASSERT_EQ(kRegOk, setDwordValue(base, "/x/INFO2.so", 0));
    std::uint32_t count = 0;
    ASSERT_EQ(kRegOk, queryValueCount(base, &count));
    EXPECT_EQ(2u, count);
    ASSERT_EQ(kRegOk, deleteValue(base, "/x/INFO2.so"));
    EXPECT_EQ(kFileNotFound, deleteValue(base, "/X/INFO2.SO"));
    char value[400];
    std::uint8_t data[4];
    ASSERT_EQ(kRegOk, enumValue(base, 0, value, sizeof value, data, sizeof data));
    EXPECT_EQ(std::string("/x/info2.so"), value);
    EXPECT_EQ(kRegNoMoreItems, enumValue(base, 1, value, sizeof value, data, sizeof data));

    std::uint32_t disposition = 0;
    ASSERT_EQ(kRegOk, create("Provider", &disposition));
    ASSERT_EQ(kRegOk, create("PROVIDER", &disposition));
    EXPECT_EQ(kRegOpenedExistingKey, disposition);
    RegKey opened = nullptr;
    ASSERT_EQ(kRegOk, openKey(base, "provider", &opened));
    closeKey(opened);
}

TEST_F(PlatformRegistryPosix, NonAsciiNamesAreKeptByteForByte) {
    const std::string name = "Z\xC3\xBCrich \xE2\x82\xAC";
    ASSERT_EQ(kRegOk, create(name));
    ASSERT_EQ(kRegOk, setDwordValue(base, name.c_str(), 0));
    EXPECT_EQ(std::vector<std::string>{name}, subkeys());
    char value[400];
    std::uint8_t data[4];
    ASSERT_EQ(kRegOk, enumValue(base, 0, value, sizeof value, data, sizeof data));
    EXPECT_EQ(name, value);
}

} // namespace
} // namespace kov::platform
