#include "support/broker_fixture.h"

#include "dispatch/send.h"

namespace kov::test {
namespace {

using SendTest = BrokerTest;

TEST_F(SendTest, HandleZeroReachesTheBrokerProviderOnTheCallingThread) {
    ConfirmCollector collector(0);
    Request request(0, 0, KOV_FN_GET_STATISTICS);
    collector.use(request.get());
    EXPECT_EQ(dispatch::send(request.get()), 0);
    ASSERT_EQ(collector.count(), 1u);
    const auto delivery = collector.deliveries()[0];
    EXPECT_EQ(delivery.status, 0u);
    ASSERT_EQ(delivery.bytes.size(), 152u);
    EXPECT_EQ(u32(delivery.bytes.data(), 0), 152u);
    EXPECT_EQ(u32(delivery.bytes.data(), 44), 108u);
    EXPECT_EQ(request->status, 0u);
}

TEST_F(SendTest, UnknownHandleGetsAHeaderOnlyConfirmWithStatus4) {
    loadProviders();
    for (std::uint32_t headerLength : {44u, 48u}) {
        ConfirmCollector collector(0);
        Request request(0x7FFFFFF0, 0x100, 0, headerLength, {1, 2, 3, 4});
        collector.use(request.get());
        request->reserved = 0x5A5A5A5A;
        if (headerLength == 48) std::memcpy(request.bytes() + 44, "\x11\x22\x33\x44", 4);
        const std::uint32_t inUse = bytesInUse();
        EXPECT_EQ(dispatch::send(request.get()), 0);
        ASSERT_EQ(collector.count(), 1u);
        const auto d = collector.deliveries()[0];
        ASSERT_EQ(d.bytes.size(), headerLength);
        EXPECT_EQ(u32(d.bytes.data(), 0), headerLength);
        EXPECT_EQ(u32(d.bytes.data(), 32), 4u);
        // Every other header byte is the request's.
        std::vector<std::uint8_t> expected(request.bytes(), request.bytes() + headerLength);
        std::memcpy(expected.data(), &headerLength, 4);
        EXPECT_EQ(d.bytes, expected);
        EXPECT_EQ(request->status, 4u);
        EXPECT_EQ(bytesInUse(), inUse) << "a confirm the callback let go is released";
    }
}

} // namespace
} // namespace kov::test
