/*
 * KOV Broker public interface.
 *
 * The only header callers and provider authors need. Every record here crosses module
 * boundaries (caller, broker, provider libraries), so its layout is fixed: little-endian,
 * 32-bit pointers and handles, no padding. The asserts at the end pin every offset.
 * Usable from C (C99 or later) and C++.
 */
#ifndef KOV_BROKER_H
#define KOV_BROKER_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define KOV_CALL __stdcall
#else
#define KOV_CALL
#endif

#if defined(_WIN32)
#if defined(KOV_BUILDING_BROKER)
#define KOV_API __declspec(dllexport)
#else
#define KOV_API __declspec(dllimport)
#endif
#else
#define KOV_API __attribute__((visibility("default")))
#endif

/* For a provider library's three entry points (kov_GetSubSystemInfo, kov_Receive,
 * kov_DeleteReceive), declared extern "C" and KOV_CALL (<kov/kov_provider.h> declares all three
 * so). kov_add_provider() in the CMake package builds with hidden visibility, so these are the
 * library's only exports. */
#if defined(_WIN32)
#define KOV_PROVIDER_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define KOV_PROVIDER_EXPORT __attribute__((visibility("default")))
#else
#define KOV_PROVIDER_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Identifies one loaded provider for as long as it stays loaded. 0 addresses the head of the
 * provider list, which is the broker's own provider. A handle of a provider that has been
 * removed or reloaded never names another provider: requests carrying it get status 4. */
typedef uint32_t ProviderHandle;

struct BrokerMessage;

/* Receives a confirm (or null when none could be built: the request's status then says why).
 * Return nonzero to keep the confirm and release it later with kov_DeleteConfirm; return 0 to
 * let it go. */
typedef int32_t(KOV_CALL *ConfirmCallback)(struct BrokerMessage *confirm);

/* Header shared by requests and confirms. The payload starts at headerLength, which is at least
 * 44; bytes between 44 and headerLength travel with the header into every confirm. */
typedef struct BrokerMessage {
    uint32_t totalLength;  /* whole message, header included */
    uint16_t formatMajor;  /* 1 */
    uint16_t formatMinor;  /* 0 */
    uint32_t headerLength; /* >= 44 */
    ProviderHandle provider;
    uint32_t functionSet;  /* 0 broker set, 0xFFFF common set, others: the provider's own */
    uint16_t setMajor;     /* 1 */
    uint16_t setMinor;     /* 0 */
    uint32_t functionCode;
    uint32_t reserved;     /* never touched by the broker; copied into confirms */
    uint32_t status;       /* one of the KOV_STATUS_ codes */
    ConfirmCallback callback;
    void *callbackData;    /* the caller's; comes back unchanged in the confirm */
} BrokerMessage;

#define KOV_HEADER_SIZE 44u
#define KOV_FORMAT_MAJOR 1u
#define KOV_FORMAT_MINOR 0u
#define KOV_BROKER_FUNCTION_SET 0u
#define KOV_COMMON_FUNCTION_SET 0xFFFFu

/* Status codes. Prefixed so that they live beside <windows.h>, which has STATUS_ names of its
 * own; kovctl prints them without the prefix (STATUS_UNKNOWN_PROVIDER, ...). */
enum {
    KOV_STATUS_OK = 0,
    KOV_STATUS_NO_EVENT = 2,
    KOV_STATUS_NO_MEMORY = 3,
    KOV_STATUS_UNKNOWN_PROVIDER = 4,
    KOV_STATUS_UNKNOWN_SET = 5,
    KOV_STATUS_UNKNOWN_FUNCTION = 6,
    KOV_STATUS_DEREGISTER_FAILED = 7,
    KOV_STATUS_REGISTRY_ERROR = 8,
    KOV_STATUS_REGISTER_WRITE_FAILED = 9,
    KOV_STATUS_PROVIDER_LOAD_FAILED = 10,
    KOV_STATUS_ALREADY_REGISTERED = 11,
    /* kov_SendSync: the provider's confirm broke the header rules (its headerLength below 44 or
     * beyond its own totalLength). The confirm went back to its provider, and the caller got a
     * header-only confirm of the broker's with this status instead. */
    KOV_STATUS_MALFORMED_CONFIRM = 12,
    KOV_STATUS_BAD_VERSION = 25,
    KOV_STATUS_LANGUAGE_MISMATCH = 34,

