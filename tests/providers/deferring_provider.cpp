// kov_test_deferring: set 0x620. Answers late, from inside other calls, as a provider with a
// queue of its own may:
//   code 0  takes the request and keeps it, answering nothing yet
//   code 1  first fails every kept request (status 3 written into it, then null through its
//           callback), then answers this request at once with a header-only confirm, status 0
//   code 2  keeps a copy of the request's header and refuses it (1)
//   code 3  first confirms, from the header copies kept by codes 2 and 4, every call they came
//           from (status 0, header-only), although those calls have ended, then answers this
//           request at once (header-only, status 6, as kov_test_immediate answers the code)
//   code 4  as code 1 (but answered with status 6), and keeps a header copy of each request it
//           failed, for code 3
// A kept request must stay alive until code 1 or 4 comes, as it does while kov_SendSync waits.
// Codes 2 to 4 break the rules on purpose: a confirm after a refusal, or after a null.
#include "provider_kit.h"

#include <mutex>
#include <vector>

namespace {
std::mutex gKeptLock;
std::vector<BrokerMessage *> gKept;
std::vector<BrokerMessage> gLate; // headers of calls that got no confirm
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
    const uint32_t code = request->functionCode;
    if (code == 0) {
        const std::lock_guard<std::mutex> hold(gKeptLock);
        gKept.push_back(request);
        kit::bump(kit::counters().pendingConfirms);
        return 0;
    }
    if (code == 2) {
        const std::lock_guard<std::mutex> hold(gKeptLock);
        gLate.push_back(*request);
        return kit::refuse();
    }
    if (code == 3) {
        std::vector<BrokerMessage> late;
        {
            const std::lock_guard<std::mutex> hold(gKeptLock);
            late.swap(gLate);
        }
        for (BrokerMessage &header : late) {
            header.headerLength = sizeof header; // the copy holds the first 44 bytes only
            kit::deliver(header.callback, kit::buildConfirm(&header, nullptr, 0, KOV_STATUS_OK));
        }
        return kit::answerNow(request);
    }
    std::vector<BrokerMessage *> failing;
    {
        const std::lock_guard<std::mutex> hold(gKeptLock);
        failing.swap(gKept);
        if (code == 4)
            for (BrokerMessage *kept : failing)
                gLate.push_back(*kept);
    }
    for (BrokerMessage *kept : failing) {
        kit::deliverNoMemory(kept);
        kit::bump(kit::counters().pendingConfirms, -1);
    }
    return kit::answerNow(request); // header-only: status 0 for code 1 (no payload word), 6 for 4
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
