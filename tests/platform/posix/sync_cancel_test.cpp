// A thread cancelled (pthread_cancel) while it waits in kov_SendSync ends as any cancelled thread
// does: the process goes on, the call is retired, syncWaiting comes back down, the thread's event
// goes with the thread, and other threads' calls are answered as before.
#include "support/broker_fixture.h"
#include "support/provider_probe.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kov::test {
namespace {

using faults::Fault;
using faults::Use;

// Takes every request and answers none: the test plays the provider's late confirm itself.
std::atomic<ConfirmCallback> heldCallback{nullptr};
std::atomic<void*> heldData{nullptr};

std::int32_t KOV_CALL holdingReceive(BrokerMessage* request) {
    heldData = request->callbackData;
    heldCallback = request->callback;
    return 0;
}

void* waitInSendSync(void* request) {
    BrokerMessage* confirm = nullptr;
    kov_SendSync(static_cast<BrokerMessage*>(request), &confirm);
    return confirm; // not reached: nobody answers
}

class SyncCancelTest : public BrokerTest {};

TEST_F(SyncCancelTest, ACancelledWaiterEndsAndLeavesNothingBehind) {
    loadProviders();
    registry::ProviderRecord* const record = linkFakeProvider(holdingReceive);
    ASSERT_NE(record, nullptr);
    heldCallback = nullptr;
    faults::clear();
    const StatisticsRecord before = statistics();

    Request request(record->handle, 0x700, 0);
    pthread_t waiter;
    ASSERT_EQ(pthread_create(&waiter, nullptr, waitInSendSync, request.get()), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((heldCallback.load() == nullptr || statistics().syncWaiting != before.syncWaiting + 1) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(heldCallback.load(), nullptr) << "the request never reached the provider";
    ASSERT_EQ(pthread_cancel(waiter), 0);
    void* ended = nullptr;
    ASSERT_EQ(pthread_join(waiter, &ended), 0);
    EXPECT_EQ(ended, PTHREAD_CANCELED);

    EXPECT_EQ(statistics().syncWaiting, before.syncWaiting);
    EXPECT_EQ(faults::callsSeen(Fault::CreateEvent), 1u) << "the thread's own event";
    EXPECT_EQ(faults::usesSeen(Use::CloseEvent), 1u) << "closed as the thread ended";
    // The confirm the provider sends now finds nobody and is not kept.
    Request late(record->handle, 0x700, 0);
    late->callbackData = heldData.load();
    EXPECT_EQ(heldCallback.load()(late.get()), 0);
    EXPECT_EQ(bytesInUse(), before.bytesInUse);

    bool answered = false;
    std::thread other([&answered] {
        Request info(0, 0, KOV_FN_GET_BROKER_INFO);
        BrokerMessage* confirm = nullptr;
        answered = kov_SendSync(info.get(), &confirm) == 1 && confirm != nullptr &&
                   confirm->status == 0 && kov_DeleteConfirm(confirm) == 0;
    });
    other.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(statistics().syncWaiting, before.syncWaiting);
    EXPECT_EQ(bytesInUse(), before.bytesInUse);
}

} // namespace
} // namespace kov::test
