// dispatch::sendSync: waiting for the confirm of any provider, its own error confirms, null
// deliveries, and many waiting threads at once.
#include "support/broker_fixture.h"
#include "support/caller_view.h"

#include "dispatch/send.h"

#include <atomic>
#include <thread>
#include <vector>

namespace kov::test {
namespace {

constexpr ProviderHandle kUnknownHandle = 0x7FFFFFF0;

std::atomic<int> callerCallbacks{0};

std::int32_t KOV_CALL callerCallback(BrokerMessage*) {
    ++callerCallbacks;
    return 0;
}

struct SyncResult {
    std::int32_t result;
    BrokerMessage* confirm;
};

// Every call goes through call(): the caller's own callback sits in the request (it must never
// run) and syncWaiting must be back at its value once the call has returned.
class SendSyncTest : public BrokerTest {
protected:
    void SetUp() override {
        BrokerTest::SetUp();
        callerCallbacks = 0;
    }
    void TearDown() override {
        EXPECT_EQ(callerCallbacks, 0) << "the caller's callback ran";
        BrokerTest::TearDown();
    }

    SyncResult call(Request& request) {
        request->callback = callerCallback;
        const std::uint32_t waiting = statistics().syncWaiting;
        BrokerMessage* confirm = reinterpret_cast<BrokerMessage*>(&request); // must be overwritten
        const std::int32_t result = dispatch::sendSync(request.get(), &confirm);
        EXPECT_EQ(statistics().syncWaiting, waiting);
        return {result, confirm};
    }
};

TEST_F(SendSyncTest, HandleZeroReturnsTheReplyWhichStaysUntilDeleted) {
    loadProviders();
    const StatisticsRecord before = statistics();
    Request request(0, 0, KOV_FN_GET_STATISTICS);
    const SyncResult r = call(request);
    EXPECT_NE(r.result, 0);
    ASSERT_NE(r.confirm, nullptr);
    const auto* reply = reinterpret_cast<const std::uint8_t*>(r.confirm);
    ASSERT_EQ(u32(reply, 0), 152u);
    EXPECT_EQ(u32(reply, 32), 0u);
    EXPECT_EQ(request->status, 0u);
    // The reply sees its own call as made, handed over and waiting.
    EXPECT_EQ(u64(reply, 44 + 68), counterAt(before, 68) + 1) << "syncCalls";
    EXPECT_EQ(u64(reply, 44 + 76), counterAt(before, 76) + 1) << "syncDelivered";
    EXPECT_GE(u32(reply, 44 + 104), 1u) << "syncWaiting";
    EXPECT_EQ(u32(reply, 44 + 104), before.syncWaiting + 1);

    EXPECT_EQ(bytesInUse(), before.bytesInUse + 168) << "kept for the caller";
    EXPECT_EQ(dispatch::deleteConfirm(r.confirm), 0);
    EXPECT_EQ(bytesInUse(), before.bytesInUse);
}

TEST_F(SendSyncTest, WaitsForAProviderThatConfirmsLaterFromItsOwnThread) {
    registerInRegistry("Threaded", {providerPath("kov_test_threaded")});
    const ProviderHandle handle = handleServing(0x200);
    ASSERT_NE(handle, 0u);
    const LibraryProbe library(providerPath("kov_test_threaded"));
    const KovProviderCounters before = library.counters();
    std::vector<std::uint8_t> payload;
    appendU32(payload, 100); // milliseconds before the provider confirms
    appendU32(payload, 0xC0FFEE);
    Request request(handle, 0x200, 0, 44, payload);
    const SyncResult r = call(request);
    EXPECT_NE(r.result, 0);
    ASSERT_NE(r.confirm, nullptr);
    EXPECT_EQ(r.confirm->totalLength, 52u);
    EXPECT_EQ(r.confirm->status, 0u);
    EXPECT_EQ(r.confirm->provider, handle);
    EXPECT_EQ(u32(r.confirm, 48), 0xC0FFEEu);
    EXPECT_EQ(library.counters().confirmsBuilt, before.confirmsBuilt + 1);
    EXPECT_EQ(dispatch::deleteConfirm(r.confirm), 0);
    EXPECT_EQ(library.counters().confirmsReleased, before.confirmsReleased + 1);
}

// A provider that refuses leaves the caller nothing, even when it confirmed before refusing:
// that confirm goes back to the provider that built it.
TEST_F(SendSyncTest, RefusingProviderReturnsAtOnceWithNull) {
    registerInRegistry("Refusing", {providerPath("kov_test_refusing")});
    const ProviderHandle handle = handleServing(0x300);
    ASSERT_NE(handle, 0u);
    const LibraryProbe library(providerPath("kov_test_refusing"));
    for (const std::uint32_t code : {0u, 1u}) {
        SCOPED_TRACE(code == 0 ? "refused only" : "confirmed, then refused");
        const StatisticsRecord before = statistics();
        const KovProviderCounters built = library.counters();
        Request request(handle, 0x300, code);
        const SyncResult r = call(request);
        EXPECT_NE(r.result, 0);
        EXPECT_EQ(r.confirm, nullptr);
        EXPECT_EQ(request->status, 0u) << "as the provider left it";
        const StatisticsRecord after = statistics();
        EXPECT_EQ(counterAt(after, 68), counterAt(before, 68) + 1);
        EXPECT_EQ(counterAt(after, 76), counterAt(before, 76) + 1) << "handed over";
        EXPECT_EQ(counterAt(after, 84), counterAt(before, 84));
        EXPECT_EQ(after.bytesInUse, before.bytesInUse);
        const KovProviderCounters now = library.counters();
        EXPECT_EQ(now.confirmsBuilt - built.confirmsBuilt, code);
        EXPECT_EQ(now.confirmsReleased - built.confirmsReleased, code) << "handed back";
    }
}

// Status 4 (no such provider) and status 2 (no wait event): the error confirm is the request's
// header as it is after the call, handed back without any callback.
TEST_F(SendSyncTest, ErrorPathsHandBackAHeaderOnlyConfirm) {
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    const ProviderHandle library = handleServing(0x100);
    ASSERT_NE(library, 0u);
    struct Case {
        const char* what;
        ProviderHandle provider;
        bool eventFails;
        std::uint32_t status;
    };
    const Case cases[] = {{"unknown handle", kUnknownHandle, false, 4},
                          {"no event for the broker provider", 0, true, 2},
                          {"no event for a library", library, true, 2}};
    int marker = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request request(c.provider, 0x100, 1, 48, {1, 2, 3, 4});
        request->reserved = 0xA5A5A5A5;
        request->callbackData = &marker;
        std::memcpy(request.bytes() + 44, "\x44\x33\x22\x11", 4);
        const StatisticsRecord before = statistics();
        if (c.eventFails) faults::failNth(faults::Fault::CreateEvent, 1);
        const SyncResult r = call(request);
        faults::clear();
        EXPECT_NE(r.result, 0);
        ASSERT_NE(r.confirm, nullptr);
        EXPECT_EQ(request->status, c.status);
        EXPECT_EQ(request->callbackData, &marker);
        const auto* confirm = reinterpret_cast<const std::uint8_t*>(r.confirm);
        EXPECT_EQ(u32(confirm, 0), 48u);
        EXPECT_EQ(u32(confirm, 32), c.status);
        EXPECT_NE(r.confirm->callback, callerCallback) << "the broker's own callback";
        EXPECT_EQ(r.confirm->callback, request->callback);
        EXPECT_EQ(std::memcmp(confirm + 4, request.bytes() + 4, 44), 0) << "bytes 4 to 47";

        const StatisticsRecord after = statistics();
        EXPECT_EQ(counterAt(after, 68), counterAt(before, 68) + 1) << "syncCalls";
        EXPECT_EQ(counterAt(after, 76), counterAt(before, 76)) << "syncDelivered";
        EXPECT_EQ(counterAt(after, 84), counterAt(before, 84) + 1) << "syncFailed";
        EXPECT_EQ(after.bytesInUse, before.bytesInUse + 64) << "48 bytes in a 64-byte block";
        EXPECT_EQ(dispatch::deleteConfirm(r.confirm), 0);
        EXPECT_EQ(bytesInUse(), before.bytesInUse);
    }
}

TEST_F(SendSyncTest, ErrorConfirmWithoutMemoryGivesNullAndStatus3) {
    loadProviders();
    struct Case {
        const char* what;
        ProviderHandle provider;
        bool eventFails;
    };
    const Case cases[] = {{"unknown handle", kUnknownHandle, false}, {"no event", 0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request request(c.provider, 0, KOV_FN_GET_STATISTICS);
        const StatisticsRecord before = statistics();
        if (c.eventFails) faults::failNth(faults::Fault::CreateEvent, 1);
        faults::failNth(faults::Fault::GlobalAlloc, 1);
        const SyncResult r = call(request);
        faults::clear();
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.confirm, nullptr);
        EXPECT_EQ(request->status, 3u);
        const StatisticsRecord after = statistics();
        EXPECT_EQ(counterAt(after, 84), counterAt(before, 84) + 1) << "syncFailed";
        EXPECT_EQ(after.bytesInUse, before.bytesInUse);
    }
}

// A provider without memory for its confirm delivers null, with status 3 in the request; the
// waiting call must end with null rather than wait for ever.
TEST_F(SendSyncTest, NullDeliveredByTheProviderEndsTheWait) {
    registerInRegistry("Null", {providerPath("kov_test_null_confirm")});
    registerInRegistry("Threaded", {providerPath("kov_test_threaded")});
    loadProviders();
    const ProviderHandle nullConfirm = handleServing(0x500);
    const ProviderHandle threaded = handleServing(0x200);
    ASSERT_NE(nullConfirm, 0u);
    ASSERT_NE(threaded, 0u);
    struct Case {
        const char* what;
        ProviderHandle provider;
        std::uint32_t functionSet, functionCode;
    };
    const Case cases[] = {{"calling thread, null-confirm library", nullConfirm, 0x500, 0},
                          {"provider thread", threaded, 0x200, 1},
                          {"calling thread, threaded library", threaded, 0x200, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> delay;
        appendU32(delay, 30);
        Request request(c.provider, c.functionSet, c.functionCode, 44, delay);
        const StatisticsRecord before = statistics();
        const SyncResult r = call(request);
        EXPECT_NE(r.result, 0);
        EXPECT_EQ(r.confirm, nullptr);
        EXPECT_EQ(request->status, 3u);
        EXPECT_EQ(statistics().bytesInUse, before.bytesInUse);
    }
}

// Each thread sends requests marked by its own reserved value and payload; every confirm must be
// its own request's.
TEST_F(SendSyncTest, ConcurrentCallsEachGetTheirOwnConfirm) {
    registerInRegistry("Threaded", {providerPath("kov_test_threaded")});
    const ProviderHandle threaded = handleServing(0x200);
    ASSERT_NE(threaded, 0u);
    const LibraryProbe library(providerPath("kov_test_threaded"));
    const KovProviderCounters libraryBefore = library.counters();
    const StatisticsRecord before = statistics();

    constexpr std::uint32_t kThreads = 8;
    constexpr std::uint32_t kRounds = 25;
    std::atomic<std::uint32_t> wrong{0};
    std::atomic<std::uint32_t> answered{0};
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint32_t i = 0; i < kRounds; ++i) {
                const std::uint32_t mark = (t << 16) | i;
                const bool toBroker = (t + i) % 2 == 0;
                std::vector<std::uint8_t> payload;
                appendU32(payload, i % 3); // a few milliseconds of delay
                appendU32(payload, mark);
                Request request = toBroker ? Request(0, 0, KOV_FN_GET_STATISTICS)
                                           : Request(threaded, 0x200, 0, 44, payload);
                request->reserved = mark;
                request->callback = callerCallback;
                BrokerMessage* confirm = nullptr;
                if (dispatch::sendSync(request.get(), &confirm) == 0 || confirm == nullptr) {
                    ++wrong;
                    continue;
                }
                ++answered;
                const bool own = confirm->reserved == mark && confirm->status == 0 &&
                                 (toBroker ? confirm->totalLength == 152 && confirm->functionCode == 2
                                           : confirm->totalLength == 52 && u32(confirm, 48) == mark);
                if (!own) ++wrong;
                if (dispatch::deleteConfirm(confirm) != 0) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(answered, kThreads * kRounds);
    const StatisticsRecord after = statistics();
    EXPECT_EQ(counterAt(after, 68), counterAt(before, 68) + kThreads * kRounds);
    EXPECT_EQ(after.syncWaiting, before.syncWaiting);
    EXPECT_EQ(after.bytesInUse, before.bytesInUse);
    const KovProviderCounters libraryAfter = library.counters();
    EXPECT_EQ(libraryAfter.confirmsBuilt - libraryBefore.confirmsBuilt,
              static_cast<std::int32_t>(kThreads * kRounds / 2));
    EXPECT_EQ(libraryAfter.confirmsReleased - libraryBefore.confirmsReleased,
              libraryAfter.confirmsBuilt - libraryBefore.confirmsBuilt);
}

// The first 128 threads' slots each own a call entry; threads beyond them share the others, taken
// by compare-and-swap. All threads are alive at once, so some must share, and every call still
// gets its own answer.
TEST_F(SendSyncTest, ThreadsBeyondTheOwnedEntriesShareTheOthers) {
    loadProviders();
    constexpr std::uint32_t kThreads = 140;
    constexpr std::uint32_t kRounds = 3;
    std::atomic<std::uint32_t> arrived{0}, done{0}, wrong{0};
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ++arrived;
            while (arrived.load() != kThreads) std::this_thread::yield();
            for (std::uint32_t i = 0; i < kRounds; ++i) {
                Request request(0, 0, KOV_FN_GET_STATISTICS);
                request->reserved = (t << 8) | i;
                request->callback = callerCallback;
                BrokerMessage* confirm = nullptr;
                if (dispatch::sendSync(request.get(), &confirm) != 1 || confirm == nullptr ||
                    confirm->reserved != ((t << 8) | i) || confirm->status != 0)
                    ++wrong;
                if (confirm != nullptr && dispatch::deleteConfirm(confirm) != 0) ++wrong;
            }
            ++done;
            while (done.load() != kThreads) std::this_thread::yield(); // every slot stays taken
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(statistics().syncWaiting, 0u);
}

} // namespace
} // namespace kov::test
