#include "message/info_check.h"

#include "message/bytes.h"

namespace kov::message {
namespace {

constexpr std::uint32_t kFixedFields = 60; // descriptor fixed part; entries follow it
constexpr std::uint32_t kSetCountField = 56;
constexpr std::uint32_t kEntrySize = 20;

struct StringField {
    const char* name;
    std::uint32_t field;
};
constexpr StringField kStringFields[] = {
    {"copyright", 40}, {"maker", 44}, {"extra string", 48}, {"product", 52}};

// Byte range [begin, end) of one string item; empty when the offset is 0.
struct Span {
    std::uint64_t begin = 0, end = 0;
    bool overlaps(std::uint64_t b, std::uint64_t e) const { return begin < e && b < end; }
};

InfoFault fault(InfoRule rule, const char* field, std::uint32_t offset) {
    return InfoFault{rule, field, offset};
}

} // namespace

const char* infoRuleText(InfoRule rule) {
    switch (rule) {
    case InfoRule::kNone: return "well formed";
    case InfoRule::kBlockTooShort:
        return "totalLength is shorter than the 44-byte header (it counts the whole block, header "
               "and payload)";
    case InfoRule::kHeaderTooShort: return "the block header is shorter than 44 bytes";
    case InfoRule::kHeaderPastTotal:
        return "headerLength runs past totalLength (which counts the whole block, header and "
               "payload)";
    case InfoRule::kPayloadPastTotal:
        return "the payload's length runs past totalLength (which counts the whole block, header "
               "and payload)";
    case InfoRule::kFixedPartTooShort: return "the payload is shorter than the fixed fields";
    case InfoRule::kSetsPastEnd: return "the function set entries cannot fit in the payload";
    case InfoRule::kStringInFixedPart: return "a string offset points into the fixed fields";
    case InfoRule::kStringPastEnd: return "a string item runs past the payload";
    case InfoRule::kEntryDistanceShort:
        return "an entry's distance moves forward less than one entry (20 bytes)";
    case InfoRule::kEntryPastEnd: return "a function set entry runs past the payload";
    case InfoRule::kEntryOverlapsString: return "a function set entry overlaps a string item";
    }
    return "unknown rule";
}

bool isHeaderRule(InfoRule rule) {
    return rule == InfoRule::kBlockTooShort || rule == InfoRule::kHeaderTooShort ||
           rule == InfoRule::kHeaderPastTotal;
}

InfoFault checkDescription(const std::uint8_t* bytes, std::uint32_t length,
                           std::uint32_t descriptorStart, EntryVisit visit, void* context) {
    // All arithmetic in 64 bits: no offset or count a provider writes can wrap it.
    const std::uint64_t end = length;
    const std::uint64_t fixedEnd = std::uint64_t{descriptorStart} + kFixedFields;
    if (fixedEnd > end) return fault(InfoRule::kFixedPartTooShort, "length", 0);
    const std::uint32_t countField = descriptorStart + kSetCountField;
    const std::uint32_t setCount = readU32(bytes, countField);
    if (fixedEnd + std::uint64_t{kEntrySize} * setCount > end)
        return fault(InfoRule::kSetsPastEnd, "set count", countField);

    Span strings[4];
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t field = descriptorStart + kStringFields[i].field;
        const std::uint64_t at = readU32(bytes, field);
        if (at == 0) continue;
        if (at < fixedEnd) return fault(InfoRule::kStringInFixedPart, kStringFields[i].name, field);
        if (at + 4 > end) return fault(InfoRule::kStringPastEnd, kStringFields[i].name, field);
        const std::uint64_t units = readU32(bytes, static_cast<std::uint32_t>(at));
        if (at + 4 + 2 * units > end)
            return fault(InfoRule::kStringPastEnd, kStringFields[i].name, field);
        strings[i] = Span{at, at + 4 + 2 * units};
    }

    // Two passes over the same chain: the first proves it, the second hands the proven offsets
    // out, so nobody acts on an entry of a description that fails further on.
    for (int pass = 0; pass < (visit != nullptr ? 2 : 1); ++pass) {
        std::uint64_t entry = fixedEnd;
        for (std::uint32_t i = 0; i < setCount; ++i) {
            const auto at = static_cast<std::uint32_t>(entry);
            if (entry + kEntrySize > end) return fault(InfoRule::kEntryPastEnd, "entry", at);
            for (const Span& s : strings)
                if (s.overlaps(entry, entry + kEntrySize))
                    return fault(InfoRule::kEntryOverlapsString, "entry", at);
            if (pass == 1) visit(context, at);
            if (i + 1 == setCount) break; // the last entry's distance is never followed
            const std::uint32_t distance = readU32(bytes, at);
            if (distance < kEntrySize)
                return fault(InfoRule::kEntryDistanceShort, "entry distance", at);
            entry += distance;
        }
    }
    return InfoFault{};
}

} // namespace kov::message
