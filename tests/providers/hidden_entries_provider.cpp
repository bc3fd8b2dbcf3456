// kov_test_hidden_entries: all three entry points written, none of them exported, the usual slip
// in a C++ provider: no extern "C" (the names are mangled) and no KOV_PROVIDER_EXPORT (hidden).
#include <kov/kov_provider.h>

BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    const KovFunctionSet set = {0x800, 1, 0};
    KovDescription description{};
    description.product = "Hidden entries test provider";
    description.sets = &set;
    description.setCount = 1;
    return kov_buildInfoBlock(&description, nullptr);
}

int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    return kov_answer(request, KOV_STATUS_UNKNOWN_FUNCTION, nullptr, 0);
}

int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kov_releaseBlock(block);
}
