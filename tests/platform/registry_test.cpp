// Registry semantics the broker relies on, through the platform interface, in a scratch registry.
#include "platform/faults.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace kov::platform {
namespace {

// Closes the key on scope exit.
struct Key {
    RegKey handle = nullptr;
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (handle != nullptr) closeKey(handle);
    }
};

class PlatformRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        testing::useScratchRegistry("platform_registry");
        ASSERT_EQ(kRegOk, create(localMachineKey(), "Software\\KovPlatformTest", base));
    }
    void TearDown() override {
        if (base.handle != nullptr) closeKey(base.handle);
        base.handle = nullptr;
        testing::dropScratchRegistry();
    }

    static long create(RegKey parent, const char* name, Key& key,
                       std::uint32_t* disposition = nullptr) {
        if (key.handle != nullptr) closeKey(key.handle);
        key.handle = nullptr;
        return createKey(parent, name, nullptr, &key.handle, disposition);
    }

    static std::uint32_t disposition(RegKey parent, const char* name) {
        Key key;
        std::uint32_t result = 0;
        EXPECT_EQ(kRegOk, create(parent, name, key, &result));
        return result;
    }

    static std::vector<std::string> subkeys(RegKey key) {
        std::vector<std::string> names;
        char name[300];
        long rc;
        for (std::uint32_t i = 0; (rc = enumKey(key, i, name, sizeof name)) == kRegOk; ++i)
            names.push_back(name);
        EXPECT_EQ(kRegNoMoreItems, rc);
        return names;
    }

    static std::vector<std::string> valueNames(RegKey key) {
        std::vector<std::string> names;
        char name[400];
        std::uint8_t data[8];
        long rc;
        for (std::uint32_t i = 0;
             (rc = enumValue(key, i, name, sizeof name, data, sizeof data)) == kRegOk; ++i)
            names.push_back(name);
        EXPECT_EQ(kRegNoMoreItems, rc);
        return names;
    }

    static std::uint32_t valueCount(RegKey key) {
        std::uint32_t count = 0xFFFFFFFF;
        EXPECT_EQ(kRegOk, queryValueCount(key, &count));
        return count;
    }

    Key base;
};

TEST_F(PlatformRegistry, CreateReportsNewKeyThenExistingKey) {
    EXPECT_EQ(kRegCreatedNewKey, disposition(base.handle, "Provider List"));
    EXPECT_EQ(kRegOpenedExistingKey, disposition(base.handle, "Provider List"));
    // The base key was made by SetUp in one call with a two-level path.
    EXPECT_EQ(kRegOpenedExistingKey, disposition(localMachineKey(), "Software"));
    EXPECT_EQ(kRegOpenedExistingKey, disposition(localMachineKey(), "Software\\KovPlatformTest"));
}

TEST_F(PlatformRegistry, KeyNamesIgnoreCaseAndKeepTheirSpelling) {
    EXPECT_EQ(kRegCreatedNewKey, disposition(base.handle, "Alpha Key"));
    EXPECT_EQ(kRegOpenedExistingKey, disposition(base.handle, "ALPHA KEY"));
    EXPECT_EQ(kRegOpenedExistingKey, disposition(base.handle, "alpha key"));
    EXPECT_EQ(std::vector<std::string>{"Alpha Key"}, subkeys(base.handle));
}

TEST_F(PlatformRegistry, SubkeysEnumerateInCaseInsensitiveNameOrder) {
    for (const char* name : {"charlie", "Alpha", "delta", "Bravo"}) {
        Key key;
        ASSERT_EQ(kRegOk, create(base.handle, name, key));
    }
    EXPECT_EQ((std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}), subkeys(base.handle));
    char name[300];
    EXPECT_EQ(kRegNoMoreItems, enumKey(base.handle, 4, name, sizeof name));
    EXPECT_EQ(kRegNoMoreItems, enumKey(base.handle, 1000, name, sizeof name));
}

TEST_F(PlatformRegistry, EnumKeyNeedsRoomForTheTerminator) {
    Key key;
    ASSERT_EQ(kRegOk, create(base.handle, "abcd", key));
    struct Case {
        std::uint32_t size;
        long expected;
    };
    for (const Case& c : {Case{1, kRegMoreData}, Case{4, kRegMoreData}, Case{5, kRegOk},
                          Case{300, kRegOk}}) {
        char name[300] = {};
        EXPECT_EQ(c.expected, enumKey(base.handle, 0, name, c.size)) << "size " << c.size;
        if (c.expected == kRegOk) {
            EXPECT_STREQ("abcd", name);
        }
    }
}

