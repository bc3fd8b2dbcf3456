#include "broker_client.h"

#include <kov/kov_list.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace client {
namespace {

// One outstanding asynchronous request. A null confirm carries no callbackData, so the callback
// finds the waiter here rather than through the confirm.
struct AsyncWait {
    std::mutex lock;
    std::condition_variable arrived;
    bool done = false;
    BrokerMessage *confirm = nullptr;
};
AsyncWait *gWaiting = nullptr;

int32_t KOV_CALL onConfirm(BrokerMessage *confirm)
{
    AsyncWait *wait = gWaiting;
    {
        const std::lock_guard<std::mutex> guard(wait->lock);
        wait->confirm = confirm;
        wait->done = true;
    }
    wait->arrived.notify_one();
    return 1; // keep it: the waiting thread reads it and releases it with kov_DeleteConfirm
}

// One of a provider's texts (KOV_TEXT_...) as UTF-8; empty when absent or malformed.
std::string itemText(const KovListedProvider &provider, uint32_t field)
{
    std::string text;
    const uint8_t *units;
    uint32_t count;
    if (kov_listText(&provider, field, &units, &count) <= 0)
        return text;
    for (uint32_t i = 0; i + 1 < count; ++i) {
        uint16_t unit;
        std::memcpy(&unit, units + 2 * i, 2);
        if (unit < 0x80) {
            text += static_cast<char>(unit);
        } else if (unit < 0x800) {
            text += static_cast<char>(0xC0 | unit >> 6);
            text += static_cast<char>(0x80 | (unit & 0x3F));
        } else { // surrogates are shown as they come; product names are rarely outside the BMP
            text += static_cast<char>(0xE0 | unit >> 12);
            text += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return text;
}

void appendU32(std::vector<uint8_t> &bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void appendItem(std::vector<uint8_t> &bytes, const std::string &ascii)
{
    appendU32(bytes, static_cast<uint32_t>(ascii.size()) + 1);
    for (char c : ascii) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
}

} // namespace

Request::Request(ProviderHandle provider, uint32_t functionSet, uint32_t functionCode,
                 const std::vector<uint8_t> &payload)
    : words_((KOV_HEADER_SIZE + payload.size() + 3) / 4, 0)
{
    BrokerMessage *header = message();
    header->totalLength = static_cast<uint32_t>(KOV_HEADER_SIZE + payload.size());
    header->formatMajor = KOV_FORMAT_MAJOR;
    header->formatMinor = KOV_FORMAT_MINOR;
    header->headerLength = KOV_HEADER_SIZE;
    header->provider = provider;
    header->functionSet = functionSet;
    header->setMajor = 1;
    header->setMinor = 0;
    header->functionCode = functionCode;
    if (!payload.empty())
        std::memcpy(reinterpret_cast<uint8_t *>(header) + KOV_HEADER_SIZE, payload.data(),
                    payload.size());
}

Confirm::~Confirm()
{
    if (message_ != nullptr)
        kov_DeleteConfirm(message_);
}

const uint8_t *Confirm::payload() const
{
    return reinterpret_cast<const uint8_t *>(message_) + message_->headerLength;
}

uint32_t Confirm::payloadLength() const
{
    if (message_ == nullptr || message_->totalLength < message_->headerLength)
        return 0;
    return message_->totalLength - message_->headerLength;
}

Confirm sendSync(Request &request)
{
    BrokerMessage *confirm = nullptr;
    kov_SendSync(request.message(), &confirm);
    return Confirm(confirm);
}

Confirm sendAndWait(Request &request)
{
    AsyncWait wait;
    gWaiting = &wait;
    BrokerMessage *message = request.message();
    message->callback = onConfirm;
    message->callbackData = &wait;
    const int32_t result = kov_Send(message);
    std::unique_lock<std::mutex> held(wait.lock);
    // Nonzero: not taken, and no confirm will come, unless the broker has already delivered an
    // error confirm (unknown handle) and passed on our callback's 1.
    if (result != 0 && !wait.done)
        return Confirm();
    wait.arrived.wait(held, [&wait] { return wait.done; });
    return Confirm(wait.confirm);
}

std::vector<ProviderEntry> readProviderList(const Confirm &reply)
{
    std::vector<ProviderEntry> entries;
    KovListWalk walk;
    if (!kov_listBegin(&walk, reply.get()))
        return entries;
    KovListedProvider provider;
    int more;
    while ((more = kov_listNextProvider(&walk, &provider)) > 0) {
        const std::string product = itemText(provider, KOV_TEXT_PRODUCT);
        KovListedSet set;
        while ((more = kov_listNextSet(&provider, &set)) > 0)
            entries.push_back({set.provider, set.functionSet, set.setMajor, set.setMinor, product});
        if (more < 0)
            break;
    }
    return more < 0 ? std::vector<ProviderEntry>{} : entries;
}

std::vector<uint8_t> registrationPayload(uint32_t operation, const std::string &key,
                                         const std::string &path)
{
    std::vector<uint8_t> payload(16, 0);
    appendU32(payload, operation);
    appendU32(payload, 28);                                 // key item right after the fields
    appendU32(payload, 28 + 4 + 2 * (uint32_t(key.size()) + 1)); // then the path item
    appendItem(payload, key);
    appendItem(payload, path);
    return payload;
}

} // namespace client
