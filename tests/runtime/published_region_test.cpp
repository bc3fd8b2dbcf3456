#include "support/broker_fixture.h"

#include "dispatch/send.h"
#include "observe/published_region.h"
#include "observe/region_reader.h"
#include "runtime/process.h"

#include <cstring>
#include <vector>

namespace kov::test {
namespace {

using PublishedRegionTest = BrokerTest;

std::vector<std::uint8_t> regionCopy() {
    const unsigned char* const region = observe::regionMemory();
    return {region, region + 67072};
}

void put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    std::memcpy(&bytes[at], &value, 4);
}

TEST_F(PublishedRegionTest, HeaderAndTablesSitAtTheirOffsets) {
    const std::vector<std::uint8_t> r = regionCopy();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data()), 8), "KOVBROBS");
    const struct {
        std::uint32_t offset, value;
    } fields[] = {{8, 1},        {12, 512},  {16, 67072}, {20, platform::currentProcessId()},
                  {24, 512},     {28, 128},  {32, 128},   {36, 16896},
                  {40, 64},      {44, 384},  {48, 41472}, {52, 16},
                  {56, 1600},    {60, 48}};
    for (const auto& f : fields) EXPECT_EQ(u32(r.data(), f.offset), f.value) << "at " << f.offset;
    EXPECT_EQ(u32(r.data(), 64) & 2u, 0u) << "not traced unless asked";
}

// A request counted in its provider's block, in the shard of the sending thread's slot.
TEST_F(PublishedRegionTest, ProviderCountsAreReadBackPerProvider) {
    loadProviders();
    Request request(0, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO);
    ConfirmCollector collector(0);
    collector.use(request.get());
    ASSERT_EQ(dispatch::send(request.get()), 0);
    std::string problem;
    observe::RegionCounts counts;
    const std::vector<std::uint8_t> r = regionCopy();
    ASSERT_TRUE(observe::readRegion(r.data(), r.size(), counts, problem)) << problem;
    ASSERT_EQ(counts.providers.size(), 1u);
    EXPECT_EQ(counts.providers[0].name, "broker");
    EXPECT_EQ(counts.providers[0].counts[observe::kAsyncSent], 1u);
    EXPECT_EQ(counts.providers[0].inFlight(), 0u);
    EXPECT_EQ(counts.asyncCalls, statistics().sendCalls.low);
}

TEST_F(PublishedRegionTest, AMalformedRegionIsReportedNotFollowed) {
    const struct {
        const char* name;
        std::size_t at;
        std::uint32_t value;
        const char* problem;
    } cases[] = {
        {"magic", 0, 0x58564f4b, "wrong magic"},
        {"version", 8, 2, "layout version 2"},
        {"header length", 12, 4096, "wrong header length"},
        {"region length", 16, 0x7FFFFFFF, "region length"},
        {"slots past the end", 24, 66000, "thread slots lie outside"},
        {"slot count", 28, 0x10000000, "thread slots lie outside"},
        {"provider size", 44, 0x40000000, "providers lie outside"},
        {"ring count", 52, 17, "trace rings lie outside"},
        {"record length", 60, 16, "wrong trace record length"},
        {"start token unterminated", 80 + 60, 0x41414141, "not terminated"},
        {"program unterminated", 144 + 252, 0x41414141, "not terminated"},
        {"provider state", 16896, 7, "in no known state"},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> r = regionCopy();
        if (c.at == 80 + 60) std::memset(&r[80], 'A', 64);
        if (c.at == 144 + 252) std::memset(&r[144], 'A', 256);
        put32(r, c.at, c.value);
        observe::RegionCounts counts;
        std::string problem;
        EXPECT_FALSE(observe::readRegion(r.data(), r.size(), counts, problem)) << c.name;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << c.name << ": " << problem;
    }
    observe::RegionCounts counts;
    std::string problem;
    const std::vector<std::uint8_t> r = regionCopy();
    EXPECT_FALSE(observe::readRegion(r.data(), 100, counts, problem)) << "shorter than its header";
    EXPECT_FALSE(observe::readRegion(r.data(), 60000, counts, problem)) << "cut short";
}

// A region that cannot be made costs the broker nothing: the counters live in its own memory.
TEST_F(PublishedRegionTest, ARegionThatCannotBeMadeCostsNothing) {
    runtime::processDetach(false);
    faults::failNth(faults::Fault::CreateRegion, 1, true);
    ASSERT_TRUE(runtime::processAttach(nullptr));
    EXPECT_FALSE(observe::regionPublished());
    loadProviders();
    Request request(0, KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO);
    ConfirmCollector collector(0);
    collector.use(request.get());
    EXPECT_EQ(dispatch::send(request.get()), 0);
    observe::RegionCounts counts;
    std::string problem;
    const std::vector<std::uint8_t> r = regionCopy();
    ASSERT_TRUE(observe::readRegion(r.data(), r.size(), counts, problem)) << problem;
    ASSERT_EQ(counts.providers.size(), 1u);
    EXPECT_EQ(counts.providers[0].counts[observe::kAsyncSent], 1u);
    faults::clear();
}

} // namespace
} // namespace kov::test
