#include "dispatch/send.h"

#include "dispatch/confirms.h"
#include "message/broker_confirms.h"
#include "platform/platform.h"
#include "registry/provider_list.h"
#include "runtime/broker_lock.h"
#include "runtime/broker_security.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

#include <mutex>

namespace kov::dispatch {
namespace {

// One per waiting call, in the caller's frame. While it waits it is linked into the list of live
// records, and every hand-over to it happens under waitMutex: a confirm whose callbackData names
// a record that is gone (or a second confirm for one request) is never written anywhere.
struct SyncWaitRecord {
    platform::EventHandle event;
    BrokerMessage* confirm;
    BrokerMessage* request;
    bool answered;
    SyncWaitRecord* previous;
    SyncWaitRecord* nextWaiting;
};

std::mutex waitMutex;
SyncWaitRecord* waiting = nullptr;
// The record whose receive entry runs on this thread right now (innermost, for nested sends).
thread_local SyncWaitRecord* receivingHere = nullptr;

void linkWaiting(SyncWaitRecord* record) {
    std::lock_guard<std::mutex> guard(waitMutex);
    record->nextWaiting = waiting;
    record->previous = nullptr;
    if (waiting != nullptr) waiting->previous = record;
    waiting = record;
}

void unlinkWaiting(SyncWaitRecord* record) {
    std::lock_guard<std::mutex> guard(waitMutex);
    (record->previous == nullptr ? waiting : record->previous->nextWaiting) = record->nextWaiting;
    if (record->nextWaiting != nullptr) record->nextWaiting->previous = record->previous;
}

bool isWaiting(const SyncWaitRecord* candidate) {
    for (const SyncWaitRecord* r = waiting; r != nullptr; r = r->nextWaiting)
        if (r == candidate) return true;
    return false;
}

// The request stays the caller's while it waits, but a provider may write its status on another
// thread.
std::uint32_t statusOf(const BrokerMessage* request) {
    return __atomic_load_n(&request->status, __ATOMIC_ACQUIRE);
}

void answer(SyncWaitRecord* record, BrokerMessage* confirm) {
    record->confirm = confirm;
    record->answered = true;
    platform::setEvent(record->event);
}

// A provider that could not build a confirm delivers null, which carries no way back to its
// request. On the thread that is inside the receive entry the request is known; from any other
// thread every waiting call whose request already carries a failure status is woken.
void answerWithNull() {
    std::lock_guard<std::mutex> guard(waitMutex);
    SyncWaitRecord* here = receivingHere;
    if (here != nullptr && !here->answered && statusOf(here->request) != KOV_STATUS_OK) {
        answer(here, nullptr);
        return;
    }
    for (SyncWaitRecord* r = waiting; r != nullptr; r = r->nextWaiting)
        if (!r->answered && statusOf(r->request) != KOV_STATUS_OK) answer(r, nullptr);
}

std::int32_t KOV_CALL syncConfirmCallback(BrokerMessage* confirm) {
    if (confirm == nullptr) {
        answerWithNull();
        return 0;
    }
    std::lock_guard<std::mutex> guard(waitMutex);
    auto* record = static_cast<SyncWaitRecord*>(confirm->callbackData);
    if (!isWaiting(record) || record->answered) return 0; // nobody waits for it: not kept
    answer(record, confirm);
    return 1; // the confirm passes to the caller of kov_SendSync
}

std::int32_t failSync(BrokerMessage* request, std::uint32_t code, BrokerMessage** confirmOut) {
    runtime::countCall(runtime::Counter::SyncFailed);
    request->status = code;
    // The error confirm goes back through confirmOut only, never through a callback.
    BrokerMessage* confirm = message::newBrokerConfirm(request, 0);
    if (confirm == nullptr) {
        request->status = KOV_STATUS_NO_MEMORY;
        *confirmOut = nullptr;
        return 0;
    }
    *confirmOut = confirm;
    return 1;
}

} // namespace

std::int32_t sendSync(BrokerMessage* request, BrokerMessage** confirmOut) {
    if (confirmOut != nullptr) *confirmOut = nullptr;
    if (!runtime::attached() || requestUnusable(request, false)) return 0;
    if (confirmOut == nullptr) {
        request->status = KOV_STATUS_BAD_VERSION;
        return 0;
    }
    runtime::ensureLoaded();

    registry::ProviderRef provider;
    {
        runtime::BrokerLockGuard guard;
        request->status = KOV_STATUS_OK;
        request->callback = syncConfirmCallback;
        runtime::countCall(runtime::Counter::SyncCalls);
        provider = registry::findProvider(request->provider);
    }
    if (!provider) return failSync(request, KOV_STATUS_UNKNOWN_PROVIDER, confirmOut);

    SyncWaitRecord record{};
    record.event = platform::createEvent(runtime::brokerSecurity());
    if (record.event == nullptr) return failSync(request, KOV_STATUS_NO_EVENT, confirmOut);
    runtime::addSyncWaiting(1);
    record.request = request;
    request->callbackData = &record;
    platform::resetEvent(record.event);
    linkWaiting(&record);

    runtime::countCall(runtime::Counter::SyncDelivered);
    SyncWaitRecord* outer = receivingHere;
    receivingHere = &record;
    const std::int32_t taken = provider->receiveEntry(request);
    receivingHere = outer;

    if (taken == 0) {
        // Manual reset: a confirm delivered before this wait (the broker provider always does)
        // ends it at once.
        platform::waitEvent(record.event);
    }
    unlinkWaiting(&record);
    *confirmOut = taken == 0 ? record.confirm : nullptr;
    if (taken != 0 && record.confirm != nullptr) {
        // A provider that refused yet confirmed: nobody takes that confirm, so hand it back.
        const registry::ProviderRef owner = registry::findProvider(record.confirm->provider);
        if (!message::releaseBrokerConfirm(record.confirm) && owner) owner->deleteEntry(record.confirm);
    }
    platform::closeEvent(record.event);
    runtime::addSyncWaiting(-1);
    return 1;
}

} // namespace kov::dispatch
