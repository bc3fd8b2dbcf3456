#include "support/broker_fixture.h"
#include "support/provider_probe.h"

#include "brokerprovider/broker_provider.h"
#include "registry/provider_list.h"
#include "registry/provider_loading.h"
#include "runtime/guard.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
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

    // Unlists the first record of `module` in list order, as a removal does.
    static void removeByModule(platform::ModuleHandle module) {
        registry::ListChange change;
        for (const ProviderRecord* r : change.listed()) {
            if (module != nullptr && r->module == module) {
                ASSERT_TRUE(change.prepareWithout(r));
                change.publish();
                return;
            }
        }
    }

    static const ProviderRecord* serving(std::uint32_t functionSet) {
        for (const ProviderRecord* r : listedProviders())
            if (firstFunctionSet(r) == functionSet) return r;
        return nullptr;
    }

    std::string immediate, threeSets;
};

TEST_F(ProviderListTest, TwoValuesOfOneKeyListBrokerThenSecondThenFirst) {
    registerInRegistry("Pair", {immediate, threeSets});
    loadProviders();
    EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x401, 0x100}));
    const std::vector<const ProviderRecord*> list = listedProviders();
    EXPECT_EQ(list[0]->module, nullptr);
    EXPECT_EQ(list[1]->module, platform::findLoadedModule(threeSets.c_str()));
    EXPECT_EQ(list[2]->module, platform::findLoadedModule(immediate.c_str()));
}

TEST_F(ProviderListTest, LibraryNamedUnderTwoKeysLoadsTwice) {
    registerInRegistry("First", {immediate});
    registerInRegistry("Second", {immediate});
    loadProviders();
    const std::vector<const ProviderRecord*> list = listedProviders();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_NE(list[1]->module, nullptr);
    EXPECT_EQ(list[1]->module, list[2]->module);
    EXPECT_NE(list[1]->handle, list[2]->handle);
    EXPECT_EQ(statistics().setCount, 2u + 1u + 1u);
}

TEST_F(ProviderListTest, HandleZeroFindsTheHead) {
    EXPECT_FALSE(providerFor(0)) << "empty list";
    registerInRegistry("Immediate", {immediate});
    loadProviders();
    const registry::ProviderRecord* head = providerFor(0);
    ASSERT_TRUE(head);
    EXPECT_EQ(head, listedProviders().front());
    EXPECT_EQ(head->module, nullptr);
    EXPECT_EQ(head->receiveEntry, &brokerprovider::receiveEntry);
}

TEST_F(ProviderListTest, HandlesOfRemovedProvidersFindNothing) {
    registerInRegistry("Immediate", {immediate});
    loadProviders();
    const ProviderRecord* record = serving(0x100);
    ASSERT_NE(record, nullptr);
    const ProviderHandle handle = record->handle;
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(providerFor(handle), record);

    removeByModule(record->module);
    EXPECT_FALSE(providerFor(handle));
    EXPECT_EQ(listedFunctionSets(), std::vector<std::uint32_t>{0});
    // A reload brings the library back under a new handle; the old one stays dead.
    registry::reloadProviders();
    ASSERT_NE(serving(0x100), nullptr);
    EXPECT_NE(serving(0x100)->handle, handle);
    EXPECT_FALSE(providerFor(handle));
}

// Sends find records through an index by handle: with many records every handle must find its
// own record, and handles that share an index bucket with a live one (the same low bits), or
// belong to removed records, must find nothing, also after the index is rebuilt.
TEST_F(ProviderListTest, EveryHandleFindsItsOwnRecordAmongMany) {
    constexpr unsigned kKeys = 40;
    for (unsigned i = 0; i < kKeys; ++i)
        registerInRegistry(("Key" + std::to_string(100 + i)).c_str(), {immediate});
    loadProviders();
    const std::vector<const ProviderRecord*> all = listedProviders();
    ASSERT_EQ(all.size(), kKeys + 1);
    ProviderHandle highest = 0;
    std::vector<ProviderHandle> allHandles;
    for (const ProviderRecord* r : all) {
        EXPECT_EQ(providerFor(r->handle), r) << "handle " << r->handle;
        highest = std::max(highest, r->handle);
        allHandles.push_back(r->handle);
    }
    auto findsNothingBeside = [highest](ProviderHandle handle) {
        for (ProviderHandle step = 64; step <= 0x10000; step *= 2)
            if (handle + step > highest) {
                EXPECT_FALSE(providerFor(handle + step));
            }
    };
    for (const ProviderHandle handle : allHandles) findsNothingBeside(handle);

    // Remove half of them (the first record of the module each time); the removed records are
    // freed, so only their handles are looked at from here on.
    const platform::ModuleHandle module = all[1]->module;
    for (unsigned i = 0; i < kKeys / 2; ++i) removeByModule(module);
    const std::vector<const ProviderRecord*> left = listedProviders();
    ASSERT_EQ(left.size(), kKeys / 2 + 1);
    std::vector<ProviderHandle> leftHandles;
    for (const ProviderRecord* r : left) {
        EXPECT_EQ(providerFor(r->handle), r) << "handle " << r->handle;
        leftHandles.push_back(r->handle);
    }
    for (const ProviderHandle handle : allHandles) {
        const bool kept =
            std::find(leftHandles.begin(), leftHandles.end(), handle) != leftHandles.end();
        if (!kept) {
            EXPECT_FALSE(providerFor(handle)) << "removed handle " << handle;
        }
    }
    EXPECT_EQ(providerFor(0), left.front());
}

