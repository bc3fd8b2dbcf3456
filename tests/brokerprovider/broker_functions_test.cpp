// The broker function set (0) at handle 0: header checks, ListSubsystems, GetBrokerInfo,
// GetStatistics, Reload, and every reply without memory.
#include "support/broker_fixture.h"
#include "support/caller_view.h"

#include "support/provider_probe.h"

#include "dispatch/send.h"
#include "registry/crash_marks.h"

#include <cctype>

namespace kov::test {
namespace {

using BrokerFunctionsTest = BrokerTest;

// "YYYY-MM-DDTHH:MM:SS.mmm+hhmm" (or -hhmm), no terminator.
::testing::AssertionResult isTimestamp(const std::uint8_t* field) {
    const std::string text(reinterpret_cast<const char*>(field), 28);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        bool fits = std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (i == 4 || i == 7) fits = c == '-';
        if (i == 10) fits = c == 'T';
        if (i == 13 || i == 16) fits = c == ':';
        if (i == 19) fits = c == '.';
        if (i == 23) fits = c == '+' || c == '-';
        if (!fits) return ::testing::AssertionFailure() << "\"" << text << "\" at " << i;
    }
    return ::testing::AssertionSuccess();
}

// The checks run in order: format version, function set, set version, function code.
TEST_F(BrokerFunctionsTest, HeaderChecksAnswerWithAHeaderOnlyConfirm) {
    struct Case {
        std::uint16_t formatMajor, formatMinor;
        std::uint32_t functionSet;
        std::uint16_t setMajor, setMinor;
        std::uint32_t functionCode;
        std::uint32_t status;
    };
    const Case cases[] = {
        {2, 0, 0, 1, 0, 0, 25},      {2, 0, 7, 1, 0, 0, 25},      {2, 0, 0xFFFF, 1, 0, 4, 25},
        {1, 1, 0, 1, 0, 2, 25},      {1, 0, 7, 1, 0, 0, 5},       {1, 0, 7, 2, 0, 9, 5},
        {1, 0, 0x100, 1, 0, 0, 5},   {1, 0, 0, 1, 0, 6, 6},       {1, 0, 0, 1, 0, 0xFFFFFFFF, 6},
        {1, 0, 0, 2, 0, 0, 25},      {1, 0, 0, 1, 1, 9, 25},      {1, 0, 0, 2, 0, 5, 25},
    };
    loadProviders();
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "format " << c.formatMajor << "." << c.formatMinor
                                          << " set " << c.functionSet << " v" << c.setMajor
                                          << "." << c.setMinor << " code " << c.functionCode);
        for (std::uint32_t headerLength : {44u, 48u}) {
            Request request(0, c.functionSet, c.functionCode, headerLength, {1, 2, 3});
            request->formatMajor = c.formatMajor;
            request->formatMinor = c.formatMinor;
            request->setMajor = c.setMajor;
            request->setMinor = c.setMinor;
            request->reserved = 0x01020304;
            const std::uint32_t inUse = bytesInUse();
            std::vector<std::uint8_t> confirm;
            ASSERT_TRUE(sendForConfirm(request, &confirm));
            ASSERT_EQ(confirm.size(), headerLength);
            EXPECT_EQ(u32(confirm.data(), 32), c.status);
            EXPECT_EQ(request->status, c.status);
            std::vector<std::uint8_t> expected(request.bytes(), request.bytes() + headerLength);
            std::memcpy(expected.data(), &headerLength, 4);
            EXPECT_EQ(confirm, expected);
            EXPECT_EQ(bytesInUse(), inUse);
        }
    }
}

