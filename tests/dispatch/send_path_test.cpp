// The send path's own guarantees: what one request costs the platform layer, a sent request that
// outlives the module's detach, and synchronous calls that cannot be answered with another
// call's confirm or left waiting for ever, whichever thread answers them.
#include "support/broker_fixture.h"
#include "support/caller_view.h"
#include "support/provider_probe.h"

#include "dispatch/send.h"
#include "registry/provider_list.h"
#include "runtime/process.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kov::test {
namespace {

using faults::Fault;
using faults::Use;

BrokerMessage* kept = nullptr;
std::int32_t KOV_CALL keepConfirm(BrokerMessage* confirm) {
    kept = confirm;
    return 1;
}

class SendPathTest : public BrokerTest {
protected:
    // Registers and loads kov_test_threaded; its handle, 0 when it did not load.
    ProviderHandle loadThreaded() {
        registerInRegistry("Threaded", {providerPath("kov_test_threaded")});
        return handleServing(0x200);
    }
};

// Waits (a bounded while) until the library has delivered all it took.
void settle(const LibraryProbe& library, std::int32_t pending) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (library.counters().pendingConfirms != pending && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Payload for kov_test_threaded: its delay, then a word its echo confirms carry back.
std::vector<std::uint8_t> delayAndMark(std::uint32_t delayMs, std::uint32_t mark) {
    std::vector<std::uint8_t> bytes;
    appendU32(bytes, delayMs);
    appendU32(bytes, mark);
    return bytes;
}

TEST_F(SendPathTest, ASendAndItsReleaseMakeNoLockEventOrMemoryCall) {
    registerInRegistry("Immediate", {providerPath("kov_test_immediate")});
    const ProviderHandle handle = handleServing(0x100);
    ASSERT_NE(handle, 0u);
    Request request(handle, 0x100, 0, 44, {1, 2, 3, 4});
    request->callback = keepConfirm;
    // The first send of a thread claims its slot; the count starts after it.
    ASSERT_EQ(dispatch::send(request.get()), 0);
    ASSERT_EQ(dispatch::deleteConfirm(kept), 0);
    faults::clear();
    const std::uint32_t delivered = statistics().sendDelivered.low;

    ASSERT_EQ(dispatch::send(request.get()), 0);
    EXPECT_EQ(dispatch::deleteConfirm(kept), 0);
    for (Use use : {Use::AcquireLock, Use::ReleaseLock, Use::EventCall})
        EXPECT_EQ(faults::usesSeen(use), 0u) << static_cast<unsigned>(use);
    for (Fault fault : {Fault::GlobalAlloc, Fault::GlobalFree, Fault::CreateLock, Fault::CreateEvent})
        EXPECT_EQ(faults::callsSeen(fault), 0u) << static_cast<unsigned>(fault);
    EXPECT_EQ(statistics().sendDelivered.low, delivered + 1) << "counted in the thread's slot";
}

TEST_F(SendPathTest, ASynchronousCallAnsweredDuringItsReceiveMakesNoEventCall) {
    loadProviders();
    Request request(0, 0, KOV_FN_GET_BROKER_INFO);
    BrokerMessage* confirm = nullptr;
    ASSERT_EQ(dispatch::sendSync(request.get(), &confirm), 1); // makes the thread's event
    ASSERT_EQ(dispatch::deleteConfirm(confirm), 0);
    faults::clear();
    ASSERT_EQ(dispatch::sendSync(request.get(), &confirm), 1);
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(faults::usesSeen(Use::EventCall), 0u);
    EXPECT_EQ(faults::callsSeen(Fault::CreateEvent), 0u) << "the event is reused";
    EXPECT_EQ(dispatch::deleteConfirm(confirm), 0);
}

// exit() while another thread is inside a receive entry detaches the module under that send.
std::mutex gate;
std::condition_variable gateChanged;
bool inside = false;
bool released = false;

std::int32_t KOV_CALL blockingReceive(BrokerMessage*) {
    std::unique_lock<std::mutex> hold(gate);
    inside = true;
    gateChanged.notify_all();
    gateChanged.wait(hold, [] { return released; });
    return 1;
}

TEST_F(SendPathTest, DetachWithASendRunningRefusesNewSendsAndFreesNothingUnderIt) {
    loadProviders();
    registry::ProviderRecord* const record = linkFakeProvider(blockingReceive);
    ASSERT_NE(record, nullptr);
    inside = released = false;
    std::int32_t result = 0;
    std::thread sender([&] {
        Request request(record->handle, 0x700, 0);
        request->callback = keepConfirm;
        result = dispatch::send(request.get());
    });
    {
        std::unique_lock<std::mutex> hold(gate);
        gateChanged.wait(hold, [] { return inside; });
    }
    runtime::processDetach(false);
    Request late(0, 0, KOV_FN_GET_STATISTICS);
    late->callback = keepConfirm;
    EXPECT_EQ(dispatch::send(late.get()), dispatch::kRefused) << "refused after detach";
    {
        const std::lock_guard<std::mutex> hold(gate);
        released = true;
    }
    gateChanged.notify_all();
    sender.join(); // the record and the lock it ends with are still there
    EXPECT_EQ(result, 1);
    runtime::processDetach(false); // with nothing running, the cleanup completes
    ASSERT_TRUE(runtime::processAttach(nullptr));
    EXPECT_TRUE(listedProviders().empty());
}

// Reload answers through a confirm the broker builds; without memory for it the call still ends.
TEST_F(SendPathTest, ReloadWithoutMemoryEndsTheCallAndKeepsTheBrokerAtHandleZero) {
    loadProviders();
    unsigned n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 40u) << "the sweep does not end";
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        const std::uint32_t inUse = bytesInUse();
        faults::clear();
        faults::failNth(Fault::GlobalAlloc, n);
        Request request(0, 0, KOV_FN_RELOAD);
        BrokerMessage* confirm = nullptr;
        dispatch::sendSync(request.get(), &confirm);
        const bool hit = faults::callsSeen(Fault::GlobalAlloc) >= n;
        faults::clear();
        if (confirm == nullptr) {
            EXPECT_NE(request->status, 0u) << "a null answer says why";
        } else {
            EXPECT_EQ(dispatch::deleteConfirm(confirm), 0);
        }
        EXPECT_EQ(statistics().syncWaiting, 0u);
        // One more send finds the broker provider at handle 0.
        Request info(0, 0, KOV_FN_GET_BROKER_INFO);
        ASSERT_EQ(dispatch::sendSync(info.get(), &confirm), 1);
        ASSERT_NE(confirm, nullptr);
        EXPECT_EQ(info->status, 0u);
        EXPECT_EQ(dispatch::deleteConfirm(confirm), 0);
        EXPECT_EQ(providerFor(0)->module, nullptr);
        EXPECT_EQ(bytesInUse(), inUse);
        if (!hit) break;
    }
    EXPECT_GE(n, 3u);
}

