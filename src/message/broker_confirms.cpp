#include "message/broker_confirms.h"

#include "runtime/block_allocator.h"

#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

namespace kov::message {
namespace {

// Not BrokerLock: that lock is held across provider loading, which must not stall confirms.
std::mutex trackerMutex;
std::unordered_set<const void*>* tracked = nullptr;

bool track(const void* confirm) {
    std::lock_guard<std::mutex> guard(trackerMutex);
    try {
        if (tracked == nullptr) tracked = new std::unordered_set<const void*>();
        tracked->insert(confirm);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool untrack(const void* confirm) {
    std::lock_guard<std::mutex> guard(trackerMutex);
    return tracked != nullptr && tracked->erase(confirm) == 1;
}

} // namespace

BrokerMessage* newBrokerConfirm(const BrokerMessage* request, std::uint32_t payloadSize) {
    const std::uint32_t headerLength = request->headerLength;
    if (payloadSize > UINT32_MAX - headerLength) return nullptr;
    const std::uint32_t size = headerLength + payloadSize;
    auto* confirm = static_cast<BrokerMessage*>(runtime::allocate(size));
    if (confirm == nullptr) return nullptr;
    std::memcpy(confirm, request, headerLength);
    confirm->totalLength = size;
    if (!track(confirm)) {
        runtime::release(confirm);
        return nullptr;
    }
    return confirm;
}

bool releaseBrokerConfirm(BrokerMessage* confirm) {
    // Untracked first: once the block is free its address may come back as another confirm.
    if (confirm == nullptr || !untrack(confirm)) return false;
    runtime::release(confirm);
    return true;
}

void forgetTrackedConfirms() {
    std::lock_guard<std::mutex> guard(trackerMutex);
    delete tracked;
    tracked = nullptr;
}

} // namespace kov::message
