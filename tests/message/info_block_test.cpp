// Reading and copying the self-description a provider library hands over. The blocks are built
// here byte by byte, so each test damages exactly one thing.
#include "message/reply_records.h"

#include "support/messages.h"

#include <gtest/gtest.h>

#include <functional>

namespace kov::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& bytes, std::uint32_t offset, std::uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, 4);
}

void putItem(Bytes& payload, std::uint32_t offset, std::uint32_t field, const std::string& text) {
    const Bytes units = utf16(text);
    put32(payload, offset, static_cast<std::uint32_t>(units.size() / 2));
    std::memcpy(payload.data() + offset + 4, units.data(), units.size());
    put32(payload, 12 + field, offset);
}

// A payload of `length` bytes: head, descriptor with `setCount` and its entries at the given
// payload offsets, chained; the descriptor's own size field holds a value the copy must drop.
Bytes payloadWith(std::uint32_t length, const std::vector<std::uint32_t>& entries) {
    Bytes p(length, 0);
    put32(p, 0, length);
    put32(p, 4, 1);           // version 1.0
    put32(p, 8, 7);
    put32(p, 12, 0xDEADBEEF); // descriptor size: never copied
    put32(p, 16, 1);          // descriptor version 1.0
    put32(p, 20, 9);
    std::memcpy(p.data() + 24, "2024-01-02T03:04:05.678+0100", 28);
    put32(p, 68, static_cast<std::uint32_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::uint32_t at = entries[i];
        put32(p, at, i + 1 < entries.size() ? entries[i + 1] - at : 0);
        put32(p, at + 4, 1);
        put32(p, at + 8, 0x10 * static_cast<std::uint32_t>(i + 1));
        put32(p, at + 12, 1);
        put32(p, at + 16, 0xCCCCCCCC);
    }
    return p;
}

// Two sets (entries at 72 and 92), a copyright item "ab" at 112 and a product item "xyz" at 122;
// 134 bytes in all.
Bytes goodPayload() {
    Bytes p = payloadWith(134, {72, 92});
    putItem(p, 112, 40, "ab");
    putItem(p, 122, 52, "xyz");
    return p;
}

// A block as kov_GetSubSystemInfo returns it: a header of headerLength bytes, then the payload,
// in 4-aligned storage.
class InfoBlock {
public:
    explicit InfoBlock(const Bytes& payload, std::uint32_t headerLength = 44)
        : words_((headerLength + payload.size() + 3) / 4, 0) {
        auto* bytes = reinterpret_cast<std::uint8_t*>(words_.data());
        std::memcpy(bytes + headerLength, payload.data(), payload.size());
        get()->totalLength = static_cast<std::uint32_t>(headerLength + payload.size());
        get()->headerLength = headerLength;
    }
    BrokerMessage* get() { return reinterpret_cast<BrokerMessage*>(words_.data()); }
    bool read(message::InfoBlock* out) { return check(out).ok(); }
    message::InfoFault check(message::InfoBlock* out) { return message::checkInfoBlock(get(), out); }

private:
    std::vector<std::uint32_t> words_;
};

TEST(ReadInfoBlock, AcceptsWellFormedBlocks) {
    struct Case {
        const char* what;
        Bytes payload;
        std::uint32_t headerLength, setCount;
    };
    Bytes lastDistanceIgnored = goodPayload();
    put32(lastDistanceIgnored, 92, 0xFFFFFFFF); // the last entry's distance is never followed
    const Case cases[] = {
        {"two sets, two strings", goodPayload(), 44, 2},
        {"longer header", goodPayload(), 48, 2},
        {"last distance not followed", lastDistanceIgnored, 44, 2},
        {"no sets, nothing but the fixed fields", payloadWith(72, {}), 44, 0},
        {"two sets exactly filling the payload", payloadWith(112, {72, 92}), 44, 2},
        {"entries spread out", payloadWith(144, {72, 100, 124}), 44, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InfoBlock block(c.payload, c.headerLength);
        message::InfoBlock info{};
        ASSERT_TRUE(block.read(&info));
        EXPECT_EQ(info.payload, reinterpret_cast<const std::uint8_t*>(block.get()) + c.headerLength);
        EXPECT_EQ(info.payloadLength, c.payload.size());
        EXPECT_EQ(info.setCount, c.setCount);
    }
}

TEST(ReadInfoBlock, RejectsEachKindOfDamage) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::uint32_t headerLength;
    };
    const auto setU32 = [](std::uint32_t offset, std::uint32_t value) {
        return [=](Bytes& p) { put32(p, offset, value); };
    };
    const Case cases[] = {
        {"header shorter than 44 bytes", [](Bytes&) {}, 40},
        {"payload length below the fixed fields", setU32(0, 71), 44},
        {"payload length below 72 + 20 x set count", setU32(0, 111), 44},
        {"set count beyond the payload", setU32(68, 4), 44},
        {"set count that overflows 20 x count", setU32(68, 0x0CCCCCCD), 44},
        {"copyright offset at the end", setU32(12 + 40, 134), 44},
        {"maker offset at the end", setU32(12 + 44, 134), 44},
        {"fourth string offset at the end", setU32(12 + 48, 134), 44},
        {"product offset at the end", setU32(12 + 52, 134), 44},
        {"item head running out", setU32(12 + 52, 131), 44},
        {"string offset near 2^32", setU32(12 + 52, 0xFFFFFFFE), 44},
        {"item text running out", setU32(122, 5), 44},
        {"item count that overflows 2 x count", setU32(122, 0x80000001), 44},
        {"entry chain leading out", setU32(72, 134 - 8 - 72), 44},
        {"entry distance wrapping around", setU32(72, 0xFFFFFFF0), 44},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes payload = goodPayload();
        c.damage(payload);
        InfoBlock block(payload, c.headerLength);
        message::InfoBlock info{};
        EXPECT_FALSE(block.read(&info));
    }
}

