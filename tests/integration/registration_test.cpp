// Registering and removing providers through the module, seen by this process and by another.
#include "integration/module_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace kov::integration {
namespace {

using test::Request;

using RegistrationTest = ModuleTest;

bool hasKey(const std::string& key) {
    const std::vector<std::string> keys = providerKeys();
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

TEST_F(RegistrationTest, RegisteredProviderIsListedLastAndRemovalMakesItsHandleStale) {
    const std::string path = providerPath("kov_test_immediate");
    ASSERT_EQ(list().size(), 1u);

    EXPECT_EQ(registerProvider(KOV_REGISTER, "Integration", path), 0u);
    const std::vector<RegistryValue> values = providerKeyValues("Integration");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, path);
    EXPECT_EQ(values[0].data, 0u);
    // The same key again is refused and changes nothing.
    EXPECT_EQ(registerProvider(KOV_REGISTER, "Integration", path), 11u);

    const std::vector<Subsystem> registered = list();
    ASSERT_EQ(registered.size(), 2u);
    EXPECT_EQ(registered[1].product, "Immediate test provider");
    ASSERT_EQ(registered[1].sets.size(), 1u);
    const ProviderHandle handle = registered[1].sets[0].provider;
    Request echo(handle, 0x100, 0, 44, {0x5A, 0, 0, 0});
    const std::vector<std::uint8_t> reply = call(echo);
    ASSERT_EQ(reply.size(), 48u);
    EXPECT_EQ(test::u32(reply.data(), 32), 0u);

    EXPECT_EQ(registerProvider(0, "Integration", path), 0u);
    EXPECT_FALSE(hasKey("Integration"));
    EXPECT_EQ(list().size(), 1u);

    // The old handle names nothing now: a header-only status-4 confirm, released by the broker.
    test::ConfirmCollector collector(1);
    Request stale(handle, 0x100, 0, 44, {0x5A, 0, 0, 0});
    collector.use(stale.get());
    EXPECT_EQ(module_->send(stale.get()), 1);
    const auto deliveries = collector.deliveries();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].status, 4u);
    EXPECT_EQ(deliveries[0].bytes.size(), 44u);
    EXPECT_EQ(module_->deleteConfirm(deliveries[0].confirm), 0);
}

// What another process loads: kov_test_list_client, beside this program, writes the number of
// descriptors and the products its first send found.
std::vector<std::string> listFromAnotherProcess() {
    const std::string folder = platform::programDirectory();
    const std::string output = folder + "kov_test_list_client.out";
    std::remove(output.c_str());
    // Only the program is quoted: the Windows command interpreter keeps a lone quoted name as is.
    const std::string command = "\"" + folder + KOV_TEST_LIST_CLIENT + "\"";
    const int exitCode = std::system(command.c_str());
    EXPECT_EQ(exitCode, 0) << command;
    std::vector<std::string> lines;
    std::ifstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    std::remove(output.c_str());
    return lines;
}

TEST_F(RegistrationTest, RegistrationIsLoadedByTheFirstSendOfAnotherProcess) {
    ASSERT_FALSE(platform::programDirectory().empty());
    ASSERT_EQ(list().size(), 1u);
    const std::vector<std::string> before = listFromAnotherProcess();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0], "1");
    EXPECT_EQ(before[1], "KOV Broker message broker 1.0");

    EXPECT_EQ(registerProvider(KOV_REGISTER, "Elsewhere", providerPath("kov_test_refusing")), 0u);
    const std::vector<std::string> after = listFromAnotherProcess();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0], "2");
    EXPECT_EQ(after[1], "KOV Broker message broker 1.0");
    EXPECT_EQ(after[2], "Refusing test provider");

    EXPECT_EQ(registerProvider(2, "Elsewhere", providerPath("kov_test_refusing")), 0u);
    EXPECT_FALSE(hasKey("Elsewhere"));
}

} // namespace
} // namespace kov::integration
