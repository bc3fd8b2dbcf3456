// Fixed global memory is ordinary heap memory here: the handle is the block itself.
#include "platform/faults.h"
#include "platform/platform.h"

#include <cstdlib>

namespace kov::platform {

void* globalAlloc(std::uint32_t size, GlobalHandle* handle) {
    if (handle != nullptr) *handle = nullptr;
    if (faults::shouldFail(faults::Fault::GlobalAlloc)) return nullptr;
    // A zero-byte request still yields a distinct block, as GlobalAlloc gives one.
    void* block = std::calloc(size == 0 ? 1 : size, 1);
    if (handle != nullptr) *handle = block;
    return block;
}

void globalFree(GlobalHandle handle) {
    if (faults::shouldFail(faults::Fault::GlobalFree)) return;
    std::free(handle);
}

} // namespace kov::platform
