// Confirms and the information block: plain heap blocks, tracked so that a foreign block handed to
// kov_DeleteReceive (for example an error confirm the broker built itself) is refused, not freed.
#include "sample_provider.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_set>

namespace sample {
namespace {

std::mutex gLock;
// Exists only while a block is live: the broker may unload this library at any moment without
// notice (before its first request, say), and whatever the set still held then would be lost for
// good. Once the worker has made the library stay loaded, a confirm released during shutdown
// still finds a set that nothing destroys behind its back.
std::unordered_set<const void *> *gLiveBlocks = nullptr;

} // namespace

BrokerMessage *newBlock(uint32_t size)
{
    void *block = std::calloc(1, size);
    if (block == nullptr)
        return nullptr;
    try {
        const std::lock_guard<std::mutex> guard(gLock);
        if (gLiveBlocks == nullptr)
            gLiveBlocks = new std::unordered_set<const void *>;
        gLiveBlocks->insert(block);
    } catch (const std::bad_alloc &) {
        std::free(block);
        const std::lock_guard<std::mutex> guard(gLock);
        if (gLiveBlocks != nullptr && gLiveBlocks->empty()) {
            delete gLiveBlocks;
            gLiveBlocks = nullptr;
        }
        return nullptr;
    }
    return static_cast<BrokerMessage *>(block);
}

int32_t releaseBlock(BrokerMessage *block)
{
    {
        const std::lock_guard<std::mutex> guard(gLock);
        if (gLiveBlocks == nullptr || gLiveBlocks->erase(block) == 0)
            return 1;
        if (gLiveBlocks->empty()) {
            delete gLiveBlocks;
            gLiveBlocks = nullptr;
        }
    }
    std::free(block);
    return 0;
}

} // namespace sample
