// The one set of rules for a provider's self-description, shared by the broker (information blocks
// from kov_GetSubSystemInfo) and kovctl (descriptors in provider list replies, library inspection).
// Pure functions over bytes: no allocation, no state, nothing read outside the stated length.
#pragma once

#include <cstdint>

namespace kov::message {

// Which rule a description broke. kNone means it passed.
enum class InfoRule : std::uint8_t {
    kNone,
    kBlockTooShort,      // the block's totalLength below the 44-byte header
    kHeaderTooShort,     // block header below 44 bytes
    kHeaderPastTotal,    // headerLength beyond the block's totalLength
    kPayloadPastTotal,   // the payload's length (or its length field) beyond totalLength
    kFixedPartTooShort,  // shorter than the fixed fields
    kSetsPastEnd,        // fixed fields + 20 x set count do not fit
    kStringInFixedPart,  // a string offset points into the fixed fields
    kStringPastEnd,      // a string item does not lie wholly inside
    kEntryDistanceShort, // an entry's distance moves forward less than 20 bytes
    kEntryPastEnd,       // an entry does not lie wholly inside
    kEntryOverlapsString // an entry shares bytes with a string item
};

// The failed rule, the field that broke it and that field's offset, counted from the start of the
// bytes that were checked (the payload for a block, the descriptor for a list reply; the block
// itself for a rule of its header, see isHeaderRule).
struct InfoFault {
    InfoRule rule = InfoRule::kNone;
    const char* field = "";
    std::uint32_t offset = 0;
    bool ok() const { return rule == InfoRule::kNone; }
};

// Short English text for a rule, for reports.
const char* infoRuleText(InfoRule rule);
// A rule of the block's header (kBlockTooShort, kHeaderTooShort, kHeaderPastTotal): its offset
// counts from the block's start.
bool isHeaderRule(InfoRule rule);

// Called once per entry, in chain order, with the entry's offset in the checked bytes.
using EntryVisit = void (*)(void* context, std::uint32_t entryOffset);

// Checks a descriptor that starts `descriptorStart` bytes into `bytes` (12 in an information block
// payload, 0 in a list reply), with string offsets counted from `bytes`. `visit`, if given, sees
// every entry's offset, but only once the whole description has passed.
InfoFault checkDescription(const std::uint8_t* bytes, std::uint32_t length,
                           std::uint32_t descriptorStart, EntryVisit visit = nullptr,
                           void* context = nullptr);

} // namespace kov::message
