// Per-thread key: a fiber-local slot, whose callback runs when a thread that set a value ends
// (fibers are not used by the broker, so fiber-local means thread-local here).
#include "platform/win32/win32.h"

#include <atomic>
#include <cstdint>

namespace kov::platform {
namespace {
// One key per module is all the broker needs; the callback has to be WINAPI, so the caller's
// hook is kept here.
std::atomic<void (*)(void*)> exitHook{nullptr};

void WINAPI runExitHook(void* value) {
    if (auto hook = exitHook.load()) hook(value);
}
} // namespace

bool createThreadKey(ThreadKey* key, void (*atExit)(void*)) {
    exitHook = atExit;
    const DWORD index = FlsAlloc(runExitHook);
    if (index == FLS_OUT_OF_INDEXES) return false;
    *key = reinterpret_cast<void*>(static_cast<std::uintptr_t>(index) + 1);
    return true;
}

void setThreadValue(ThreadKey key, void* value) {
    FlsSetValue(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(key) - 1), value);
}

void deleteThreadKey(ThreadKey key) {
    FlsFree(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(key) - 1));
}

} // namespace kov::platform
