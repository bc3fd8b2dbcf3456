#include "sweeps/heap_faults.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace kov::test::heap {
namespace {

std::atomic<bool> gArmed{false};
std::atomic<bool> gAndAfter{false};
std::atomic<unsigned> gFailAt{0};
std::atomic<unsigned> gSeen{0};
std::atomic<long> gLive{0};

void* take(std::size_t size) {
    if (gArmed.load()) {
        const unsigned call = ++gSeen;
        const unsigned at = gFailAt.load();
        if (call == at || (gAndAfter.load() && call > at)) return nullptr;
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr) ++gLive;
    return p;
}

void give(void* p) {
    if (p == nullptr) return;
    --gLive;
    std::free(p);
}

} // namespace

void failNth(unsigned n, bool andAfter) {
    gArmed = false;
    gSeen = 0;
    gFailAt = n;
    gAndAfter = andAfter;
    gArmed = true;
}

void clear() { gArmed = false; }
unsigned callsSeen() { return gSeen.load(); }
long blocksLive() { return gLive.load(); }

} // namespace kov::test::heap

using kov::test::heap::give;
using kov::test::heap::take;

void* operator new(std::size_t size) {
    void* p = take(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size) {
    void* p = take(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return take(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return take(size); }
void operator delete(void* p) noexcept { give(p); }
void operator delete[](void* p) noexcept { give(p); }
void operator delete(void* p, std::size_t) noexcept { give(p); }
void operator delete[](void* p, std::size_t) noexcept { give(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { give(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { give(p); }