TEST_F(BrokerFunctionsTest, ListSubsystemsWithOnlyTheBrokerProvider) {
    Request request(0, 0, KOV_FN_LIST_SUBSYSTEMS);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(sendForConfirm(request, &reply));
    ASSERT_EQ(reply.size(), 44u + 414u);
    EXPECT_EQ(u32(reply.data(), 0), 458u);
    EXPECT_EQ(u32(reply.data(), 32), 0u);
    const std::uint8_t* p = reply.data() + 44;
    EXPECT_EQ(u32(p, 0), 414u) << "100 + the descriptor's 314";
    EXPECT_EQ(u16(p, 4), 1u);
    EXPECT_EQ(u16(p, 6), 0u);
    EXPECT_EQ(u32(p, 8), 0u);
    EXPECT_EQ(u32(p, 12), 0u);
    EXPECT_EQ(u32(p, 16), 1u);

    const std::uint8_t* d = p + 20;
    EXPECT_EQ(u32(d, 0), 0u) << "the last descriptor";
    EXPECT_EQ(u16(d, 4), 1u);
    EXPECT_EQ(u16(d, 6), 0u);
    EXPECT_EQ(u32(d, 8), 1u);
    EXPECT_TRUE(isTimestamp(d + 12));
    EXPECT_EQ(u32(d, 40), 100u);
    EXPECT_EQ(u32(d, 44), 176u);
    EXPECT_EQ(u32(d, 48), 0u);
    EXPECT_EQ(u32(d, 52), 242u);
    EXPECT_EQ(itemText(d, 100), "Copyright (c) 2026 KOV Broker team.");
    EXPECT_EQ(itemText(d, 176), "KOV Broker open-source project");
    EXPECT_EQ(itemText(d, 242), "KOV Broker message broker 1.0");
    EXPECT_EQ(u32(d, 56), 2u);
    const ProviderHandle handle = u32(d, 60 + 16);
    EXPECT_NE(handle, 0u);
    const std::uint32_t entries[][4] = {{60, 20, 0, 0}, {80, 0, 0xFFFF, 0}};
    for (const auto& e : entries) {
        EXPECT_EQ(u32(d, e[0]), e[1]) << "distance of the entry at " << e[0];
        EXPECT_EQ(u32(d, e[0] + 4), 1u);
        EXPECT_EQ(u32(d, e[0] + 8), e[2]);
        EXPECT_EQ(u16(d, e[0] + 12), 1u);
        EXPECT_EQ(u16(d, e[0] + 14), 0u);
        EXPECT_EQ(u32(d, e[0] + 16), handle);
    }
    for (std::uint32_t i = 20 + 314; i < 414; ++i) ASSERT_EQ(p[i], 0) << "payload byte " << i;

    // The listed handle reaches the broker provider like handle 0.
    Request statistics(handle, 0, KOV_FN_GET_STATISTICS);
    std::vector<std::uint8_t> answer;
    ASSERT_TRUE(sendForConfirm(statistics, &answer));
    EXPECT_EQ(answer.size(), 152u);
}

