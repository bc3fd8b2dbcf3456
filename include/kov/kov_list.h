/* Walking a ListSubsystems reply (broker function set 0, function 0, sent to handle 0) without
 * reading outside it: every provider's descriptor, every function set it serves with the handle
 * to put into requests for that set, and its texts. Header only, C and C++.
 *
 *     KovListWalk walk;
 *     KovListedProvider provider;
 *     KovListedSet set;
 *     if (kov_listBegin(&walk, reply))
 *         while (kov_listNextProvider(&walk, &provider) > 0)
 *             while (kov_listNextSet(&provider, &set) > 0)
 *                 use(set.functionSet, set.provider);
 *
 * The next-functions answer 1 for an item, 0 at the end and -1 when the reply is malformed (stop
 * there; what was handed out before stays valid). Pointers point into the reply: they are valid
 * while the caller keeps the confirm. */
#ifndef KOV_LIST_H
#define KOV_LIST_H

#include <kov/kov_broker.h>

#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KovListWalk {
    const uint8_t *payload;
    uint32_t length;   /* payload bytes, as stated and within the confirm */
    uint32_t at;       /* payload offset of the next descriptor */
    uint32_t left;     /* descriptors not yet handed out */
} KovListWalk;

typedef struct KovListedProvider {
    const uint8_t *descriptor; /* its SubsystemDescriptor; offsets below count from here */
    uint32_t size;             /* bytes of the descriptor inside the reply */
    uint32_t setCount;         /* function sets it claims to serve */
    uint32_t nextEntry;        /* descriptor offset of the next FunctionSetEntry, 0 at the end */
    uint32_t setsLeft;
} KovListedProvider;

typedef struct KovListedSet {
    uint32_t functionSet;
    uint16_t setMajor;
    uint16_t setMinor;
    ProviderHandle provider; /* the handle for requests to this set */
} KovListedSet;

/* Descriptor offsets of its string fields. */
enum {
    KOV_TEXT_COPYRIGHT = 40,
    KOV_TEXT_MAKER = 44,
    KOV_TEXT_PRODUCT = 52
};

static inline uint32_t kov_listU32_(const uint8_t *bytes)
{
    uint32_t value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

/* 1 when `reply` is a confirm of status 0 whose payload can be walked; 0 otherwise. */
static inline int kov_listBegin(KovListWalk *walk, const BrokerMessage *reply)
{
    uint32_t held;
    walk->payload = 0;
    walk->length = walk->at = walk->left = 0;
    if (reply == 0 || reply->status != KOV_STATUS_OK || reply->headerLength < KOV_HEADER_SIZE ||
        reply->totalLength < reply->headerLength)
        return 0;
    held = reply->totalLength - reply->headerLength;
    if (held < 20)
        return 0;
    walk->payload = (const uint8_t *)reply + reply->headerLength;
    walk->length = kov_listU32_(walk->payload);
    if (walk->length < 20 || walk->length > held)
        return 0;
    walk->at = 20;
    walk->left = kov_listU32_(walk->payload + 16);
    return 1;
}

/* The next provider's descriptor, the broker provider first. */
static inline int kov_listNextProvider(KovListWalk *walk, KovListedProvider *out)
{
    uint32_t size;
    if (walk->left == 0)
        return 0;
    /* 60 bytes: the fixed part of a descriptor, up to its first FunctionSetEntry. */
    if (walk->at > walk->length || walk->length - walk->at < 60)
        return -1;
    /* Each descriptor starts with its size; the last one's is 0 and it runs to the end. */
    size = walk->left > 1 ? kov_listU32_(walk->payload + walk->at) : walk->length - walk->at;
    if (size < 60 || size > walk->length - walk->at)
        return -1;
    out->descriptor = walk->payload + walk->at;
    out->size = size;
    out->setCount = kov_listU32_(out->descriptor + 56);
    out->setsLeft = out->setCount;
    out->nextEntry = 60;
    walk->at += size;
    --walk->left;
    return 1;
}

/* The next function set the provider serves. */
static inline int kov_listNextSet(KovListedProvider *provider, KovListedSet *out)
{
    const uint8_t *entry;
    uint32_t distance;
    if (provider->setsLeft == 0 || provider->nextEntry == 0)
        return 0;
    if (provider->nextEntry > provider->size || provider->size - provider->nextEntry < 20)
        return -1;
    entry = provider->descriptor + provider->nextEntry;
    out->functionSet = kov_listU32_(entry + 8);
    memcpy(&out->setMajor, entry + 12, sizeof out->setMajor);
    memcpy(&out->setMinor, entry + 14, sizeof out->setMinor);
    out->provider = kov_listU32_(entry + 16);
    distance = kov_listU32_(entry);
    --provider->setsLeft;
    if (distance == 0)
        provider->nextEntry = 0;
    else if (distance < 20 || distance > provider->size - provider->nextEntry)
        provider->nextEntry = provider->size + 1; /* malformed: the next call says so */
    else
        provider->nextEntry += distance;
    return 1;
}

/* One of the provider's texts (KOV_TEXT_...): `*count` UTF-16 units (little-endian, terminator
 * included) at `*units`, which need not be aligned. 1 when there is one, 0 when the field is 0,
 * -1 when it lies outside the descriptor. A count of 0 reads as an empty text. */
static inline int kov_listText(const KovListedProvider *provider, uint32_t field,
                               const uint8_t **units, uint32_t *count)
{
    uint32_t offset, n;
    *units = 0;
    *count = 0;
    if (field > provider->size || provider->size - field < 4)
        return -1;
    offset = kov_listU32_(provider->descriptor + field);
    if (offset == 0)
        return 0;
    if (offset > provider->size || provider->size - offset < 4)
        return -1;
    n = kov_listU32_(provider->descriptor + offset);
    if (n > (provider->size - offset - 4) / 2)
        return -1;
    *units = provider->descriptor + offset + 4;
    *count = n;
    return 1;
}

#ifdef __cplusplus
}
#endif

#endif /* KOV_LIST_H */
