// BlockAllocator: every confirm, record and reply the broker builds is one tagged, zero-filled
// global memory block. The caller gets a pointer 12 bytes into the block:
//   +0 tag "RNEP"   +4 global memory handle   +8 block size   +12 caller's bytes
#pragma once

#include <cstdint>

namespace kov::runtime {

constexpr std::uint32_t kBlockTag = 0x50454E52; // "RNEP" read little-endian
constexpr std::uint32_t kBlockHeadSize = 12;

// Size of the block that holds n caller bytes: ((n + 12) rounded down to 8) + 8.
constexpr std::uint32_t blockSizeFor(std::uint32_t n) { return ((n + kBlockHeadSize) & ~7u) + 8; }

// A zero-filled area of at least n bytes, or null when no memory is left (or n is so large that
// the block size would not fit 32 bits). Counts the block in the usage statistics.
void* allocate(std::uint32_t n);

// Gives a block back. A pointer whose block does not carry the tag is ignored. The tag is cleared,
// so a second release of the same block is ignored too. Returns 0.
std::uint32_t release(void* p);

} // namespace kov::runtime