TEST_F(BrokerFunctionsTest, ListSubsystemsDescribesEveryProviderWithItsHandle) {
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    registerInRegistry("Three", {providerPath("kov_test_three_sets")});
    Request request(0, 0, KOV_FN_LIST_SUBSYSTEMS);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(sendForConfirm(request, &reply));
    const std::uint8_t* p = reply.data() + 44;
    // Library descriptors: 60 fixed bytes, 20 per set, then items of 4 + 2 x (chars + 1).
    const std::uint32_t immediate = 60 + 20 + 14 + 24 + 52;
    const std::uint32_t three = 60 + 60 + 14 + 24 + 54;
    ASSERT_EQ(reply.size(), 44u + 100 + 314 + immediate + three);
    EXPECT_EQ(u32(p, 0), 100u + 314 + immediate + three);
    ASSERT_EQ(u32(p, 16), 3u);
    EXPECT_EQ(u32(p, 20), 314u) << "the broker provider comes first, with its size";
    EXPECT_EQ(u32(p, 20 + 60 + 8), 0u);

    std::uint32_t at = 20 + 314;
    for (int i = 0; i < 2; ++i) {
        const std::uint8_t* d = p + at;
        const bool isImmediate = u32(d, 56) == 1;
        SCOPED_TRACE(isImmediate ? "immediate" : "three sets");
        const std::uint32_t size = isImmediate ? immediate : three;
        EXPECT_EQ(u32(d, 0), i == 0 ? size : 0u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 12), 28),
                  "2024-01-02T03:04:05.678+0100");
        // String offsets count from the descriptor's own start.
        EXPECT_EQ(itemText(d, u32(d, 52)),
                  isImmediate ? "Immediate test provider" : "Three sets test provider");
        EXPECT_EQ(itemText(d, u32(d, 44)), "KOV tests");
        at += size;
    }
    EXPECT_EQ(at + 80, u32(p, 0));

    // Every entry's handle reaches the provider that serves the set.
    const LibraryProbe immediateLibrary(providerPath("kov_test_immediate"));
    const LibraryProbe threeLibrary(providerPath("kov_test_three_sets"));
    const std::vector<ListedSet> sets = listedSets();
    ASSERT_EQ(sets.size(), 2u + 1 + 3);
    for (const ListedSet& set : sets) {
        if (set.functionSet == 0 || set.functionSet == 0xFFFF) continue;
        SCOPED_TRACE(set.functionSet);
        const LibraryProbe& library = set.functionSet == 0x100 ? immediateLibrary : threeLibrary;
        const std::int32_t receives = library.counters().receives;
        Request echo(set.provider, set.functionSet, 0, 44, {42});
        std::vector<std::uint8_t> confirm;
        ASSERT_TRUE(sendForConfirm(echo, &confirm));
        EXPECT_EQ(u32(confirm.data(), 12), set.provider);
        EXPECT_EQ(confirm.back(), 42);
        EXPECT_EQ(library.counters().receives, receives + 1);
    }
}

TEST_F(BrokerFunctionsTest, GetBrokerInfoLaysOutTheThreeTexts) {
    Request request(0, 0, KOV_FN_GET_BROKER_INFO);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(sendForConfirm(request, &reply));
    ASSERT_EQ(reply.size(), 44u + 278u);
    EXPECT_EQ(u32(reply.data(), 0), 322u);
    const std::uint8_t* p = reply.data() + 44;
    const std::uint32_t fields[][2] = {{0, 278}, {8, 0}, {12, 0}, {20, 1},
                                       {52, 68}, {56, 144}, {60, 0}, {64, 210}};
    for (const auto& f : fields) EXPECT_EQ(u32(p, f[0]), f[1]) << "payload offset " << f[0];
    const std::uint16_t versions[][2] = {{4, 1}, {6, 0}, {16, 1}, {18, 0}};
    for (const auto& v : versions) EXPECT_EQ(u16(p, v[0]), v[1]) << "payload offset " << v[0];
    EXPECT_TRUE(isTimestamp(p + 24));
    EXPECT_EQ(itemText(p, 68), "Copyright (c) 2026 KOV Broker team.");
    EXPECT_EQ(itemText(p, 144), "KOV Broker open-source project");
    EXPECT_EQ(itemText(p, 210), "KOV Broker message broker 1.0");
    EXPECT_EQ(u32(p, 210), 30u);
    EXPECT_EQ(u32(p, 274), 0u) << "four spare bytes";
}

