// The SQLite registry when the C++ heap runs out: every call reports a registry error instead of
// throwing, and a failed call leaves the database as it was.
#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/posix/registry_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kov::platform {
namespace {

using faults::Fault;
using test::posix::subkeys;
using test::posix::valueNames;

constexpr long kOutOfMemory = 14; // ERROR_NOT_ENOUGH_MEMORY

class PlatformRegistryHeap : public ::testing::Test {
protected:
    void SetUp() override {
        testing::useScratchRegistry("platform_registry_heap");
        ASSERT_EQ(kRegOk, createKey(localMachineKey(), "Software\\Heap", nullptr, &base, nullptr));
        ASSERT_EQ(kRegOk, setDwordValue(base, "/x/kept.so", 0));
        RegKey child = nullptr;
        ASSERT_EQ(kRegOk, createKey(base, "Child", nullptr, &child, nullptr));
        closeKey(child);
    }
    void TearDown() override {
        faults::clear();
        if (base != nullptr) closeKey(base);
        testing::dropScratchRegistry();
    }

    RegKey base = nullptr;
};

// Each call is run with the Nth allocation failing, N = 1, 2, ... until a run allocates less
// than N times; once with only that allocation failing and once with every later one too.
TEST_F(PlatformRegistryHeap, EveryCallReportsOutOfMemoryAndChangesNothing) {
    struct Case {
        const char* name;
        std::function<long()> call;
        std::function<void()> undo; // puts back what a successful call changed
    };
    RegKey opened = nullptr;
    const Case cases[] = {
        {"createKey", [&] { return createKey(base, "New\\Deeper", nullptr, &opened, nullptr); },
         [&] {
             closeKey(opened);
             ASSERT_EQ(kRegOk, deleteKey(base, "New\\Deeper"));
             ASSERT_EQ(kRegOk, deleteKey(base, "New"));
         }},
        {"openKey", [&] { return openKey(base, "Child", &opened); }, [&] { closeKey(opened); }},
        {"enumKey",
         [&] {
             char name[64];
             return enumKey(base, 0, name, sizeof name);
         },
         [] {}},
        {"enumValue",
         [&] {
             char name[64];
             std::uint8_t data[4];
             return enumValue(base, 0, name, sizeof name, data, sizeof data);
         },
         [] {}},
        {"setDwordValue", [&] { return setDwordValue(base, "/x/new.so", 0); },
         [&] { ASSERT_EQ(kRegOk, deleteValue(base, "/x/new.so")); }},
        {"deleteValue", [&] { return deleteValue(base, "/x/kept.so"); },
         [&] { ASSERT_EQ(kRegOk, setDwordValue(base, "/x/kept.so", 0)); }},
        {"deleteKey", [&] { return deleteKey(base, "Child"); },
         [&] {
             RegKey child = nullptr;
             ASSERT_EQ(kRegOk, createKey(base, "Child", nullptr, &child, nullptr));
             closeKey(child);
         }},
        {"queryValueCount",
         [&] {
             std::uint32_t count = 0;
             return queryValueCount(base, &count);
         },
         [] {}},
        {"flushKey", [&] { return flushKey(base); }, [] {}},
    };
    const std::vector<std::string> valuesBefore = valueNames(base);
    const std::vector<std::string> keysBefore = subkeys(base);
    unsigned runs = 0;
    for (const Case& c : cases) {
        for (const bool andAfter : {false, true}) {
            for (unsigned n = 1;; ++n) {
                ++runs;
                opened = nullptr;
                faults::clear();
                faults::failNth(Fault::CppHeap, n, andAfter);
                long rc = -1;
                EXPECT_NO_THROW(rc = c.call()) << c.name << " n=" << n;
                const bool reached = faults::callsSeen(Fault::CppHeap) >= n;
                faults::clear();
                if (!reached) {
                    ASSERT_EQ(kRegOk, rc) << c.name << " without a fault";
                    c.undo();
                    break;
                }
                if (rc == kRegOk) {
                    c.undo(); // the failed allocation was one the call could do without
                } else {
                    EXPECT_EQ(kOutOfMemory, rc) << c.name << " n=" << n;
                    EXPECT_EQ(nullptr, opened) << c.name << " n=" << n;
                }
                ASSERT_EQ(valuesBefore, valueNames(base)) << c.name << " n=" << n;
                ASSERT_EQ(keysBefore, subkeys(base)) << c.name << " n=" << n;
                ASSERT_LT(n, 500u) << c.name << " never ran without a fault";
            }
        }
    }
    std::printf("registry heap sweep: %u runs\n", runs);
}

} // namespace
} // namespace kov::platform