    /* Codes from 1000 to 65535 belong to providers, for answers of their own: the broker never
     * produces them, and kovctl prints them as "provider status N". The broker keeps 0 to 999
     * for itself (a provider may pass those on with their meaning); above 65535 is reserved. */
    KOV_STATUS_PROVIDER_FIRST = 1000,
    KOV_STATUS_PROVIDER_LAST = 65535
};

/* Broker function set (0, version 1.0), sent to handle 0. */
enum {
    KOV_FN_LIST_SUBSYSTEMS = 0,
    KOV_FN_GET_BROKER_INFO = 1,
    KOV_FN_GET_STATISTICS = 2,
    KOV_FN_RELOAD = 3,
    KOV_FN_REGISTER_PROVIDER = 4,
    KOV_FN_GET_LOAD_REPORT = 5
};

/* Common function set (0xFFFF, version 1.0), sent to handle 0. */
enum {
    KOV_COMMON_FN_RELOAD = 2,
    KOV_COMMON_FN_GET_LANGUAGE = 4,
    KOV_COMMON_FN_CHECK_LANGUAGE = 5
};

#pragma pack(push, 4)

/* First 8 bytes of every payload record the broker builds. */
typedef struct PayloadHead {
    uint32_t length;
    uint16_t versionMajor;
    uint16_t versionMinor;
} PayloadHead;

/* A length-prefixed UTF-16 string: count code units (terminator included) follow the count.
 * Items are packed without alignment; records refer to them by byte offset (0 = absent). */
typedef struct StringItem {
    uint32_t count;
    uint16_t text[1];
} StringItem;

#define KOV_TIMESTAMP_SIZE 28u /* "YYYY-MM-DDTHH:MM:SS.mmm+hhmm", no terminator */

/* One function set a provider serves; 20 bytes. */
typedef struct FunctionSetEntry {
    uint32_t nextDistance; /* bytes from this entry to the next; 0 on the last */
    uint32_t flags;        /* 1 in the broker's entries; not read by the broker */
    uint32_t functionSet;
    uint16_t setMajor;
    uint16_t setMinor;
    ProviderHandle provider; /* filled in by the broker: the handle to send this set's requests to */
} FunctionSetEntry;

/* A provider's self-description. String offsets count from the descriptor's start, except in a
 * subsystem information block, where they count from the payload's start. */
typedef struct SubsystemDescriptor {
    uint32_t size;
    uint16_t versionMajor;
    uint16_t versionMinor;
    uint32_t kind;
    char timestamp[KOV_TIMESTAMP_SIZE];
    uint32_t copyrightOffset;
    uint32_t makerOffset;
    uint32_t extraOffset;
    uint32_t productOffset;
    uint32_t setCount;
    FunctionSetEntry sets[1]; /* setCount entries, chained by nextDistance; then the strings */
} SubsystemDescriptor;

#define KOV_DESCRIPTOR_FIXED_SIZE 60u

/* What a provider's kov_GetSubSystemInfo returns: a message header (only headerLength is read),
 * then this payload. The descriptor's first u32 is not read. */
typedef struct SubsystemInfoPayload {
    uint32_t length;
    uint16_t versionMajor;
    uint16_t versionMinor;
    uint32_t kind;
    SubsystemDescriptor descriptor;
} SubsystemInfoPayload;

/* Usage counters: the payload of GetStatistics. 64-bit counters are stored low half first at
 * offsets 20, 28, ...; they are split into halves here so the record keeps its packed layout. */
