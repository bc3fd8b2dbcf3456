// kov_test_crash_once, kov_test_hang_once: one source, built once per way of failing
// (KOV_FIRST_LOAD). The first time the library describes itself it crashes (an illegal
// instruction), or hangs until it is killed; afterwards it is a provider like any other (set
// 0x630, answering as kov_test_immediate does). "The first time" is told by a file named by
// KOV_TEST_FIRST_LOAD_FLAG, which it creates then: with the file there, or without the variable,
// it never fails.
#include "provider_kit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

enum class FirstLoad { Crash, Hang };
constexpr FirstLoad kFirstLoad = FirstLoad::KOV_FIRST_LOAD;

bool firstLoad()
{
    const char *flag = std::getenv("KOV_TEST_FIRST_LOAD_FLAG");
    if (flag == nullptr || *flag == '\0')
        return false;
    if (std::FILE *existing = std::fopen(flag, "rb")) {
        std::fclose(existing);
        return false;
    }
    if (std::FILE *created = std::fopen(flag, "wb"))
        std::fclose(created);
    return true;
}

} // namespace

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    if (firstLoad()) {
        if (kFirstLoad == FirstLoad::Crash)
            __builtin_trap();
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return kit::describe({"First load test provider", "KOV tests", "none", {0x630}});
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    kit::bump(kit::counters().receives);
    return kit::answerNow(request);
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
