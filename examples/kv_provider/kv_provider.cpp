// A key-value store, set 0x4B56 ("KV"), for trying stateful providers with `kovctl session`.
// Its state lives as long as the library stays loaded in one process:
//   code 0  put    payload "KEY=VALUE": stores VALUE under KEY; header-only confirm, status 0
//   code 1  get    payload "KEY": confirm with the value as payload
//   code 2  delete payload "KEY": header-only confirm, status 0
//   code 3  count  confirm with the number of keys as a u32
// A key not stored answers the provider's own status 1000, a put without "=" or with an empty key
// 1001; other codes 6. Keys and values are bytes, compared as they are.
#include <kov/kov_provider.h>

#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

namespace {

constexpr uint32_t kSet = 0x4B56;
constexpr uint32_t kNotFound = KOV_STATUS_PROVIDER_FIRST;
constexpr uint32_t kBadPut = KOV_STATUS_PROVIDER_FIRST + 1;
const KovFunctionSet kSets[] = {{kSet, 1, 0}};

std::mutex gLock;
std::map<std::string, std::string> gStore; // guarded by gLock

std::string payloadText(const BrokerMessage *request)
{
    const char *bytes = reinterpret_cast<const char *>(kov_payload(request));
    return std::string(bytes, kov_payloadSize(request));
}

// The answer to one request: status and payload, worked out under the lock; the confirm is built
// and delivered after it is released (the callback may send to this provider again).
struct Answer {
    uint32_t status = KOV_STATUS_OK;
    std::string payload;
};

Answer serve(uint32_t code, const std::string &text)
{
    Answer answer;
    const std::lock_guard<std::mutex> hold(gLock);
    switch (code) {
    case 0: {
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos || equals == 0)
            answer.status = kBadPut;
        else
            gStore[text.substr(0, equals)] = text.substr(equals + 1);
        break;
    }
    case 1: {
        const auto found = gStore.find(text);
        if (found == gStore.end())
            answer.status = kNotFound;
        else
            answer.payload = found->second;
        break;
    }
    case 2:
        if (gStore.erase(text) == 0)
            answer.status = kNotFound;
        break;
    case 3: {
        const uint32_t count = static_cast<uint32_t>(gStore.size());
        const unsigned char bytes[4] = {static_cast<unsigned char>(count),
                                        static_cast<unsigned char>(count >> 8),
                                        static_cast<unsigned char>(count >> 16),
                                        static_cast<unsigned char>(count >> 24)};
        answer.payload.assign(reinterpret_cast<const char *>(bytes), sizeof bytes);
        break;
    }
    default:
        answer.status = KOV_STATUS_UNKNOWN_FUNCTION;
    }
    return answer;
}

} // namespace

extern "C" KOV_PROVIDER_EXPORT BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    KovDescription description{};
    description.product = "Key-value example provider";
    description.maker = "KOV Broker examples";
    description.copyright = "Copyright (c) 2026 KOV Broker team.";
    description.sets = kSets;
    description.setCount = 1;
    return kov_buildInfoBlock(&description, nullptr);
}

extern "C" KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    if (!kov_isAnswerable(request))
        return KOV_NOT_TAKEN;
    const uint32_t checked = kov_checkRequest(request, kSets, 1);
    if (checked != KOV_STATUS_OK)
        return kov_answer(request, checked, nullptr, 0);
    Answer answer;
    try {
        answer = serve(request->functionCode, payloadText(request));
    } catch (const std::bad_alloc &) {
        return kov_answerNoMemory(request);
    }
    return kov_answer(request, answer.status, answer.payload.data(),
                      static_cast<uint32_t>(answer.payload.size()));
}

extern "C" KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kov_releaseBlock(block);
}
