// kov_test_hidden_entries: all three entry points written, none of them exported, the usual slip
// in a C++ provider written against <kov/kov_broker.h> alone: no extern "C" (the names are
// mangled) and no KOV_PROVIDER_EXPORT (hidden). (<kov/kov_provider.h> declares the entry points,
// so a provider that includes it cannot make this slip.) The broker never gets to call them.
#include <kov/kov_broker.h>

BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    return nullptr;
}

int32_t KOV_CALL kov_Receive(BrokerMessage *)
{
    return 1;
}

int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *)
{
    return 1;
}
