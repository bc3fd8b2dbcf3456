/* Compiled as C99 and as C11 with pedantic warnings as errors: the public headers must stay
 * usable from C. */
#include <kov/kov_broker.h>
#include <kov/kov_keep_loaded.h>
#include <kov/kov_list.h>
#include <kov/kov_provider.h>

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

/* The list walker, compiled as C: the number of function sets a ListSubsystems reply lists. */
uint32_t kov_c_list_check(const BrokerMessage *reply)
{
    KovListWalk walk;
    KovListedProvider provider;
    KovListedSet set;
    const uint8_t *units;
    uint32_t count, sets = 0;
    if (!kov_listBegin(&walk, reply))
        return 0;
    while (kov_listNextProvider(&walk, &provider) > 0) {
        (void)kov_listText(&provider, KOV_TEXT_PRODUCT, &units, &count);
        while (kov_listNextSet(&provider, &set) > 0)
            ++sets;
    }
    return sets;
}

/* The provider kit's declarations, compiled as C: a description and the payload helpers. */
uint32_t kov_c_kit_check(const BrokerMessage *request)
{
    static const KovFunctionSet sets[] = {{0x100, 1, 0}};
    KovDescription description = {0};
    KovWork work = 0;
    description.sets = sets;
    description.setCount = 1;
    (void)work;
    return kov_payloadSize(request) + (uint32_t)kov_payload(request)[0] + description.setCount +
           (uint32_t)KOV_STATUS_PROVIDER_FIRST + (uint32_t)KOV_KIT_NO_WORKER;
}
