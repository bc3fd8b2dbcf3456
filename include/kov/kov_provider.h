/*
 * The provider kit: what every provider library repeats, done once and checked.
 *
 *   - kov_buildInfoBlock: the information block kov_GetSubSystemInfo returns, from a plain
 *     description (texts, function sets, timestamp or "now"), every offset computed for you;
 *   - kov_checkRequest, kov_answer, kov_buildConfirm, kov_deliver: confirms that start with the
 *     request's header as the broker requires, delivered through the request's callback and
 *     released when the callback does not keep them;
 *   - kov_releaseBlock: kov_DeleteReceive in one line, refusing blocks the kit did not build;
 *   - kov_queueConfirm, kov_queueWork: answers delivered later by one worker thread.
 *
 * C99 and C++. The code is a small static library: kov_add_provider() in the CMake package
 * links it (hidden, not exported), and the kovbroker-provider pkg-config package gives it as
 * -lkovprovider (-lkovprovider-mingw with MinGW). Every function here may be called from any
 * thread. docs/providers.md starts from a complete provider built with it.
 */
#ifndef KOV_PROVIDER_H
#define KOV_PROVIDER_H

#include <kov/kov_broker.h>
#include <kov/kov_keep_loaded.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the kit's own functions (never put into a message). */
typedef enum KovKitResult {
    KOV_KIT_OK = 0,
    KOV_KIT_BAD_ARGUMENT = 1,  /* a null pointer where one is needed, or no function set */
    KOV_KIT_BAD_TEXT = 2,      /* a text that is not valid UTF-8 */
    KOV_KIT_BAD_TIMESTAMP = 3, /* not "YYYY-MM-DDTHH:MM:SS.mmm+hhmm" with fields in range */
    KOV_KIT_TOO_LARGE = 4,     /* the block would not fit the 32-bit lengths of a message */
    KOV_KIT_NO_MEMORY = 5,
    KOV_KIT_NO_WORKER = 6      /* the worker thread could not be started */
} KovKitResult;

/* What kov_Receive returns when it has not taken the request. */
#define KOV_NOT_TAKEN 1

/* ---- The three entry points ----------------------------------------------------------------- */

/* The functions every provider defines (the broker finds them by these plain names). Declared
 * here, in this header's extern "C" block, so that a provider's definitions take their linkage,
 * calling convention and export mark from these declarations: a C++ definition without
 * extern "C" still gets the C name, one without KOV_PROVIDER_EXPORT is still exported, and one
 * with another calling convention or signature does not compile (instead of failing to load or
 * corrupting the stack at the first call). */
KOV_PROVIDER_EXPORT BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void);
KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_Receive(BrokerMessage *request);
KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block);

/* ---- Describing the provider ---------------------------------------------------------------- */

/* One function set the provider serves, at one version. */
typedef struct KovFunctionSet {
    uint32_t functionSet;
    uint16_t setMajor;
    uint16_t setMinor;
} KovFunctionSet;

/* What kov_GetSubSystemInfo tells the broker. Texts are UTF-8 (null or "" = none) and are
 * stored as UTF-16. Zero-initialise it ({0} in C, {} in C++) and set what you need. */
typedef struct KovDescription {
    const char *product;   /* display name, shown by kovctl list */
    const char *maker;
    const char *copyright;
    const KovFunctionSet *sets;
    uint32_t setCount;     /* at least 1 */
    const char *timestamp; /* 28 characters "YYYY-MM-DDTHH:MM:SS.mmm+hhmm"; null = now, local */
    uint32_t kind;         /* carried unchanged by the broker, which gives it no meaning */
} KovDescription;

/* The information block for kov_GetSubSystemInfo, or null (then `*result`, if given, says why;
 * returning null tells the broker not to load the library). Laid out as the broker expects:
 * a 44-byte header, then the payload: head, descriptor, one 20-byte entry per set chained by
 * their distances, then the copyright, maker and product strings. The broker hands the block
 * back through kov_DeleteReceive, where kov_releaseBlock takes it. */
BrokerMessage *kov_buildInfoBlock(const KovDescription *description, int *result);

/* ---- Requests ------------------------------------------------------------------------------- */

/* 1 when the request can be answered: not null, a callback, a header of at least 44 bytes and a
 * totalLength that covers it. Read nothing else of a request that is not. */
int kov_isAnswerable(const BrokerMessage *request);