typedef struct KovCounter64 {
    uint32_t low;
    uint32_t high;
} KovCounter64;

typedef struct StatisticsRecord {
    uint32_t length; /* 108 */
    uint16_t versionMajor;
    uint16_t versionMinor;
    uint32_t reserved1;
    uint32_t reserved2;
    uint32_t setCount;
    KovCounter64 totalCalls;
    KovCounter64 totalDelivered;
    KovCounter64 totalFailed;
    KovCounter64 sendCalls;
    KovCounter64 sendDelivered;
    KovCounter64 sendFailed;
    KovCounter64 syncCalls;
    KovCounter64 syncDelivered;
    KovCounter64 syncFailed;
    uint32_t bytesAllocated;
    uint32_t bytesInUse;
    uint32_t bytesFreed;
    uint32_t syncWaiting;
} StatisticsRecord;

/* Payload of GetLanguage (common set, code 4), for the broker's tag "en|US". */
typedef struct LanguageReply {
    PayloadHead head;        /* length = n + 32 */
    uint32_t reserved1;
    uint32_t reserved2;
    uint32_t reserved3;
    uint32_t itemCount;      /* 1 */
    uint32_t tagUnits;       /* UTF-16 units of the tag, terminator included */
    uint16_t tag[1];         /* then 4 zero bytes */
} LanguageReply;

/* Payload of RegisterProvider (broker set, code 4). Both offsets count from the payload's start
 * and name StringItems; both texts must end with their terminator inside the message. */
typedef struct RegisterProviderRequest {
    uint8_t unused[16];
    uint32_t operation; /* 1 = register; anything else removes */
    uint32_t keyNameOffset;
    uint32_t pathOffset;
} RegisterProviderRequest;

#define KOV_REGISTER 1u

/* Payload of GetLoadReport (broker set, code 5): how the provider list in use came about. The
 * report is that of the last load of this process (its first send, or the last Reload), also of
 * one that failed. Offsets count from the payload's start; texts are StringItems (offset 0: none).
 * The entries follow the head, entrySize bytes apart; a later version may make them longer. */
typedef struct LoadReportHead {
    PayloadHead head;           /* length: the whole payload */
    uint32_t outcome;           /* KOV_STATUS_OK: the registry's provider list was read whole;
                                   KOV_STATUS_REGISTRY_ERROR: it could not be, and the load
                                   published nothing new (see registryError);
                                   KOV_STATUS_NO_MEMORY: the load ran out of memory */
    uint32_t loadKind;          /* KOV_LOAD_FIRST or KOV_LOAD_RELOAD */
    uint32_t registryState;     /* KOV_REGISTRY_... */
    uint32_t registryError;     /* the registry's error code when it could not be read (Windows
                                   codes: 5 access denied, 170 locked by another process past
                                   the wait, 1009 not a registry, ...); else 0 */
    uint32_t locationOffset;    /* the registry in use: its file, or its key on Windows */
    uint32_t loadedCount;       /* provider libraries this load listed (the broker's own aside) */
    uint32_t entryCount;        /* registry entries that did not load: LoadReportEntry records */
    uint32_t entriesOffset;     /* the first of them */
    uint32_t entrySize;         /* 28 (24 before entries named their layer) */
    uint32_t marksState;        /* KOV_MARKS_...: the crash marks of this load */
    uint32_t marksFolderOffset; /* where this user's crash marks of this registry are kept */
    uint32_t marksNoteOffset;   /* what went wrong with them, in words; 0 when nothing did */
    char timestamp[KOV_TIMESTAMP_SIZE]; /* when the load began */
    /* The user's own registry, read after the machine's (the fields above describe the
     * machine's). Its trouble never costs the machine's providers: outcome stays KOV_STATUS_OK. */
    uint32_t userRegistryState; /* KOV_REGISTRY_...; KOV_REGISTRY_IGNORED or _REFUSED: see the note */
    uint32_t userRegistryError; /* as registryError */
    uint32_t userLocationOffset; /* its file, or its key on Windows; 0 when none is known */
    uint32_t userNoteOffset;     /* why it was ignored or refused, in words; else 0 */
} LoadReportHead;