TEST_F(PlatformRegistry, DwordValueRoundTripsLittleEndian) {
    ASSERT_EQ(kRegOk, setDwordValue(base.handle, "libprovider.so", 0x11223344u));
    char name[400] = {};
    std::uint8_t data[8];
    for (std::uint8_t& b : data) b = 0xEE;
    ASSERT_EQ(kRegOk, enumValue(base.handle, 0, name, sizeof name, data, sizeof data));
    EXPECT_STREQ("libprovider.so", name);
    const std::uint8_t expected[8] = {0x44, 0x33, 0x22, 0x11, 0xEE, 0xEE, 0xEE, 0xEE};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(expected[i], data[i]) << "byte " << i;
    EXPECT_EQ(kRegNoMoreItems, enumValue(base.handle, 1, name, sizeof name, data, sizeof data));
}

// The order itself differs between systems (Wine sorts values by name), so only completeness is
// shared.
TEST_F(PlatformRegistry, ValuesEnumerateEachExactlyOnce) {
    for (const char* name : {"zeta", "alpha", "Mid"})
        ASSERT_EQ(kRegOk, setDwordValue(base.handle, name, 0));
    std::vector<std::string> names = valueNames(base.handle);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"Mid", "alpha", "zeta"}), names);
}

// (Whether "LIB.SO" names the same value differs: see the posix and win32 registry tests.)
TEST_F(PlatformRegistry, SettingAnExistingValueReplacesIt) {
    ASSERT_EQ(kRegOk, setDwordValue(base.handle, "lib.so", 7));
    ASSERT_EQ(kRegOk, setDwordValue(base.handle, "lib.so", 9));
    EXPECT_EQ(1u, valueCount(base.handle));
    char name[400];
    std::uint8_t data[4] = {};
    ASSERT_EQ(kRegOk, enumValue(base.handle, 0, name, sizeof name, data, sizeof data));
    EXPECT_EQ(9, data[0]);
}

TEST_F(PlatformRegistry, EnumValueReportsBuffersThatAreTooSmall) {
    ASSERT_EQ(kRegOk, setDwordValue(base.handle, "abcd", 1));
    struct Case {
        std::uint32_t nameSize, dataSize;
        long expected;
    };
    for (const Case& c : {Case{4, 8, kRegMoreData}, Case{5, 3, kRegMoreData}, Case{5, 4, kRegOk},
                          Case{400, 8, kRegOk}}) {
        char name[400] = {};
        std::uint8_t data[8] = {};
        EXPECT_EQ(c.expected, enumValue(base.handle, 0, name, c.nameSize, data, c.dataSize))
            << "name " << c.nameSize << " data " << c.dataSize;
        if (c.expected == kRegOk) {
            EXPECT_STREQ("abcd", name);
            EXPECT_EQ(1, data[0]);
        }
    }
}

TEST_F(PlatformRegistry, DeleteValueRemovesOnlyThatValue) {
    ASSERT_EQ(kRegOk, setDwordValue(base.handle, "first.so", 0));
    ASSERT_EQ(kRegOk, setDwordValue(base.handle, "second.so", 0));
    EXPECT_EQ(2u, valueCount(base.handle));
    EXPECT_EQ(kRegOk, deleteValue(base.handle, "first.so"));
    EXPECT_EQ(std::vector<std::string>{"second.so"}, valueNames(base.handle));
    EXPECT_EQ(1u, valueCount(base.handle));
    EXPECT_EQ(2, deleteValue(base.handle, "first.so")); // ERROR_FILE_NOT_FOUND
}

TEST_F(PlatformRegistry, DeletingAKeyTakesItsValuesAlong) {
    {
        Key provider;
        ASSERT_EQ(kRegOk, create(base.handle, "Provider", provider));
        ASSERT_EQ(kRegOk, setDwordValue(provider.handle, "a.so", 0));
        ASSERT_EQ(kRegOk, setDwordValue(provider.handle, "b.so", 0));
    }
    EXPECT_EQ(kRegOk, deleteKey(base.handle, "PROVIDER"));
    EXPECT_TRUE(subkeys(base.handle).empty());
    Key again;
    std::uint32_t created = 0;
    ASSERT_EQ(kRegOk, create(base.handle, "Provider", again, &created));
    EXPECT_EQ(kRegCreatedNewKey, created);
    EXPECT_EQ(0u, valueCount(again.handle));
}

TEST_F(PlatformRegistry, DeletingAKeyWithSubkeysFailsAndKeepsIt) {
    Key child;
    ASSERT_EQ(kRegOk, create(base.handle, "Parent\\Child", child));
    EXPECT_NE(kRegOk, deleteKey(base.handle, "Parent"));
    EXPECT_EQ(kRegOpenedExistingKey, disposition(base.handle, "Parent\\Child"));
}

TEST_F(PlatformRegistry, DeletingAMissingKeyFails) {
    EXPECT_EQ(2, deleteKey(base.handle, "Nobody")); // ERROR_FILE_NOT_FOUND
}

