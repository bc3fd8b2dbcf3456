// The C++ heap under the fault switch: operator new of this test program fails (throws
// std::bad_alloc, or returns null for the nothrow forms) when Fault::CppHeap says so. Lets tests
// check that no exception from a name copy or a std::function escapes a status-code routine.
#include "platform/faults.h"

#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t size) {
    if (kov::faults::shouldFail(kov::faults::Fault::CppHeap)) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* allocateOrThrow(std::size_t size) {
    void* block = allocate(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

} // namespace

void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
