// kov_test_deferring: set 0x620. Answers late, from inside other calls, as a provider with a
// queue of its own may:
//   code 0  takes the request and keeps it, answering nothing yet
//   code 1  first fails every kept request (status 3 written into it, then null through its
//           callback), then answers this request at once with a header-only confirm, status 0
// A kept request must stay alive until code 1 comes, as it does while kov_SendSync waits.
#include "provider_kit.h"

#include <mutex>
#include <vector>

namespace {
std::mutex gKeptLock;
std::vector<BrokerMessage *> gKept;
} // namespace

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Deferring test provider", "KOV tests", "none", {0x620}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    if (!kit::isAnswerable(request))
        return kit::refuse();
    if (request->functionCode == 0) {
        const std::lock_guard<std::mutex> hold(gKeptLock);
        gKept.push_back(request);
        kit::bump(kit::counters().pendingConfirms);
        return 0;
    }
    std::vector<BrokerMessage *> failing;
    {
        const std::lock_guard<std::mutex> hold(gKeptLock);
        failing.swap(gKept);
    }
    for (BrokerMessage *kept : failing) {
        kit::deliverNoMemory(kept);
        kit::bump(kit::counters().pendingConfirms, -1);
    }
    return kit::answerNow(request); // code 1: header-only, status 0 (no payload word)
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
