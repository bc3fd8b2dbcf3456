// kov_test_crash_on_load and kov_test_hang_on_load: one source, built once per fault
// (KOV_LOAD_FAULT). kov_GetSubSystemInfo never answers: it writes through a null pointer (a
// segmentation fault, an access violation on Windows), or it sleeps for ever. Whatever loads
// the library for the broker meets the fault; the admin tool must survive and name it.
#include "provider_kit.h"

#include <chrono>
#include <thread>

namespace {

enum class Fault { Crash, Hang };
constexpr Fault kFault = Fault::KOV_LOAD_FAULT;

// Through a variable, so that the compiler emits the store instead of a trap of its own.
volatile uintptr_t gNowhere = 0;

} // namespace

extern "C" BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    kit::bump(kit::counters().infoCalls);
    if (kFault == Fault::Crash)
        *reinterpret_cast<volatile int *>(gNowhere) = 1;
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}

extern "C" int32_t KOV_CALL kov_Receive(BrokerMessage *)
{
    return kit::refuse();
}

extern "C" int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    return kit::releaseBlock(block);
}
