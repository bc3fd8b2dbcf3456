#include "support/broker_fixture.h"
#include "support/provider_probe.h"

#include "brokerprovider/broker_provider.h"
#include "registry/provider_list.h"
#include "registry/load_report.h"
#include "registry/provider_loading.h"

#include <resources/strings.h>

#include <cctype>
#include <memory>

namespace kov::test {
namespace {

using faults::Fault;
using registry::ProviderRecord;

class ProviderLoadingTest : public BrokerTest {
protected:
    void SetUp() override {
        BrokerTest::SetUp();
        immediate = providerPath("kov_test_immediate");
        threeSets = providerPath("kov_test_three_sets");
    }

    // The list agrees with itself: every record is found by its handle, handle 0 finds the head,
    // and the statistics count exactly the sets of the listed providers.
    void expectConsistentList() const {
        const std::vector<const ProviderRecord*> list = listedProviders();
        std::uint32_t sets = 0;
        for (const ProviderRecord* r : list) {
            EXPECT_EQ(providerFor(r->handle), r);
            sets += r->setCount;
        }
        EXPECT_EQ(providerFor(0), list.empty() ? nullptr : list.front());
        EXPECT_EQ(sets, statistics().setCount);
    }

    std::string immediate, threeSets;
};

TEST_F(ProviderLoadingTest, BrokerProviderRecordAndDescriptor) {
    loadProviders();
    const registry::ProviderRecord* broker = providerFor(0);
    ASSERT_TRUE(broker);
    EXPECT_EQ(broker->module, nullptr);
    EXPECT_EQ(broker->infoEntry, nullptr);
    EXPECT_EQ(broker->setCount, 2u);
    ASSERT_EQ(broker->descriptorSize, 314u);

    const std::uint8_t* d = broker->descriptor;
    EXPECT_EQ(u32(d, 0), 0u);
    EXPECT_EQ(u16(d, 4), 1u);
    EXPECT_EQ(u16(d, 6), 0u);
    EXPECT_EQ(u32(d, 8), 1u);
    EXPECT_EQ(d[12 + 10], 'T');
    EXPECT_EQ(d[12 + 19], '.');
    EXPECT_TRUE(d[12 + 23] == '+' || d[12 + 23] == '-');
    EXPECT_TRUE(std::isdigit(d[12 + 27]));
    EXPECT_EQ(u32(d, 40), 100u);
    EXPECT_EQ(u32(d, 44), 176u);
    EXPECT_EQ(u32(d, 48), 0u);
    EXPECT_EQ(u32(d, 52), 242u);
    EXPECT_EQ(u32(d, 56), 2u);
    EXPECT_EQ(itemText(d, 100), KOV_STR_COPYRIGHT);
    EXPECT_EQ(itemText(d, 176), KOV_STR_MAKER);
    EXPECT_EQ(itemText(d, 242), KOV_STR_PRODUCT);
    for (std::uint32_t i = 306; i < 314; ++i) EXPECT_EQ(d[i], 0u) << "byte " << i;

    struct Entry {
        std::uint32_t at, distance, functionSet;
    };
    for (const Entry& e : {Entry{60, 20, 0}, Entry{80, 0, 0xFFFF}}) {
        EXPECT_EQ(u32(d, e.at), e.distance) << e.at;
        EXPECT_EQ(u32(d, e.at + 4), 1u) << e.at;
        EXPECT_EQ(u32(d, e.at + 8), e.functionSet) << e.at;
        EXPECT_EQ(u16(d, e.at + 12), 1u) << e.at;
        EXPECT_EQ(u16(d, e.at + 14), 0u) << e.at;
        EXPECT_EQ(u32(d, e.at + 16), broker->handle) << e.at;
    }
    EXPECT_NE(broker->handle, 0u);
}

TEST_F(ProviderLoadingTest, LibraryDescriptorIsItsPayloadLessTwelveWithItsHandleInEveryEntry) {
    registerInRegistry("Three", {threeSets});
    loadProviders();
    const std::vector<const ProviderRecord*> list = listedProviders();
    ASSERT_EQ(list.size(), 2u);
    const ProviderRecord* r = list[1];
    const platform::ModuleHandle module = platform::findLoadedModule(threeSets.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(r->module, module);
    EXPECT_EQ(reinterpret_cast<void*>(r->receiveEntry), platform::findSymbol(module, "kov_Receive"));
    EXPECT_EQ(reinterpret_cast<void*>(r->deleteEntry),
              platform::findSymbol(module, "kov_DeleteReceive"));
    EXPECT_EQ(r->setCount, 3u);

    // The library's payload: 72 fixed bytes, 3 entries, then "none" (14 bytes), "KOV tests"
    // (24) and "Three sets test provider" (54): L = 224.
    ASSERT_EQ(r->descriptorSize, 212u);
    const std::uint8_t* d = r->descriptor;
    EXPECT_EQ(u32(d, 0), 0u);
    EXPECT_EQ(u16(d, 4), 1u);
    EXPECT_EQ(u32(d, 8), 1u);
    EXPECT_EQ(std::string(d + 12, d + 40), "2024-01-02T03:04:05.678+0100");
    EXPECT_EQ(u32(d, 40), 120u);
    EXPECT_EQ(u32(d, 44), 134u);
    EXPECT_EQ(u32(d, 48), 0u);
    EXPECT_EQ(u32(d, 52), 158u);
    EXPECT_EQ(itemText(d, 120), "none");
    EXPECT_EQ(itemText(d, 134), "KOV tests");
    EXPECT_EQ(itemText(d, 158), "Three sets test provider");
    EXPECT_EQ(u32(d, 56), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        const std::uint32_t at = 60 + 20 * i;
        EXPECT_EQ(u32(d, at), i < 2 ? 20u : 0u);
        EXPECT_EQ(u32(d, at + 8), 0x401 + i);
        EXPECT_EQ(u32(d, at + 16), r->handle) << "entry " << i;
    }
}

TEST_F(ProviderLoadingTest, SetCountIsTwoForTheBrokerPlusEachLibrarysSets) {
    loadProviders();
    EXPECT_EQ(statistics().setCount, 2u);
    registerInRegistry("Three", {threeSets});
    registry::reloadProviders();
    EXPECT_EQ(statistics().setCount, 5u);
    registry::reloadProviders();
    EXPECT_EQ(statistics().setCount, 5u) << "each load counts afresh";
}

TEST_F(ProviderLoadingTest, LibrariesThatCannotServeAreSkippedAndUnloaded) {
    struct Case {
        const char* library;
        Fault fault; // Fault::Count: none
        unsigned n;
        int infoCalls, infoReturned;
    };
    const Case cases[] = {
        {"kov_test_absent", Fault::Count, 0, 0, 0},
        {"kov_test_immediate", Fault::LoadLibrary, 1, 0, 0},
        {"kov_test_immediate", Fault::FindSymbol, 1, 0, 0},
        {"kov_test_immediate", Fault::FindSymbol, 2, 0, 0},
        {"kov_test_immediate", Fault::FindSymbol, 3, 0, 0},
        {"kov_test_missing_export", Fault::Count, 0, 0, 0},
        {"kov_test_null_info", Fault::Count, 0, 1, 0},
        {"kov_test_bad_length", Fault::Count, 0, 1, 1},
        {"kov_test_bad_string", Fault::Count, 0, 1, 1},
        {"kov_test_bad_chain", Fault::Count, 0, 1, 1},
        {"kov_test_bad_stride16", Fault::Count, 0, 1, 1},
        {"kov_test_bad_count_beyond_chain", Fault::Count, 0, 1, 1},
        {"kov_test_bad_overlapping", Fault::Count, 0, 1, 1},
        {"kov_test_bad_string_in_fixed", Fault::Count, 0, 1, 1},
        {"kov_test_bad_entry_on_string", Fault::Count, 0, 1, 1},
        {"kov_test_bad_sets_past_end", Fault::Count, 0, 1, 1},
        {"kov_test_bad_header_past_total", Fault::Count, 0, 1, 1},
        {"kov_test_bad_length_past_total", Fault::Count, 0, 1, 1},
        // The broker provider's record is the first allocation; the library's is the second.
        {"kov_test_immediate", Fault::GlobalAlloc, 2, 1, 1}, // no memory for its record
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.library) + " fault " + std::to_string(unsigned(c.fault)) +
                     " n " + std::to_string(c.n));
        const std::string path = providerPath(c.library);
        // "A" is walked before "B": the library fails first, then a good one still loads.
        platform::testing::dropScratchRegistry();
        platform::testing::useScratchRegistry("ProviderLoadingTest_skipped");
        registerInRegistry("A", {path});
        registerInRegistry("B", {threeSets});
        auto probe = std::make_unique<LibraryProbe>(path);
        const KovProviderCounters before = probe->counters();
        const std::uint32_t inUse = bytesInUse();

        faults::clear();
        const bool faulted = c.fault != Fault::Count;
        if (faulted) faults::failNth(c.fault, c.n);
        registry::loadAllProviders(registry::Load::First);
        if (faulted) {
            EXPECT_GE(faults::callsSeen(c.fault), c.n) << "the fault was never reached";
        }
        faults::clear();

        EXPECT_EQ(listedFunctionSets(), (std::vector<std::uint32_t>{0, 0x401}));
        EXPECT_EQ(statistics().setCount, 2u + 3u);
        const KovProviderCounters after = probe->counters();
        EXPECT_EQ(after.infoCalls - before.infoCalls, c.infoCalls);
        EXPECT_EQ(after.infoReturned - before.infoReturned, c.infoReturned);
        probe.reset();
        EXPECT_FALSE(libraryLoaded(path)) << "the broker kept the library loaded";

        registry::unloadAll();
        EXPECT_EQ(bytesInUse(), inUse);
    }
}

TEST_F(ProviderLoadingTest, NoMemorySweepLeavesAConsistentListAndNoLeak) {
    registerInRegistry("A", {immediate});
    registerInRegistry("B", {threeSets});
    unsigned n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 50u) << "the sweep does not end";
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        const std::uint32_t inUse = bytesInUse();
        faults::clear();
        faults::failNth(Fault::GlobalAlloc, n);
        registry::loadAllProviders(registry::Load::First);
        const bool hit = faults::callsSeen(Fault::GlobalAlloc) >= n;
        faults::clear();

