// kov_test_three_sets: sets 0x401, 0x402 and 0x403 in one descriptor, answered alike on the
// caller's thread (codes as in kit::answerNow).
#include "provider_kit.h"

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Three sets test provider", "KOV tests", "none", {0x401, 0x402, 0x403}});
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
