// Test-only fault switch: "fail the Nth call of kind K". Compiled into the core so unit tests can
// drive every failure path; nothing in the exported interface reaches it.
#pragma once

#include "platform/platform.h"

#include <atomic>

namespace kov::faults {

enum class Fault : unsigned {
    GlobalAlloc,
    GlobalFree, // the memory stays allocated, as when GlobalFree fails
    CreateLock,
    CreateEvent,
    InitSecurity,
    SetDacl,
    LoadLibrary,
    FindSymbol,
    CreateKey,
    EnumKey,
    EnumValue,
    SetValue,
    DeleteValue,
    DeleteKey,
    QueryValueCount,
    LoadString,
    CppHeap, // operator new, where a test binary replaces it (see tests/support/cpp_heap.cpp)
    StateWrite, // per-user state files: writing, renaming, removing
    StateRead,  // per-user state files: reading, listing a folder
    CreateRegion, // the published region of the process
    Count
};

// The nth call of kind `fault` from now on fails (n = 1: the next one). With `andAfter`, every
// later call of that kind fails too, until clear().
void failNth(Fault fault, unsigned n, bool andAfter = false);
void clear();
// Back to the state of a program that never used the switch (for tests of what it bypasses).
void stopCounting();
// How many calls of kind `fault` have been seen since the last clear(); lets a test sweep
// n = 1, 2, ... until an operation runs without hitting a fault.
unsigned callsSeen(Fault fault);
namespace detail {
struct Switch {
    std::atomic<unsigned> seen{0};
    std::atomic<unsigned> failAt{0}; // 0 = armed for nothing
    std::atomic<bool> andAfter{false};
};
extern KOV_MODULE_GLOBAL Switch switches[static_cast<unsigned>(Fault::Count)];
// Off until a test first clears or arms the switch: a program that never does pays one load.
extern KOV_MODULE_GLOBAL std::atomic<bool> counting;
bool armedFails(Switch& s, unsigned call);
} // namespace detail

// True once a test has used the switch. Shortcuts that would hide system calls from it (the
// per-thread block cache) stand aside then, so that every allocation and free is seen.
inline bool inUse() { return detail::counting.load(std::memory_order_relaxed); }

// Called by the backends at the top of each faultable call; true means "fail this call". Every
// allocation pays for it: nothing is counted until a test uses the switch, and then counting is
// a plain add (counts made by threads at the same time may be lost; tests count calls made on
// one thread) and the rest only runs when armed.
inline bool shouldFail(Fault fault) {
    if (!detail::counting.load(std::memory_order_relaxed)) return false;
    detail::Switch& s = detail::switches[static_cast<unsigned>(fault)];
    const unsigned call = s.seen.load(std::memory_order_relaxed) + 1;
    s.seen.store(call, std::memory_order_relaxed);
    return s.failAt.load(std::memory_order_relaxed) != 0 && detail::armedFails(s, call);
}

// While set, the registry refuses this process write access as it refuses a user without the
// rights: createKey, setDwordValue, deleteValue, deleteKey and checkWriteAccess answer
// ERROR_ACCESS_DENIED (5); opening for reading and reading go on. clear() lifts it.
void denyRegistryWrites(bool deny);
bool registryWritesDenied();

// What checkUserLayer() takes this process for: as the system says (Real), or as a set-user-id
// (elevated) process, or as one that is not, whatever the system says (Wine runs every program
// with an elevated token). clear() goes back to Real.
enum class Elevation : unsigned { Real, Elevated, NotElevated };
void pretendElevation(Elevation elevation);
// What the system says (`systemSays`), unless a test pretends otherwise.
bool elevatedAsPretended(bool systemSays);

// Calls that cannot fail but cost a system call on some target; counted so a test can prove a
// path makes none. Event closes are counted apart, to match them against event creations.
enum class Use : unsigned { AcquireLock, ReleaseLock, EventCall, CloseEvent, Count };
void noteUse(Use use);
unsigned usesSeen(Use use);

} // namespace kov::faults
