// kov_test_refusing: set 0x300. Takes no request: kov_Receive answers 1 and delivers nothing,
// except for code 1: it confirms on the caller's thread first (as kov_test_immediate's code 1
// does), then answers 1 all the same.
#include "provider_kit.h"

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Refusing test provider", "KOV tests", "none", {0x300}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    if (request != nullptr && request->functionCode == 1)
        kit::answerNow(request);
    return kit::refuse();
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
