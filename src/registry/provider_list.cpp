#include "registry/provider_list.h"

#include "runtime/block_allocator.h"
#include "runtime/broker_lock.h"

#include <new>
#include <unordered_map>

namespace kov::registry {
namespace {

// Handles come from a counter, not from record addresses, so a freed record's handle can never
// name a newer record. Kept across attach/detach: unique for the life of the process.
std::atomic<ProviderHandle> lastHandle{0};

// Guarded by BrokerLock.
ProviderRecord* head = nullptr;
// Every send looks its provider up by handle; the index keeps that O(1) with many providers.
std::unordered_map<ProviderHandle, ProviderRecord*>* index = nullptr;
bool keepLibraries = false;

ProviderHandle nextHandle() {
    ProviderHandle handle;
    do {
        handle = ++lastHandle;
    } while (handle == 0);
    return handle;
}

bool addToIndex(ProviderRecord* record) {
    try {
        if (index == nullptr) index = new std::unordered_map<ProviderHandle, ProviderRecord*>();
        index->emplace(record->handle, record);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void destroyRecord(ProviderRecord* record) {
    runtime::BrokerLockGuard guard;
    if (record->module != nullptr && !keepLibraries) platform::freeLibrary(record->module);
    record->~ProviderRecord();
    runtime::release(record);
}

void dropReference(ProviderRecord* record) {
    if (record->references.fetch_sub(1) == 1) destroyRecord(record);
}

void unlink(ProviderRecord* record, ProviderRecord* previous) {
    (previous == nullptr ? head : previous->next) = record->next;
    record->next = nullptr;
    index->erase(record->handle);
    dropReference(record);
}

} // namespace

ProviderRef& ProviderRef::operator=(ProviderRef&& other) noexcept {
    if (this != &other) {
        if (record_ != nullptr) dropReference(record_);
        record_ = other.record_;
        other.record_ = nullptr;
    }
    return *this;
}

ProviderRef::~ProviderRef() {
    if (record_ != nullptr) dropReference(record_);
}

ProviderRecord* newProviderRecord(std::uint32_t descriptorSize) {
    constexpr std::uint32_t recordSize = sizeof(ProviderRecord);
    if (descriptorSize > UINT32_MAX - recordSize) return nullptr;
    void* block = runtime::allocate(recordSize + descriptorSize);
    if (block == nullptr) return nullptr;
    auto* record = new (block) ProviderRecord{};
    record->descriptorSize = descriptorSize;
    record->descriptor = static_cast<std::uint8_t*>(block) + recordSize;
    record->handle = nextHandle();
    record->references = 1;
    return record;
}

void discardProviderRecord(ProviderRecord* record) {
    record->~ProviderRecord();
    runtime::release(record);
}

void unloadUnlinkedRecord(ProviderRecord* record) {
    if (record->module != nullptr) platform::freeLibrary(record->module);
    discardProviderRecord(record);
}

ProviderRef findProvider(ProviderHandle handle) {
    runtime::BrokerLockGuard guard;
    ProviderRecord* record = nullptr;
    if (handle == 0) {
        record = head;
    } else if (index != nullptr) {
        const auto found = index->find(handle);
        if (found != index->end()) record = found->second;
    }
    if (record != nullptr) record->references.fetch_add(1);
    return ProviderRef(record);
}

bool pushFront(ProviderRecord* record) {
    if (!addToIndex(record)) return false;
    record->next = head;
    head = record;
    return true;
}

bool append(ProviderRecord* record) {
    if (!addToIndex(record)) return false;
    record->next = nullptr;
    ProviderRecord** tail = &head;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = record;
    return true;
}

void removeByModule(platform::ModuleHandle module) {
    if (module == nullptr) return;
    ProviderRecord* previous = nullptr;
    for (ProviderRecord* record = head; record != nullptr; previous = record, record = record->next) {
        if (record->module == module) {
            unlink(record, previous);
            return;
        }
    }
}

void unloadAll(Unload mode) {
    runtime::BrokerLockGuard guard;
    keepLibraries = mode == Unload::KeepLibraries;
    while (head != nullptr) unlink(head, nullptr);
    keepLibraries = false;
    // The list is empty, so its index goes too: a module unloaded after detach leaves nothing
    // allocated. The next push builds a new one.
    delete index;
    index = nullptr;
}

ProviderRecord* listHead() { return head; }

} // namespace kov::registry
