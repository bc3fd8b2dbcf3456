// kov_test_reentrant: set 0x600. Sends GetLanguage to handle 0 from the places where the broker
// is busy with this very library: its initialisation (while the broker loads it) and
// kov_DeleteReceive of its information block (while the broker loads or reloads it). What came
// back each time is exported as kov_test_ReentrantSeen. Requests are answered as by
// kov_test_immediate.
#include "broker_access.h"
#include "provider_kit.h"

struct ReentrantSeen {
    int32_t initOutcome;       // kit::Outcome of the send made by the initialisation
    int32_t infoReturns;       // information blocks handed back
    int32_t infoReturnOutcome; // kit::Outcome of the send made by the latest hand-back
};

extern "C" KOV_PROVIDER_EXPORT ReentrantSeen *KOV_CALL kov_test_ReentrantSeen(void);

namespace {

ReentrantSeen gSeen{};

// Runs while the library is being loaded: by the broker, when it is the first to load it.
struct SendWhileLoaded {
    SendWhileLoaded() { gSeen.initOutcome = kit::askBrokerLanguage(); }
} gSendWhileLoaded;

} // namespace

extern "C" ReentrantSeen *KOV_CALL kov_test_ReentrantSeen(void)
{
    return &gSeen;
}

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Re-entrant test provider", "KOV tests", "none", {0x600}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    return kit::answerNow(request);
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    const int32_t infoBefore = kit::counters().infoReturned;
    const int32_t result = kit::releaseBlock(block);
    if (kit::counters().infoReturned != infoBefore) {
        ++gSeen.infoReturns;
        gSeen.infoReturnOutcome = kit::askBrokerLanguage();
    }
    return result;
}