        expectConsistentList();
        // Without the broker provider's record (the first allocation) nothing is loaded.
        EXPECT_EQ(listedProviders().size(), !hit ? 3u : n == 1 ? 0u : 2u);
        registry::unloadAll();
        EXPECT_EQ(bytesInUse(), inUse);
        EXPECT_FALSE(libraryLoaded(immediate));
        EXPECT_FALSE(libraryLoaded(threeSets));
        if (!hit) break;
    }
    EXPECT_EQ(n, 4u) << "two library records and the broker's";
}

// What the load report says of a registry that holds nothing, an empty provider list, or one
// library: all read to the end.
TEST_F(ProviderLoadingTest, TheReportSaysWhatTheRegistryHeld) {
    const struct {
        const char* what;
        std::uint32_t state, loaded;
    } cases[] = {
        {"nothing ever registered", KOV_REGISTRY_ABSENT, 0},
        {"an empty provider list", KOV_REGISTRY_READ, 0},
        {"one library", KOV_REGISTRY_READ, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.state == KOV_REGISTRY_READ) {
            platform::RegKey key = nullptr;
            ASSERT_EQ(platform::createKey(platform::localMachineKey(),
                                          "Software\\KOV_Broker\\Provider List", nullptr, &key,
                                          nullptr), 0);
            platform::closeKey(key);
        }
        if (c.loaded > 0) registerInRegistry("A", {immediate});
        ASSERT_TRUE(registry::reloadProviders());
        const registry::PublishedReport last = registry::lastLoadReport();
        ASSERT_NE(last.report, nullptr);
        EXPECT_EQ(last.report->outcome, 0u);
        EXPECT_EQ(last.report->registryState, c.state);
        EXPECT_EQ(last.report->registryError, 0u);
        EXPECT_EQ(last.report->loadedCount, c.loaded);
        EXPECT_EQ(last.report->location, platform::registryLocation("Software\\KOV_Broker"));
        EXPECT_TRUE(last.report->problems.empty());
    }
}

