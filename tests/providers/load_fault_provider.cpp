// kov_test_crash_on_load and kov_test_hang_on_load: one source, built once per fault
// (KOV_LOAD_FAULT). kov_GetSubSystemInfo writes through a null pointer (a segmentation fault, an
// access violation on Windows), or sleeps until the process is killed. Whatever loads the library
// for the broker meets the fault; the admin tool must survive and name it.
//
// It faults every time, unless KOV_TEST_FIRST_LOAD_FLAG names a file: then only while that file
// is missing, which the first load creates before it faults. A load that does not fault gets a
// provider like any other (set 0x630, answering as kov_test_immediate does): the broker's memory
// of the crash, and enabling the library again, can be tested with it.
#include "provider_kit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

enum class Fault { Crash, Hang };
constexpr Fault kFault = Fault::KOV_LOAD_FAULT;

// Through a variable, so that the compiler emits the store instead of a trap of its own.
volatile uintptr_t gNowhere = 0;

bool faultsNow()
{
    const char *flag = std::getenv("KOV_TEST_FIRST_LOAD_FLAG");
    if (flag == nullptr || *flag == '\0')
        return true;
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
    if (faultsNow()) {
        if (kFault == Fault::Crash)
            *reinterpret_cast<volatile int *>(gNowhere) = 1;
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return kit::describe({"Load fault test provider", "KOV tests", "none", {0x630}});
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