/* One registry entry that did not load. */
typedef struct LoadReportEntry {
    uint32_t why;        /* KOV_ENTRY_... */
    uint32_t status;     /* KOV_STATUS_PROVIDER_LOAD_FAILED, or KOV_STATUS_REGISTRY_ERROR for an
                            entry that could not be read */
    uint32_t keyOffset;  /* the provider key (0 when its name could not be read) */
    uint32_t pathOffset; /* the library path (0 when it could not be read) */
    uint32_t textOffset; /* the reason in words */
    uint32_t processId;  /* KOV_ENTRY_CRASHED: the process that ended while loading it; else 0 */
    uint32_t layer;      /* KOV_LAYER_...: the registry the entry is in */
} LoadReportEntry;

enum {
    KOV_LOAD_FIRST = 1,  /* the first send of the process (tried again by the next send when it
                            failed) */
    KOV_LOAD_RELOAD = 2  /* Reload (broker code 3, common code 2) */
};

enum {
    KOV_REGISTRY_ABSENT = 0,     /* holds no provider list: nothing was ever registered there */
    KOV_REGISTRY_READ = 1,       /* read */
    KOV_REGISTRY_UNREADABLE = 2, /* could not be read: registryError says why */
    KOV_REGISTRY_NOT_NAMED = 3,  /* none is named (Linux: KOV_BROKER_REGISTRY set but empty) */
    KOV_REGISTRY_IGNORED = 4,    /* the user's registry, not read by an elevated (set-user-id)
                                    process */
    KOV_REGISTRY_REFUSED = 5     /* the user's registry, not read: another user may write it */
};

enum {
    KOV_LAYER_MACHINE = 0, /* the machine's registry */
    KOV_LAYER_USER = 1     /* the user's own, layered over the machine's */
};

enum {
    KOV_ENTRY_REFUSED = 1,   /* the library did not load, lacks an entry point or described
                                itself badly */
    KOV_ENTRY_CRASHED = 2,   /* skipped: an earlier process ended (crashed, or hung and was
                                killed) while loading it; enabled again by `kovctl enable KEY` or
                                by registering it again */
    KOV_ENTRY_UNREADABLE = 3 /* the entry itself could not be read: a name too long */
};

enum {
    KOV_MARKS_KEPT = 0,    /* crash marks were written and read */
    KOV_MARKS_TROUBLE = 1, /* some could not be written or read (see the note); the load went on
                              without them */
    KOV_MARKS_NONE = 2     /* no per-user folder is known for them: nothing is remembered */
};

#pragma pack(pop)

/* Exports of the broker module (KOV_BR.dll ordinals 1, 2, 3). */

/* Routes the request to the provider its header names; the confirm comes through the request's
 * callback. Returns the provider's answer to the hand-over (0 = taken), or for an unknown handle
 * what the callback returned for the error confirm. A request that is null, has no callback or a
 * header shorter than 44 bytes is refused: nonzero result, no confirm, and where the request can
 * be written its status becomes KOV_STATUS_BAD_VERSION. */
KOV_API int32_t KOV_CALL kov_Send(BrokerMessage *request);

/* Sends and waits for the confirm, which is stored in *confirmOut (null when the provider refused
 * the request or no confirm could be built: the request's status says why). The request's callback
 * and callbackData are overwritten; the caller's callback is never called. The result is nonzero
 * except when the broker could not build its own error confirm. A provider that cannot allocate a
 * confirm for a synchronous request must leave a nonzero status in the request before it delivers
 * null, so that the waiting call can tell its request has been answered. */
KOV_API int32_t KOV_CALL kov_SendSync(BrokerMessage *request, BrokerMessage **confirmOut);

/* Releases a confirm that a callback kept (or that kov_SendSync handed out). Returns the result of
 * the providers's release, 0 for confirms the broker built, 4 when no loaded provider built it. */
