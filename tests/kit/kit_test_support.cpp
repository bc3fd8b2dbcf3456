#include "kit_test_support.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace kov::test::kit {
namespace {

std::mutex gLock;
unsigned gFailFrom = 0; // 0: never
unsigned gMade = 0;
std::unordered_map<const void*, std::size_t>& sizes() {
    static auto* map = new std::unordered_map<const void*, std::size_t>; // outlives the worker
    return *map;
}
std::atomic<int> gKeepLoadedResult{1};
std::atomic<int> gKeepLoadedCalls{0};

} // namespace

void failAllocationsFrom(unsigned n) {
    const std::lock_guard<std::mutex> guard(gLock);
    gFailFrom = n == 0 ? 0 : gMade + n;
}

long allocationsLive() {
    const std::lock_guard<std::mutex> guard(gLock);
    return static_cast<long>(sizes().size());
}

unsigned allocationsMade() {
    const std::lock_guard<std::mutex> guard(gLock);
    return gMade;
}

std::size_t allocatedSize(const void* block) {
    const std::lock_guard<std::mutex> guard(gLock);
    const auto found = sizes().find(block);
    return found == sizes().end() ? 0 : found->second;
}

void setKeepLoadedResult(int result) { gKeepLoadedResult = result; }
int keepLoadedCalls() { return gKeepLoadedCalls; }

} // namespace kov::test::kit

using namespace kov::test::kit;

extern "C" void* kov_kitTestCalloc(std::size_t count, std::size_t size) {
    const std::lock_guard<std::mutex> guard(gLock);
    ++gMade;
    if (gFailFrom != 0 && gMade >= gFailFrom) return nullptr;
    void* block = std::calloc(count, size);
    if (block != nullptr) sizes()[block] = count * size;
    return block;
}

extern "C" void kov_kitTestFree(void* block) {
    if (block == nullptr) return;
    {
        const std::lock_guard<std::mutex> guard(gLock);
        sizes().erase(block);
    }
    std::free(block);
}

// The test program is no library the broker could unload; the kit's worker only needs to know
// whether pinning worked.
extern "C" int kov_keepLoaded(void) {
    ++gKeepLoadedCalls;
    return gKeepLoadedResult;
}
