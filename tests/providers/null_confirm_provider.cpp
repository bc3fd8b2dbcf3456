// kov_test_null_confirm: set 0x500. Behaves as a provider that never has memory for a confirm:
// writes status 3 into the request and delivers null on the caller's thread.
#include "provider_kit.h"

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Null confirm test provider", "KOV tests", "none", {0x500}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    if (!kit::isAnswerable(request))
        return kit::refuse();
    kit::bump(kit::counters().pendingConfirms);
    kit::deliverNoMemory(request);
    kit::bump(kit::counters().pendingConfirms, -1);
    return 0;
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