KOV_API int32_t KOV_CALL kov_DeleteConfirm(BrokerMessage *confirm);

/* The three exports every provider library offers (by these names, undecorated). */
typedef BrokerMessage *(KOV_CALL *KovGetSubSystemInfoFn)(void);
typedef int32_t(KOV_CALL *KovReceiveFn)(BrokerMessage *request);
typedef int32_t(KOV_CALL *KovDeleteReceiveFn)(BrokerMessage *block);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Layout checks: every offset is part of the binary contract. */
#if defined(__cplusplus)
#define KOV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KOV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
/* C99: an array type whose size is negative when the condition fails, one name per line. */
#define KOV_STATIC_ASSERT_NAME_(line) kov_static_assert_line_##line
#define KOV_STATIC_ASSERT_AT_(line) KOV_STATIC_ASSERT_NAME_(line)
#define KOV_STATIC_ASSERT(cond, msg) typedef char KOV_STATIC_ASSERT_AT_(__LINE__)[(cond) ? 1 : -1]
#endif

KOV_STATIC_ASSERT(sizeof(void *) == 4, "the broker ABI is 32-bit");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, totalLength) == 0, "totalLength");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, formatMajor) == 4, "formatMajor");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, formatMinor) == 6, "formatMinor");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, headerLength) == 8, "headerLength");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, provider) == 12, "provider");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, functionSet) == 16, "functionSet");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, setMajor) == 20, "setMajor");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, setMinor) == 22, "setMinor");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, functionCode) == 24, "functionCode");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, reserved) == 28, "reserved");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, status) == 32, "status");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, callback) == 36, "callback");
KOV_STATIC_ASSERT(offsetof(BrokerMessage, callbackData) == 40, "callbackData");
KOV_STATIC_ASSERT(sizeof(BrokerMessage) == 44, "BrokerMessage header is 44 bytes");

