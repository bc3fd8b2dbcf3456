#include "support/messages.h"

#include <chrono>
#include <thread>

namespace kov::test {

Request::Request(ProviderHandle provider, std::uint32_t functionSet, std::uint32_t functionCode,
                 std::uint32_t headerLength, std::vector<std::uint8_t> payload)
    : words_((headerLength + payload.size() + 3) / 4 + 1, 0),
      size_(static_cast<std::uint32_t>(headerLength + payload.size())) {
    BrokerMessage* m = get();
    m->totalLength = size_;
    m->formatMajor = 1;
    m->formatMinor = 0;
    m->headerLength = headerLength;
    m->provider = provider;
    m->functionSet = functionSet;
    m->setMajor = 1;
    m->setMinor = 0;
    m->functionCode = functionCode;
    m->status = 0xDEADBEEF; // the broker must overwrite it
    if (!payload.empty()) std::memcpy(bytes() + headerLength, payload.data(), payload.size());
}

std::uint32_t u32(const void* record, std::uint32_t offset) {
    std::uint32_t v;
    std::memcpy(&v, static_cast<const std::uint8_t*>(record) + offset, 4);
    return v;
}

std::uint16_t u16(const void* record, std::uint32_t offset) {
    std::uint16_t v;
    std::memcpy(&v, static_cast<const std::uint8_t*>(record) + offset, 2);
    return v;
}

std::uint64_t u64(const void* record, std::uint32_t offset) {
    return u32(record, offset) | (std::uint64_t{u32(record, offset + 4)} << 32);
}

const std::uint8_t* payloadOf(const BrokerMessage* message) {
    return reinterpret_cast<const std::uint8_t*>(message) + message->headerLength;
}

std::string itemText(const void* record, std::uint32_t offset) {
    const std::uint32_t count = u32(record, offset);
    std::string text;
    for (std::uint32_t i = 0; i + 1 < count; ++i)
        text += static_cast<char>(u16(record, offset + 4 + 2 * i));
    return text;
}

std::vector<std::uint8_t> utf16(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    for (unsigned char c : text) {
        bytes.push_back(c);
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

void appendU32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void ConfirmCollector::use(BrokerMessage* request) {
    request->callback = callback;
    request->callbackData = this;
}

std::int32_t KOV_CALL ConfirmCollector::callback(BrokerMessage* confirm) {
    ConfirmCollector* self =
        confirm != nullptr ? static_cast<ConfirmCollector*>(confirm->callbackData) : nullTarget;
    if (self == nullptr) return 0;
    Delivery d{confirm, {}, 0};
    if (confirm != nullptr) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(confirm);
        d.bytes.assign(p, p + confirm->totalLength);
        d.status = confirm->status;
    }
    std::lock_guard<std::mutex> guard(self->mutex_);
    self->deliveries_.push_back(std::move(d));
    return confirm != nullptr ? self->keep_ : 0;
}

ConfirmCollector* ConfirmCollector::nullTarget = nullptr;

std::vector<ConfirmCollector::Delivery> ConfirmCollector::deliveries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return deliveries_;
}

std::size_t ConfirmCollector::count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return deliveries_.size();
}

bool ConfirmCollector::waitFor(std::size_t n) const {
    for (int i = 0; i < 2000; ++i) {
        if (count() >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return count() >= n;
}

} // namespace kov::test
