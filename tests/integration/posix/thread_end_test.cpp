// The end of a thread as glibc runs it: key destructors in rounds (at most
// PTHREAD_DESTRUCTOR_ITERATIONS), and threads that end while the process exits.
#include "integration/module_harness.h"
#include "support/watchdog.h"

#include <climits>
#include <cstdlib>
#include <malloc.h>
#include <pthread.h>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes(); // the sanitizer's runtime
#endif

namespace kov::integration {
namespace {

// Heap bytes in use over every arena (the sanitizer's own count where it takes the allocations).
std::size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

BrokerModule* gModule = nullptr;
pthread_key_t gLateKey;
__thread int gRounds = 0; // no destructor: readable while the thread's keys are destroyed

void callBroker() {
    test::Request request(0, KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE);
    BrokerMessage* confirm = nullptr;
    gModule->sendSync(request.get(), &confirm);
    if (confirm != nullptr) gModule->deleteConfirm(confirm);
}

// A library's key destructor that calls the broker in every round and asks for the next one, up
// to the last: its key is made after the broker's, so in each round it runs after the broker's.
void callInEveryRound(void* value) {
    ++gRounds;
    callBroker();
    if (gRounds < PTHREAD_DESTRUCTOR_ITERATIONS) pthread_setspecific(gLateKey, value);
}

using ThreadEndTest = ModuleTest;

TEST_F(ThreadEndTest, ACallInTheLastDestructorRoundLeavesNothingBehind) {
    gModule = module_.get();
    ASSERT_EQ(pthread_key_create(&gLateKey, callInEveryRound), 0);
    const test::Deadline deadline("threads calling from key destructors", 240);
    const auto runThreads = [](int count) {
        for (int n = 0; n < count; ++n)
            std::thread([] {
                callBroker();
                pthread_setspecific(gLateKey, &gLateKey);
            }).join();
    };
    runThreads(20); // the first threads' slots, events and kept blocks stay for later threads
    const std::size_t before = heapInUse();
    runThreads(300);
    const std::size_t after = heapInUse();
    pthread_key_delete(gLateKey);
    // A thread leaving its slot, event and kept blocks behind leaves about 300 bytes or more.
    EXPECT_LT(after > before ? after - before : 0, 16u * 1024u);
}

TEST(ThreadEndExitTest, AThreadEndingAsTheProcessExitsHasItsEventClosedOnce) {
    const std::string command = "\"" + platform::programDirectory() + KOV_TEST_EXIT_HAND_BACK + "\"";
    for (int run = 0; run < 3; ++run) EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

} // namespace
} // namespace kov::integration