/* The status an answerable request gets before the provider looks at its function code:
 * KOV_STATUS_BAD_VERSION when the format is not 1.0 or the set is served at another version,
 * KOV_STATUS_UNKNOWN_SET when none of `sets` is the request's set, else KOV_STATUS_OK. */
uint32_t kov_checkRequest(const BrokerMessage *request, const KovFunctionSet *sets,
                          uint32_t setCount);

/* The payload (at headerLength) and its size (0 when totalLength does not cover the header). */
static inline uint8_t *kov_payload(const BrokerMessage *message)
{
    return (uint8_t *)message + message->headerLength;
}

static inline uint32_t kov_payloadSize(const BrokerMessage *message)
{
    return message->totalLength > message->headerLength
               ? message->totalLength - message->headerLength
               : 0;
}

/* ---- Confirms ------------------------------------------------------------------------------- */

/* A confirm for `request`: a copy of its first headerLength bytes (so provider, callback,
 * callbackData and any bytes past 44 come back), then `payloadSize` bytes copied from
 * `payload`, or zeroes when `payload` is null, for you to fill in at kov_payload(confirm);
 * totalLength is the confirm's size and status is `status`. Null when the request's header is
 * not whole (see kov_isAnswerable), the size would not fit 32 bits, or memory runs out. Build
 * it while the request is at hand: an asynchronous caller may drop its request once it has been
 * answered. */
BrokerMessage *kov_buildConfirm(const BrokerMessage *request, uint32_t status,
                                const void *payload, uint32_t payloadSize);

/* Calls the callback in the confirm's header with it and releases the confirm when the callback
 * does not keep it (returns 0); a kept one is the caller's until kov_DeleteConfirm hands it back
 * to kov_DeleteReceive. Returns 0, or KOV_NOT_TAKEN (confirm released, nobody called) for a null
 * confirm or one without a callback. Never call it while holding a lock kov_Receive takes: the
 * callback may send to this provider again, on this thread. */
int32_t kov_deliver(BrokerMessage *confirm);

/* What kov_Receive does when it has no memory for a confirm: writes KOV_STATUS_NO_MEMORY into
 * the request, then calls its callback with null (a kov_SendSync caller learns from that status
 * that its request was answered). Returns 0, or KOV_NOT_TAKEN for a request that is not
 * answerable. Call it while the request is alive, normally inside kov_Receive. */
int32_t kov_answerNoMemory(BrokerMessage *request);

/* Answers the request now, on this thread: builds the confirm (header-only when payloadSize is
 * 0, the usual error confirm) and delivers it, or, without memory, kov_answerNoMemory. Returns
 * what kov_Receive should return: 0, or KOV_NOT_TAKEN when the request is not answerable. */
int32_t kov_answer(BrokerMessage *request, uint32_t status, const void *payload,
                   uint32_t payloadSize);

/* ---- Blocks --------------------------------------------------------------------------------- */

/* A zeroed block of `size` bytes (at least 44) that kov_releaseBlock accepts: for a provider
 * that lays out a message of its own. Null when out of memory or `size` is below 44. */
BrokerMessage *kov_newBlock(uint32_t size);

/* Releases a block the kit built (information block, confirm, kov_newBlock) and returns 0.
 * Anything else, null, or a block released already, is turned away untouched with 1: the kit
 * looks the address up among its own, never in the memory it points to. Made to be the whole of
 * kov_DeleteReceive. */
int32_t kov_releaseBlock(BrokerMessage *block);

/* ---- Answers from a worker thread ----------------------------------------------------------- */

/* Work for the worker thread. */
typedef void (*KovWork)(void *context);

/* Runs work(context) on the kit's worker thread `delayMs` milliseconds from now: one thread per
 * library, started on first use, running one item at a time in order of due time (items due
 * together in the order queued), never while holding the queue's lock. Before the thread
 * starts, the library pins itself with kov_keepLoaded(), so the broker unloading it (reload,
 * removal) never pulls code from under the thread: it stays mapped, idle, until the process
 * ends. Returns KOV_KIT_OK, KOV_KIT_NO_WORKER or KOV_KIT_NO_MEMORY (nothing queued then). */
int kov_queueWork(KovWork work, void *context, uint32_t delayMs);

/* kov_deliver(confirm) on the worker thread, `delayMs` from now. On failure the confirm is still
 * yours: deliver it now, or release it and return KOV_NOT_TAKEN from kov_Receive. */
int kov_queueConfirm(BrokerMessage *confirm, uint32_t delayMs);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KOV_PROVIDER_H */