// Handles that share a first slot (and handle 0, which always takes slot 0) push one another
// along; a lookup that stops early, or walks past the end of what was pushed, shows here. Four
// records index into eight slots, so these handles land where the comments say.
TEST_F(ProviderListTest, HandlesThatShareASlotFindTheirOwnAndOthersFindNothing) {
    const ProviderHandle listed[] = {8, 16, 24, 3}; // slots 1, 2, 3 (pushed by 0 and each other), 4
    std::vector<ProviderRecord*> records;
    {
        registry::ListChange change;
        ASSERT_TRUE(change.prepare(4));
        for (const ProviderHandle handle : listed) {
            ProviderRecord* record = registry::newProviderRecord(0);
            ASSERT_NE(record, nullptr);
            record->handle = handle;
            records.push_back(record);
            change.add(record);
        }
        change.publish();
    }
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(providerFor(listed[i]), records[i]) << "handle " << listed[i];
    EXPECT_EQ(providerFor(0), records[0]) << "the head";
    struct Miss {
        ProviderHandle handle;
        const char* where;
    };
    const Miss misses[] = {
        {32, "first slot 0, past the pushed run"},
        {0xFFFFFFF8u, "first slot 0, the highest such handle"},
        {11, "first slot 3, inside the run"},
        {4, "first slot 4, the run's last"},
        {5, "first slot 5, empty"},
        {7, "first slot 7, empty, before the wrap"},
    };
    for (const Miss& miss : misses) EXPECT_FALSE(providerFor(miss.handle)) << miss.where;
    registry::unloadAll();
    EXPECT_EQ(bytesInUse(), 0u);
}

TEST_F(ProviderListTest, RemovingNullModuleChangesNothing) {
    registerInRegistry("Immediate", {immediate});
    loadProviders();
    const std::vector<const ProviderRecord*> before = listedProviders();
    const std::uint32_t inUse = bytesInUse();
    removeByModule(nullptr);
    EXPECT_EQ(listedProviders(), before);
    EXPECT_EQ(bytesInUse(), inUse);
    EXPECT_EQ(providerFor(0), before.front());
}

TEST_F(ProviderListTest, RemovingAModuleOfTwoRecordsTakesOnlyTheFirst) {
    registerInRegistry("First", {immediate});
    registerInRegistry("Second", {immediate, threeSets});
    loadProviders();
    // Walk order First, Second: broker, three sets, immediate (Second), immediate (First).
    const std::vector<const ProviderRecord*> before = listedProviders();
    ASSERT_EQ(before.size(), 4u);
    const ProviderHandle secondHandle = before[2]->handle;
    const ProviderHandle firstHandle = before[3]->handle;

    removeByModule(before[3]->module);
    EXPECT_EQ(listedProviders(), (std::vector<const ProviderRecord*>{before[0], before[1], before[3]}));
    EXPECT_FALSE(providerFor(secondHandle));
    EXPECT_TRUE(providerFor(firstHandle));
    EXPECT_TRUE(libraryLoaded(immediate)) << "the other record still holds the library";
}

// A thread inside an export keeps whatever the list held when it came in, even a record that a
// removal unlisted meanwhile; the record and its library go once the last such thread leaves.
TEST_F(ProviderListTest, RecordOutlivesItsRemovalUntilTheLastGuardLeaves) {
    registerInRegistry("Immediate", {immediate});
    loadProviders();
    const ProviderRecord* record = serving(0x100);
    ASSERT_NE(record, nullptr);
    const ProviderHandle handle = record->handle;
    auto outer = std::make_unique<runtime::Guard>();
    {
        const runtime::Guard inner; // guards nest: the outer one counts
        ASSERT_EQ(registry::findProvider(inner, handle), record);
    }
    const std::uint32_t inUse = bytesInUse();

    std::thread([&] { removeByModule(record->module); }).join(); // a writer elsewhere
    EXPECT_EQ(providerFor(handle), nullptr) << "unlisted at once";
    EXPECT_EQ(bytesInUse(), inUse) << "freed under a guard";
    EXPECT_TRUE(libraryLoaded(immediate)) << "unloaded under a guard";
    EXPECT_EQ(record->handle, handle);

    outer.reset();
    EXPECT_LT(bytesInUse(), inUse) << "freed by the last guard to leave";
    EXPECT_FALSE(libraryLoaded(immediate));
    registry::unloadAll();
    EXPECT_EQ(bytesInUse(), 0u) << "every block of the load went back";
}

TEST_F(ProviderListTest, UnloadingAnEmptyListDoesNothing) {
    const StatisticsRecord before = statistics();
    registry::unloadAll();
    EXPECT_TRUE(listedProviders().empty());
    EXPECT_EQ(statistics().bytesFreed, before.bytesFreed);
    loadProviders();
    registry::unloadAll();
    EXPECT_TRUE(listedProviders().empty());
    EXPECT_FALSE(providerFor(0));
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
        EXPECT_EQ(providerFor(r->handle), r);
    }
    for (ProviderHandle h : old) EXPECT_FALSE(providerFor(h)) << h;
    EXPECT_EQ(providerFor(0)->module, nullptr);
    EXPECT_EQ(bytesInUse(), inUse) << "the old records went back";
    EXPECT_EQ(statistics().setCount, 2u + 3u + 1u);
}

} // namespace
} // namespace kov::test
