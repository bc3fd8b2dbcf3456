// dispatch::send and dispatch::deleteConfirm: routing by handle, the broker's error confirms,
// refused requests, confirm release and the send counters.
#include "support/broker_fixture.h"
#include "support/caller_view.h"

#include "dispatch/send.h"

#include <algorithm>
#include <atomic>

namespace kov::test {
namespace {

using SendTest = BrokerTest;

constexpr ProviderHandle kUnknownHandle = 0x7FFFFFF0;

TEST_F(SendTest, HandleZeroReachesTheBrokerProviderOnTheCallingThread) {
    ConfirmCollector collector(0);
    Request request(0, 0, KOV_FN_GET_STATISTICS);
    collector.use(request.get());
    EXPECT_EQ(dispatch::send(request.get()), 0);
    // Delivered before send returned, so on this thread.
    ASSERT_EQ(collector.count(), 1u);
    const auto delivery = collector.deliveries()[0];
    EXPECT_EQ(delivery.status, 0u);
    ASSERT_EQ(delivery.bytes.size(), 152u);
    EXPECT_EQ(u32(delivery.bytes.data(), 0), 152u);
    EXPECT_EQ(u32(delivery.bytes.data(), 44), 108u);
    EXPECT_EQ(request->status, 0u);
}

TEST_F(SendTest, ProviderLibraryGetsTheRequestAndTakesItsConfirmBack) {
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    const ProviderHandle handle = handleServing(0x100);
    ASSERT_NE(handle, 0u);
    const LibraryProbe library(providerPath("kov_test_immediate"));
    ASSERT_TRUE(library.valid());
    const KovProviderCounters before = library.counters();
    const StatisticsRecord stats = statistics();

    ConfirmCollector collector(1);
    Request request(handle, 0x100, 0, 44, {9, 8, 7, 6, 5});
    collector.use(request.get());
    EXPECT_EQ(dispatch::send(request.get()), 0);
    ASSERT_EQ(collector.count(), 1u);
    const auto d = collector.deliveries()[0];
    ASSERT_EQ(d.bytes.size(), 49u);
    EXPECT_EQ(u32(d.bytes.data(), 12), handle);
    EXPECT_EQ(d.status, 0u);
    EXPECT_EQ(request->status, 0u) << "cleared by the broker; the provider leaves it alone";
    EXPECT_EQ(std::vector<std::uint8_t>(d.bytes.begin() + 44, d.bytes.end()),
              (std::vector<std::uint8_t>{9, 8, 7, 6, 5}));
    EXPECT_EQ(library.counters().receives, before.receives + 1);
    EXPECT_EQ(library.counters().confirmsBuilt, before.confirmsBuilt + 1);
    EXPECT_EQ(counterAt(statistics(), 52), counterAt(stats, 52) + 1) << "sendDelivered";

    EXPECT_EQ(dispatch::deleteConfirm(d.confirm), 0);
    EXPECT_EQ(library.counters().confirmsReleased, before.confirmsReleased + 1);
    EXPECT_EQ(bytesInUse(), stats.bytesInUse) << "the provider's confirm is not the broker's";
}

TEST_F(SendTest, UnknownHandleGetsAHeaderOnlyConfirmWithStatus4) {
    loadProviders();
    for (std::uint32_t headerLength : {44u, 48u}) {
        SCOPED_TRACE(headerLength);
        ConfirmCollector collector(0);
        Request request(kUnknownHandle, 0x100, 3, headerLength, {1, 2, 3, 4});
        collector.use(request.get());
        request->reserved = 0x5A5A5A5A;
        if (headerLength == 48) std::memcpy(request.bytes() + 44, "\x11\x22\x33\x44", 4);
        const StatisticsRecord before = statistics();
        EXPECT_EQ(dispatch::send(request.get()), 0);
        ASSERT_EQ(collector.count(), 1u);
        const auto d = collector.deliveries()[0];
        ASSERT_EQ(d.bytes.size(), headerLength);
        EXPECT_EQ(u32(d.bytes.data(), 0), headerLength);
        EXPECT_EQ(u32(d.bytes.data(), 32), 4u);
        // Every other header byte is the request's, reserved and extra header bytes included.
        std::vector<std::uint8_t> expected(request.bytes(), request.bytes() + headerLength);
        std::memcpy(expected.data(), &headerLength, 4);
        EXPECT_EQ(d.bytes, expected);
        EXPECT_EQ(request->status, 4u);
        const StatisticsRecord after = statistics();
        EXPECT_EQ(counterAt(after, 44), counterAt(before, 44) + 1) << "sendCalls";
        EXPECT_EQ(counterAt(after, 52), counterAt(before, 52)) << "sendDelivered";
        EXPECT_EQ(counterAt(after, 60), counterAt(before, 60) + 1) << "sendFailed";
        EXPECT_EQ(after.bytesInUse, before.bytesInUse) << "a confirm the callback let go is released";
    }
}

TEST_F(SendTest, KeptErrorConfirmIsReleasedByDeleteConfirm) {
    loadProviders();
    const std::uint32_t inUse = bytesInUse();
    ConfirmCollector collector(7);
    Request request(kUnknownHandle);
    collector.use(request.get());
    EXPECT_EQ(dispatch::send(request.get()), 7) << "the callback's answer";
    ASSERT_EQ(collector.count(), 1u);
    EXPECT_EQ(bytesInUse(), inUse + 64) << "a 44-byte confirm lives in a 64-byte block";
    EXPECT_EQ(dispatch::deleteConfirm(collector.deliveries()[0].confirm), 0);
    EXPECT_EQ(bytesInUse(), inUse);
}

TEST_F(SendTest, DeleteConfirmFindsNoProvider) {
    alignas(4) std::uint8_t bytes[44] = {};
    auto* stranger = reinterpret_cast<BrokerMessage*>(bytes);
    stranger->totalLength = 44;
    stranger->headerLength = 44;
    // Before any send nothing is loaded, not even the broker provider that handle 0 names.
    EXPECT_EQ(dispatch::deleteConfirm(stranger), 4);
    EXPECT_EQ(dispatch::deleteConfirm(nullptr), 4);
    loadProviders();
    EXPECT_EQ(dispatch::deleteConfirm(nullptr), 4);
    stranger->provider = kUnknownHandle;
    EXPECT_EQ(dispatch::deleteConfirm(stranger), 4);
}

TEST_F(SendTest, ProviderConfirmWhoseHandleWentStaleGets4) {
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    const ProviderHandle handle = handleServing(0x100);
    ASSERT_NE(handle, 0u);
    // Keeps the library, and so the kept confirm, alive across the reload.
    const LibraryProbe library(providerPath("kov_test_immediate"));
    ConfirmCollector collector(1);
    Request request(handle, 0x100, 0);
    collector.use(request.get());
    ASSERT_EQ(dispatch::send(request.get()), 0);
    ASSERT_EQ(collector.count(), 1u);
    BrokerMessage* confirm = collector.deliveries()[0].confirm;

    Request reload(0, 0, KOV_FN_RELOAD);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(sendForConfirm(reload, &reply));
    const KovProviderCounters before = library.counters();
    EXPECT_EQ(dispatch::deleteConfirm(confirm), 4);
    EXPECT_EQ(library.counters().confirmsReleased, before.confirmsReleased) << "left untouched";
    EXPECT_EQ(releaseThroughLibrary(library, confirm), 0);
}

std::atomic<int> refusedCallbacks{0};
std::int32_t KOV_CALL countRefusedCallback(BrokerMessage*) {
    ++refusedCallbacks;
    return 0;
}

// Raw messages of exactly headerLength bytes with guard bytes behind them: nothing may be read or
// written outside the message.
TEST_F(SendTest, UnusableRequestsAreRefusedWithoutACallback) {
    loadProviders();
    EXPECT_NE(dispatch::send(nullptr), 0);

    struct Case {
        std::uint32_t headerLength;
        bool callback;
    };
    const Case cases[] = {{44, false}, {40, true}, {8, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headerLength);
        std::uint32_t words[16];
        std::memset(words, 0xCC, sizeof words);
        // The headerLength field itself ends at 12, so no shorter message exists.
        const std::uint32_t size = std::max(c.headerLength, 12u);
        std::memset(words, 0, size);
        auto* request = reinterpret_cast<BrokerMessage*>(words);
        request->totalLength = size;
        request->formatMajor = 1;
        request->headerLength = c.headerLength;
        if (c.headerLength >= 36) request->status = 0xDEADBEEF;
        if (c.headerLength >= 40 && c.callback) request->callback = countRefusedCallback;
        refusedCallbacks = 0;
        const StatisticsRecord before = statistics();

        EXPECT_NE(dispatch::send(request), 0);
        EXPECT_EQ(refusedCallbacks, 0);
        // The status field gets 25 where the message holds it.
        if (c.headerLength >= 36) {
            EXPECT_EQ(words[8], 25u);
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(words);
        for (std::uint32_t i = size; i < sizeof words; ++i)
            ASSERT_EQ(bytes[i], 0xCC) << "byte " << i;
        EXPECT_EQ(counterAt(statistics(), 60), counterAt(before, 60)) << "no error confirm";
        EXPECT_EQ(bytesInUse(), before.bytesInUse);
    }
}

// A header claimed longer than the whole request is refused like a short one by both send
// functions: an error confirm would copy the claimed header from beyond the message.
TEST_F(SendTest, HeaderLongerThanTheRequestIsRefused) {
    loadProviders();
    for (const bool sync : {false, true}) {
        for (const std::uint32_t headerLength : {45u, 100u, 0xFFFFFFF0u}) {
            SCOPED_TRACE(std::to_string(headerLength) + (sync ? " sync" : " async"));
            std::uint32_t words[32];
            std::memset(words, 0xCC, sizeof words);
            std::memset(words, 0, 44);
            auto* request = reinterpret_cast<BrokerMessage*>(words);
            request->totalLength = 44;
            request->formatMajor = 1;
            request->headerLength = headerLength;
            request->provider = kUnknownHandle; // would be answered with an error confirm
            request->callback = countRefusedCallback;
            refusedCallbacks = 0;
            const StatisticsRecord before = statistics();

            BrokerMessage* confirm = reinterpret_cast<BrokerMessage*>(&words[0]);
            if (sync) {
                EXPECT_EQ(dispatch::sendSync(request, &confirm), 0);
                EXPECT_EQ(confirm, nullptr);
            } else {
                EXPECT_NE(dispatch::send(request), 0);
            }
            EXPECT_EQ(refusedCallbacks, 0);
            EXPECT_EQ(words[8], 25u) << "status 25 in the request";
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(words);
            for (std::uint32_t i = 44; i < sizeof words; ++i)
                ASSERT_EQ(bytes[i], 0xCC) << "byte " << i;
            EXPECT_EQ(counterAt(statistics(), 60), counterAt(before, 60)) << "no error confirm";
            EXPECT_EQ(bytesInUse(), before.bytesInUse);
        }
    }
}

TEST_F(SendTest, CountersMoveExactlyForEachOutcome) {
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    const ProviderHandle library = handleServing(0x100);
    ASSERT_NE(library, 0u);
    struct Case {
        const char* what;
        ProviderHandle provider;
        std::uint32_t functionSet, functionCode;
        std::uint64_t delivered, failed;
    };
    const Case cases[] = {{"broker provider", 0, 0, KOV_FN_GET_BROKER_INFO, 1, 0},
                          {"provider library", library, 0x100, 0, 1, 0},
                          {"unknown handle", kUnknownHandle, 0x100, 0, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const StatisticsRecord before = statistics();
        Request request(c.provider, c.functionSet, c.functionCode);
        std::vector<std::uint8_t> reply;
        ASSERT_TRUE(sendForConfirm(request, &reply));
        const StatisticsRecord after = statistics();
        EXPECT_EQ(counterAt(after, 44), counterAt(before, 44) + 1);
        EXPECT_EQ(counterAt(after, 52), counterAt(before, 52) + c.delivered);
        EXPECT_EQ(counterAt(after, 60), counterAt(before, 60) + c.failed);
        EXPECT_EQ(counterAt(after, 68), counterAt(before, 68)) << "no synchronous call";
        EXPECT_EQ(after.bytesInUse, after.bytesAllocated - after.bytesFreed);
        EXPECT_EQ(after.bytesInUse, before.bytesInUse);
    }
}

TEST_F(SendTest, GetStatisticsSeesItsOwnCallButNotItsDelivery) {
    loadProviders();
    const StatisticsRecord before = statistics();
    Request request(0, 0, KOV_FN_GET_STATISTICS);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(sendForConfirm(request, &reply));
    ASSERT_EQ(reply.size(), 152u);
    EXPECT_EQ(u64(reply.data(), 44 + 44), counterAt(before, 44) + 1) << "sendCalls";
    EXPECT_EQ(u64(reply.data(), 44 + 52), counterAt(before, 52)) << "sendDelivered";
    EXPECT_EQ(counterAt(statistics(), 52), counterAt(before, 52) + 1) << "counted once the entry returned";
}

TEST_F(SendTest, ErrorConfirmWithoutMemoryGivesTheCallbackNull) {
    loadProviders();
    ConfirmCollector collector(0);
    const NullDeliveriesTo nulls(collector);
    Request request(kUnknownHandle);
    collector.use(request.get());
    const StatisticsRecord before = statistics();
    EXPECT_TRUE(sendWithoutMemory(request, collector, 4)) << "the callback answers null with 0";
    const StatisticsRecord after = statistics();
    EXPECT_EQ(counterAt(after, 60), counterAt(before, 60) + 1) << "sendFailed";
    EXPECT_EQ(after.bytesAllocated, before.bytesAllocated);
    EXPECT_EQ(after.bytesInUse, before.bytesInUse);
}

} // namespace
} // namespace kov::test
