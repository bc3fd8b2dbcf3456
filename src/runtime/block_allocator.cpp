#include "runtime/block_allocator.h"

#include "platform/platform.h"
#include "runtime/statistics.h"

#include <cstring>

namespace kov::runtime {
namespace {

struct BlockHead {
    std::uint32_t tag;
    platform::GlobalHandle handle;
    std::uint32_t size;
};
static_assert(sizeof(BlockHead) == kBlockHeadSize, "block head is 12 bytes on the 32-bit ABI");

} // namespace

void* allocate(std::uint32_t n) {
    if (n > UINT32_MAX - kBlockHeadSize - 8) return nullptr;
    const std::uint32_t size = blockSizeFor(n);
    platform::GlobalHandle handle = nullptr;
    void* memory = platform::globalAlloc(size, &handle);
    if (memory == nullptr) return nullptr;
    // globalAlloc zero-fills: the caller's bytes read as zero, which several replies rely on.
    auto* head = static_cast<BlockHead*>(memory);
    head->tag = kBlockTag;
    head->handle = handle;
    head->size = size;
    countAllocated(size);
    return static_cast<unsigned char*>(memory) + kBlockHeadSize;
}

std::uint32_t release(void* p) {
    if (p == nullptr) return 0;
    auto* head = reinterpret_cast<BlockHead*>(static_cast<unsigned char*>(p) - kBlockHeadSize);
    if (head->tag != kBlockTag) return 0;
    head->tag = 0;
    countFreed(head->size);
    platform::globalFree(head->handle);
    return 0;
}

} // namespace kov::runtime
