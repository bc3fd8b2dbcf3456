// A host's counters seen from another process: this test process is the host (the real module,
// two providers, requests traced from the start), and kovctl, run as a separate program, reads
// the region it publishes. Single-threaded, so it runs where Windows programs run under Wine.
#include "integration/module_harness.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kov::integration {
namespace {

using test::Request;

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class ObserveTest : public ModuleTest {
protected:
    void SetUp() override {
        folder_ = platform::programDirectory();
        runtimeDir_ = folder_ + "kov_observe_runtime";
        platform::testing::setEnvironmentValue("KOV_BROKER_RUNTIME_DIR", runtimeDir_.c_str());
        platform::testing::setEnvironmentValue("KOV_BROKER_TRACE", "1");
        ModuleTest::SetUp();
    }
    void TearDown() override {
        ModuleTest::TearDown();
        platform::testing::setEnvironmentValue("KOV_BROKER_TRACE", nullptr);
        platform::testing::setEnvironmentValue("KOV_BROKER_RUNTIME_DIR", nullptr);
    }

    // kovctl's standard output for `arguments`, and its exit code.
    std::string kovctl(const std::string& arguments, int& exitCode) {
        const std::string output = folder_ + "kov_observe_kovctl.out";
        std::remove(output.c_str());
        // Only the program is quoted: the Windows command interpreter keeps a lone quoted name,
        // and strips the outer pair of more (the build folder holds no blanks).
        const std::string command = "\"" + folder_ + KOV_TEST_KOVCTL + "\" " + arguments + " > " + output;
        exitCode = std::system(command.c_str());
        const std::string text = readWhole(output);
        std::remove(output.c_str());
        return text;
    }

    std::string folder_, runtimeDir_;
};

TEST_F(ObserveTest, AHostSendingToTwoProvidersIsSeenByPsStatsTopAndTrace) {
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Immediate", {providerPath("kov_test_immediate")}));
    ASSERT_NO_FATAL_FAILURE(writeProviderKey("Refusing", {providerPath("kov_test_refusing")}));
    const std::vector<Subsystem> providers = list();
    const ProviderHandle immediate = handleServing(providers, 0x100);
    const ProviderHandle refusing = handleServing(providers, 0x300);
    ASSERT_NE(immediate, 0u);
    ASSERT_NE(refusing, 0u);

    test::ConfirmCollector collector(0);
    for (int i = 0; i < 6; ++i) {
        Request request(immediate, 0x100, 0, 44, {1, 2, 3, 4});
        collector.use(request.get());
        EXPECT_EQ(module_->send(request.get()), 0);
    }
    for (int i = 0; i < 2; ++i) {
        Request request(immediate, 0x100, 0, 44, {1, 2, 3, 4, 5, 6});
        EXPECT_EQ(call(request).size(), 50u);
    }
    Request refused(refusing, 0x300, 0);
    BrokerMessage* confirm = nullptr;
    EXPECT_NE(module_->sendSync(refused.get(), &confirm), 0);
    EXPECT_EQ(confirm, nullptr);

    const std::string pid = std::to_string(platform::currentProcessId());
    int exitCode = -1;
    const std::string ps = kovctl("ps --json", exitCode);
    EXPECT_EQ(exitCode, 0) << ps;
    EXPECT_NE(ps.find("{\"pid\":" + pid + ",\"state\":\"running\""), std::string::npos) << ps;
    EXPECT_NE(ps.find("\"providers\":3"), std::string::npos) << ps;

    const std::string stats = kovctl("stats --pid " + pid + " --json", exitCode);
    EXPECT_EQ(exitCode, 0) << stats;
    const std::string immediateCounts =
        "\"name\":\"Immediate\",\"handle\":" + std::to_string(immediate) +
        ",\"sets\":1,\"asyncSent\":6,\"asyncFinished\":6,\"syncAnswered\":2,\"syncUnanswered\":0,"
        "\"confirmBytes\":100,\"inFlight\":0,\"failed\":0";
    EXPECT_NE(stats.find(immediateCounts), std::string::npos) << stats;
    EXPECT_NE(stats.find("\"name\":\"Refusing\""), std::string::npos) << stats;
    EXPECT_NE(stats.find("\"syncAnswered\":0,\"syncUnanswered\":1"), std::string::npos) << stats;
    EXPECT_NE(stats.find("\"tracing\":true"), std::string::npos) << stats;

    const std::string top = kovctl("top --once --interval 0 --json", exitCode);
    EXPECT_EQ(exitCode, 0) << top;
    EXPECT_NE(top.find("\"name\":\"Immediate\",\"handle\":" + std::to_string(immediate) + ",\"calls\":8"),
              std::string::npos)
        << top;

    // Every request since the module attached was traced: the list, then the nine sends above;
    // kovctl takes them in order.
    const std::string trace = kovctl("trace --pid " + pid + " --count 10 --json", exitCode);
    EXPECT_EQ(exitCode, 0) << trace;
    EXPECT_EQ(occurrences(trace, "\"latencyUs\":"), 10u) << trace;
    const std::string firstAsync = "\"kind\":\"async\",\"handle\":" + std::to_string(immediate) +
                                   ",\"set\":256,\"code\":0,\"status\":0,\"requestBytes\":48";
    EXPECT_NE(trace.find(firstAsync), std::string::npos) << trace;
    EXPECT_EQ(occurrences(trace, "\"kind\":\"async\""), 6u) << trace;
    EXPECT_EQ(occurrences(trace, "\"confirmBytes\":50,"), 2u) << trace;
}

// A region left by a process that is gone, and one that is no region at all: ps names both and
// --clean removes them. Windows regions go with their process, so none is ever left there.
TEST_F(ObserveTest, StaleAndMalformedRegionsAreReportedAndCleaned) {
    if (platform::regionFolder().empty()) {
        EXPECT_EQ(platform::removeRegion(0x7FFFFFF0u), 0) << "nothing to remove on Windows";
        return;
    }
    const std::string pid = std::to_string(platform::currentProcessId());
    const std::string own = readWhole(runtimeDir_ + "/kov-" + pid + ".stats");
    ASSERT_EQ(own.size(), 67072u);
    struct Case {
        const char* pid; // no such process
        bool validLayout;
        const char* state;
    } const cases[] = {{"2147483632", true, "stale"}, {"2147483633", false, "stale"}};
    for (const Case& c : cases) {
        std::string bytes = own;
        const std::uint32_t gone = static_cast<std::uint32_t>(std::stoul(c.pid));
        std::memcpy(&bytes[20], &gone, 4);
        if (!c.validLayout) bytes[0] = 'X';
        std::ofstream(runtimeDir_ + "/kov-" + c.pid + ".stats", std::ios::binary) << bytes;
    }
    int exitCode = -1;
    const std::string ps = kovctl("ps --clean --json", exitCode);
    EXPECT_EQ(exitCode, 0) << ps;
    EXPECT_NE(ps.find("{\"pid\":2147483632,\"state\":\"stale\",\"removed\":true"), std::string::npos) << ps;
    EXPECT_NE(ps.find("{\"pid\":2147483633,\"state\":\"stale\",\"problem\":\"no region of the "
                      "broker's (wrong magic)\",\"removed\":true"),
              std::string::npos)
        << ps;
    EXPECT_NE(ps.find("{\"pid\":" + pid + ",\"state\":\"running\""), std::string::npos) << ps;
    for (const Case& c : cases)
        EXPECT_TRUE(readWhole(runtimeDir_ + "/kov-" + c.pid + ".stats").empty()) << c.pid;
}

} // namespace
} // namespace kov::integration
