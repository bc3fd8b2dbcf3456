// KOV sample provider: function set 0x5A00, version 1.0.
//   code 0  echo   the confirm's payload is the request's payload
//   code 1  clock  the confirm's payload is the current UTC time as 24 ASCII characters
// Built with the provider kit (<kov/kov_provider.h>). Confirms are built here, while the request
// is at hand (an asynchronous caller may drop its request as soon as kov_Send returns), and
// delivered later by the kit's worker thread.
#include "sample_provider.h"

#include <cstring>

namespace {

const KovFunctionSet kSets[] = {{sample::kFunctionSet, 1, 0}};

// Work for the worker thread: the clock's time is written when the answer leaves, not when it
// was queued.
void stampAndDeliver(void *context)
{
    auto *confirm = static_cast<BrokerMessage *>(context);
    char text[23];
    sample::utcDateTime(text);
    std::memcpy(kov_payload(confirm), text, sizeof text);
    kov_payload(confirm)[23] = 'Z';
    kov_deliver(confirm);
}

} // namespace

extern "C" KOV_PROVIDER_EXPORT BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    KovDescription description{};
    description.product = "KOV sample provider";
    description.maker = "KOV Broker examples";
    description.copyright = "Copyright (c) 2026 KOV Broker team.";
    description.sets = kSets;
    description.setCount = 1; // no timestamp given: the kit takes the time now
    return kov_buildInfoBlock(&description, nullptr); // null: the broker then skips this library
}

extern "C" KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    // Without a callback or a whole header there is nobody to answer and nothing to copy.
    if (!kov_isAnswerable(request))
        return KOV_NOT_TAKEN;

    uint32_t status = kov_checkRequest(request, kSets, 1);
    if (status == KOV_STATUS_OK && request->functionCode != sample::kEcho &&
        request->functionCode != sample::kClock)
        status = KOV_STATUS_UNKNOWN_FUNCTION;
    BrokerMessage *confirm = nullptr;
    if (status != KOV_STATUS_OK)
        confirm = kov_buildConfirm(request, status, nullptr, 0);
    else if (request->functionCode == sample::kEcho)
        confirm = kov_buildConfirm(request, status, kov_payload(request), kov_payloadSize(request));
    else
        confirm = kov_buildConfirm(request, status, nullptr, sample::kClockTextSize);
    if (confirm == nullptr)
        return kov_answerNoMemory(request); // status 3 into the request, then null

    const bool clock = status == KOV_STATUS_OK && request->functionCode == sample::kClock;
    const int queued = clock ? kov_queueWork(stampAndDeliver, confirm, 0)
                             : kov_queueConfirm(confirm, 0);
    if (queued != KOV_KIT_OK) {
        kov_releaseBlock(confirm);
        request->status = KOV_STATUS_NO_MEMORY;
        return KOV_NOT_TAKEN; // no confirm will come
    }
    return 0;
}

// Releases confirms and the information block; refuses (1) any block this library did not build.
extern "C" KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kov_releaseBlock(block);
}
