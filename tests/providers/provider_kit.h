// Shared by the test provider libraries: the exports' declarations, the information block, confirm
// building and the registry of live blocks. Each library links its own copy, so every library has
// its own counters and its own registry. Uses nothing but the public header.
#ifndef KOV_TEST_PROVIDER_KIT_H
#define KOV_TEST_PROVIDER_KIT_H

#include "provider_counters.h"

#include <kov/kov_broker.h>

#include <cstdint>
#include <vector>

// The build names the export attribute (dllexport or default visibility), so no source here
// needs to know the platform.
#ifndef KOV_PROVIDER_EXPORT
#error "KOV_PROVIDER_EXPORT must be defined by the build"
#endif

extern "C" {
KOV_PROVIDER_EXPORT BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void);
KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_Receive(BrokerMessage *request);
KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block);
KOV_PROVIDER_EXPORT KovProviderCounters *KOV_CALL kov_test_Counters(void);
}

namespace kit {

// ---- counters

KovProviderCounters &counters();
void bump(int32_t &counter, int32_t delta = 1);

// ---- subsystem information block

struct InfoLayout {
    const char16_t *product;
    const char16_t *maker;
    const char16_t *copyright;
    std::vector<uint32_t> sets; // each served at version 1.0
};

// Payload of an information block: head, descriptor (string offsets from the payload's start),
// entries chained by 20, then the copyright, maker and product items. Empty texts get no item.
std::vector<uint8_t> layoutInfoPayload(const InfoLayout &layout);

// A 44-byte header followed by `payload` copied verbatim, registered as this library's
// information block. Null when memory runs out.
BrokerMessage *publishInfoBlock(const std::vector<uint8_t> &payload);

// Byte offsets inside the information payload, for libraries that damage it on purpose.
constexpr uint32_t kInfoSetCountOffset = 68;
constexpr uint32_t kInfoFirstEntryOffset = 72;
constexpr uint32_t kInfoCopyrightOffsetField = 12 + 40;
constexpr uint32_t kInfoProductOffsetField = 12 + 52;

void putU32(std::vector<uint8_t> &bytes, uint32_t offset, uint32_t value);
uint32_t getU32(const std::vector<uint8_t> &bytes, uint32_t offset);

// ---- requests and confirms

// A request this library can answer: a callback, a full header and a total length that covers it.
bool isAnswerable(const BrokerMessage *request);
uint32_t payloadLength(const BrokerMessage *request);
const uint8_t *payloadOf(const BrokerMessage *request);
// The payload's first u32, or 0 when the payload is shorter.
uint32_t firstPayloadWord(const BrokerMessage *request);

// Copies the request's first headerLength bytes, appends `payload`, sets totalLength and status.
// Registered as a live confirm. Null when memory runs out.
BrokerMessage *buildConfirm(const BrokerMessage *request, const uint8_t *payload,
                            uint32_t payloadLength, uint32_t status);

// Frees a block this library built and still holds. 1 for anything else, which is left alone.
int32_t releaseBlock(BrokerMessage *block);

// Hands `confirm` to `callback` and frees it when the callback does not keep it. A null confirm
// goes through as the failure notice.
void deliver(ConfirmCallback callback, BrokerMessage *confirm);

// Delivers null after writing status 3 into the request: what a provider does when it has no
// memory for a confirm. The request must still be alive.
void deliverNoMemory(BrokerMessage *request);

// What kov_test_immediate answers, on the calling thread before returning 0:
// code 0 echoes the payload (status 0), code 1 is header-only with the payload's first u32 as
// status, any other code is header-only with status 6. Refuses (1) a request it cannot answer.
int32_t answerNow(BrokerMessage *request);

// Counts a refusal and returns the nonzero hand-over result.
int32_t refuse();

} // namespace kit

#endif // KOV_TEST_PROVIDER_KIT_H
