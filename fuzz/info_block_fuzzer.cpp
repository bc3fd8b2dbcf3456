// Arbitrary information blocks through the checker and the copy. The block ends right before an
// inaccessible page, and so does the copy: a read or write of one byte too many faults. Whatever
// the checker accepts, its copy must pass the descriptor-relative check kovctl applies to list
// replies.
#include "guarded_bytes.h"

#include "message/info_check.h"
#include "message/reply_records.h"

#include <kov/kov_broker.h>

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kov;
    if (size > 1u << 20) return 0;
    // The input is the payload. A length field larger than the input would be a provider lying
    // about its own block, which nobody can detect; it is cut to the input's size.
    if (size < 4) return 0; // no length field at all: not a block a provider could hand over
    // The header is padded (headerLength > 44 is allowed) so that the block starts 4-aligned,
    // as a provider's allocation does, and the payload still ends at the guard page.
    const std::uint32_t headerLength =
        KOV_HEADER_SIZE + static_cast<std::uint32_t>((4 - (KOV_HEADER_SIZE + size) % 4) % 4);
    fuzz::GuardedBytes block(headerLength + size);
    std::memset(block.data(), 0, headerLength);
    std::memcpy(block.data() + headerLength, data, size);
    auto* header = reinterpret_cast<BrokerMessage*>(block.data());
    header->totalLength = static_cast<std::uint32_t>(headerLength + size);
    header->headerLength = headerLength;
    std::uint32_t length = 0;
    std::memcpy(&length, data, 4);
    if (length > size) length = static_cast<std::uint32_t>(size);
    std::memcpy(block.data() + headerLength, &length, 4);

    message::InfoBlock info{};
    const message::InfoFault fault = message::checkInfoBlock(header, &info);
    if (!fault.ok()) {
        if (message::infoRuleText(fault.rule)[0] == '\0') __builtin_trap();
        return 0;
    }
    const std::uint32_t descriptorSize = info.payloadLength - message::kInfoDescriptorStart;
    fuzz::GuardedBytes descriptor(descriptorSize);
    std::memset(descriptor.data(), 0, descriptorSize);
    if (!message::copyDescriptor(info, descriptor.data(), 0x01020304)) __builtin_trap();
    if (!message::checkDescription(descriptor.data(), descriptorSize, 0).ok()) __builtin_trap();
    return 0;
}