TEST_F(BrokerFunctionsTest, GetStatisticsCopiesTheRecordAfterAllocatingTheReply) {
    struct Case {
        std::uint32_t headerLength, replySize, blockSize;
    };
    const Case cases[] = {{44, 152, 168}, {48, 156, 176}};
    loadProviders();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headerLength);
        // Some traffic first, so the totals have something to add up.
        Request unknown(0x7FFFFFF0);
        std::vector<std::uint8_t> ignored;
        ASSERT_TRUE(sendForConfirm(unknown, &ignored));
        const StatisticsRecord before = statistics();
        Request request(0, 0, KOV_FN_GET_STATISTICS, c.headerLength);
        std::vector<std::uint8_t> reply;
        ASSERT_TRUE(sendForConfirm(request, &reply));
        ASSERT_EQ(reply.size(), c.replySize);
        const std::uint8_t* r = reply.data() + c.headerLength;
        EXPECT_EQ(u32(r, 0), 108u);
        EXPECT_EQ(u16(r, 4), 1u);
        EXPECT_EQ(u16(r, 6), 0u);
        EXPECT_EQ(u32(r, 8), 0u);
        EXPECT_EQ(u32(r, 12), 0u);
        EXPECT_EQ(u32(r, 16), 2u) << "setCount with no library";
        EXPECT_EQ(u64(r, 20), u64(r, 44) + u64(r, 68)) << "totalCalls";
        EXPECT_EQ(u64(r, 28), u64(r, 52) + u64(r, 76)) << "totalDelivered";
        EXPECT_EQ(u64(r, 36), u64(r, 60) + u64(r, 84)) << "totalFailed";
        EXPECT_GE(u64(r, 60), 1u);
        EXPECT_EQ(u32(r, 92), before.bytesAllocated + c.blockSize);
        EXPECT_EQ(u32(r, 96), before.bytesInUse + c.blockSize);
        EXPECT_EQ(u32(r, 100), before.bytesFreed);
        EXPECT_EQ(u32(r, 96), u32(r, 92) - u32(r, 100));
        EXPECT_EQ(u32(r, 104), 0u);
    }
}

// Broker function 3 and common function 2 do the same.
TEST_F(BrokerFunctionsTest, ReloadRebuildsTheListAndInvalidatesOldHandles) {
    struct Case {
        std::uint32_t functionSet, functionCode;
    };
    const Case cases[] = {{0, KOV_FN_RELOAD}, {0xFFFF, KOV_COMMON_FN_RELOAD}};
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.functionSet);
        const ProviderHandle old = handleServing(0x100);
        const ProviderHandle oldBroker = handleServing(0);
        ASSERT_NE(old, 0u);
        const std::uint32_t inUse = bytesInUse();

        ConfirmCollector collector(1);
        Request reload(0, c.functionSet, c.functionCode, 48);
        collector.use(reload.get());
        EXPECT_EQ(dispatch::send(reload.get()), 0);
        ASSERT_EQ(collector.count(), 1u);
        const auto d = collector.deliveries()[0];
        ASSERT_EQ(d.bytes.size(), 48u);
        EXPECT_EQ(d.status, 0u);
        EXPECT_EQ(reload->status, 0u);
        EXPECT_EQ(dispatch::deleteConfirm(d.confirm), 0);
        EXPECT_EQ(bytesInUse(), inUse) << "the new list takes what the old one did";

        for (ProviderHandle stale : {old, oldBroker}) {
            Request request(stale, 0x100, 0);
            std::vector<std::uint8_t> confirm;
            ASSERT_TRUE(sendForConfirm(request, &confirm));
            EXPECT_EQ(u32(confirm.data(), 32), 4u);
        }
        Request statistics(0, 0, KOV_FN_GET_STATISTICS);
        std::vector<std::uint8_t> reply;
        ASSERT_TRUE(sendForConfirm(statistics, &reply));
        ASSERT_EQ(reply.size(), 152u);
        EXPECT_EQ(u32(reply.data(), 44 + 16), 3u) << "setCount: both sets and the library's";
        const std::vector<ListedSet> sets = listedSets();
        ASSERT_EQ(sets.size(), 3u);
        EXPECT_EQ(sets[0].functionSet, 0u) << "the broker provider heads the new list";
        const ProviderHandle fresh = handleServing(0x100);
        EXPECT_NE(fresh, 0u);
        EXPECT_NE(fresh, old);
    }
}

