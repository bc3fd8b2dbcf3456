// kov_test_missing_export: a valid description of set 0x700, but no kov_DeleteReceive, so the
// broker has no way to give anything back and must not load the library.
#include "provider_kit.h"

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Missing export test provider", "KOV tests", "none", {0x700}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *)
{
    kit::bump(kit::counters().receives);
    return kit::refuse();
}
