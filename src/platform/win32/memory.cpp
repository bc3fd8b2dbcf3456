// Fixed, zero-filled global memory for BlockAllocator. The handle is kept beside the block so it
// can be freed with the call that matches its allocation.
#include "platform/faults.h"
#include "platform/win32/win32.h"

namespace kov::platform {

void* globalAlloc(std::uint32_t size, GlobalHandle* handle) {
    if (handle != nullptr) *handle = nullptr;
    if (faults::shouldFail(faults::Fault::GlobalAlloc)) return nullptr;
    if (handle == nullptr) return nullptr; // without its handle the block could never be freed
    const HGLOBAL memory = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size);
    if (memory == nullptr) return nullptr;
    void* const bytes = GlobalLock(memory);
    if (bytes == nullptr) {
        GlobalFree(memory);
        return nullptr;
    }
    *handle = memory;
    return bytes;
}

void globalFree(GlobalHandle handle) {
    if (handle == nullptr || faults::shouldFail(faults::Fault::GlobalFree)) return;
    GlobalUnlock(handle);
    GlobalFree(handle);
}

} // namespace kov::platform
