// Per-thread keys: fiber-local slots, whose callback runs when a thread that set a value ends
// (fibers are not used by the broker, so fiber-local means thread-local here).
#include "platform/win32/win32.h"

#include <atomic>
#include <cstdint>

namespace kov::platform {
namespace {

// The callback has to be WINAPI and gets only the value, so each key in use has a trampoline of
// its own that knows the caller's hook. A few keys are all the broker and its tests need.
constexpr unsigned kKeys = 4;
std::atomic<void (*)(void*)> hooks[kKeys];
std::atomic<bool> taken[kKeys];

template <unsigned N> void WINAPI runHook(void* value) {
    if (auto hook = hooks[N].load()) hook(value);
}
constexpr PFLS_CALLBACK_FUNCTION trampolines[kKeys] = {runHook<0>, runHook<1>, runHook<2>, runHook<3>};

// A key is its FLS index and its trampoline, packed into the pointer-sized handle.
struct Key {
    DWORD index;
    unsigned trampoline;
};

ThreadKey pack(DWORD index, unsigned trampoline) {
    return reinterpret_cast<void*>((static_cast<std::uintptr_t>(index) << 3 | trampoline) + 1);
}

Key unpack(ThreadKey key) {
    const auto bits = reinterpret_cast<std::uintptr_t>(key) - 1;
    return {static_cast<DWORD>(bits >> 3), static_cast<unsigned>(bits & 7)};
}

} // namespace

bool createThreadKey(ThreadKey* key, void (*atExit)(void*)) {
    for (unsigned n = 0; n < kKeys; ++n) {
        bool expected = false;
        if (!taken[n].compare_exchange_strong(expected, true)) continue;
        hooks[n] = atExit;
        const DWORD index = FlsAlloc(trampolines[n]);
        if (index == FLS_OUT_OF_INDEXES) {
            taken[n] = false;
            return false;
        }
        *key = pack(index, n);
        return true;
    }
    return false;
}

void setThreadValue(ThreadKey key, void* value) { FlsSetValue(unpack(key).index, value); }

void deleteThreadKey(ThreadKey key) {
    const Key k = unpack(key);
    // FlsFree runs the callback for every thread's value still set; the hook is still there for
    // that, and only then is the trampoline given back.
    FlsFree(k.index);
    hooks[k.trampoline] = nullptr;
    taken[k.trampoline] = false;
}

} // namespace kov::platform