// Call A is refused but confirmed 100 ms later; call B from the same frame is confirmed after
// 300 ms. B must get its own confirm, and A's late one must be turned away.
TEST_F(SendPathTest, ALateConfirmOfAnEarlierCallIsNeverTakenForALaterOne) {
    const ProviderHandle handle = loadThreaded();
    ASSERT_NE(handle, 0u);
    const LibraryProbe library(providerPath("kov_test_threaded"));
    const KovProviderCounters before = library.counters();
    const std::uint32_t codes[] = {3, 4};
    const std::uint32_t delays[] = {100, 300};
    BrokerMessage* confirms[2] = {};
    for (int i = 0; i < 2; ++i) {
        std::vector<std::uint8_t> payload;
        appendU32(payload, delays[i]);
        Request request(handle, 0x200, codes[i], 44, payload);
        EXPECT_EQ(dispatch::sendSync(request.get(), &confirms[i]), 1);
    }
    EXPECT_EQ(confirms[0], nullptr) << "refused";
    ASSERT_NE(confirms[1], nullptr);
    EXPECT_EQ(confirms[1]->functionCode, 4u) << "B's own confirm";
    EXPECT_EQ(dispatch::deleteConfirm(confirms[1]), 0);
    settle(library, before.pendingConfirms);
    const KovProviderCounters after = library.counters();
    EXPECT_EQ(after.confirmsBuilt - before.confirmsBuilt, 2);
    EXPECT_EQ(after.confirmsReleased - before.confirmsReleased, 2) << "A's was turned away";
    EXPECT_EQ(statistics().syncWaiting, 0u);
}