// The reply of a Reload sent to the broker provider's own handle names a provider that is gone
// afterwards; it is the broker's block all the same.
TEST_F(BrokerFunctionsTest, ReloadReplyToTheFormerHandleIsStillReleased) {
    const ProviderHandle broker = handleServing(0);
    ASSERT_NE(broker, 0u);
    const std::uint32_t inUse = bytesInUse();
    ConfirmCollector collector(1);
    Request reload(broker, 0, KOV_FN_RELOAD);
    collector.use(reload.get());
    EXPECT_EQ(dispatch::send(reload.get()), 0);
    ASSERT_EQ(collector.count(), 1u);
    EXPECT_EQ(collector.deliveries()[0].status, 0u);
    EXPECT_EQ(u32(collector.deliveries()[0].bytes.data(), 12), broker);
    EXPECT_EQ(dispatch::deleteConfirm(collector.deliveries()[0].confirm), 0);
    EXPECT_EQ(bytesInUse(), inUse);
}

// GetLoadReport after a load that met each kind of entry that does not load, then after a Reload
// the registry failed: every field at its literal offset.
TEST_F(BrokerFunctionsTest, GetLoadReportNamesEveryEntryThatDidNotLoad) {
    const std::string missingExport = providerPath("kov_test_missing_export");
    const std::string threeSets = providerPath("kov_test_three_sets");
    registerInRegistry("A", {missingExport});
    registerInRegistry("B", {providerPath("kov_test_immediate")});
    registerInRegistry("C", {std::string(450, 'x')});
    registerInRegistry("D", {threeSets});
    const std::string marks = registry::CrashMarks::folderForRegistry();
    ASSERT_FALSE(marks.empty());
    registry::CrashMark crashed;
    crashed.state = registry::MarkState::Crashed;
    crashed.key = "D";
    crashed.path = threeSets;
    crashed.processId = 77;
    crashed.program = "host";
    crashed.time = "2024-01-02T03:04:05.678+0100";
    ASSERT_EQ(platform::writePrivateFile(platform::joinPath(marks, "crashed-1.mark"),
                                         registry::encodeMark(crashed)), 0);

    Request request(0, 0, KOV_FN_GET_LOAD_REPORT);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(sendForConfirm(request, &reply));
    registry::CrashMarks(marks).enable("D");
    ASSERT_GE(reply.size(), 44u + 184u);
    EXPECT_EQ(u32(reply.data(), 32), 0u);
    const std::uint8_t* p = reply.data() + 44;
    const std::uint32_t length = u32(p, 0);
    EXPECT_EQ(length, reply.size() - 44);
    EXPECT_EQ(u16(p, 4), 1u);
    EXPECT_EQ(u16(p, 6), 0u);
    EXPECT_EQ(u32(p, 8), 0u) << "outcome: the whole list was read";
    EXPECT_EQ(u32(p, 12), 1u) << "the first load";
    EXPECT_EQ(u32(p, 16), 1u) << "registry read";
    EXPECT_EQ(u32(p, 20), 0u);
    ASSERT_EQ(u32(p, 32), 3u);
    EXPECT_EQ(u32(p, 24), 184u) << "the first text follows the three entries";
    EXPECT_EQ(itemText(p, 184), platform::registryLocation("Software\\KOV_Broker"));
    EXPECT_EQ(u32(p, 28), 1u) << "libraries listed";
    EXPECT_EQ(u32(p, 36), 100u);
    EXPECT_EQ(u32(p, 40), 28u);
    EXPECT_EQ(u32(p, 44), 0u) << "crash marks kept";
    EXPECT_EQ(itemText(p, u32(p, 48)), marks);
    EXPECT_EQ(u32(p, 52), 0u) << "nothing went wrong with them";
    EXPECT_TRUE(isTimestamp(p + 56));
    EXPECT_EQ(u32(p, 84), 0u) << "the user's registry: nothing registered there";
    EXPECT_EQ(u32(p, 88), 0u);
    EXPECT_EQ(itemText(p, u32(p, 92)), platform::userRegistryLocation("Software\\KOV_Broker"));
    EXPECT_EQ(u32(p, 96), 0u) << "no note: it was used";
    const struct {
        std::uint32_t why, status;
        const char* key;
        std::string path;
        const char* reason;
        std::uint32_t processId;
    } entries[] = {
        {1, 10, "A", missingExport, "does not export kov_DeleteReceive", 0},
        {3, 8, "C", "", "longer than 399 characters", 0},
        {2, 10, "D", threeSets, "process 77 (host) ended while loading it", 77},
    };
    std::uint32_t end = 0;
    for (std::uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        const std::uint32_t at = 100 + 28 * i;
        EXPECT_EQ(u32(p, at), entries[i].why);
        EXPECT_EQ(u32(p, at + 4), entries[i].status);
        EXPECT_EQ(itemText(p, u32(p, at + 8)), entries[i].key);
        EXPECT_EQ(u32(p, at + 12) == 0 ? "" : itemText(p, u32(p, at + 12)), entries[i].path);
        EXPECT_NE(itemText(p, u32(p, at + 16)).find(entries[i].reason), std::string::npos);
        EXPECT_EQ(u32(p, at + 20), entries[i].processId);
        EXPECT_EQ(u32(p, at + 24), 0u) << "the machine's registry";
        end = u32(p, at + 16) + 4 + 2 * u32(p, u32(p, at + 16));
    }
    EXPECT_EQ(end, length) << "the last text ends the payload";

    // A Reload the registry fails: status 8, the old list kept, and the report says so.
    faults::failNth(faults::Fault::EnumKey, 1);
    Request reload(0, 0, KOV_FN_RELOAD);
    std::vector<std::uint8_t> status;
    ASSERT_TRUE(sendForConfirm(reload, &status));
    faults::clear();
    EXPECT_EQ(u32(status.data(), 32), unsigned(KOV_STATUS_REGISTRY_ERROR));
    Request again(0, 0, KOV_FN_GET_LOAD_REPORT);
    ASSERT_TRUE(sendForConfirm(again, &reply));
    p = reply.data() + 44;
    EXPECT_EQ(u32(p, 8), unsigned(KOV_STATUS_REGISTRY_ERROR));
    EXPECT_EQ(u32(p, 12), 2u) << "a reload";
    EXPECT_EQ(u32(p, 16), 2u) << "registry unreadable";
    EXPECT_NE(u32(p, 20), 0u) << "with its error";
    EXPECT_EQ(u32(p, 28), 0u);
    EXPECT_EQ(u32(p, 32), 0u);
    EXPECT_EQ(u32(p, 36), 0u) << "no entries";
    EXPECT_EQ(listedProviders().size(), 2u) << "the list of the first load stays";
}

