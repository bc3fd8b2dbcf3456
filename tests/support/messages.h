// Building requests and reading confirms in tests.
#pragma once

#include <kov/kov_broker.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace kov::test {

// A request in its own 4-aligned buffer: header (44 bytes or more), then the payload.
class Request {
public:
    explicit Request(ProviderHandle provider = 0, std::uint32_t functionSet = 0,
                     std::uint32_t functionCode = 0, std::uint32_t headerLength = 44,
                     std::vector<std::uint8_t> payload = {});

    BrokerMessage* get() { return reinterpret_cast<BrokerMessage*>(words_.data()); }
    BrokerMessage* operator->() { return get(); }
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(words_.data()); }
    std::uint32_t size() const { return size_; }

private:
    std::vector<std::uint32_t> words_;
    std::uint32_t size_;
};

// Reads little-endian fields of any record.
std::uint32_t u32(const void* record, std::uint32_t offset);
std::uint16_t u16(const void* record, std::uint32_t offset);
std::uint64_t u64(const void* record, std::uint32_t offset);
const std::uint8_t* payloadOf(const BrokerMessage* message);
// The UTF-8 text of the StringItem at `offset` of `record` (ASCII tests only).
std::string itemText(const void* record, std::uint32_t offset);
// UTF-16 bytes of an ASCII string with its terminator.
std::vector<std::uint8_t> utf16(const std::string& text);
void appendU32(std::vector<std::uint8_t>& bytes, std::uint32_t value);

// Collects confirms delivered to its callback, from any thread. Put it in a request with use().
class ConfirmCollector {
public:
    // keep: what the callback answers (nonzero keeps the confirm, which the test then owns).
    explicit ConfirmCollector(std::int32_t keep = 1) : keep_(keep) {}
    void use(BrokerMessage* request);

    struct Delivery {
        BrokerMessage* confirm; // null for a null delivery; dangling when not kept
        std::vector<std::uint8_t> bytes; // copy taken inside the callback
        std::uint32_t status;
    };
    std::vector<Delivery> deliveries() const;
    std::size_t count() const;
    // Waits (a bounded while) until `n` deliveries have arrived.
    bool waitFor(std::size_t n) const;
    static std::int32_t KOV_CALL callback(BrokerMessage* confirm);
    // Null deliveries carry no callbackData; they are recorded by this collector, if any.
    static ConfirmCollector* nullTarget;

private:
    std::int32_t keep_;
    mutable std::mutex mutex_;
    std::vector<Delivery> deliveries_;
};

} // namespace kov::test
