#include "message/reply_records.h"

#include "message/bytes.h"

#include <cstring>

namespace kov::message {
namespace {

constexpr std::uint32_t kStringFields[] = {kDescriptorCopyrightField, kDescriptorMakerField,
                                           kDescriptorExtraField, kDescriptorProductField};
constexpr std::uint32_t kInfoFixedSize = kInfoDescriptorStart + kDescriptorEntries; // 72

std::uint32_t wideLength(const char16_t* text) {
    std::uint32_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// A string offset of the block (payload-relative) names an item that lies wholly in the payload,
// after the fixed fields.
bool stringItemInside(const InfoBlock& info, std::uint32_t offset) {
    if (offset == 0) return true;
    const std::uint64_t length = info.payloadLength;
    if (offset < kInfoFixedSize || std::uint64_t{offset} + 4 > length) return false;
    const std::uint64_t count = readU32(info.payload, offset);
    return offset + 4 + 2 * count <= length;
}

bool entryChainInside(const InfoBlock& info) {
    std::uint64_t offset = kInfoFixedSize;
    for (std::uint32_t i = 0; i < info.setCount; ++i) {
        if (offset + kFunctionSetEntrySize > info.payloadLength) return false;
        if (i + 1 < info.setCount) offset += readU32(info.payload, static_cast<std::uint32_t>(offset));
    }
    return true;
}

} // namespace

void putStringItem(std::uint8_t* record, std::uint32_t& runningOffset, std::uint32_t offsetField,
                   const char16_t* text) {
    const std::uint32_t chars = wideLength(text);
    if (chars == 0) {
        writeU32(record, offsetField, 0);
        return;
    }
    const std::uint32_t count = chars + 1;
    writeU32(record, runningOffset, count);
    std::memcpy(record + runningOffset + 4, text, 2 * count);
    writeU32(record, offsetField, runningOffset);
    runningOffset += 4 + 2 * count;
}

bool readInfoBlock(const BrokerMessage* block, InfoBlock* out) {
    if (block->headerLength < KOV_HEADER_SIZE) return false;
    const auto* payload = reinterpret_cast<const std::uint8_t*>(block) + block->headerLength;
    InfoBlock info{payload, readU32(payload, 0), 0};
    if (info.payloadLength < kInfoFixedSize) return false;
    info.setCount = readU32(payload, kInfoDescriptorStart + kDescriptorSetCountField);
    if (kInfoFixedSize + std::uint64_t{kFunctionSetEntrySize} * info.setCount > info.payloadLength)
        return false;
    for (std::uint32_t field : kStringFields)
        if (!stringItemInside(info, readU32(payload, kInfoDescriptorStart + field))) return false;
    if (!entryChainInside(info)) return false;
    *out = info;
    return true;
}

void copyDescriptor(const InfoBlock& info, std::uint8_t* descriptor, ProviderHandle handle) {
    // Payload bytes 16 .. L-1 become descriptor bytes 4 ..; the descriptor's own size stays 0.
    std::memcpy(descriptor + 4, info.payload + kInfoDescriptorStart + 4,
                info.payloadLength - kInfoDescriptorStart - 4);
    for (std::uint32_t field : kStringFields) {
        const std::uint32_t offset = readU32(descriptor, field);
        if (offset != 0) writeU32(descriptor, field, offset - kInfoDescriptorStart);
    }
    forEachEntry(descriptor, info.setCount, [&](std::uint32_t entry) {
        writeU32(descriptor, entry + offsetof(FunctionSetEntry, provider), handle);
    });
}

} // namespace kov::message
