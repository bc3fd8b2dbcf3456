// kov_test_bad_<defect>: one source, built once per defect (KOV_INFO_DEFECT), one defect for every
// rule of the description check. Each describes sets 0x601 and 0x602 with the kit, then damages
// the block in one way, in a block sized so that anything read past the damage lies outside the
// allocation. The block still comes back through kov_DeleteReceive like any other.
#include "provider_kit.h"

namespace {

enum class Defect {
    ShortLength,   // payload length 108, below 72 + 20 * 2; the block ends there
    StringOutside, // product string offset = payload length: the item would start past the end
    ChainOutside,  // the first entry leads to an entry 8 bytes before the end, running 12 past it
    Stride16,      // entries 16 bytes apart (the provider field forgotten), flags 1
    CountBeyondChain, // set count 4 with room for four entries, but one entry (distance 0)
    Overlapping,   // the second entry 4 bytes after the first
    StringInFixed, // copyright offset 60: inside the fixed fields
    EntryOnString, // the second entry lies on the copyright item
    SetsPastEnd,   // set count 256: far more entries than the payload has room for
    HeaderPastTotal, // headerLength 400 in a block of some 270 bytes: the payload lies past it
    LengthPastTotal, // payload length 200 bytes more than the block holds
};

constexpr Defect kDefect = Defect::KOV_INFO_DEFECT;

std::vector<uint8_t> damagedPayload()
{
    std::vector<uint8_t> payload = kit::layoutInfoPayload(
        {"Damaged description test provider", "KOV tests", "none", {0x601, 0x602}});
    if (payload.empty())
        return payload; // no memory: no block either
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
    case Defect::Stride16:
        // Entries 16 apart; the second's 16 bytes written over where the 20-byte entry stood.
        for (uint32_t i = 0; i < 16; ++i)
            payload[kit::kInfoFirstEntryOffset + 16 + i] = payload[kit::kInfoFirstEntryOffset + 20 + i];
        kit::putU32(payload, kit::kInfoFirstEntryOffset, 16);
        kit::putU32(payload, kit::kInfoFirstEntryOffset + 4, 1);
        break;
    case Defect::CountBeyondChain:
        // Four entries' room: the strings already follow two entries, so 40 more zero bytes.
        payload.resize(length + 40 + 40, 0);
        kit::putU32(payload, 0, static_cast<uint32_t>(payload.size()));
        kit::putU32(payload, kit::kInfoSetCountOffset, 4);
        kit::putU32(payload, kit::kInfoFirstEntryOffset, 0);
        break;
    case Defect::Overlapping:
        kit::putU32(payload, kit::kInfoFirstEntryOffset, 4);
        break;
    case Defect::StringInFixed:
        kit::putU32(payload, kit::kInfoCopyrightOffsetField, 60);
        break;
    case Defect::EntryOnString:
        kit::putU32(payload, kit::kInfoFirstEntryOffset, 40); // the copyright item follows at 112
        break;
    case Defect::SetsPastEnd:
        kit::putU32(payload, kit::kInfoSetCountOffset, 256);
        break;
    case Defect::HeaderPastTotal:
        break; // the header is damaged once the block exists
    case Defect::LengthPastTotal:
        kit::putU32(payload, 0, length + 200);
        break;
    }
    return payload;
}

} // namespace

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    const std::vector<uint8_t> payload = damagedPayload();
    BrokerMessage *block = payload.empty() ? nullptr : kit::publishInfoBlock(payload);
    if (block != nullptr && kDefect == Defect::HeaderPastTotal)
        block->headerLength = 400;
    return block;
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
