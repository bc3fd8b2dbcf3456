// kov_test_null_info: kov_GetSubSystemInfo answers null, so the library is not loaded.
#include "provider_kit.h"

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return nullptr;
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *)
{
    kit::bump(kit::counters().receives);
    return kit::refuse();
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
