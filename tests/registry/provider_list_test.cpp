#include "support/broker_fixture.h"
#include "support/provider_probe.h"

#include "brokerprovider/broker_provider.h"
#include "registry/provider_list.h"
#include "registry/provider_loading.h"
#include "runtime/broker_lock.h"

#include <algorithm>
#include <string>
#include <vector>

namespace kov::test {
namespace {

using registry::ProviderRecord;

class ProviderListTest : public BrokerTest {
protected:
    void SetUp() override {
        BrokerTest::SetUp();
        immediate = providerPath("kov_test_immediate");
        threeSets = providerPath("kov_test_three_sets");
    }

    static void removeByModule(platform::ModuleHandle module) {
        runtime::BrokerLockGuard guard;
        registry::removeByModule(module);
    }

    static ProviderRecord* serving(std::uint32_t functionSet) {
        for (ProviderRecord* r : listedProviders())
            if (firstFunctionSet(r) == functionSet) return r;
        return nullptr;
    }

    std::string immediate, threeSets;
};

TEST_F(ProviderListTest, TwoValuesOfOneKeyListBrokerThenSecondThenFirst) {
    registerInRegistry("Pair", {immediate, threeSets});
    loadProviders();
    EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x401, 0x100}));
    const std::vector<ProviderRecord*> list = listedProviders();
    EXPECT_EQ(list[0]->module, nullptr);
    EXPECT_EQ(list[1]->module, platform::findLoadedModule(threeSets.c_str()));
    EXPECT_EQ(list[2]->module, platform::findLoadedModule(immediate.c_str()));
}

TEST_F(ProviderListTest, LibraryNamedUnderTwoKeysLoadsTwice) {
    registerInRegistry("First", {immediate});
    registerInRegistry("Second", {immediate});
    loadProviders();
    const std::vector<ProviderRecord*> list = listedProviders();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_NE(list[1]->module, nullptr);
    EXPECT_EQ(list[1]->module, list[2]->module);
    EXPECT_NE(list[1]->handle, list[2]->handle);
    EXPECT_EQ(statistics().setCount, 2u + 1u + 1u);
}

TEST_F(ProviderListTest, HandleZeroFindsTheHead) {
    EXPECT_FALSE(registry::findProvider(0)) << "empty list";
    registerInRegistry("Immediate", {immediate});
    loadProviders();
    const registry::ProviderRef head = registry::findProvider(0);
    ASSERT_TRUE(head);
    EXPECT_EQ(head.get(), listedProviders().front());
    EXPECT_EQ(head->module, nullptr);
    EXPECT_EQ(head->receiveEntry, &brokerprovider::receiveEntry);
}

TEST_F(ProviderListTest, HandlesOfRemovedProvidersFindNothing) {
    registerInRegistry("Immediate", {immediate});
    loadProviders();
    ProviderRecord* record = serving(0x100);
    ASSERT_NE(record, nullptr);
    const ProviderHandle handle = record->handle;
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(registry::findProvider(handle).get(), record);

    removeByModule(record->module);
    EXPECT_FALSE(registry::findProvider(handle));
    EXPECT_EQ(listedFunctionSets(), std::vector<std::uint32_t>{0});
    // A reload brings the library back under a new handle; the old one stays dead.
    registry::reloadProviders();
    ASSERT_NE(serving(0x100), nullptr);
    EXPECT_NE(serving(0x100)->handle, handle);
    EXPECT_FALSE(registry::findProvider(handle));
}

// Sends find records through an index by handle: with many records every handle must find its
// own record, and handles that share an index bucket with a live one (the same low bits), or
// belong to removed records, must find nothing, also after the index is rebuilt.
TEST_F(ProviderListTest, EveryHandleFindsItsOwnRecordAmongMany) {
    constexpr unsigned kKeys = 40;
    for (unsigned i = 0; i < kKeys; ++i)
        registerInRegistry(("Key" + std::to_string(100 + i)).c_str(), {immediate});
    loadProviders();
    const std::vector<ProviderRecord*> all = listedProviders();
    ASSERT_EQ(all.size(), kKeys + 1);
    ProviderHandle highest = 0;
    std::vector<ProviderHandle> allHandles;
    for (ProviderRecord* r : all) {
        EXPECT_EQ(registry::findProvider(r->handle).get(), r) << "handle " << r->handle;
        highest = std::max(highest, r->handle);
        allHandles.push_back(r->handle);
    }
    auto findsNothingBeside = [highest](ProviderHandle handle) {
        for (ProviderHandle step = 64; step <= 0x10000; step *= 2)
            if (handle + step > highest) {
                EXPECT_FALSE(registry::findProvider(handle + step));
            }
    };
    for (const ProviderHandle handle : allHandles) findsNothingBeside(handle);

    // Remove half of them (the first record of the module each time); the removed records are
    // freed, so only their handles are looked at from here on.
    const platform::ModuleHandle module = all[1]->module;
    for (unsigned i = 0; i < kKeys / 2; ++i) removeByModule(module);
    const std::vector<ProviderRecord*> left = listedProviders();
    ASSERT_EQ(left.size(), kKeys / 2 + 1);
    std::vector<ProviderHandle> leftHandles;
    for (ProviderRecord* r : left) {
        EXPECT_EQ(registry::findProvider(r->handle).get(), r) << "handle " << r->handle;
        leftHandles.push_back(r->handle);
    }
    for (const ProviderHandle handle : allHandles) {
        const bool kept =
            std::find(leftHandles.begin(), leftHandles.end(), handle) != leftHandles.end();
        if (!kept) {
            EXPECT_FALSE(registry::findProvider(handle)) << "removed handle " << handle;
        }
    }
    EXPECT_EQ(registry::findProvider(0).get(), left.front());
}

