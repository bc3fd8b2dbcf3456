// Reading the broker's reply records and building the request payloads kovctl sends. Every read
// is checked against the bytes actually received: a malformed reply is reported, never overrun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kovctl {

using Bytes = std::vector<std::uint8_t>;

// A bounded window on received bytes; every accessor fails instead of reading past the end.
struct ByteView {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    ByteView() = default;
    ByteView(const std::uint8_t* bytes, std::size_t length) : data(bytes), size(length) {}
    explicit ByteView(const Bytes& bytes) : data(bytes.data()), size(bytes.size()) {}

    bool has(std::size_t offset, std::size_t length) const {
        return offset <= size && length <= size - offset;
    }
    bool u16(std::size_t offset, std::uint16_t& out) const;
    bool u32(std::size_t offset, std::uint32_t& out) const;
    bool u64(std::size_t offset, std::uint64_t& out) const;
    bool sub(std::size_t offset, std::size_t length, ByteView& out) const;
    // The text of the StringItem at `offset`, up to its terminator; offset 0 gives "".
    bool item(std::uint32_t offset, std::u16string& out) const;
};

struct FunctionSet {
    std::uint32_t functionSet = 0;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint32_t handle = 0;
};

struct Subsystem {
    std::uint16_t versionMajor = 0;
    std::uint16_t versionMinor = 0;
    std::string timestamp;
    std::u16string copyright;
    std::u16string maker;
    std::u16string product;
    std::vector<FunctionSet> sets;
};

struct BrokerInfo {
    std::uint16_t versionMajor = 0;
    std::uint16_t versionMinor = 0;
    std::uint32_t kind = 0;
    std::string timestamp;
    std::u16string copyright;
    std::u16string maker;
    std::u16string product;
};

struct Counter {
    const char* name;
    std::uint64_t value;
};

// Each parser takes the confirm's payload and explains in `error` what is wrong with it.
// One descriptor (offsets from its start), checked by the broker's own rules.
bool parseDescriptor(ByteView view, Subsystem& out, std::string& error);
// " (product \"NAME\")" for a descriptor whose product string still reads, else empty.
std::string describedAs(ByteView descriptor);
bool parseSubsystemList(ByteView payload, std::vector<Subsystem>& out, std::string& error);
bool parseBrokerInfo(ByteView payload, BrokerInfo& out, std::string& error);
bool parseStatistics(ByteView payload, std::vector<Counter>& out, std::string& error);
bool parseLanguage(ByteView payload, std::u16string& tag, std::string& error);

// The payload after the header of a confirm (empty when the header claims more than it has).
ByteView payloadOf(const Bytes& confirm);

// RegisterProvider: 16 unused bytes, operation, the two item offsets, then the key and the path.
Bytes registrationPayload(const std::u16string& key, const std::u16string& path, bool add);
// CheckLanguage: the tag with its terminator at offset 20.
Bytes checkLanguagePayload(const std::u16string& tag);

} // namespace kovctl
