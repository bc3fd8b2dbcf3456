// Test-only fault switch: "fail the Nth call of kind K". Compiled into the core so unit tests can
// drive every failure path; nothing in the exported interface reaches it.
#pragma once

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
    Count
};

// The nth call of kind `fault` from now on fails (n = 1: the next one). With `andAfter`, every
// later call of that kind fails too, until clear().
void failNth(Fault fault, unsigned n, bool andAfter = false);
void clear();
// How many calls of kind `fault` have been seen since the last clear(); lets a test sweep
// n = 1, 2, ... until an operation runs without hitting a fault.
unsigned callsSeen(Fault fault);
// Called by the backends at the top of each faultable call; true means "fail this call".
bool shouldFail(Fault fault);

// While set, the registry refuses this process write access as it refuses a user without the
// rights: createKey, setDwordValue, deleteValue, deleteKey and checkWriteAccess answer
// ERROR_ACCESS_DENIED (5); opening for reading and reading go on. clear() lifts it.
void denyRegistryWrites(bool deny);
bool registryWritesDenied();

// Calls that cannot fail but cost a system call on some target; counted so a test can prove a
// path makes none. Event closes are counted apart, to match them against event creations.
enum class Use : unsigned { AcquireLock, ReleaseLock, EventCall, CloseEvent, Count };
void noteUse(Use use);
unsigned usesSeen(Use use);

} // namespace kov::faults
