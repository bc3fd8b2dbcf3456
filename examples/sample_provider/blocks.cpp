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
// Never destroyed: a confirm may be released while the process is already shutting down.
std::unordered_set<const void *> &liveBlocks()
{
    static auto *blocks = new std::unordered_set<const void *>;
    return *blocks;
}

} // namespace

BrokerMessage *newBlock(uint32_t size)
{
    void *block = std::calloc(1, size);
    if (block == nullptr)
        return nullptr;
    try {
        const std::lock_guard<std::mutex> guard(gLock);
        liveBlocks().insert(block);
    } catch (const std::bad_alloc &) {
        std::free(block);
        return nullptr;
    }
    return static_cast<BrokerMessage *>(block);
}

int32_t releaseBlock(BrokerMessage *block)
{
    {
        const std::lock_guard<std::mutex> guard(gLock);
        if (liveBlocks().erase(block) == 0)
            return 1;
    }
    std::free(block);
    return 0;
}

} // namespace sample
