// kov_test_answer_fault: set 0x6a00. Loads like any provider, then faults while answering: code 0
// writes through a null pointer inside kov_Receive; code 1 answers (an empty confirm) and writes
// through a null pointer when the confirm comes back through kov_DeleteReceive.
#include "provider_kit.h"

namespace {

volatile uintptr_t gNowhere = 0; // read at run time: the compiler must emit the store
BrokerMessage *gInfoBlock = nullptr;

void crash()
{
    *reinterpret_cast<volatile int *>(gNowhere) = 1;
}

} // namespace

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    gInfoBlock = kit::describe({"Answer fault test provider", "KOV tests", "none", {0x6a00}});
    return gInfoBlock;
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    if (!kit::isAnswerable(request))
        return kit::refuse();
    if (request->functionCode == 0)
        crash();
    BrokerMessage *confirm = kit::buildConfirm(request, nullptr, 0, KOV_STATUS_OK);
    if (confirm == nullptr)
        kit::deliverNoMemory(request);
    else
        kit::deliver(request->callback, confirm);
    return 0;
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    if (block != gInfoBlock)
        crash();
    return kit::releaseBlock(block);
}