// Each refusal names its rule and the payload offset of the field that broke it.
TEST(CheckInfoBlock, NamesTheRuleAndOffset) {
    using message::InfoRule;
    struct Case {
        const char* what;
        Bytes payload;
        InfoRule rule;
        std::uint32_t offset;
    };
    const auto with = [](Bytes p, std::uint32_t offset, std::uint32_t value) {
        put32(p, offset, value);
        return p;
    };
    // Entries 16 bytes apart, as if the provider field were forgotten.
    Bytes stride16 = payloadWith(112, {72, 88});
    // Four sets claimed, room for them, one entry whose distance is 0.
    Bytes fourClaimedOneThere = with(payloadWith(160, {72}), 68, 4);
    const Case cases[] = {
        {"16-byte stride", stride16, InfoRule::kEntryDistanceShort, 72},
        {"count 4, one entry", fourClaimedOneThere, InfoRule::kEntryDistanceShort, 72},
        {"second entry 4 bytes on", with(goodPayload(), 72, 4), InfoRule::kEntryDistanceShort, 72},
        {"second entry on the copyright item", with(goodPayload(), 72, 40),
         InfoRule::kEntryOverlapsString, 112},
        {"first entry on the product item", with(with(goodPayload(), 64, 80), 80, 0),
         InfoRule::kEntryOverlapsString, 72},
        {"string in the fixed fields", with(goodPayload(), 52, 60), InfoRule::kStringInFixedPart,
         52},
        {"product item past the end", with(goodPayload(), 122, 5), InfoRule::kStringPastEnd, 64},
        {"set count past the end", with(goodPayload(), 68, 4), InfoRule::kSetsPastEnd, 68},
        {"chain leading out", with(goodPayload(), 72, 54), InfoRule::kEntryPastEnd, 126},
        {"payload length below 72", with(goodPayload(), 0, 71), InfoRule::kFixedPartTooShort, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InfoBlock block(c.payload);
        message::InfoBlock info{};
        const message::InfoFault fault = block.check(&info);
        EXPECT_EQ(fault.rule, c.rule);
        EXPECT_EQ(fault.offset, c.offset);
        EXPECT_STRNE(message::infoRuleText(fault.rule), "");
    }
}

// Nothing is read past what the block's own header says it holds: totalLength covers the header,
// headerLength lies within totalLength and the payload's length within the rest. The storage ends
// where the real block does (178 bytes), so a read past it is one a sanitizer sees.
TEST(CheckInfoBlock, StaysInsideWhatTheHeaderSaysTheBlockHolds) {
    using message::InfoRule;
    struct Case {
        const char* what;
        std::uint32_t totalLength, headerLength, payloadLength;
        InfoRule rule;
        std::uint32_t offset;
    };
    const Case cases[] = {
        {"totalLength 0", 0, 44, 134, InfoRule::kBlockTooShort, 0},
        {"totalLength below the header", 43, 44, 134, InfoRule::kBlockTooShort, 0},
        {"headerLength 400 past a block of 178", 178, 400, 134, InfoRule::kHeaderPastTotal, 8},
        {"headerLength one past totalLength", 178, 179, 134, InfoRule::kHeaderPastTotal, 8},
        {"no room for the payload's length", 178, 176, 134, InfoRule::kPayloadPastTotal, 0},
        {"payload length one past", 178, 44, 135, InfoRule::kPayloadPastTotal, 0},
        {"payload length near 2^32", 178, 44, 0xFFFFFFF0, InfoRule::kPayloadPastTotal, 0},
        {"totalLength shorter than the payload says", 177, 44, 134, InfoRule::kPayloadPastTotal, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes payload = goodPayload();
        put32(payload, 0, c.payloadLength);
        InfoBlock block(payload);
        block.get()->totalLength = c.totalLength;
        block.get()->headerLength = c.headerLength;
        message::InfoBlock info{};
        const message::InfoFault fault = block.check(&info);
        EXPECT_EQ(fault.rule, c.rule);
        EXPECT_EQ(fault.offset, c.offset);
        EXPECT_EQ(message::isHeaderRule(fault.rule), c.rule != InfoRule::kPayloadPastTotal);
    }
}

TEST(CheckInfoBlock, RefusesAShortHeader) {
    InfoBlock shortHeader(goodPayload(), 40);
    message::InfoBlock info{};
    EXPECT_EQ(shortHeader.check(&info).rule, message::InfoRule::kHeaderTooShort);
}

// The same rules read a descriptor of a list reply, where everything counts from the descriptor.
TEST(CheckDescription, DescriptorRelativeOffsets) {
    Bytes payload = goodPayload();
    Bytes descriptor(payload.begin() + 12, payload.end());
    put32(descriptor, 40, 100); // copyright item, now descriptor-relative
    put32(descriptor, 52, 110);
    EXPECT_TRUE(message::checkDescription(descriptor.data(), 122, 0).ok());
    put32(descriptor, 60, 16);
    const message::InfoFault fault = message::checkDescription(descriptor.data(), 122, 0);
    EXPECT_EQ(fault.rule, message::InfoRule::kEntryDistanceShort);
    EXPECT_EQ(fault.offset, 60u);
}

// Reads a block and copies its descriptor into a zeroed area, as a new record's block gives it,
// with guard bytes behind it.
Bytes copiedDescriptor(const Bytes& payload, ProviderHandle handle) {
    InfoBlock block(payload);
    message::InfoBlock info{};
    EXPECT_TRUE(block.read(&info));
    Bytes descriptor(payload.size() - 12, 0);
    descriptor.resize(descriptor.size() + 8, 0xA5);
    EXPECT_TRUE(message::copyDescriptor(info, descriptor.data(), handle));
    for (std::size_t i = payload.size() - 12; i < descriptor.size(); ++i)
        EXPECT_EQ(descriptor[i], 0xA5) << "wrote past the descriptor at " << i;
    descriptor.resize(payload.size() - 12);
    return descriptor;
}

TEST(CopyDescriptor, StringOffsetsCountFromTheDescriptor) {
    // No sets; a maker item "mk" at payload offset 80 and a product item "p" at 90.
    Bytes payload = payloadWith(98, {});
    putItem(payload, 80, 44, "mk");
    putItem(payload, 90, 52, "p");
    const Bytes d = copiedDescriptor(payload, 0x1234);
    ASSERT_EQ(d.size(), 86u);
    EXPECT_EQ(u32(d.data(), 0), 0u) << "a record's copy has size 0";
    EXPECT_EQ(u16(d.data(), 4), 1u);
    EXPECT_EQ(u32(d.data(), 8), 9u);
    EXPECT_EQ(std::string(d.begin() + 12, d.begin() + 40), "2024-01-02T03:04:05.678+0100");
    EXPECT_EQ(u32(d.data(), 40), 0u) << "an absent string stays absent";
    EXPECT_EQ(u32(d.data(), 44), 68u);
    EXPECT_EQ(u32(d.data(), 48), 0u);
    EXPECT_EQ(u32(d.data(), 52), 78u);
    EXPECT_EQ(itemText(d.data(), 68), "mk");
    EXPECT_EQ(itemText(d.data(), 78), "p");
}

TEST(CopyDescriptor, HandleGoesIntoEveryEntryAlongTheChain) {
    // Entries 28 and 24 bytes apart, the gaps filled with a pattern that must come through.
    Bytes payload = payloadWith(144, {72, 100, 124});
    for (std::uint32_t gap : {92u, 93u, 94u, 95u, 96u, 97u, 98u, 99u, 120u, 121u, 122u, 123u})
        payload[gap] = 0x77;
    const Bytes d = copiedDescriptor(payload, 0x0BADF00D);
    ASSERT_EQ(d.size(), 132u);

    Bytes expected(payload.begin() + 12, payload.end());
    put32(expected, 0, 0);
    for (std::uint32_t entry : {60u, 88u, 112u}) put32(expected, entry + 16, 0x0BADF00D);
    EXPECT_EQ(d, expected) << "only the size and the provider fields differ from the payload";
}

} // namespace
} // namespace kov::test