// A null from the provider's own thread carries no token: it ends every waiting call whose request
// already says it failed (A, and C, whose null it is) and leaves B, whose status is 0, waiting.
// A's real confirm comes later, while the same frame waits again in call D: it must be turned
// away, and B and D get their own confirms.
TEST_F(SendPathTest, ANullFromAProviderThreadEndsOnlyFailedCallsAndTheirLateConfirmsAreTurnedAway) {
    const ProviderHandle handle = loadThreaded();
    ASSERT_NE(handle, 0u);
    const LibraryProbe library(providerPath("kov_test_threaded"));
    const KovProviderCounters before = library.counters();
    const std::uint32_t inUse = bytesInUse();

    struct Call {
        Call(ProviderHandle provider, std::uint32_t code, std::uint32_t delayMs, std::uint32_t m)
            : mark(m), request(provider, 0x200, code, 44, delayAndMark(delayMs, m)) {}
        void send() { result = dispatch::sendSync(request.get(), &confirm); }
        std::uint32_t mark;
        Request request;
        BrokerMessage* confirm = nullptr;
        std::int32_t result = -1;
    };
    // A's confirm is due long after C's null and before D's; margins are wide for slow machines.
    Call a(handle, 5, 2000, 0xA), b(handle, 0, 3000, 0xB), c(handle, 1, 0, 0xC), d(handle, 0, 2500, 0xD);
    std::thread first([&] {
        for (Call* call : {&a, &d}) call->send(); // one frame, two calls
    });
    std::thread second([&] { b.send(); });
    // A has left its failure status and both A and B are queued before C's null is sent.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((__atomic_load_n(&a.request->status, __ATOMIC_ACQUIRE) == 0 ||
            library.counters().pendingConfirms != before.pendingConfirms + 2) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    c.send();
    first.join();
    second.join();

    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.confirm, nullptr);
    EXPECT_EQ(c.request->status, 3u);
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.confirm, nullptr) << "woken by the null";
    EXPECT_EQ(a.request->status, 3u) << "as the provider left it";
    for (Call* call : {&b, &d}) {
        SCOPED_TRACE(call->mark);
        EXPECT_EQ(call->result, 1);
        ASSERT_NE(call->confirm, nullptr);
        EXPECT_EQ(call->confirm->status, 0u);
        EXPECT_EQ(call->confirm->totalLength, 52u);
        EXPECT_EQ(u32(call->confirm, 48), call->mark) << "its own confirm";
        EXPECT_EQ(dispatch::deleteConfirm(call->confirm), 0);
    }
    settle(library, before.pendingConfirms);
    const KovProviderCounters after = library.counters();
    EXPECT_EQ(after.confirmsBuilt - before.confirmsBuilt, 3) << "A, B and D";
    EXPECT_EQ(after.confirmsReleased - before.confirmsReleased, 3) << "A's was not kept";
    EXPECT_EQ(statistics().syncWaiting, 0u);
    EXPECT_EQ(bytesInUse(), inUse);
}

// A null from a thread outside any receive entry looks at every waiting call. While it looks at a
// call whose status is 0, that call's own confirm may arrive on a third thread: it must be taken,
// not turned away (then nobody would ever answer the call again).
std::atomic<std::uint32_t> heldCount{0};
std::atomic<ConfirmCallback> heldCallback{nullptr};
std::atomic<void*> heldData{nullptr};

std::int32_t KOV_CALL holdingReceive(BrokerMessage* request) {
    heldData = request->callbackData;
    heldCallback = request->callback;
    ++heldCount;
    return 0; // taken; the test confirms it
}

TEST_F(SendPathTest, AConfirmArrivingWhileANullFromElsewhereLooksAtItsCallIsTaken) {
    loadProviders();
    registry::ProviderRecord* const record = linkFakeProvider(holdingReceive);
    ASSERT_NE(record, nullptr);
    heldCount = 0;
    constexpr std::uint32_t kCalls = 300;
    Request confirms[2] = {Request(record->handle, 0x700, 0), Request(record->handle, 0x700, 0)};
    std::atomic<std::uint32_t> wrong{0};
    std::thread waiter([&] {
        for (std::uint32_t i = 0; i < kCalls; ++i) {
            Request request(record->handle, 0x700, 0);
            BrokerMessage* confirm = nullptr;
            if (dispatch::sendSync(request.get(), &confirm) != 1 || confirm != confirms[i % 2].get())
                ++wrong;
        }
    });
    std::atomic<bool> done{false};
    std::thread nulls([&] {
        while (!done.load()) {
            const ConfirmCallback callback = heldCallback.load();
            if (callback != nullptr) callback(nullptr);
        }
    });
    std::uint32_t turnedAway = 0;
    for (std::uint32_t i = 0; i < kCalls; ++i) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (heldCount.load() != i + 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        if (heldCount.load() != i + 1) {
            ADD_FAILURE() << "call " << i << " never reached the provider";
            break;
        }
        BrokerMessage* const confirm = confirms[i % 2].get();
        confirm->callbackData = heldData.load();
        // Delivered again until taken, so a fault shows as a count rather than a hang.
        for (int attempt = 0; attempt < 100000 && heldCallback.load()(confirm) == 0; ++attempt)
            ++turnedAway;
    }
    done = true;
    waiter.join();
    nulls.join();
    EXPECT_EQ(turnedAway, 0u);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(statistics().syncWaiting, 0u);
}

} // namespace
} // namespace kov::test
