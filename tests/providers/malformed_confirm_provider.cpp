// kov_test_malformed_confirm: set 0x640. Confirms every request on the caller's thread with a
// confirm whose header lies about its lengths, by function code:
//   0  totalLength 20, shorter than its own header
//   1  headerLength 4096, beyond its totalLength (46)
//   2  headerLength 40, shorter than a header
//   3  totalLength 1 GiB (the block holds the 44-byte header only): well formed by the header
//      rules, which cannot see the block's real size
// A confirm it gets back is released; one whose callback did not keep it is released at once.
#include "provider_kit.h"

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Malformed confirm test provider", "KOV tests", "none", {0x640}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    if (!kit::isAnswerable(request))
        return kit::refuse();
    static const uint8_t kTwoBytes[2] = {0x5A, 0xA5};
    BrokerMessage *confirm = kit::buildConfirm(request, kTwoBytes, 2, KOV_STATUS_OK);
    if (confirm == nullptr) {
        kit::deliverNoMemory(request);
        return 0;
    }
    switch (request->functionCode) {
    case 0: confirm->totalLength = 20; break;
    case 1: confirm->headerLength = 4096; break;
    case 2: confirm->headerLength = 40; break;
    default: confirm->totalLength = 1u << 30; break;
    }
    kit::deliver(request->callback, confirm);
    return 0;
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
