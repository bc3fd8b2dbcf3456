// kov_test_immediate: set 0x100. Answers every request on the caller's thread before kov_Receive
// returns (codes as in kit::answerNow).
#include "provider_kit.h"

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Immediate test provider", "KOV tests", "none", {0x100}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    return kit::answerNow(request);
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
