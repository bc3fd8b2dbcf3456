// The send path's own guarantees: what one request costs the platform layer, a sent request that
// outlives the module's detach, and synchronous calls that cannot be answered with another
// call's confirm or left waiting for ever.
#include "support/broker_fixture.h"
#include "support/caller_view.h"
#include "support/provider_probe.h"

#include "dispatch/send.h"
#include "registry/provider_list.h"
#include "runtime/broker_lock.h"
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

class SendPathTest : public BrokerTest {};

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
    registry::ProviderRecord* record = registry::newProviderRecord(0);
    ASSERT_NE(record, nullptr);
    record->receiveEntry = blockingReceive;
    {
        runtime::BrokerLockGuard guard;
        registry::append(record);
    }
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
    EXPECT_EQ(registry::listHead(), nullptr);
    ASSERT_TRUE(runtime::processAttach(nullptr));
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
        EXPECT_EQ(registry::findProvider(0)->module, nullptr);
        EXPECT_EQ(bytesInUse(), inUse);
        if (!hit) break;
    }
    EXPECT_GE(n, 3u);
}

// Call A is refused but confirmed 100 ms later; call B from the same frame is confirmed after
// 300 ms. B must get its own confirm, and A's late one must be turned away.
TEST_F(SendPathTest, ALateConfirmOfAnEarlierCallIsNeverTakenForALaterOne) {
    registerInRegistry("Threaded", {providerPath("kov_test_threaded")});
    const ProviderHandle handle = handleServing(0x200);
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (library.counters().pendingConfirms != before.pendingConfirms &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const KovProviderCounters after = library.counters();
    EXPECT_EQ(after.confirmsBuilt - before.confirmsBuilt, 2);
    EXPECT_EQ(after.confirmsReleased - before.confirmsReleased, 2) << "A's was turned away";
    EXPECT_EQ(statistics().syncWaiting, 0u);
}

} // namespace
} // namespace kov::test
