// A process that ends with exit() while other threads are inside the broker: the module's detach
// runs under them and must leave alone everything they still use.
#include "platform/platform.h"
#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kov::integration {
namespace {

TEST(ProcessExitTest, ExitWhileThreadsSendAndReleaseEndsCleanly) {
    const std::string folder = platform::programDirectory();
    ASSERT_FALSE(folder.empty());
    // Delays from 0.2 to 14 ms: exit() meets the threads at every stage of their calls. A process
    // that hangs at its exit (as one whose sanitizer found a fault there may) fails the run.
    const test::Deadline deadline("a process that exits with threads inside the broker", 240);
    for (int run = 0; run < 20; ++run) {
        const std::string command =
            "\"" + folder + KOV_TEST_EXIT_RACE + "\" " + std::to_string(200 + run * 700);
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
}

} // namespace
} // namespace kov::integration
