#include "records.h"

#include "message/info_check.h"

#include <cstdint>

namespace kovctl {
namespace {

constexpr std::size_t kTimestampSize = 28;
constexpr std::size_t kDescriptorFixed = 60;

// The timestamp is ASCII without a terminator; anything else is shown, not trusted.
std::string readTimestamp(ByteView view, std::size_t offset) {
    std::string text;
    for (std::size_t i = 0; i < kTimestampSize; ++i) {
        const char c = static_cast<char>(view.data[offset + i]);
        if (c == '\0') break;
        text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return text;
}

void appendU32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendText(Bytes& bytes, const std::u16string& text) {
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
}

} // namespace

namespace {

struct EntryReader {
    ByteView view;
    Subsystem* out;
};

void readEntry(void* context, std::uint32_t entry) {
    auto* reader = static_cast<EntryReader*>(context);
    FunctionSet set;
    reader->view.u32(entry + 8, set.functionSet);
    reader->view.u16(entry + 12, set.major);
    reader->view.u16(entry + 14, set.minor);
    reader->view.u32(entry + 16, set.handle);
    reader->out->sets.push_back(set);
}

} // namespace

// " (product \"...\")" when the product string of an unreadable descriptor can still be read.
std::string describedAs(ByteView descriptor) {
    std::uint32_t product = 0;
    std::u16string name;
    if (!descriptor.u32(52, product) || product == 0 || !descriptor.item(product, name) ||
        name.empty())
        return "";
    std::string ascii;
    for (const char16_t unit : name) ascii.push_back(unit >= 0x20 && unit < 0x7F ? char(unit) : '?');
    return " (product \"" + ascii + "\")";
}

// The broker's own checker, descriptor-relative: whatever the broker accepted reads here.
bool parseDescriptor(ByteView view, Subsystem& out, std::string& error) {
    if (view.size > UINT32_MAX) {
        error = "a descriptor is larger than 4 GiB";
        return false;
    }
    EntryReader reader{view, &out};
    const kov::message::InfoFault fault = kov::message::checkDescription(
        view.data, static_cast<std::uint32_t>(view.size), 0, readEntry, &reader);
    if (!fault.ok()) {
        out.sets.clear();
        error = std::string("a descriptor is malformed: ") + kov::message::infoRuleText(fault.rule) +
                " (" + fault.field + " at offset " + std::to_string(fault.offset) + ")";
        return false;
    }
    std::uint32_t copyright = 0, maker = 0, product = 0;
    view.u16(4, out.versionMajor);
    view.u16(6, out.versionMinor);
    out.timestamp = readTimestamp(view, 12);
    view.u32(40, copyright);
    view.u32(44, maker);
    view.u32(52, product);
    view.item(copyright, out.copyright);
    view.item(maker, out.maker);
    view.item(product, out.product);
    return true;
}

bool ByteView::u16(std::size_t offset, std::uint16_t& out) const {
    if (!has(offset, 2)) return false;
    out = static_cast<std::uint16_t>(data[offset] | data[offset + 1] << 8);
    return true;
}

bool ByteView::u32(std::size_t offset, std::uint32_t& out) const {
    if (!has(offset, 4)) return false;
    out = 0;
    for (int i = 3; i >= 0; --i) out = out << 8 | data[offset + i];
    return true;
}

bool ByteView::u64(std::size_t offset, std::uint64_t& out) const {
    std::uint32_t low = 0, high = 0;
    if (!u32(offset, low) || !u32(offset + 4, high)) return false;
    out = static_cast<std::uint64_t>(high) << 32 | low;
    return true;
}

bool ByteView::sub(std::size_t offset, std::size_t length, ByteView& out) const {
    if (!has(offset, length)) return false;
    out = ByteView(data + offset, length);
    return true;
}

bool ByteView::item(std::uint32_t offset, std::u16string& out) const {
    out.clear();
    if (offset == 0) return true;
    std::uint32_t count = 0;
    // Compared by units, so a huge count cannot wrap a 32-bit size.
    if (!u32(offset, count) || count > (size - offset - 4) / 2) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint16_t unit = 0;
        u16(offset + 4 + std::size_t(i) * 2, unit);
        if (unit == 0) break;
        out.push_back(static_cast<char16_t>(unit));
    }
    return true;
}

ByteView payloadOf(const Bytes& confirm) {
    const ByteView whole(confirm);
    std::uint32_t headerLength = 0;
    ByteView payload;
    if (whole.u32(8, headerLength) && headerLength <= whole.size)
        payload = ByteView(whole.data + headerLength, whole.size - headerLength);
    return payload;
}

bool parseSubsystemList(ByteView payload, std::vector<Subsystem>& out, std::string& error) {
    std::uint32_t count = 0;
    if (!payload.u32(16, count)) {
        error = "the provider list reply is shorter than 20 bytes";
        return false;
    }
    std::size_t offset = 20;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t size = 0;
        if (!payload.u32(offset, size)) {
            error = "the provider list reply ends before its descriptor " + std::to_string(i + 1);
            return false;
        }
        const bool last = i + 1 == count;
        if (!last && size < kDescriptorFixed) {
            error = "descriptor " + std::to_string(i + 1) + " gives no usable size";
            return false;
        }
        // The last descriptor carries 0 instead of its size; it reaches to the reply's end.
        ByteView descriptor;
        if (!payload.sub(offset, last ? payload.size - offset : size, descriptor)) {
            error = "descriptor " + std::to_string(i + 1) + " runs past the reply";
            return false;
        }
        // An unreadable descriptor is named and skipped; the others are still worth printing.
        Subsystem subsystem;
        std::string problem;
        if (parseDescriptor(descriptor, subsystem, problem)) {
            out.push_back(std::move(subsystem));
        } else {
            if (!error.empty()) error += "; ";
            error += "provider " + std::to_string(i + 1) + describedAs(descriptor) + ": " + problem;
        }
        offset += size;
    }
    return error.empty();
}