// A registry that cannot be read to its end publishes nothing new: a first load keeps the broker
// provider alone, a reload the list it had; both say why in the load report.
TEST_F(ProviderLoadingTest, RegistryErrorsPublishNothingNewAndSayWhy) {
    struct Case {
        const char* what;
        Fault fault;
        unsigned n;
    };
    const Case cases[] = {
        {"broker key", Fault::CreateKey, 1},        {"provider list key", Fault::CreateKey, 2},
        {"first provider key", Fault::CreateKey, 3}, {"first key name", Fault::EnumKey, 1},
        {"second key name", Fault::EnumKey, 2},      {"first value name", Fault::EnumValue, 1},
        {"second value name", Fault::EnumValue, 3},
    };
    registerInRegistry("A", {immediate});
    registerInRegistry("B", {threeSets});
    for (const registry::Load kind : {registry::Load::First, registry::Load::Reload}) {
        const bool first = kind == registry::Load::First;
        // A reload has a list to keep.
        if (!first) {
            ASSERT_TRUE(registry::loadAllProviders(registry::Load::First));
        }
        const std::vector<std::uint32_t> kept =
            first ? std::vector<std::uint32_t>{0} : listedFunctionSets();
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (first ? ", first load" : ", reload"));
            const std::uint32_t inUse = bytesInUse();
            faults::clear();
            faults::failNth(c.fault, c.n);
            std::uint32_t status = 0;
            EXPECT_FALSE(registry::loadAllProviders(kind, &status));
            EXPECT_GE(faults::callsSeen(c.fault), c.n);
            faults::clear();
            EXPECT_EQ(status, unsigned(KOV_STATUS_REGISTRY_ERROR));
            EXPECT_EQ(listedFunctionSets(), kept);
            expectConsistentList();
            const registry::PublishedReport last = registry::lastLoadReport();
            ASSERT_NE(last.report, nullptr);
            EXPECT_EQ(last.report->outcome, unsigned(KOV_STATUS_REGISTRY_ERROR));
            EXPECT_EQ(last.report->loadKind, first ? 1u : 2u);
            EXPECT_EQ(last.report->registryState, unsigned(KOV_REGISTRY_UNREADABLE));
            EXPECT_NE(last.report->registryError, 0u);
            EXPECT_EQ(last.report->loadedCount, 0u);
            if (first) {
                registry::unloadAll();
                EXPECT_FALSE(libraryLoaded(immediate));
                EXPECT_FALSE(libraryLoaded(threeSets));
            }
            EXPECT_EQ(bytesInUse(), inUse);
        }
    }
}

