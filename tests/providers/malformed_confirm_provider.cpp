// kov_test_malformed_confirm: set 0x6b00. Answers with a confirm whose header lies about its
// size, in a block of 48 bytes (a full header and 4 bytes of payload): code 0 claims a total
// length of 20, shorter than the header; code 1 a header length of 4096 in a total of 46; code 2
// a total length of 1 GiB (well formed by the header rules, which cannot see the block's real
// size); code 3 a header length of 40, shorter than a header. Any other code gets an honest
// confirm. A caller must refuse the lies without reading past the block.
#include "provider_kit.h"

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::describe({"Malformed confirm test provider", "KOV tests", "none", {0x6b00}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    if (!kit::isAnswerable(request))
        return kit::refuse();
    const uint8_t payload[4] = {1, 2, 3, 4};
    BrokerMessage *confirm = kit::buildConfirm(request, payload, sizeof payload, KOV_STATUS_OK);
    if (confirm == nullptr) {
        kit::deliverNoMemory(request);
        return 0;
    }
    switch (request->functionCode) {
    case 0:
        confirm->totalLength = 20;
        break;
    case 1:
        confirm->totalLength = 46;
        confirm->headerLength = 4096;
        break;
    case 2:
        confirm->totalLength = 1u << 30;
        break;
    case 3:
        confirm->headerLength = 40;
        break;
    default:
        break;
    }
    kit::deliver(request->callback, confirm);
    return 0;
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