bool parseBrokerInfo(ByteView payload, BrokerInfo& out, std::string& error) {
    std::uint32_t copyright = 0, maker = 0, product = 0;
    if (!payload.has(0, 68)) {
        error = "the broker information reply is shorter than 68 bytes";
        return false;
    }
    payload.u16(16, out.versionMajor);
    payload.u16(18, out.versionMinor);
    payload.u32(20, out.kind);
    out.timestamp = readTimestamp(payload, 24);
    payload.u32(52, copyright);
    payload.u32(56, maker);
    payload.u32(64, product);
    if (!payload.item(copyright, out.copyright) || !payload.item(maker, out.maker) ||
        !payload.item(product, out.product)) {
        error = "a string of the broker information lies outside the reply";
        return false;
    }
    return true;
}

bool parseStatistics(ByteView payload, std::vector<Counter>& out, std::string& error) {
    struct Field {
        const char* name;
        std::size_t offset;
        std::size_t width;
    };
    static constexpr Field kFields[] = {
        {"length", 0, 4},           {"versionMajor", 4, 2},    {"versionMinor", 6, 2},
        {"reserved1", 8, 4},        {"reserved2", 12, 4},      {"setCount", 16, 4},
        {"totalCalls", 20, 8},      {"totalDelivered", 28, 8}, {"totalFailed", 36, 8},
        {"sendCalls", 44, 8},       {"sendDelivered", 52, 8},  {"sendFailed", 60, 8},
        {"syncCalls", 68, 8},       {"syncDelivered", 76, 8},  {"syncFailed", 84, 8},
        {"bytesAllocated", 92, 4},  {"bytesInUse", 96, 4},     {"bytesFreed", 100, 4},
        {"syncWaiting", 104, 4},
    };
    if (!payload.has(0, 108)) {
        error = "the statistics reply is shorter than 108 bytes";
        return false;
    }
    for (const Field& field : kFields) {
        std::uint64_t value = 0;
        if (field.width == 8) {
            payload.u64(field.offset, value);
        } else if (field.width == 4) {
            std::uint32_t word = 0;
            payload.u32(field.offset, word);
            value = word;
        } else {
            std::uint16_t half = 0;
            payload.u16(field.offset, half);
            value = half;
        }
        out.push_back({field.name, value});
    }
    return true;
}

bool parseLanguage(ByteView payload, std::u16string& tag, std::string& error) {
    // The tag is a StringItem at offset 24.
    if (!payload.has(0, 28) || !payload.item(24, tag)) {
        error = "the language reply is malformed";
        return false;
    }
    return true;
}

Bytes registrationPayload(const std::u16string& key, const std::u16string& path, bool add) {
    const std::uint32_t keyOffset = 28;
    const std::uint32_t pathOffset = keyOffset + 4 + 2 * static_cast<std::uint32_t>(key.size() + 1);
    Bytes bytes(16, 0); // not examined by the broker
    appendU32(bytes, add ? 1u : 0u);
    appendU32(bytes, keyOffset);
    appendU32(bytes, pathOffset);
    appendU32(bytes, static_cast<std::uint32_t>(key.size() + 1));
    appendText(bytes, key);
    appendU32(bytes, static_cast<std::uint32_t>(path.size() + 1));
    appendText(bytes, path);
    return bytes;
}

Bytes checkLanguagePayload(const std::u16string& tag) {
    Bytes bytes(20, 0);
    appendText(bytes, tag);
    return bytes;
}

} // namespace kovctl
