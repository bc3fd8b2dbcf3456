/* A provider built outside the broker's tree with kov_add_provider: only its three entry points
 * may be exported, even a function of its own that is not static. */
#include <kov/kov_broker.h>

int consumer_provider_helper(void) { return 0; }

KOV_PROVIDER_EXPORT BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void) { return 0; }

KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    (void)request;
    return consumer_provider_helper() + 1; /* refuses every request */
}

KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    (void)block;
    return -1;
}
