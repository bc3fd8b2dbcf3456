// A C++ exception out of a provider's receive entry, seen from the caller of kov_SendSync: the
// export answers 0 with no confirm and nothing of the call is left behind (its wait entry, its
// share of syncWaiting, a confirm that came before the throw), whether or not it had an answer.
#include "support/broker_fixture.h"
#include "support/caller_view.h"
#include "support/provider_probe.h"

#include "message/broker_confirms.h"

#include <stdexcept>

namespace kov::test {
namespace {

using faults::Fault;
using faults::Use;

// The provider under test: keeps what it needs to confirm later, may answer on the spot, throws.
ConfirmCallback heldCallback = nullptr;
void* heldData = nullptr;
bool answerBeforeThrowing = false;

std::int32_t KOV_CALL throwingReceive(BrokerMessage* request) {
    heldCallback = request->callback;
    heldData = request->callbackData;
    if (answerBeforeThrowing) {
        BrokerMessage* const confirm = message::newBrokerConfirm(request, 4);
        if (confirm != nullptr && request->callback(confirm) == 0)
            message::releaseBrokerConfirm(confirm);
    }
    throw std::runtime_error("provider fault");
}

class SyncUnwindingTest : public BrokerTest {};

TEST_F(SyncUnwindingTest, AnExceptionOutOfTheReceiveEntryEndsTheCallAndLeavesNothingBehind) {
    loadProviders();
    registry::ProviderRecord* const record = linkFakeProvider(throwingReceive);
    ASSERT_NE(record, nullptr);
    // The thread's event is made by its first synchronous call, not by the failing ones.
    Request warmUp(0, 0, KOV_FN_GET_BROKER_INFO);
    BrokerMessage* confirm = nullptr;
    ASSERT_EQ(kov_SendSync(warmUp.get(), &confirm), 1);
    ASSERT_EQ(kov_DeleteConfirm(confirm), 0);

    for (const bool answered : {false, true}) {
        SCOPED_TRACE(answered ? "answered before the throw" : "thrown before any answer");
        answerBeforeThrowing = answered;
        faults::clear();
        const StatisticsRecord before = statistics();
        Request request(record->handle, 0x700, 0);
        confirm = warmUp.get(); // must be overwritten
        EXPECT_EQ(kov_SendSync(request.get(), &confirm), 0) << "no exception crosses the export";
        EXPECT_EQ(confirm, nullptr);
        EXPECT_EQ(request->status, 3u) << "the caller can see the call failed";
        const StatisticsRecord after = statistics();
        EXPECT_EQ(after.syncWaiting, before.syncWaiting);
        EXPECT_EQ(after.bytesInUse, before.bytesInUse) << "a confirm that came is released";
        EXPECT_EQ(counterAt(after, 76), counterAt(before, 76) + 1) << "syncDelivered";

        // The call's token is retired: its confirm, arriving now, is not kept.
        Request late(record->handle, 0x700, 0);
        late->callbackData = heldData;
        ASSERT_NE(heldCallback, nullptr);
        EXPECT_EQ(heldCallback(late.get()), 0);
        EXPECT_EQ(faults::callsSeen(Fault::CreateEvent), 0u) << "the thread's event is reused";
        EXPECT_EQ(faults::usesSeen(Use::CloseEvent), 0u);
    }

    // Many failed calls exhaust nothing: later calls on this thread are answered as ever.
    answerBeforeThrowing = false;
    for (int i = 0; i < 2000; ++i) {
        Request request(record->handle, 0x700, 0);
        ASSERT_EQ(kov_SendSync(request.get(), &confirm), 0) << "call " << i;
    }
    EXPECT_EQ(statistics().syncWaiting, 0u);
    Request info(0, 0, KOV_FN_GET_BROKER_INFO);
    ASSERT_EQ(kov_SendSync(info.get(), &confirm), 1);
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(confirm->status, 0u);
    EXPECT_EQ(kov_DeleteConfirm(confirm), 0);
}

} // namespace
} // namespace kov::test
