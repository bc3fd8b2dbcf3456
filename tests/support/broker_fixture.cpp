#include "support/broker_fixture.h"

#include "dispatch/send.h"
#include "registry/crash_marks.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

namespace kov::test {

void BrokerTest::SetUp() {
    faults::clear();
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string tag = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : tag)
        if (c == '/') c = '_';
    platform::testing::useScratchRegistry(tag.c_str());
    // The program's own string table stands in for the module's.
    ASSERT_TRUE(runtime::processAttach(nullptr));
}

void BrokerTest::TearDown() {
    runtime::processDetach(false);
    // The crash marks' folder of the scratch registry goes with it (when nothing is left in it).
    platform::removeEmptyFolder(registry::CrashMarks::folderForRegistry());
    platform::testing::dropScratchRegistry();
    faults::clear();
}

std::string BrokerTest::providerPath(const char* name) {
    return std::string(KOV_TEST_DIR) + name + KOV_TEST_LIB_SUFFIX;
}

void BrokerTest::registerInRegistry(const char* key, std::initializer_list<std::string> paths,
                                    platform::RegKey root) {
    platform::RegKey broker = nullptr, list = nullptr, provider = nullptr;
    if (root == nullptr) root = platform::localMachineKey();
    ASSERT_EQ(platform::createKey(root, "Software\\KOV_Broker", nullptr, &broker, nullptr), 0);
    ASSERT_EQ(platform::createKey(broker, "Provider List", nullptr, &list, nullptr), 0);
    ASSERT_EQ(platform::createKey(list, key, nullptr, &provider, nullptr), 0);
    for (const std::string& path : paths)
        ASSERT_EQ(platform::setDwordValue(provider, path.c_str(), 0), 0);
    platform::closeKey(provider);
    platform::closeKey(list);
    platform::closeKey(broker);
}

void BrokerTest::loadProviders() { runtime::ensureLoaded(); }

StatisticsRecord BrokerTest::statistics() const {
    StatisticsRecord record;
    runtime::copyStatistics(&record, dispatch::waitingSyncCalls());
    return record;
}

} // namespace kov::test
