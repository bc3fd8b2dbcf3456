// Payload records the broker builds or reads: string items, descriptors, function-set entries and
// the subsystem information block a provider library returns.
#pragma once

#include <kov/kov_broker.h>

#include "message/info_check.h"

#include <cstdint>

namespace kov::message {

// Descriptor layout (offsets from the descriptor's start).
constexpr std::uint32_t kDescriptorCopyrightField = 40;
constexpr std::uint32_t kDescriptorMakerField = 44;
constexpr std::uint32_t kDescriptorExtraField = 48;
constexpr std::uint32_t kDescriptorProductField = 52;
constexpr std::uint32_t kDescriptorSetCountField = 56;
constexpr std::uint32_t kDescriptorEntries = 60;
constexpr std::uint32_t kFunctionSetEntrySize = 20;

// Information block payload: the descriptor starts 12 bytes in.
constexpr std::uint32_t kInfoDescriptorStart = 12;

// Byte length of a UTF-16 text with its terminator as loadResourceString gives it (0 = absent)
// turned into the size of its StringItem (0 when absent).
constexpr std::uint32_t stringItemSize(std::uint32_t textBytes) {
    return textBytes == 0 ? 0 : 4 + textBytes;
}

// Writes `text` as a StringItem at record + runningOffset, stores runningOffset into the u32 at
// record + offsetField and advances runningOffset. An empty text gets no item and offset 0.
void putStringItem(std::uint8_t* record, std::uint32_t& runningOffset, std::uint32_t offsetField,
                   const char16_t* text);

// The parts of a provider's information block the broker uses, once checked.
struct InfoBlock {
    const std::uint8_t* payload;
    std::uint32_t payloadLength; // L
    std::uint32_t setCount;
};

// Checks a block from kov_GetSubSystemInfo completely before anything in it is used, reading
// nothing past what its own header says it holds: a totalLength that covers the 44-byte header, a
// headerLength of at least 44 within totalLength, a payload length within the rest, and a payload
// that passes every rule of checkDescription. Says which rule failed; fills `out` only when none
// did.
InfoFault checkInfoBlock(const BrokerMessage* block, InfoBlock* out);

// Copies a checked block's descriptor into `descriptor` (L - 12 bytes): first u32 0, string
// offsets made relative to the descriptor, each entry's provider field set to `handle`. The entries
// are found by the checker walking the provider's block, never the copy being written. False (and
// the copy unusable) only if the block changed since it was checked.
bool copyDescriptor(const InfoBlock& info, std::uint8_t* descriptor, ProviderHandle handle);

} // namespace kov::message
