/* Requests in, confirms out: a confirm begins with a copy of its request's first headerLength
 * bytes, which carries provider, callback and callbackData back; totalLength and status are
 * then its own. */
#include "kov_kit_internal.h"

#include <string.h>

int kov_isAnswerable(const BrokerMessage *request)
{
    return request != NULL && request->callback != NULL &&
           request->headerLength >= KOV_HEADER_SIZE &&
           request->totalLength >= request->headerLength;
}

uint32_t kov_checkRequest(const BrokerMessage *request, const KovFunctionSet *sets,
                          uint32_t setCount)
{
    uint32_t i, status = KOV_STATUS_UNKNOWN_SET;
    /* What the broker answers a header it cannot use with. */
    if (request == NULL || request->headerLength < KOV_HEADER_SIZE ||
        request->totalLength < request->headerLength)
        return KOV_STATUS_BAD_VERSION;
    if (sets == NULL)
        setCount = 0;
    if (request->formatMajor != KOV_FORMAT_MAJOR || request->formatMinor != KOV_FORMAT_MINOR)
        return KOV_STATUS_BAD_VERSION;
    for (i = 0; i < setCount; ++i) {
        if (sets[i].functionSet != request->functionSet)
            continue;
        if (sets[i].setMajor == request->setMajor && sets[i].setMinor == request->setMinor)
            return KOV_STATUS_OK;
        status = KOV_STATUS_BAD_VERSION; /* served, but at another version */
    }
    return status;
}

BrokerMessage *kov_buildConfirm(const BrokerMessage *request, uint32_t status,
                                const void *payload, uint32_t payloadSize)
{
    BrokerMessage *confirm;
    uint32_t headerLength;
    if (request == NULL || request->headerLength < KOV_HEADER_SIZE ||
        request->totalLength < request->headerLength)
        return NULL;
    headerLength = request->headerLength;
    if (payloadSize > UINT32_MAX - headerLength)
        return NULL;
    confirm = kov_newBlock(headerLength + payloadSize);
    if (confirm == NULL)
        return NULL;
    memcpy(confirm, request, headerLength);
    confirm->totalLength = headerLength + payloadSize;
    confirm->status = status;
    if (payload != NULL && payloadSize > 0)
        memcpy((uint8_t *)confirm + headerLength, payload, payloadSize);
    return confirm;
}

int32_t kov_deliver(BrokerMessage *confirm)
{
    ConfirmCallback callback;
    if (confirm == NULL)
        return KOV_NOT_TAKEN;
    callback = confirm->callback;
    if (callback == NULL) {
        kov_releaseBlock(confirm);
        return KOV_NOT_TAKEN;
    }
    /* A kept confirm is the caller's from here on, and may be released by another thread before
     * the callback has even returned: it is not touched again. */
    if (callback(confirm) == 0)
        kov_releaseBlock(confirm);
    return 0;
}

int32_t kov_answerNoMemory(BrokerMessage *request)
{
    if (!kov_isAnswerable(request))
        return KOV_NOT_TAKEN;
    request->status = KOV_STATUS_NO_MEMORY;
    request->callback(NULL);
    return 0;
}

int32_t kov_answer(BrokerMessage *request, uint32_t status, const void *payload,
                   uint32_t payloadSize)
{
    BrokerMessage *confirm;
    if (!kov_isAnswerable(request))
        return KOV_NOT_TAKEN;
    confirm = kov_buildConfirm(request, status, payload, payloadSize);
    if (confirm == NULL)
        return kov_answerNoMemory(request);
    return kov_deliver(confirm);
}
