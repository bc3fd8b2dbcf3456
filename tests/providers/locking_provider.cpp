// kov_test_locking: set 0x610. Guards its state with a lock of its own: kov_DeleteReceive takes
// it, and kov_Receive holds it while it asks the broker for its language with kov_SendSync (a
// provider consulting the broker before it answers). Requests are then answered as by
// kov_test_immediate. A broker that held its own lock around kov_DeleteReceive while making
// senders wait for that lock would deadlock against this library.
#include "broker_access.h"
#include "provider_kit.h"

#include <mutex>

namespace {
std::mutex gState;
} // namespace

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Locking test provider", "KOV tests", "none", {0x610}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    const std::lock_guard<std::mutex> hold(gState);
    if (kit::askBrokerLanguageSync() != kit::BrokerAnswered)
        return kit::refuse();
    return kit::answerNow(request);
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    const std::lock_guard<std::mutex> hold(gState);
    return kit::releaseBlock(block);
}