// The user's registry is layered over the machine's: its providers load after the machine's, and
// its keys shadow the machine's keys of the same name (case aside). One this process may not use,
// or cannot read to its end, adds and shadows nothing, and the load still succeeds with the
// machine's providers, its report saying why.
TEST_F(ProviderLoadingTest, TheUsersRegistryLoadsAfterTheMachinesAndShadowsItsKeys) {
    registerInRegistry("A", {immediate});
    registerInRegistry("Shared", {threeSets});
    registerInRegistry("shared", {providerPath("kov_test_deferring")}, platform::currentUserKey());
    struct Case {
        const char* what;
        bool elevated; // else taken for a process that is not, whatever the system says
        Fault fault;   // Fault::Count: none
        unsigned n;
        std::vector<std::uint32_t> sets; // list order: the last loaded first after the broker
        std::vector<std::uint32_t> layers;
        std::uint32_t userState;
    };
    const std::vector<std::uint32_t> machineOnly{0, 0x401, 0x100};
    const Case cases[] = {
        {"both registries", false, Fault::Count, 0, {0, 0x620, 0x100}, {0, 1, 0}, KOV_REGISTRY_READ},
        {"an elevated process", true, Fault::Count, 0, machineOnly, {0, 0, 0}, KOV_REGISTRY_IGNORED},
        // Machine: keys A, Shared and the end (3 names); then the user's first name.
        {"the user's key names", false, Fault::EnumKey, 4, machineOnly, {0, 0, 0},
         KOV_REGISTRY_UNREADABLE},
        // Machine: 2 keys opened and 2 provider keys; the user's broker key, list, provider key.
        {"the user's provider key", false, Fault::CreateKey, 7, machineOnly, {0, 0, 0},
         KOV_REGISTRY_UNREADABLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::uint32_t inUse = bytesInUse();
        faults::clear();
        faults::pretendElevation(c.elevated ? faults::Elevation::Elevated
                                            : faults::Elevation::NotElevated);
        if (c.fault != Fault::Count) faults::failNth(c.fault, c.n);
        std::uint32_t status = 1;
        EXPECT_TRUE(registry::loadAllProviders(registry::Load::Reload, &status));
        if (c.fault != Fault::Count) {
            EXPECT_GE(faults::callsSeen(c.fault), c.n);
        }
        faults::clear();
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(listedFunctionSets(), c.sets);
        std::vector<std::uint32_t> layers;
        for (const ProviderRecord* r : listedProviders()) layers.push_back(r->layer);
        EXPECT_EQ(layers, c.layers);
        expectConsistentList();
        const registry::PublishedReport last = registry::lastLoadReport();
        ASSERT_NE(last.report, nullptr);
        EXPECT_EQ(last.report->outcome, 0u);
        EXPECT_EQ(last.report->registryState, unsigned(KOV_REGISTRY_READ));
        EXPECT_EQ(last.report->userState, c.userState);
        EXPECT_EQ(last.report->userError != 0, c.userState == KOV_REGISTRY_UNREADABLE);
        EXPECT_EQ(last.report->userNote.empty(), !c.elevated);
        EXPECT_EQ(last.report->userLocation, platform::userRegistryLocation("Software\\KOV_Broker"));
        registry::unloadAll();
        EXPECT_EQ(bytesInUse(), inUse);
    }
}

} // namespace
} // namespace kov::test
