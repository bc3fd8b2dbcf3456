// Confirms built and delivered by the kit, the request check, and the kit's record of its own
// blocks (what kov_DeleteReceive relies on).
#include "kit_test_support.h"

#include "support/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace kov::test::kit {
namespace {

// A request with headerLength 48 whose every header byte is distinct, and a 5-byte payload.
Request distinctRequest(ConfirmCollector& collector) {
    Request request(0x1234, 0x600, 2, 48, {'h', 'e', 'l', 'l', 'o'});
    for (std::uint32_t i = 12; i < 48; ++i) request.bytes()[i] = static_cast<std::uint8_t>(0xA0 + i);
    collector.use(request.get()); // callback and callbackData
    request->formatMajor = 1;
    request->formatMinor = 0;
    return request;
}

TEST(KitConfirm, CopiesTheRequestHeaderThenSetsLengthAndStatus) {
    ConfirmCollector collector;
    Request request = distinctRequest(collector);
    struct Case {
        const char* what;
        const void* payload;
        std::uint32_t size;
        std::vector<std::uint8_t> expected;
    };
    const std::uint8_t given[3] = {7, 8, 9};
    const Case cases[] = {
        {"payload copied", given, 3, {7, 8, 9}},
        {"payload of a given size, zeroed", nullptr, 6, {0, 0, 0, 0, 0, 0}},
        {"header only", nullptr, 0, {}},
        {"header only, payload pointer ignored", given, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BrokerMessage* confirm = kov_buildConfirm(request.get(), 1001, c.payload, c.size);
        ASSERT_NE(confirm, nullptr);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(confirm);
        EXPECT_EQ(u32(bytes, 0), 48 + c.size) << "totalLength";
        EXPECT_EQ(u32(bytes, 32), 1001u) << "status";
        EXPECT_EQ(allocatedSize(confirm), 48 + c.size);
        for (std::uint32_t i = 4; i < 48; ++i) {
            if (i >= 32 && i < 36) continue; // status
            EXPECT_EQ(bytes[i], request.bytes()[i]) << "header byte " << i;
        }
        EXPECT_EQ(std::vector<std::uint8_t>(bytes + 48, bytes + 48 + c.size), c.expected);
        EXPECT_EQ(kov_releaseBlock(confirm), 0);
    }
    EXPECT_EQ(allocationsLive(), 0);
}

TEST(KitConfirm, RefusesRequestsWhoseHeaderIsNotWhole) {
    struct Case {
        const char* what;
        std::uint32_t headerLength, totalLength, payloadSize;
    };
    const Case cases[] = {
        {"header of 43 bytes", 43, 43, 0},
        {"total shorter than the header", 48, 47, 0},
        {"size past 32 bits", 44, 44, 0xFFFFFFFFu - 43},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request request(0, 0x600, 0, 48);
        request->headerLength = c.headerLength;
        request->totalLength = c.totalLength;
        const unsigned made = allocationsMade();
        EXPECT_EQ(kov_buildConfirm(request.get(), 0, nullptr, c.payloadSize), nullptr);
        EXPECT_EQ(allocationsMade(), made);
    }
    EXPECT_EQ(kov_buildConfirm(nullptr, 0, nullptr, 0), nullptr);
}

TEST(KitConfirm, DeliveryReleasesWhatTheCallbackDoesNotKeep) {
    for (const std::int32_t keep : {0, 1}) {
        SCOPED_TRACE(keep);
        ConfirmCollector collector(keep);
        Request request = distinctRequest(collector);
        BrokerMessage* confirm = kov_buildConfirm(request.get(), 0, nullptr, 4);
        ASSERT_NE(confirm, nullptr);
        EXPECT_EQ(kov_deliver(confirm), 0);
        ASSERT_EQ(collector.count(), 1u);
        EXPECT_EQ(collector.deliveries()[0].confirm, confirm);
        // A kept confirm stays until it is released; one let go is gone already.
        EXPECT_EQ(kov_releaseBlock(confirm), keep ? 0 : 1);
    }
    // No callback to call: released, and the hand-over says not taken.
    Request request(0, 0x600, 0);
    BrokerMessage* confirm = kov_buildConfirm(request.get(), 0, nullptr, 0);
    EXPECT_EQ(kov_deliver(confirm), KOV_NOT_TAKEN);
    EXPECT_EQ(kov_deliver(nullptr), KOV_NOT_TAKEN);
    EXPECT_EQ(allocationsLive(), 0);
}

TEST(KitConfirm, AnswerDeliversOnceOrWritesNoMemoryFirst) {
    ConfirmCollector collector(0);
    Request request = distinctRequest(collector);
    EXPECT_EQ(kov_answer(request.get(), 6, nullptr, 0), 0);
    ASSERT_EQ(collector.count(), 1u);
    EXPECT_EQ(collector.deliveries()[0].bytes.size(), 48u) << "header-only error confirm";
    EXPECT_EQ(collector.deliveries()[0].status, 6u);
    EXPECT_EQ(allocationsLive(), 0);

    // Every allocation fails: status 3 reaches the request before null reaches the callback.
    ConfirmCollector::nullTarget = &collector;
    {
        const AllocationFault fault(1);
        EXPECT_EQ(kov_answer(request.get(), 0, "abc", 3), 0);
    }
    ConfirmCollector::nullTarget = nullptr;
    ASSERT_EQ(collector.count(), 2u);
    EXPECT_EQ(collector.deliveries()[1].confirm, nullptr);
    EXPECT_EQ(request->status, static_cast<std::uint32_t>(KOV_STATUS_NO_MEMORY));

    // Nobody to answer: not taken, nothing called.
    request->callback = nullptr;
    EXPECT_EQ(kov_answer(request.get(), 0, nullptr, 0), KOV_NOT_TAKEN);
    EXPECT_EQ(kov_answerNoMemory(request.get()), KOV_NOT_TAKEN);
    EXPECT_EQ(kov_answer(nullptr, 0, nullptr, 0), KOV_NOT_TAKEN);
    EXPECT_EQ(collector.count(), 2u);
}

TEST(KitRequestCheck, AnswersVersionSetOrOk) {
    const KovFunctionSet sets[] = {{0x600, 1, 0}, {0x700, 1, 0}, {0x700, 2, 1}};
    struct Case {
        const char* what;
        std::uint16_t formatMajor, formatMinor;
        std::uint32_t set;
        std::uint16_t major, minor;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"served", 1, 0, 0x600, 1, 0, KOV_STATUS_OK},
        {"second version of a set", 1, 0, 0x700, 2, 1, KOV_STATUS_OK},
        {"format 2.0", 2, 0, 0x600, 1, 0, KOV_STATUS_BAD_VERSION},
        {"format 1.1", 1, 1, 0x600, 1, 0, KOV_STATUS_BAD_VERSION},
        {"set at another version", 1, 0, 0x600, 1, 1, KOV_STATUS_BAD_VERSION},
        {"set not served", 1, 0, 0x601, 1, 0, KOV_STATUS_UNKNOWN_SET},
        {"bad format before unknown set", 3, 0, 0x601, 1, 0, KOV_STATUS_BAD_VERSION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request request(0, c.set, 0);
        request->formatMajor = c.formatMajor;
        request->formatMinor = c.formatMinor;
        request->setMajor = c.major;
        request->setMinor = c.minor;
        EXPECT_EQ(kov_checkRequest(request.get(), sets, 3), c.expected);
    }
    Request shortHeader(0, 0x600, 0);
    shortHeader->headerLength = 40;
    EXPECT_EQ(kov_checkRequest(shortHeader.get(), sets, 3), static_cast<std::uint32_t>(KOV_STATUS_BAD_VERSION));
    EXPECT_EQ(kov_checkRequest(nullptr, sets, 3), static_cast<std::uint32_t>(KOV_STATUS_BAD_VERSION));
}

// Addresses the kit never handed out are refused by address alone: were any of them read, the
// process would crash (unmapped), and none of them is written.
TEST(KitBlocks, TurnsAwayBlocksItDidNotBuildWithoutReadingThem) {
    BrokerMessage* own = kov_newBlock(64);
    ASSERT_NE(own, nullptr);
    std::vector<std::uint32_t> heap(16, 0xCCCCCCCC); // a heap block of someone else's
    Request foreign(0, 0, 0);
    const std::vector<std::uint8_t> foreignBefore(foreign.bytes(), foreign.bytes() + 44);
    BrokerMessage* const strangers[] = {
        nullptr, reinterpret_cast<BrokerMessage*>(16), reinterpret_cast<BrokerMessage*>(heap.data()),
        foreign.get(), reinterpret_cast<BrokerMessage*>(reinterpret_cast<std::uint8_t*>(own) + 4)};
    for (BrokerMessage* stranger : strangers) EXPECT_EQ(kov_releaseBlock(stranger), 1);
    EXPECT_EQ(heap, std::vector<std::uint32_t>(16, 0xCCCCCCCC));
    EXPECT_EQ(std::vector<std::uint8_t>(foreign.bytes(), foreign.bytes() + 44), foreignBefore);
    EXPECT_EQ(kov_releaseBlock(own), 0);
    EXPECT_EQ(kov_releaseBlock(own), 1) << "released twice";
    EXPECT_EQ(kov_newBlock(43), nullptr) << "smaller than a header";
    EXPECT_EQ(allocationsLive(), 0);
}

// Random interleavings of blocks built and released (and strangers) against a plain set: the
// record grows, shifts entries back on removal and goes away when the last block does.
TEST(KitBlocks, KeepsTrackOfThousandsInAnyOrder) {
    std::mt19937 random(7);
    std::vector<BrokerMessage*> live;
    for (int step = 0; step < 40000; ++step) {
        const unsigned pick = random() % 10;
        if (pick < 5 || live.empty()) {
            BrokerMessage* block = kov_newBlock(44 + random() % 8);
            ASSERT_NE(block, nullptr);
            live.push_back(block);
        } else if (pick < 9) {
            const std::size_t i = random() % live.size();
            ASSERT_EQ(kov_releaseBlock(live[i]), 0) << step;
            live[i] = live.back();
            live.pop_back();
        } else {
            // An address inside a live block is never one of the kit's.
            auto* inside = reinterpret_cast<std::uint8_t*>(live[random() % live.size()]) + 4;
            ASSERT_EQ(kov_releaseBlock(reinterpret_cast<BrokerMessage*>(inside)), 1);
        }
        if (step == 20000) {
            // Drain once in the middle, in a shuffled order.
            std::shuffle(live.begin(), live.end(), random);
            for (BrokerMessage* block : live) ASSERT_EQ(kov_releaseBlock(block), 0);
            live.clear();
            ASSERT_EQ(allocationsLive(), 0) << "the record goes with the last block";
        }
    }
    for (BrokerMessage* block : live) ASSERT_EQ(kov_releaseBlock(block), 0);
    EXPECT_EQ(allocationsLive(), 0);
}

TEST(KitBlocks, NoMemoryForTheRecordGivesNullAndNoLeak) {
    for (unsigned n = 1; n <= 2; ++n) {
        SCOPED_TRACE(n);
        const AllocationFault fault(n); // 1: the block, 2: the record's first table
        EXPECT_EQ(kov_newBlock(64), nullptr);
    }
    EXPECT_EQ(allocationsLive(), 0);
}

} // namespace
} // namespace kov::test::kit
