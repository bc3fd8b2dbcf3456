#include "broker_access.h"

#include <cstdlib>
#include <cstring>

namespace {

using SendFn = int32_t(KOV_CALL *)(BrokerMessage *);
using SendSyncFn = int32_t(KOV_CALL *)(BrokerMessage *, BrokerMessage **);
using DeleteConfirmFn = int32_t(KOV_CALL *)(BrokerMessage *);

void *addressIn(const char *variable)
{
    const char *text = std::getenv(variable);
    if (text == nullptr || *text == '\0')
        return nullptr;
    return reinterpret_cast<void *>(static_cast<uintptr_t>(std::strtoull(text, nullptr, 16)));
}

// The reply of GetLanguage: header, then 44 payload bytes whose item holds "en|US".
bool isLanguageReply(const BrokerMessage *confirm)
{
    static const char16_t tag[] = u"en|US";
    if (confirm == nullptr || confirm->status != 0 || confirm->headerLength != KOV_HEADER_SIZE ||
        confirm->totalLength != KOV_HEADER_SIZE + 44)
        return false;
    const auto *payload = reinterpret_cast<const uint8_t *>(confirm) + KOV_HEADER_SIZE;
    uint32_t count = 0;
    std::memcpy(&count, payload + 24, sizeof count);
    return count == 6 && std::memcmp(payload + 28, tag, sizeof tag) == 0;
}

struct LanguageRequest {
    LanguageRequest()
    {
        std::memset(&header, 0, sizeof header);
        header.totalLength = KOV_HEADER_SIZE;
        header.formatMajor = 1;
        header.headerLength = KOV_HEADER_SIZE;
        header.functionSet = KOV_COMMON_FUNCTION_SET;
        header.setMajor = 1;
        header.functionCode = 4; // GetLanguage
    }
    BrokerMessage header;
};

// The broker provider answers on the sending thread, before kov_Send returns.
thread_local int32_t gOutcome = kit::NotAsked;

int32_t KOV_CALL judge(BrokerMessage *confirm)
{
    gOutcome = isLanguageReply(confirm) ? kit::BrokerAnswered
               : confirm == nullptr     ? kit::NoAnswer
                                        : kit::WrongAnswer;
    return 0; // not kept: whoever built it frees it
}

} // namespace

namespace kit {

int32_t askBrokerLanguage()
{
    const auto send = reinterpret_cast<SendFn>(addressIn("KOV_TEST_BROKER_SEND"));
    if (send == nullptr)
        return NotAsked;
    LanguageRequest request;
    request.header.callback = judge;
    gOutcome = NoAnswer;
    send(&request.header);
    return gOutcome;
}

int32_t askBrokerLanguageSync()
{
    const auto sendSync = reinterpret_cast<SendSyncFn>(addressIn("KOV_TEST_BROKER_SEND_SYNC"));
    const auto release = reinterpret_cast<DeleteConfirmFn>(addressIn("KOV_TEST_BROKER_DELETE"));
    if (sendSync == nullptr || release == nullptr)
        return NotAsked;
    LanguageRequest request;
    BrokerMessage *confirm = nullptr;
    sendSync(&request.header, &confirm);
    const int32_t outcome = isLanguageReply(confirm) ? BrokerAnswered
                            : confirm == nullptr     ? NoAnswer
                                                     : WrongAnswer;
    if (confirm != nullptr)
        release(confirm);
    return outcome;
}

} // namespace kit
