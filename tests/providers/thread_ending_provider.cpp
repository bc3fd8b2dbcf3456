// kov_test_thread_ending: set 0x630. Ends the calling thread inside kov_Receive, answering
// nothing: on Windows with ExitThread, so that nothing of the broker's call runs on the way out
// (no unwinding); elsewhere with pthread_exit, which unwinds.
#include "provider_kit.h"
#include "thread_ending.h"

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Thread-ending test provider", "KOV tests", "none", {0x630}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    if (!kit::isAnswerable(request))
        return kit::refuse();
    endThisThread();
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
