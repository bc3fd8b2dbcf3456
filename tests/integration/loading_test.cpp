// What the first send of a process loads, and what freeing the module unloads.
#include "integration/module_harness.h"

namespace kov::integration {
namespace {

using test::Request;

const char* const kBrokerProduct = "KOV Broker message broker 1.0";
const char* const kImmediateProduct = "Immediate test provider";
const char* const kRefusingProduct = "Refusing test provider";

using LoadingTest = ModuleTest;

TEST_F(LoadingTest, FirstSendLoadsTheProviderListInRegistryOrder) {
    const std::string immediate = providerPath("kov_test_immediate");
    const std::string refusing = providerPath("kov_test_refusing");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Pair", {immediate, refusing}));
    // Loading the module alone loads no provider.
    EXPECT_EQ(platform::findLoadedModule(immediate.c_str()), nullptr);

    const std::vector<Subsystem> subsystems = list();
    EXPECT_NE(platform::findLoadedModule(immediate.c_str()), nullptr);
    EXPECT_NE(platform::findLoadedModule(refusing.c_str()), nullptr);

    // Broker provider first, then the library of the key's second value, then the first.
    ASSERT_EQ(subsystems.size(), 3u);
    EXPECT_EQ(subsystems[0].product, kBrokerProduct);
    EXPECT_EQ(subsystems[1].product, kRefusingProduct);
    EXPECT_EQ(subsystems[2].product, kImmediateProduct);

    // The broker provider's descriptor: 314 bytes with the module's strings; two 1.0 sets.
    EXPECT_EQ(subsystems[0].step, 314u);
    ASSERT_EQ(subsystems[0].sets.size(), 2u);
    EXPECT_EQ(subsystems[0].sets[0].functionSet, 0u);
    EXPECT_EQ(subsystems[0].sets[1].functionSet, 0xFFFFu);
    for (const SetEntry& e : subsystems[0].sets) {
        EXPECT_EQ(e.major, 1u);
        EXPECT_EQ(e.minor, 0u);
    }
    ASSERT_EQ(subsystems[1].sets.size(), 1u);
    EXPECT_EQ(subsystems[1].sets[0].functionSet, 0x300u);
    ASSERT_EQ(subsystems[2].sets.size(), 1u);
    EXPECT_EQ(subsystems[2].sets[0].functionSet, 0x100u);

    // Each entry's handle reaches its own provider, and the three handles differ.
    const ProviderHandle broker = subsystems[0].sets[0].provider;
    const ProviderHandle refusingHandle = subsystems[1].sets[0].provider;
    const ProviderHandle immediateHandle = subsystems[2].sets[0].provider;
    EXPECT_EQ(subsystems[0].sets[1].provider, broker);
    EXPECT_NE(broker, 0u);
    EXPECT_NE(refusingHandle, broker);
    EXPECT_NE(immediateHandle, broker);
    EXPECT_NE(immediateHandle, refusingHandle);

    test::ConfirmCollector collector(0);
    Request echo(immediateHandle, 0x100, 0, 44, {1, 2, 3, 4});
    collector.use(echo.get());
    EXPECT_EQ(module_->send(echo.get()), 0);
    Request refused(refusingHandle, 0x300, 0);
    collector.use(refused.get());
    EXPECT_NE(module_->send(refused.get()), 0);
    Request info(broker, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO);
    collector.use(info.get());
    EXPECT_EQ(module_->send(info.get()), 0);

    const auto deliveries = collector.deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(test::u32(deliveries[0].bytes.data(), 12), immediateHandle);
    EXPECT_EQ(deliveries[0].status, 0u);
    EXPECT_EQ(deliveries[0].bytes.size(), 48u);
    EXPECT_EQ(test::u32(deliveries[1].bytes.data(), 12), broker);
    EXPECT_EQ(deliveries[1].status, 0u);
}

TEST_F(LoadingTest, LibraryNamedUnderTwoKeysLoadsTwice) {
    const std::string immediate = providerPath("kov_test_immediate");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("First", {immediate}));
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Second", {immediate}));

    const std::vector<Subsystem> subsystems = list();
    ASSERT_EQ(subsystems.size(), 3u);
    std::vector<ProviderHandle> handles;
    for (std::size_t i = 1; i < subsystems.size(); ++i) {
        EXPECT_EQ(subsystems[i].product, kImmediateProduct);
        ASSERT_EQ(subsystems[i].sets.size(), 1u);
        handles.push_back(subsystems[i].sets[0].provider);
    }
    EXPECT_NE(handles[0], handles[1]);

    // Two records of one library: it described itself twice and got both blocks back.
    const ProviderLibrary library(immediate);
    ASSERT_TRUE(library.loaded());
    EXPECT_EQ(library.counters().infoCalls, 2);
    EXPECT_EQ(library.counters().infoReturned, 2);

    for (const ProviderHandle handle : handles) {
        Request echo(handle, 0x100, 0, 44, {9, 8, 7, 6});
        const std::vector<std::uint8_t> reply = call(echo);
        ASSERT_EQ(reply.size(), 48u);
        EXPECT_EQ(test::u32(reply.data(), 12), handle);
        EXPECT_EQ(test::u32(reply.data(), 44), 0x06070809u);
    }
    EXPECT_EQ(library.counters().receives, 2);
}

// Freeing the module unloads every library it loaded, once per record. The test holds no
// reference of its own to them.
TEST_F(LoadingTest, FreeingTheModuleUnloadsItsProviderLibraries) {
    const std::string immediate = providerPath("kov_test_immediate");
    const std::string refusing = providerPath("kov_test_refusing");
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Both", {immediate, refusing}));
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Again", {immediate}));

    ASSERT_EQ(list().size(), 4u);
    ASSERT_NE(platform::findLoadedModule(immediate.c_str()), nullptr);
    ASSERT_NE(platform::findLoadedModule(refusing.c_str()), nullptr);

    // A kept confirm of the library is released before the module goes.
    test::ConfirmCollector collector(1);
    Request echo(handleServing(list(), 0x100), 0x100, 0);
    collector.use(echo.get());
    ASSERT_EQ(module_->send(echo.get()), 0);
    ASSERT_EQ(collector.count(), 1u);
    EXPECT_EQ(module_->deleteConfirm(collector.deliveries()[0].confirm), 0);

    module_.reset();
    EXPECT_EQ(platform::findLoadedModule(immediate.c_str()), nullptr);
    EXPECT_EQ(platform::findLoadedModule(refusing.c_str()), nullptr);
}

} // namespace
} // namespace kov::integration
