// The fault switch reaches every faultable platform call, and fails exactly the call it names.
#include "platform/faults.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <functional>

namespace kov::platform {
namespace {

using faults::Fault;

class PlatformFaults : public ::testing::Test {
protected:
    void SetUp() override {
        faults::clear();
        testing::useScratchRegistry("platform_faults");
        ASSERT_EQ(kRegOk, createKey(localMachineKey(), "Software\\KovFaults", nullptr, &key, nullptr));
        ASSERT_EQ(kRegOk, setDwordValue(key, "present.so", 0));
        RegKey child = nullptr;
        ASSERT_EQ(kRegOk, createKey(key, "Child", nullptr, &child, nullptr));
        closeKey(child);
        faults::clear(); // count only the calls the tests make
    }
    void TearDown() override {
        faults::clear();
        if (key != nullptr) closeKey(key);
        testing::dropScratchRegistry();
    }

    bool createAndClose(const char* name) {
        RegKey opened = nullptr;
        if (createKey(key, name, nullptr, &opened, nullptr) != kRegOk) return false;
        closeKey(opened);
        return true;
    }

    RegKey key = nullptr;
};

TEST_F(PlatformFaults, EachKindFailsItsOwnCall) {
    struct Case {
        const char* name;
        Fault fault;
        std::function<bool()> succeeds;
    };
    const Case cases[] = {
        {"GlobalAlloc", Fault::GlobalAlloc,
         [] {
             GlobalHandle handle = nullptr;
             if (globalAlloc(16, &handle) == nullptr) return false;
             globalFree(handle);
             return true;
         }},
        {"CreateLock", Fault::CreateLock,
         [] {
             const LockHandle lock = createLock(nullptr);
             if (lock == nullptr) return false;
             closeLock(lock);
             return true;
         }},
        {"CreateEvent", Fault::CreateEvent,
         [] {
             const EventHandle event = createEvent(nullptr);
             if (event == nullptr) return false;
             closeEvent(event);
             return true;
         }},
        {"InitSecurity", Fault::InitSecurity,
         [] {
             alignas(4) unsigned char descriptor[kSecurityDescriptorSize] = {};
             return initSecurityDescriptor(descriptor);
         }},
        {"SetDacl", Fault::SetDacl,
         [] {
             alignas(4) unsigned char descriptor[kSecurityDescriptorSize] = {};
             return initSecurityDescriptor(descriptor) && setNullDacl(descriptor);
         }},
        {"CreateKey", Fault::CreateKey, [this] { return createAndClose("Other"); }},
        {"EnumKey", Fault::EnumKey,
         [this] {
             char name[300];
             return enumKey(key, 0, name, sizeof name) == kRegOk;
         }},
        {"EnumValue", Fault::EnumValue,
         [this] {
             char name[400];
             std::uint8_t data[8];
             return enumValue(key, 0, name, sizeof name, data, sizeof data) == kRegOk;
         }},
        {"SetValue", Fault::SetValue, [this] { return setDwordValue(key, "new.so", 0) == kRegOk; }},
        {"DeleteValue", Fault::DeleteValue,
         [this] {
             return setDwordValue(key, "gone.so", 0) == kRegOk &&
                    deleteValue(key, "gone.so") == kRegOk;
         }},
        {"DeleteKey", Fault::DeleteKey,
         [this] { return createAndClose("Gone") && deleteKey(key, "Gone") == kRegOk; }},
        {"QueryValueCount", Fault::QueryValueCount,
         [this] {
             std::uint32_t count = 0;
             return queryValueCount(key, &count) == kRegOk && count >= 1;
         }},
        {"LoadString", Fault::LoadString,
         [] {
             char buffer[16];
             return loadString(nullptr, 4, buffer, sizeof buffer) == 5;
         }},
    };
    for (const Case& c : cases) {
        faults::clear();
        faults::failNth(c.fault, 1);
        EXPECT_FALSE(c.succeeds()) << c.name;
        EXPECT_TRUE(c.succeeds()) << c.name << " fails once only";
    }
}

TEST_F(PlatformFaults, NthCallFailsAndOptionallyEveryLaterOne) {
    faults::failNth(Fault::SetValue, 3);
    EXPECT_EQ(kRegOk, setDwordValue(key, "a.so", 0));
    EXPECT_EQ(kRegOk, setDwordValue(key, "b.so", 0));
    EXPECT_NE(kRegOk, setDwordValue(key, "c.so", 0));
    EXPECT_EQ(kRegOk, setDwordValue(key, "d.so", 0));
    EXPECT_EQ(4u, faults::callsSeen(Fault::SetValue));

    faults::clear();
    faults::failNth(Fault::SetValue, 2, true);
    EXPECT_EQ(kRegOk, setDwordValue(key, "e.so", 0));
    EXPECT_NE(kRegOk, setDwordValue(key, "f.so", 0));
    EXPECT_NE(kRegOk, setDwordValue(key, "g.so", 0));
    faults::clear();
    EXPECT_EQ(kRegOk, setDwordValue(key, "h.so", 0));

    // Failed writes left nothing behind: present, a, b, d, e, h.
    std::uint32_t count = 0;
    ASSERT_EQ(kRegOk, queryValueCount(key, &count));
    EXPECT_EQ(6u, count);
}

} // namespace
} // namespace kov::platform
