#include "runtime/block_allocator.h"

#include "platform/faults.h"
#include "platform/platform.h"
#include "runtime/statistics.h"

#include <cstring>

namespace kov::runtime::detail {
namespace {

// A block of `size` this thread gave back, not the last one (allocate looks at that one first).
BlockHead* takeCached(ThreadSlot* slot, std::uint32_t size) {
    for (std::uint32_t i = slot->cachedCount; i-- > 0;) {
        auto* block = static_cast<BlockHead*>(slot->cachedBlocks[i]);
        if (block->size != size) continue;
        slot->cachedBlocks[i] = slot->cachedBlocks[--slot->cachedCount];
        return block;
    }
    return nullptr;
}

} // namespace

void* allocateSlow(std::uint32_t n, const void* head, std::uint32_t headLength) {
    if (n > UINT32_MAX - kBlockHeadSize - 8) return nullptr;
    const std::uint32_t size = blockSizeFor(n);
    ThreadSlot* const slot = currentSlot();
    if (slot != nullptr && size <= kLargestCachedBlock && !faults::inUse()) {
        if (BlockHead* block = takeCached(slot, size)) return reuse(slot, block, head, headLength);
    }
    platform::GlobalHandle handle = nullptr;
    void* memory = platform::globalAlloc(size, &handle);
    if (memory == nullptr) return nullptr;
    // globalAlloc zero-fills: the caller's bytes read as zero, which several replies rely on.
    auto* block = static_cast<BlockHead*>(memory);
    block->tag = kBlockTag;
    block->handle = handle;
    block->size = size;
    countAllocated(size);
    auto* const bytes = reinterpret_cast<unsigned char*>(block + 1);
    if (headLength != 0) std::memcpy(bytes, head, headLength);
    return bytes;
}

void releaseSlow(BlockHead* block, ThreadSlot* slot) {
    if (slot != nullptr) {
        countFreed(slot, block->size);
    } else {
        countFreed(block->size);
    }
    platform::globalFree(block->handle);
}

} // namespace kov::runtime::detail

namespace kov::runtime {

void flushBlockCache(ThreadSlot& slot) {
    while (slot.cachedCount != 0)
        platform::globalFree(
            static_cast<detail::BlockHead*>(slot.cachedBlocks[--slot.cachedCount])->handle);
}

} // namespace kov::runtime
