// kov_test_bad_length, kov_test_bad_string, kov_test_bad_chain: one source, built once per defect
// (KOV_INFO_DEFECT). Each describes sets 0x601 and 0x602 in a block that is damaged in one way,
// sized so that anything read past the damage lies outside the allocation. The block still comes
// back through kov_DeleteReceive like any other.
#include "provider_kit.h"

namespace {

enum class Defect {
    ShortLength,   // payload length 108, below 72 + 20 * 2; the block ends there
    StringOutside, // product string offset = payload length: the item would start past the end
    ChainOutside,  // the first entry leads to an entry 8 bytes before the end, running 12 past it
};

constexpr Defect kDefect = Defect::KOV_INFO_DEFECT;

std::vector<uint8_t> damagedPayload()
{
    std::vector<uint8_t> payload = kit::layoutInfoPayload(
        {u"Damaged description test provider", u"KOV tests", u"none", {0x601, 0x602}});
    const auto length = static_cast<uint32_t>(payload.size());
    switch (kDefect) {
    case Defect::ShortLength: {
        const uint32_t shortLength = kit::kInfoFirstEntryOffset + 20 * 2 - 4;
        std::vector<uint8_t> truncated(payload.data(), payload.data() + shortLength);
        kit::putU32(truncated, 0, shortLength);
        return truncated;
    }
    case Defect::StringOutside:
        kit::putU32(payload, kit::kInfoProductOffsetField, length);
        break;
    case Defect::ChainOutside:
        kit::putU32(payload, kit::kInfoFirstEntryOffset, length - 8 - kit::kInfoFirstEntryOffset);
        break;
    }
    return payload;
}

} // namespace

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    return kit::publishInfoBlock(damagedPayload());
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *)
{
    kit::bump(kit::counters().receives);
    return kit::refuse();
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
