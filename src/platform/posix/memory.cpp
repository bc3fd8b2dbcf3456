// Fixed global memory is ordinary heap memory here: the handle is the block itself.
#include "platform/faults.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdlib>

namespace kov::platform {
namespace {
// Blocks whose free was made to fail: the system would keep them, and so do we, chained through
// their own first bytes, so that they stay reachable and a leak checker reports only real leaks.
std::atomic<void*> keptByFailedFrees{nullptr};
} // namespace

void* globalAlloc(std::uint32_t size, GlobalHandle* handle) {
    if (handle != nullptr) *handle = nullptr;
    if (faults::shouldFail(faults::Fault::GlobalAlloc)) return nullptr;
    // A zero-byte request still yields a distinct block, as GlobalAlloc gives one.
    void* block = std::calloc(size == 0 ? 1 : size, 1);
    if (handle != nullptr) *handle = block;
    return block;
}

void globalFree(GlobalHandle handle) {
    if (faults::shouldFail(faults::Fault::GlobalFree)) {
        if (handle == nullptr) return;
        void* next = keptByFailedFrees.load();
        do {
            *static_cast<void**>(handle) = next;
        } while (!keptByFailedFrees.compare_exchange_weak(next, handle));
        return;
    }
    std::free(handle);
}

} // namespace kov::platform