KOV_STATIC_ASSERT(sizeof(PayloadHead) == 8, "PayloadHead");
KOV_STATIC_ASSERT(offsetof(StringItem, text) == 4, "StringItem text");
KOV_STATIC_ASSERT(sizeof(FunctionSetEntry) == 20, "FunctionSetEntry");
KOV_STATIC_ASSERT(offsetof(FunctionSetEntry, functionSet) == 8, "FunctionSetEntry.functionSet");
KOV_STATIC_ASSERT(offsetof(FunctionSetEntry, setMajor) == 12, "FunctionSetEntry.setMajor");
KOV_STATIC_ASSERT(offsetof(FunctionSetEntry, provider) == 16, "FunctionSetEntry.provider");
KOV_STATIC_ASSERT(offsetof(SubsystemDescriptor, kind) == 8, "descriptor kind");
KOV_STATIC_ASSERT(offsetof(SubsystemDescriptor, timestamp) == 12, "descriptor timestamp");
KOV_STATIC_ASSERT(offsetof(SubsystemDescriptor, copyrightOffset) == 40, "descriptor copyright");
KOV_STATIC_ASSERT(offsetof(SubsystemDescriptor, makerOffset) == 44, "descriptor maker");
KOV_STATIC_ASSERT(offsetof(SubsystemDescriptor, extraOffset) == 48, "descriptor fourth string");
KOV_STATIC_ASSERT(offsetof(SubsystemDescriptor, productOffset) == 52, "descriptor product");
KOV_STATIC_ASSERT(offsetof(SubsystemDescriptor, setCount) == 56, "descriptor set count");
KOV_STATIC_ASSERT(offsetof(SubsystemDescriptor, sets) == 60, "descriptor entries");
KOV_STATIC_ASSERT(offsetof(SubsystemInfoPayload, descriptor) == 12, "info payload descriptor");
KOV_STATIC_ASSERT(offsetof(SubsystemInfoPayload, descriptor.setCount) == 68, "info set count");
KOV_STATIC_ASSERT(offsetof(SubsystemInfoPayload, descriptor.sets) == 72, "info entries");
KOV_STATIC_ASSERT(offsetof(StatisticsRecord, setCount) == 16, "statistics setCount");
KOV_STATIC_ASSERT(offsetof(StatisticsRecord, totalCalls) == 20, "statistics totalCalls");
KOV_STATIC_ASSERT(offsetof(StatisticsRecord, sendCalls) == 44, "statistics sendCalls");
KOV_STATIC_ASSERT(offsetof(StatisticsRecord, syncCalls) == 68, "statistics syncCalls");
KOV_STATIC_ASSERT(offsetof(StatisticsRecord, syncFailed) == 84, "statistics syncFailed");
KOV_STATIC_ASSERT(offsetof(StatisticsRecord, bytesAllocated) == 92, "statistics bytesAllocated");
KOV_STATIC_ASSERT(offsetof(StatisticsRecord, syncWaiting) == 104, "statistics syncWaiting");
KOV_STATIC_ASSERT(sizeof(StatisticsRecord) == 108, "StatisticsRecord is 108 bytes");
KOV_STATIC_ASSERT(offsetof(LanguageReply, itemCount) == 20, "LanguageReply item count");
KOV_STATIC_ASSERT(offsetof(LanguageReply, tagUnits) == 24, "LanguageReply tag units");
KOV_STATIC_ASSERT(offsetof(LanguageReply, tag) == 28, "LanguageReply tag");
KOV_STATIC_ASSERT(offsetof(RegisterProviderRequest, operation) == 16, "register operation");
KOV_STATIC_ASSERT(offsetof(RegisterProviderRequest, keyNameOffset) == 20, "register key name");
KOV_STATIC_ASSERT(offsetof(RegisterProviderRequest, pathOffset) == 24, "register path");
KOV_STATIC_ASSERT(sizeof(RegisterProviderRequest) == 28, "RegisterProviderRequest");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, outcome) == 8, "load report outcome");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, loadKind) == 12, "load report kind");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, registryState) == 16, "load report registry state");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, registryError) == 20, "load report registry error");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, locationOffset) == 24, "load report location");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, loadedCount) == 28, "load report loaded count");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, entryCount) == 32, "load report entry count");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, entriesOffset) == 36, "load report entries");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, entrySize) == 40, "load report entry size");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, marksState) == 44, "load report marks state");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, marksFolderOffset) == 48, "load report marks folder");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, marksNoteOffset) == 52, "load report marks note");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, timestamp) == 56, "load report timestamp");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, userRegistryState) == 84, "load report user state");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, userRegistryError) == 88, "load report user error");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, userLocationOffset) == 92, "load report user location");
KOV_STATIC_ASSERT(offsetof(LoadReportHead, userNoteOffset) == 96, "load report user note");
KOV_STATIC_ASSERT(sizeof(LoadReportHead) == 100, "LoadReportHead is 100 bytes");
KOV_STATIC_ASSERT(offsetof(LoadReportEntry, status) == 4, "load report entry status");
KOV_STATIC_ASSERT(offsetof(LoadReportEntry, keyOffset) == 8, "load report entry key");
KOV_STATIC_ASSERT(offsetof(LoadReportEntry, pathOffset) == 12, "load report entry path");
KOV_STATIC_ASSERT(offsetof(LoadReportEntry, textOffset) == 16, "load report entry text");
KOV_STATIC_ASSERT(offsetof(LoadReportEntry, processId) == 20, "load report entry process");
KOV_STATIC_ASSERT(offsetof(LoadReportEntry, layer) == 24, "load report entry layer");
KOV_STATIC_ASSERT(sizeof(LoadReportEntry) == 28, "LoadReportEntry is 28 bytes");

#undef KOV_STATIC_ASSERT
#undef KOV_STATIC_ASSERT_AT_
#undef KOV_STATIC_ASSERT_NAME_

#endif /* KOV_BROKER_H */
