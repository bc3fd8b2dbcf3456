// Arbitrary information blocks, header included, through the checker and the copy. The block ends
// right before an inaccessible page, and so does the copy: a read or write of one byte too many
// faults. Whatever the checker accepts, its copy must pass the descriptor-relative check kovctl
// applies to list replies.
#include "guarded_bytes.h"

#include "message/info_check.h"
#include "message/reply_records.h"

#include <kov/kov_broker.h>

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kov;
    if (size > 1u << 20) return 0;
    // The input is the whole block, from its totalLength on; headerLength and the payload's
    // length are the input's own. Only a totalLength larger than the input is cut to it: that
    // would be a provider lying about the block it allocated, which nobody can detect. A block
    // too short to hold totalLength itself is none a provider could hand over.
    if (size < 4) return 0;
    fuzz::GuardedBytes block(size);
    std::memcpy(block.data(), data, size);
    std::uint32_t total = 0;
    std::memcpy(&total, data, 4);
    if (total > size) total = static_cast<std::uint32_t>(size);
    std::memcpy(block.data(), &total, 4);
    // Not necessarily 4-aligned: the checker reads fields byte-wise, as a provider's block may
    // sit anywhere.
    const auto* header = reinterpret_cast<const BrokerMessage*>(block.data());

    message::InfoBlock info{};
    const message::InfoFault fault = message::checkInfoBlock(header, &info);
    if (!fault.ok()) {
        if (message::infoRuleText(fault.rule)[0] == '\0') __builtin_trap();
        return 0;
    }
    // Accepted: the payload lies inside what totalLength claims.
    const auto* start = block.data();
    if (info.payload < start + KOV_HEADER_SIZE || info.payload + info.payloadLength > start + total)
        __builtin_trap();
    const std::uint32_t descriptorSize = info.payloadLength - message::kInfoDescriptorStart;
    fuzz::GuardedBytes descriptor(descriptorSize);
    std::memset(descriptor.data(), 0, descriptorSize);
    if (!message::copyDescriptor(info, descriptor.data(), 0x01020304)) __builtin_trap();
    if (!message::checkDescription(descriptor.data(), descriptorSize, 0).ok()) __builtin_trap();
    return 0;
}