TEST_F(BrokerFunctionsTest, RepliesWithoutMemoryGiveNullAndStatus3) {
    struct Case {
        const char* what;
        std::uint32_t functionSet, functionCode;
    };
    const Case cases[] = {{"ListSubsystems", 0, KOV_FN_LIST_SUBSYSTEMS},
                          {"GetBrokerInfo", 0, KOV_FN_GET_BROKER_INFO},
                          {"GetStatistics", 0, KOV_FN_GET_STATISTICS},
                          {"RegisterProvider", 0, KOV_FN_REGISTER_PROVIDER},
                          {"GetLoadReport", 0, KOV_FN_GET_LOAD_REPORT},
                          {"GetLanguage", 0xFFFF, KOV_COMMON_FN_GET_LANGUAGE}};
    loadProviders();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConfirmCollector collector(1);
        const NullDeliveriesTo nulls(collector);
        Request request(0, c.functionSet, c.functionCode);
        collector.use(request.get());
        const StatisticsRecord before = statistics();
        EXPECT_TRUE(sendWithoutMemory(request, collector, 3));
        EXPECT_EQ(statistics().bytesInUse, before.bytesInUse);
        EXPECT_EQ(statistics().bytesAllocated, before.bytesAllocated);
    }
}

} // namespace
} // namespace kov::test
