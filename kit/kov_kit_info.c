/* kov_buildInfoBlock: a provider's description laid out as the information block the broker
 * checks, every offset, distance and length computed here once. */
#include "kov_kit_internal.h"

#include <string.h>

enum {
    kHeaderSize = 44,
    kFirstEntry = 72, /* payload offset: head (12), descriptor fixed part (60) */
    kEntrySize = 20,
    kDescriptor = 12  /* payload offset of the descriptor */
};

/* Payload offsets of the descriptor's string fields, in the order the items are laid out. */
static const uint32_t kTextFields[3] = {kDescriptor + 40, kDescriptor + 44, kDescriptor + 52};

static void put32(uint8_t *at, uint32_t value) { memcpy(at, &value, 4); }
static void put16(uint8_t *at, uint16_t value) { memcpy(at, &value, 2); }

/* Decodes UTF-8 into UTF-16 units (little-endian, written to `out` unless it is null) and counts
 * them into `*units`, terminator excluded. 0 for text that is not valid UTF-8: a stray or
 * missing continuation byte, an overlong form, a surrogate, or a code point past U+10FFFF. */
static int utf16FromUtf8(const char *text, uint8_t *out, uint64_t *units)
{
    const unsigned char *s = (const unsigned char *)text;
    uint64_t n = 0;
    while (*s != 0) {
        const unsigned char lead = *s++;
        uint32_t c;
        int extra, i;
        if (lead < 0x80) {
            c = lead;
            extra = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            c = lead & 0x1FU;
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            c = lead & 0x0FU;
            extra = 2;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            c = lead & 0x07U;
            extra = 3;
        } else {
            return 0;
        }
        for (i = 0; i < extra; ++i) {
            if ((*s & 0xC0) != 0x80) /* stops at the terminator too */
                return 0;
            c = (c << 6) | (*s++ & 0x3FU);
        }
        if ((extra == 2 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
            (extra == 3 && (c < 0x10000 || c > 0x10FFFF)))
            return 0;
        if (c >= 0x10000) {
            if (out != NULL) {
                put16(out + 2 * n, (uint16_t)(0xD800 + ((c - 0x10000) >> 10)));
                put16(out + 2 * n + 2, (uint16_t)(0xDC00 + ((c - 0x10000) & 0x3FF)));
            }
            n += 2;
        } else {
            if (out != NULL)
                put16(out + 2 * n, (uint16_t)c);
            n += 1;
        }
    }
    *units = n;
    return 1;
}

static int twoDigits(const char *at) { return (at[0] - '0') * 10 + (at[1] - '0'); }

/* "YYYY-MM-DDTHH:MM:SS.mmm+hhmm", exactly 28 characters, a real calendar date (a leap second
 * allowed) and an offset of at most 23:59. */
static int validTimestamp(const char *stamp)
{
    static const char pattern[] = "dddd-dd-ddTdd:dd:dd.ddd#dddd";
    static const int daysIn[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int i, year, month, day;
    for (i = 0; i < (int)KOV_TIMESTAMP_SIZE; ++i) {
        const char c = stamp[i]; /* a shorter text stops here at its terminator */
        if (pattern[i] == 'd' ? (c < '0' || c > '9')
                              : pattern[i] == '#' ? (c != '+' && c != '-') : c != pattern[i])
            return 0;
    }
    if (stamp[KOV_TIMESTAMP_SIZE] != '\0')
        return 0;
    year = twoDigits(stamp) * 100 + twoDigits(stamp + 2);
    month = twoDigits(stamp + 5);
    day = twoDigits(stamp + 8);
    if (month < 1 || month > 12 || day < 1 || day > daysIn[month - 1])
        return 0;
    if (month == 2 && day == 29 && !(year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)))
        return 0;
    return twoDigits(stamp + 11) <= 23 && twoDigits(stamp + 14) <= 59 &&
           twoDigits(stamp + 17) <= 60 && twoDigits(stamp + 24) <= 23 &&
           twoDigits(stamp + 26) <= 59;
}

static BrokerMessage *failWith(int *result, int code)
{
    if (result != NULL)
        *result = code;
    return NULL;
}

BrokerMessage *kov_buildInfoBlock(const KovDescription *description, int *result)
{
    const char *texts[3];
    uint64_t units[3], payloadLength, running;
    char stamp[KOV_TIMESTAMP_SIZE];
    BrokerMessage *block;
    uint8_t *payload;
    uint32_t i;

    if (description == NULL || description->sets == NULL || description->setCount == 0)
        return failWith(result, KOV_KIT_BAD_ARGUMENT);
    texts[0] = description->copyright;
    texts[1] = description->maker;
    texts[2] = description->product;
    payloadLength = kFirstEntry + (uint64_t)kEntrySize * description->setCount;
    for (i = 0; i < 3; ++i) {
        units[i] = 0;
        if (texts[i] != NULL && !utf16FromUtf8(texts[i], NULL, &units[i]))
            return failWith(result, KOV_KIT_BAD_TEXT);
        if (units[i] > 0) /* an empty text gets no item */
            payloadLength += 4 + 2 * (units[i] + 1);
    }
    if (description->timestamp != NULL) {
        if (!validTimestamp(description->timestamp))
            return failWith(result, KOV_KIT_BAD_TIMESTAMP);
        memcpy(stamp, description->timestamp, KOV_TIMESTAMP_SIZE);
    } else if (!kov_kitLocalTimestamp(stamp)) {
        return failWith(result, KOV_KIT_BAD_TIMESTAMP);
    }
    if (kHeaderSize + payloadLength > UINT32_MAX)
        return failWith(result, KOV_KIT_TOO_LARGE);
    block = kov_newBlock((uint32_t)(kHeaderSize + payloadLength));
    if (block == NULL)
        return failWith(result, KOV_KIT_NO_MEMORY);

    block->totalLength = (uint32_t)(kHeaderSize + payloadLength);
    block->formatMajor = KOV_FORMAT_MAJOR;
    block->formatMinor = KOV_FORMAT_MINOR;
    block->headerLength = kHeaderSize;
    payload = (uint8_t *)block + kHeaderSize; /* zeroed: every field not written here is 0 */
    put32(payload, (uint32_t)payloadLength);
    put16(payload + 4, 1); /* payload version 1.0 */
    put16(payload + kDescriptor + 4, 1); /* descriptor version 1.0 */
    put32(payload + kDescriptor + 8, description->kind);
    memcpy(payload + kDescriptor + 12, stamp, KOV_TIMESTAMP_SIZE);
    put32(payload + kDescriptor + 56, description->setCount);
    for (i = 0; i < description->setCount; ++i) {
        uint8_t *entry = payload + kFirstEntry + kEntrySize * i;
        const KovFunctionSet *set = &description->sets[i];
        put32(entry, i + 1 < description->setCount ? kEntrySize : 0); /* distance; 0 = last */
        put32(entry + 4, 1); /* flags: what the broker writes in its own entries */
        put32(entry + 8, set->functionSet);
        put16(entry + 12, set->setMajor);
        put16(entry + 14, set->setMinor);
        /* entry + 16: the handle, written by the broker into its copy */
    }
    /* String offsets in an information block count from the payload's start. */
    running = kFirstEntry + (uint64_t)kEntrySize * description->setCount;
    for (i = 0; i < 3; ++i) {
        if (units[i] == 0)
            continue;
        put32(payload + running, (uint32_t)(units[i] + 1)); /* with the terminator, left 0 */
        utf16FromUtf8(texts[i], payload + running + 4, &units[i]);
        put32(payload + kTextFields[i], (uint32_t)running);
        running += 4 + 2 * (units[i] + 1);
    }
    if (result != NULL)
        *result = KOV_KIT_OK;
    return block;
}