TEST_F(ProviderListTest, RemovingNullModuleChangesNothing) {
    registerInRegistry("Immediate", {immediate});
    loadProviders();
    const std::vector<ProviderRecord*> before = listedProviders();
    const std::uint32_t inUse = bytesInUse();
    removeByModule(nullptr);
    EXPECT_EQ(listedProviders(), before);
    EXPECT_EQ(bytesInUse(), inUse);
    EXPECT_EQ(registry::findProvider(0).get(), before.front());
}

TEST_F(ProviderListTest, RemovingAModuleOfTwoRecordsTakesOnlyTheFirst) {
    registerInRegistry("First", {immediate});
    registerInRegistry("Second", {immediate, threeSets});
    loadProviders();
    // Walk order First, Second: broker, three sets, immediate (Second), immediate (First).
    const std::vector<ProviderRecord*> before = listedProviders();
    ASSERT_EQ(before.size(), 4u);
    const ProviderHandle secondHandle = before[2]->handle;
    const ProviderHandle firstHandle = before[3]->handle;

    removeByModule(before[3]->module);
    EXPECT_EQ(listedProviders(), (std::vector<ProviderRecord*>{before[0], before[1], before[3]}));
    EXPECT_FALSE(registry::findProvider(secondHandle));
    EXPECT_TRUE(registry::findProvider(firstHandle));
    EXPECT_TRUE(libraryLoaded(immediate)) << "the other record still holds the library";
}

TEST_F(ProviderListTest, RecordOutlivesItsRemovalUntilTheLastReferenceGoes) {
    registerInRegistry("Immediate", {immediate});
    loadProviders();
    ProviderRecord* record = serving(0x100);
    ASSERT_NE(record, nullptr);
    registry::ProviderRef first = registry::findProvider(record->handle);
    registry::ProviderRef second = registry::findProvider(record->handle);
    ASSERT_EQ(first.get(), record);
    const std::uint32_t inUse = bytesInUse();

    removeByModule(record->module);
    EXPECT_FALSE(registry::findProvider(record->handle)) << "unlinked at once";
    EXPECT_EQ(bytesInUse(), inUse) << "freed under its users";
    EXPECT_TRUE(libraryLoaded(immediate)) << "unloaded under its users";

    first = registry::ProviderRef();
    EXPECT_EQ(bytesInUse(), inUse);
    EXPECT_TRUE(libraryLoaded(immediate));

    second = registry::ProviderRef();
    EXPECT_LT(bytesInUse(), inUse);
    EXPECT_FALSE(libraryLoaded(immediate));
    registry::unloadAll();
    EXPECT_EQ(bytesInUse(), 0u) << "every block of the load went back";
}

TEST_F(ProviderListTest, UnloadingAnEmptyListDoesNothing) {
    const StatisticsRecord before = statistics();
    registry::unloadAll();
    EXPECT_EQ(registry::listHead(), nullptr);
    EXPECT_EQ(statistics().bytesFreed, before.bytesFreed);
    loadProviders();
    registry::unloadAll();
    EXPECT_EQ(registry::listHead(), nullptr);
    EXPECT_FALSE(registry::findProvider(0));
    registry::unloadAll();
    EXPECT_EQ(bytesInUse(), 0u);
}

TEST_F(ProviderListTest, ReloadGivesEveryProviderANewHandleAndTheBrokerTheHead) {
    registerInRegistry("Pair", {immediate, threeSets});
    loadProviders();
    std::vector<ProviderHandle> old;
    for (const ProviderRecord* r : listedProviders()) old.push_back(r->handle);
    const std::uint32_t inUse = bytesInUse();

    registry::reloadProviders();
    EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x401, 0x100}));
    for (const ProviderRecord* r : listedProviders()) {
        EXPECT_NE(r->handle, 0u);
        EXPECT_EQ(std::count(old.begin(), old.end(), r->handle), 0) << "handle reused";
        EXPECT_EQ(registry::findProvider(r->handle).get(), r);
    }
    for (ProviderHandle h : old) EXPECT_FALSE(registry::findProvider(h)) << h;
    EXPECT_EQ(registry::findProvider(0)->module, nullptr);
    EXPECT_EQ(bytesInUse(), inUse) << "the old records went back";
    EXPECT_EQ(statistics().setCount, 2u + 3u + 1u);
}

} // namespace
} // namespace kov::test
