// A provider for KOV Broker to start your own from: copy this folder, choose a function set of
// your own (kSet), describe the provider in kov_GetSubSystemInfo and write your functions in
// serve(). The provider kit, <kov/kov_provider.h>, declares the three entry points below with the
// broker's calling convention, C names and export mark, so their definitions need no extern "C";
// one whose signature is off does not compile.
//
// Function set 0x7E00, version 1.0:
//   code 0  echo    answers with the request's payload
//   code 1  served  answers with the number of requests served so far, this one included (u32)
// Other codes get status 6 (KOV_STATUS_UNKNOWN_FUNCTION), other sets 5, other versions 25.
#include <kov/kov_provider.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace {

constexpr uint32_t kSet = 0x7E00;
const KovFunctionSet kSets[] = {{kSet, 1, 0}};

// kov_Receive runs on every sending thread at once: state it shares is guarded.
std::mutex gLock;
uint32_t gServed = 0; // guarded by gLock

struct Answer {
    uint32_t status = KOV_STATUS_OK;
    std::vector<uint8_t> payload;
};

// Works out the answer to one request of this set; the confirm is built and delivered after any
// lock is released (the caller's callback may send to this provider again).
Answer serve(const BrokerMessage *request)
{
    uint32_t served;
    {
        const std::lock_guard<std::mutex> hold(gLock);
        served = ++gServed;
    }
    Answer answer;
    const uint8_t *payload = kov_payload(request);
    switch (request->functionCode) {
    case 0:
        answer.payload.assign(payload, payload + kov_payloadSize(request));
        break;
    case 1:
        for (int shift = 0; shift < 32; shift += 8) // little-endian, as every number in a message
            answer.payload.push_back(static_cast<uint8_t>(served >> shift));
        break;
    default:
        answer.status = KOV_STATUS_UNKNOWN_FUNCTION;
    }
    return answer;
}

} // namespace

BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    KovDescription description{};
    description.product = "Provider template";
    description.maker = "Your name";
    description.copyright = "Copyright (c) Your name";
    description.sets = kSets;
    description.setCount = 1; // no timestamp given: the kit takes the time now
    return kov_buildInfoBlock(&description, nullptr); // null: the broker skips this library
}

int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    if (!kov_isAnswerable(request))
        return KOV_NOT_TAKEN; // no callback or no whole header: nobody to answer
    const uint32_t status = kov_checkRequest(request, kSets, 1);
    if (status != KOV_STATUS_OK)
        return kov_answer(request, status, nullptr, 0); // header-only error confirm
    Answer answer;
    try {
        answer = serve(request);
    } catch (const std::bad_alloc &) {
        return kov_answerNoMemory(request); // status 3 into the request, then null
    }
    return kov_answer(request, answer.status, answer.payload.data(),
                      static_cast<uint32_t>(answer.payload.size()));
}

int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kov_releaseBlock(block); // 1 for a block the kit did not build
}