TEST_F(PlatformRegistry, HandleOfADeletedKeyNoLongerWorks) {
    Key doomed;
    ASSERT_EQ(kRegOk, create(base.handle, "Doomed", doomed));
    ASSERT_EQ(kRegOk, deleteKey(base.handle, "Doomed"));
    EXPECT_NE(kRegOk, setDwordValue(doomed.handle, "late.so", 0));
    EXPECT_TRUE(subkeys(base.handle).empty());
}

// A process without write rights, as the test switch plays it: every read-write open and every
// write is refused with ERROR_ACCESS_DENIED, while opening for reading and reading go on.
TEST_F(PlatformRegistry, WithoutWriteRightsKeysOpenForReadingOnly) {
    {
        Key provider;
        ASSERT_EQ(kRegOk, create(base.handle, "Provider", provider));
        ASSERT_EQ(kRegOk, setDwordValue(provider.handle, "a.so", 0));
    }
    EXPECT_EQ(kRegOk, checkWriteAccess(base.handle, "Provider"));
    EXPECT_EQ(kRegOk, checkWriteAccess(base.handle, "Missing\\Deeper")); // base may create it
    faults::denyRegistryWrites(true);
    Key opened;
    EXPECT_EQ(kRegAccessDenied, create(base.handle, "Provider", opened));
    EXPECT_EQ(kRegAccessDenied, create(base.handle, "Other", opened));
    EXPECT_EQ(nullptr, opened.handle);
    ASSERT_EQ(kRegOk, openKey(base.handle, "Provider", &opened.handle));
    EXPECT_EQ(std::vector<std::string>{"a.so"}, valueNames(opened.handle));
    EXPECT_EQ(kRegAccessDenied, setDwordValue(opened.handle, "b.so", 0));
    EXPECT_EQ(kRegAccessDenied, deleteValue(opened.handle, "a.so"));
    EXPECT_EQ(kRegAccessDenied, deleteKey(base.handle, "Provider"));
    EXPECT_EQ(kRegAccessDenied, checkWriteAccess(base.handle, "Provider"));
    EXPECT_EQ(kRegAccessDenied, checkWriteAccess(base.handle, "Missing"));
    EXPECT_EQ(std::vector<std::string>{"Provider"}, subkeys(base.handle));
    EXPECT_EQ(std::vector<std::string>{"a.so"}, valueNames(opened.handle));

    faults::clear(); // the rights come back; a key opened for reading stays so on Windows
    EXPECT_EQ(kRegOk, checkWriteAccess(base.handle, "Provider"));
    Key writable;
    ASSERT_EQ(kRegOk, create(base.handle, "Provider", writable));
    EXPECT_EQ(kRegOk, setDwordValue(writable.handle, "b.so", 0));
}

TEST_F(PlatformRegistry, ScratchRegistryStartsEmpty) {
    closeKey(base.handle);
    base.handle = nullptr;
    testing::dropScratchRegistry();
    testing::useScratchRegistry("platform_registry");
    char name[300];
    EXPECT_EQ(kRegNoMoreItems, enumKey(localMachineKey(), 0, name, sizeof name));
    EXPECT_EQ(kRegCreatedNewKey, disposition(localMachineKey(), "Software\\KovPlatformTest"));
}

// The redirection a benchmark uses to load the real module over a list of its own: what is
// written meanwhile lands in a fresh store, a second redirection starts empty again, and once it
// ends nothing of it is in the machine's registry (the one the test run configures).
TEST(MachineRegistryRedirect, WritesLandInAFreshStoreThatGoesAwayAfterwards) {
    const char* const probe = "Software\\KovRedirectProbe";
    const auto written = [probe] {
        Key key;
        if (openKey(localMachineKey(), probe, &key.handle) != kRegOk) return false;
        char name[64];
        std::uint8_t data[4] = {};
        return enumValue(key.handle, 0, name, sizeof name, data, sizeof data) == kRegOk &&
               std::string(name) == "probe.so" && data[0] == 7;
    };
    const auto write = [probe] {
        Key key;
        ASSERT_EQ(kRegOk, createKey(localMachineKey(), probe, nullptr, &key.handle, nullptr));
        ASSERT_EQ(kRegOk, setDwordValue(key.handle, "probe.so", 7));
    };
    ASSERT_FALSE(written()) << "left in the machine's registry by an earlier run";
    for (int round = 0; round < 2; ++round) {
        testing::redirectMachineRegistry("platform_redirect");
        EXPECT_FALSE(written()) << "round " << round << ": the store does not start empty";
        write();
        EXPECT_TRUE(written()) << "round " << round;
    }
    testing::redirectMachineRegistry(nullptr);
    EXPECT_FALSE(written()) << "the writes reached the machine's registry";
}

} // namespace
} // namespace kov::platform
