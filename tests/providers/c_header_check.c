/* Compiled as C11 with pedantic warnings as errors: the public header must stay usable from C. */
#include <kov/kov_broker.h>

#include "provider_counters.h"

/* Touches the types a C caller and a C provider use, so their declarations are compiled, not
 * only parsed. */
uint32_t kov_c_header_check(const BrokerMessage *message, const KovProviderCounters *counters)
{
    const SubsystemInfoPayload *info =
        (const SubsystemInfoPayload *)((const uint8_t *)message + message->headerLength);
    KovReceiveFn receive = 0;
    ConfirmCallback callback = message->callback;
    (void)receive;
    (void)callback;
    return info->descriptor.setCount + (uint32_t)counters->receives + KOV_STATUS_BAD_VERSION;
}
