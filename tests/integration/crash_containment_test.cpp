// A provider library that crashes, or hangs, the first time a process loads it: that process dies
// (or is killed, as a watchdog kills a program that hangs), every later process skips the library
// and says why, and registering it again lets it load. The loads run in other processes
// (kov_test_list_client), as the first send of any program.
#include "integration/child/child_process.h"
#include "integration/module_harness.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace kov::integration {
namespace {

using test::Request;
using test::u32;

// putenv keeps the buffer it is given.
void setVariable(const std::string& name, const std::string& value) {
    static std::string kept[4];
    static int next = 0;
    std::string& text = kept[next++ % 4];
    text = name + "=" + value;
    putenv(text.data());
}

bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class CrashContainmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = platform::programDirectory();
        ASSERT_FALSE(folder_.empty());
        flag_ = folder_ + "kov_first_load_" + std::to_string(platform::currentProcessId()) + ".flag";
        // A key of this run's own: a crash record that an interrupted earlier run left behind
        // names another, and does not make this run's first load skip the library.
        key_ = "Failing" + std::to_string(platform::currentProcessId());
        std::remove(flag_.c_str());
        setVariable("KOV_TEST_FIRST_LOAD_FLAG", flag_);
        clearProviderKeys();
    }
    void TearDown() override {
        clearProviderKeys();
        setVariable("KOV_TEST_FIRST_LOAD_FLAG", "");
        std::remove(flag_.c_str());
    }

    // The list client in a process of its own, with its report; `end` kills it once the library
    // has begun to fail. What it wrote, line by line; empty when it did not end with 0.
    std::vector<std::string> runClient(bool killOnceFailing = false) {
        const std::string output = folder_ + "kov_test_list_client.out";
        std::remove(output.c_str());
        ChildProcess child(folder_ + KOV_TEST_LIST_CLIENT, {"report"});
        EXPECT_TRUE(child.started());
        int exitCode = -1;
        bool crashed = false;
        if (killOnceFailing) {
            // The library makes the flag file before it hangs; its loading mark came before.
            for (int i = 0; i < 1200 && !fileExists(flag_); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_TRUE(fileExists(flag_)) << "the library never began to load";
            EXPECT_FALSE(child.wait(200, exitCode, crashed)) << "it did not hang";
            child.kill();
            return {};
        }
        EXPECT_TRUE(child.wait(120000, exitCode, crashed)) << "the client did not end";
        // Under AddressSanitizer its own handler ends a crashing process, with an exit code.
        lastCrashed_ = crashed || exitCode != 0;
        return exitCode == 0 && !crashed ? readLines(output) : std::vector<std::string>{};
    }

    std::string folder_, flag_, key_;
    bool lastCrashed_ = false;
};

TEST_F(CrashContainmentTest, ALibraryThatCrashesOrHangsWhileLoadingIsSkippedUntilRegisteredAgain) {
    const struct {
        const char* library;
        bool hangs;
    } cases[] = {{"kov_test_crash_on_load", false}, {"kov_test_hang_on_load", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.library);
        const std::string path = providerPath(c.library);
        std::remove(flag_.c_str());
        writeProviderKey(key_, {path});
        writeProviderKey("Plain", {providerPath("kov_test_immediate")});

        // The first process to load it dies with it.
        const std::vector<std::string> died = runClient(c.hangs);
        EXPECT_TRUE(died.empty());
        if (!c.hangs) {
            EXPECT_TRUE(lastCrashed_) << "the client was to crash";
        }
        ASSERT_TRUE(fileExists(flag_));

        // Every later one skips it and says who died of it.
        const std::vector<std::string> after = runClient();
        ASSERT_EQ(after.size(), 5u);
        EXPECT_EQ(after[0], "2");
        EXPECT_EQ(after[2], "Immediate test provider");
        EXPECT_EQ(after[3], "report 0 1");
        EXPECT_EQ(after[4].rfind("2 " + key_ + " ", 0), 0u) << after[4];
        EXPECT_NE(after[4], "2 " + key_ + " 0") << "the process that died is named";

        // Registering it again lets it load (it no longer fails: the flag is there), here and in
        // every later process; removing it takes its record too.
        {
            BrokerModule module;
            ASSERT_NE(module.sendSync, nullptr);
            for (const std::uint32_t operation : {2u, unsigned(KOV_REGISTER)}) {
                Request request(0, 0, KOV_FN_REGISTER_PROVIDER, 44,
                                registrationPayload(operation, key_, path));
                BrokerMessage* confirm = nullptr;
                module.sendSync(request.get(), &confirm);
                ASSERT_NE(confirm, nullptr);
                EXPECT_EQ(confirm->status, 0u) << "operation " << operation;
                module.deleteConfirm(confirm);
            }
        }
        const std::vector<std::string> enabled = runClient();
        ASSERT_EQ(enabled.size(), 5u);
        EXPECT_EQ(enabled[0], "3");
        EXPECT_EQ(enabled[4], "report 0 0");
        clearProviderKeys();
    }
}

} // namespace
} // namespace kov::integration
