// What the provider kit's tests build it with: an allocator that fails on demand and knows every
// block it handed out, and a kov_keepLoaded() that a test can make fail.
#pragma once

#include <kov/kov_provider.h>

#include <cstddef>
#include <cstdint>

namespace kov::test::kit {

// The kit's allocations from now on fail from the nth on (1 = the next); 0 lets them succeed.
void failAllocationsFrom(unsigned n);
// Allocations the kit has made and not freed, and how many it asked for in all.
long allocationsLive();
unsigned allocationsMade();
// The size the kit asked for when it allocated `block` (0 for an address it did not allocate).
std::size_t allocatedSize(const void* block);

// What kov_keepLoaded() answers (1 unless set).
void setKeepLoadedResult(int result);
int keepLoadedCalls();

// Fails the kit's allocations while it lives, from the nth on.
class AllocationFault {
public:
    explicit AllocationFault(unsigned n) { failAllocationsFrom(n); }
    ~AllocationFault() { failAllocationsFrom(0); }
    AllocationFault(const AllocationFault&) = delete;
    AllocationFault& operator=(const AllocationFault&) = delete;
};

} // namespace kov::test::kit
