// The installed ListSubsystems walker (<kov/kov_list.h>) against hand-made replies: literal
// payload offsets, each reply in a buffer of exactly its own size, so that a read past it is
// caught by the sanitizers.
#include <kov/kov_list.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kHeader = 44;

// Payload: 20 bytes of list header, descriptor A (120 bytes: sets 0x100 v1.2 and 0x200 v3.4 for
// handle 7, product "Ab" at 100), descriptor B (the last: size field 0, set 0x401 v1.0 for
// handle 9, no texts, then the 80 closing zero bytes).
std::vector<std::uint8_t> goodPayload() {
    std::vector<std::uint8_t> p(300, 0);
    auto put32 = [&p](std::uint32_t at, std::uint32_t v) { std::memcpy(&p[at], &v, 4); };
    auto put16 = [&p](std::uint32_t at, std::uint16_t v) { std::memcpy(&p[at], &v, 2); };
    put32(0, 300);
    put32(16, 2);
    const std::uint32_t a = 20, b = 140;
    put32(a + 0, 120);
    put32(a + 52, 100);
    put32(a + 56, 2);
    put32(a + 60, 20), put32(a + 68, 0x100), put16(a + 72, 1), put16(a + 74, 2), put32(a + 76, 7);
    put32(a + 80, 0), put32(a + 88, 0x200), put16(a + 92, 3), put16(a + 94, 4), put32(a + 96, 7);
    put32(a + 100, 3), put16(a + 104, 'A'), put16(a + 106, 'b');
    put32(b + 56, 1);
    put32(b + 60, 0), put32(b + 68, 0x401), put16(b + 72, 1), put32(b + 76, 9);
    return p;
}

// A confirm in memory of exactly its size.
struct Reply {
    explicit Reply(const std::vector<std::uint8_t>& payload, std::uint32_t status = 0,
                   std::uint32_t headerLength = kHeader)
        : bytes(kHeader + payload.size()) {
        std::memcpy(bytes.data() + kHeader, payload.data(), payload.size());
        BrokerMessage header{};
        header.totalLength = static_cast<std::uint32_t>(bytes.size());
        header.headerLength = headerLength;
        header.status = status;
        std::memcpy(bytes.data(), &header, kHeader);
    }
    const BrokerMessage* get() const { return reinterpret_cast<const BrokerMessage*>(bytes.data()); }
    std::vector<std::uint8_t> bytes;
};

struct Walked {
    int begun = 0;
    std::vector<std::string> sets; // "set/major.minor@handle"
    std::vector<std::string> products;
    int end = 0; // 0: the end was reached, -1: malformed
};

Walked walk(const BrokerMessage* reply) {
    Walked out;
    KovListWalk w;
    out.begun = kov_listBegin(&w, reply);
    if (!out.begun) return out;
    KovListedProvider provider;
    while ((out.end = kov_listNextProvider(&w, &provider)) > 0) {
        const std::uint8_t* units;
        std::uint32_t count;
        const int text = kov_listText(&provider, KOV_TEXT_PRODUCT, &units, &count);
        std::string product = text < 0 ? "?" : "";
        for (std::uint32_t i = 0; i + 1 < count; ++i) product += static_cast<char>(units[2 * i]);
        out.products.push_back(product);
        KovListedSet set;
        while ((out.end = kov_listNextSet(&provider, &set)) > 0)
            out.sets.push_back(std::to_string(set.functionSet) + "/" + std::to_string(set.setMajor) +
                               "." + std::to_string(set.setMinor) + "@" +
                               std::to_string(set.provider));
        if (out.end < 0) break;
    }
    return out;
}

TEST(ListWalk, HandsOutEveryProviderSetAndText) {
    const Reply reply(goodPayload());
    const Walked w = walk(reply.get());
    EXPECT_EQ(w.begun, 1);
    EXPECT_EQ(w.sets, (std::vector<std::string>{"256/1.2@7", "512/3.4@7", "1025/1.0@9"}));
    EXPECT_EQ(w.products, (std::vector<std::string>{"Ab", ""}));
    EXPECT_EQ(w.end, 0);
}

TEST(ListWalk, RefusesRepliesItCannotWalk) {
    EXPECT_EQ(walk(nullptr).begun, 0);
    EXPECT_EQ(walk(Reply(goodPayload(), 4).get()).begun, 0) << "an error confirm";
    EXPECT_EQ(walk(Reply(goodPayload(), 0, 40).get()).begun, 0) << "a short header";
    EXPECT_EQ(walk(Reply(goodPayload(), 0, 400).get()).begun, 0) << "a header past the end";
    EXPECT_EQ(walk(Reply(std::vector<std::uint8_t>(19, 0)).get()).begun, 0) << "no list header";
    std::vector<std::uint8_t> p = goodPayload();
    p[0] = 45, p[1] = 1; // 301: one byte more than the confirm holds
    EXPECT_EQ(walk(Reply(p).get()).begun, 0);
}

// Each damage: payload offset, the u32 written there, the sets handed out before the walk stops.
TEST(ListWalk, StopsAtDamageWithoutReadingOutside) {
    struct Case {
        const char* what;
        std::uint32_t at, value;
        std::size_t sets;
        int end;
    };
    const Case cases[] = {
        {"more descriptors than there are", 16, 3, 2, -1}, // B is then not the last
        {"a descriptor shorter than its fixed part", 20, 30, 0, -1},
        {"a descriptor past the payload", 20, 1000, 0, -1},
        {"a descriptor that leaves too little for the last", 20, 250, 2, -1},
        {"an entry distance below 20", 80, 8, 1, -1},
        {"an entry distance past the descriptor", 80, 0xFFFFFFF0u, 1, -1},
        {"a set count past the chain's end", 76, 5, 3, 0}, // the chain's 0 distance ends it
        {"a set count of 0", 76, 0, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> p = goodPayload();
        std::memcpy(&p[c.at], &c.value, 4);
        const Walked w = walk(Reply(p).get());
        EXPECT_EQ(w.begun, 1);
        EXPECT_EQ(w.sets.size(), c.sets);
        EXPECT_EQ(w.end, c.end);
    }
}

TEST(ListWalk, TextsOutsideTheDescriptorAreRefused) {
    // The product field at payload 72: a count running past the descriptor's end (8 bytes from
    // descriptor offset 118, which ends at 120), a count field itself cut off, far outside.
    for (const std::uint32_t damage : {114u, 118u, 1000u}) {
        std::vector<std::uint8_t> p = goodPayload();
        std::memcpy(&p[20 + 52], &damage, 4);
        const std::uint32_t count = 4;
        if (damage == 114u) std::memcpy(&p[20 + 114], &count, 4);
        EXPECT_EQ(walk(Reply(p).get()).products.front(), "?") << damage;
    }
}

} // namespace
