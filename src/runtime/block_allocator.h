// BlockAllocator: every confirm, record and reply the broker builds is one tagged, zero-filled
// global memory block. The caller gets a pointer 12 bytes into the block:
//   +0 tag "RNEP"   +4 global memory handle   +8 block size   +12 caller's bytes
#pragma once

#include "platform/faults.h"
#include "platform/platform.h"
#include "runtime/statistics.h"
#include "runtime/thread_slots.h"

#include <cstdint>
#include <cstring>

namespace kov::runtime {

constexpr std::uint32_t kBlockTag = 0x50454E52; // "RNEP" read little-endian
constexpr std::uint32_t kBlockHeadSize = 12;

// Size of the block that holds n caller bytes: ((n + 12) rounded down to 8) + 8.
constexpr std::uint32_t blockSizeFor(std::uint32_t n) { return ((n + kBlockHeadSize) & ~7u) + 8; }

namespace detail {
struct BlockHead {
    std::uint32_t tag;
    platform::GlobalHandle handle;
    std::uint32_t size;
};
static_assert(sizeof(BlockHead) == kBlockHeadSize, "block head is 12 bytes on the 32-bit ABI");

// A thread keeps a few small blocks it gave back for its next allocations (replies and error
// confirms are small; bigger blocks, lists and records, go straight back). A block taken from
// there is zeroed as a new one. While the fault switch is in use the cache stands aside: every
// block then comes from the system and goes back to it, as the switch's counts expect.
constexpr std::uint32_t kLargestCachedBlock = 512;
// The usual head: a request's header copied into its confirm.
constexpr std::uint32_t kCommonHeadLength = 44;

void* allocateSlow(std::uint32_t n, const void* head, std::uint32_t headLength);
void releaseSlow(BlockHead* block, ThreadSlot* slot);

// Zeroes the caller's bytes after the copy of `head`. Most blocks are a 44-byte header and a few
// bytes more: those take a fixed-size copy and a few stores, not two library calls.
inline unsigned char* fill(BlockHead* block, const void* head, std::uint32_t headLength) {
    auto* const bytes = reinterpret_cast<unsigned char*>(block + 1);
    const std::uint32_t length = block->size - kBlockHeadSize; // a multiple of 4
    if (length - (headLength & ~3u) <= 32) {
        // Stores the compiler cannot turn back into a library call.
        std::uint32_t* const words = reinterpret_cast<std::uint32_t*>(bytes) + headLength / 4;
        switch (length / 4 - headLength / 4) {
        case 8: words[7] = 0; [[fallthrough]];
        case 7: words[6] = 0; [[fallthrough]];
        case 6: words[5] = 0; [[fallthrough]];
        case 5: words[4] = 0; [[fallthrough]];
        case 4: words[3] = 0; [[fallthrough]];
        case 3: words[2] = 0; [[fallthrough]];
        case 2: words[1] = 0; [[fallthrough]];
        case 1: words[0] = 0; [[fallthrough]];
        default: break;
        }
    } else {
        std::memset(bytes + headLength, 0, length - headLength);
    }
    if (headLength == kCommonHeadLength) {
        std::memcpy(bytes, head, kCommonHeadLength);
    } else if (headLength != 0) {
        std::memcpy(bytes, head, headLength);
    }
    return bytes;
}

// A block this thread kept, handed out again as a new one.
inline void* reuse(ThreadSlot* slot, BlockHead* block, const void* head, std::uint32_t headLength) {
    block->tag = kBlockTag;
    countAllocated(slot, block->size);
    return fill(block, head, headLength);
}
} // namespace detail

// An area of n bytes whose first headLength bytes are a copy of `head` (headLength <= n) and
// whose other bytes are zero; null when no memory is left (or n is so large that the block size
// would not fit 32 bits). Counts the block in the usage statistics. The common case, a block of
// the size this thread last gave back, is inline: it makes no call.
inline void* allocate(std::uint32_t n, const void* head = nullptr, std::uint32_t headLength = 0) {
    if (n <= detail::kLargestCachedBlock - kBlockHeadSize - 8) {
        ThreadSlot* const slot = currentSlot();
        if (slot != nullptr && slot->cachedCount != 0) {
            auto* const block =
                static_cast<detail::BlockHead*>(slot->cachedBlocks[slot->cachedCount - 1]);
            if (block->size == blockSizeFor(n) && !faults::inUse()) {
                --slot->cachedCount;
                return detail::reuse(slot, block, head, headLength);
            }
        }
    }
    return detail::allocateSlow(n, head, headLength);
}

// Gives a block back. A pointer whose block does not carry the tag is ignored. The tag is cleared,
// so a second release of the same block is ignored too. Returns 0.
inline std::uint32_t release(void* p) {
    if (p == nullptr) return 0;
    auto* const block =
        reinterpret_cast<detail::BlockHead*>(static_cast<unsigned char*>(p) - kBlockHeadSize);
    if (block->tag != kBlockTag) return 0;
    block->tag = 0;
    ThreadSlot* const slot = currentSlot();
    if (slot != nullptr && block->size <= detail::kLargestCachedBlock &&
        slot->cachedCount != kCachedBlocks && !faults::inUse()) {
        countFreed(slot, block->size);
        slot->cachedBlocks[slot->cachedCount++] = block;
        return 0;
    }
    detail::releaseSlow(block, slot);
    return 0;
}

// Gives the blocks a thread kept back to the system: at the thread's end and at the detach.
void flushBlockCache(ThreadSlot& slot);

} // namespace kov::runtime
