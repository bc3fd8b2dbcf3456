// Shared by the test provider libraries: what the provider kit (<kov/kov_provider.h>) does, with
// counts of it that a test reads through kov_test_Counters, and a few test behaviours. Blocks,
// confirms, the information block and the worker thread are the kit's; this file adds the
// counting. Each library links its own copy, so every library has its own counters and blocks.
#ifndef KOV_TEST_PROVIDER_KIT_H
#define KOV_TEST_PROVIDER_KIT_H

#include "provider_counters.h"

#include <kov/kov_provider.h>

#include <cstdint>
#include <vector>

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
    const char *product; // UTF-8
    const char *maker;
    const char *copyright;
    std::vector<uint32_t> sets; // each served at version 1.0
};

// The information block the kit builds for `layout`: kind 1 and a fixed timestamp, so a test can
// see the broker copy it byte for byte. Null when memory runs out.
BrokerMessage *describe(const InfoLayout &layout);

// The payload of describe(layout), copied out, for libraries that damage it on purpose.
std::vector<uint8_t> layoutInfoPayload(const InfoLayout &layout);

// A 44-byte header followed by `payload` copied verbatim, in a block of exactly that size that
// the kit releases. Null when memory runs out.
BrokerMessage *publishInfoBlock(const std::vector<uint8_t> &payload);

// Byte offsets inside the information payload, for libraries that damage it on purpose.
constexpr uint32_t kInfoSetCountOffset = 68;
constexpr uint32_t kInfoFirstEntryOffset = 72;
constexpr uint32_t kInfoCopyrightOffsetField = 12 + 40;
constexpr uint32_t kInfoProductOffsetField = 12 + 52;

void putU32(std::vector<uint8_t> &bytes, uint32_t offset, uint32_t value);
uint32_t getU32(const std::vector<uint8_t> &bytes, uint32_t offset);

// ---- requests and confirms

// kov_isAnswerable: a callback, a full header and a total length that covers it.
bool isAnswerable(const BrokerMessage *request);
uint32_t payloadLength(const BrokerMessage *request);
const uint8_t *payloadOf(const BrokerMessage *request);
// The payload's first u32, or 0 when the payload is shorter.
uint32_t firstPayloadWord(const BrokerMessage *request);

// kov_buildConfirm, counted in confirmsBuilt. Null when memory runs out.
BrokerMessage *buildConfirm(const BrokerMessage *request, const uint8_t *payload,
                            uint32_t payloadLength, uint32_t status);

// kov_releaseBlock, counted in infoReturned or confirmsReleased: 0 for a block of this library,
// 1 for anything else, which is left alone.
int32_t releaseBlock(BrokerMessage *block);

// Hands `confirm` to `callback` and releases it when the callback does not keep it, as
// kov_deliver does, but through releaseBlock so that the release is counted. A null confirm goes
// through as the failure notice.
void deliver(ConfirmCallback callback, BrokerMessage *confirm);

// kov_answerNoMemory: status 3 into the request, then null. The request must still be alive.
void deliverNoMemory(BrokerMessage *request);

// What kov_test_immediate answers, on the calling thread before returning 0:
// code 0 echoes the payload (status 0), code 1 is header-only with the payload's first u32 as
// status, any other code is header-only with status 6. Refuses (1) a request it cannot answer.
int32_t answerNow(BrokerMessage *request);

// Counts a refusal and returns the nonzero hand-over result.
int32_t refuse();

} // namespace kit

#endif // KOV_TEST_PROVIDER_KIT_H
