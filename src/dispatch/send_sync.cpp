#include "dispatch/send.h"

#include "dispatch/confirms.h"
#include "message/broker_confirms.h"
#include "platform/platform.h"
#include "registry/provider_list.h"
#include "runtime/broker_security.h"
#include "runtime/process.h"
#include "runtime/guard.h"
#include "runtime/statistics.h"
#include "runtime/thread_slots.h"

#include <atomic>
#include <cstdint>

namespace kov::dispatch {
namespace {

// A waiting call is known by a token, never by an address: callbackData carries the token, and a
// confirm whose token names no waiting call is turned away. Each call takes one entry of a fixed
// table in the module's storage, so a late confirm only ever reads a live entry and compares
// tokens. An entry's word holds the token and its state, changed only by compare-and-swap:
// exactly one side wins each hand-over. Looking: a null from another thread reads the call's
// request status; for those few instructions the call neither ends nor takes an answer.
enum State : std::uint32_t {
    Free = 0,
    Waiting = 1,
    Answering = 2,
    Answered = 3,
    Filling = 4,
    Looking = 5,
};

struct WaitEntry {
    std::atomic<std::uint64_t> word;
    BrokerMessage* confirm;
    BrokerMessage* request;
    platform::EventHandle event;
    std::uint32_t waiter; // the waiting thread's token
};

constexpr std::uint32_t kEntries = 1024;
WaitEntry entries[kEntries];
std::atomic<std::uint32_t> lastToken{0};

std::uint64_t wordOf(std::uint32_t token, State state) {
    return (std::uint64_t{token} << 32) | state;
}

std::uint32_t nextToken() {
    std::uint32_t token;
    do {
        token = lastToken.fetch_add(1, std::memory_order_relaxed) + 1;
    } while (token == 0);
    return token;
}

WaitEntry* takeEntry(std::uint32_t token) {
    for (std::uint32_t i = 0; i < kEntries; ++i) {
        WaitEntry& entry = entries[(token + i) % kEntries];
        std::uint64_t expected = 0;
        if (entry.word.compare_exchange_strong(expected, wordOf(token, Filling))) return &entry;
    }
    return nullptr;
}

WaitEntry* findEntry(std::uint32_t token) {
    for (std::uint32_t i = 0; i < kEntries; ++i) {
        WaitEntry& entry = entries[(token + i) % kEntries];
        if ((entry.word.load(std::memory_order_acquire) >> 32) == token) return &entry;
    }
    return nullptr;
}

void pause() {
    // The other side is between two stores of its hand-over; this lasts a few instructions.
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// The winner of Waiting -> Answering writes the answer, wakes the waiter unless it is this very
// thread (then it is up the stack, not blocked), and only then lets the entry go. Threads are
// told apart by their tokens, which no other thread ever gets.
void finishAnswer(WaitEntry* entry, std::uint32_t token, BrokerMessage* confirm) {
    entry->confirm = confirm;
    if (entry->waiter != runtime::threadToken()) platform::setEvent(entry->event);
    entry->word.store(wordOf(token, Answered), std::memory_order_release);
}

// Waiting -> Answering. A look lasts a few instructions and is waited out: a confirm turned away
// meanwhile would leave its call waiting for ever.
bool claim(WaitEntry* entry, std::uint32_t token) {
    for (;;) {
        std::uint64_t expected = wordOf(token, Waiting);
        if (entry->word.compare_exchange_strong(expected, wordOf(token, Answering))) return true;
        if (expected != wordOf(token, Looking)) return false;
        pause();
    }
}

// A state that ends on its own within a few instructions of the other side.
bool passing(std::uint32_t state) { return state == Answering || state == Looking; }

std::uint32_t statusOf(const BrokerMessage* request) {
    return __atomic_load_n(&request->status, __ATOMIC_ACQUIRE);
}

// A provider that could not build a confirm delivers null after writing the reason into the
// request's status; the null carries no token. It can belong to any waiting call whose request
// carries a failure status, and it ends every such call. A call whose request still says 0 is
// never ended by a null, whichever thread delivers it: a provider may deliver other requests'
// answers from inside any call.
std::int32_t KOV_CALL syncConfirmCallback(BrokerMessage* confirm);

void answerWithNull() {
    for (WaitEntry& entry : entries) {
        const std::uint64_t word = entry.word.load(std::memory_order_acquire);
        if (static_cast<std::uint32_t>(word) != Waiting) continue;
        const auto token = static_cast<std::uint32_t>(word >> 32);
        std::uint64_t expected = word;
        if (!entry.word.compare_exchange_strong(expected, wordOf(token, Looking))) continue;
        // While we look, the waiter cannot leave and no answer is taken.
        if (statusOf(entry.request) != KOV_STATUS_OK) {
            entry.word.store(wordOf(token, Answering), std::memory_order_relaxed);
            finishAnswer(&entry, token, nullptr);
        } else {
            entry.word.store(wordOf(token, Waiting), std::memory_order_release);
        }
    }
}

} // namespace

bool endSyncCallWithNull(BrokerMessage* request) {
    if (request->callback != syncConfirmCallback) return false;
    const auto token = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(request->callbackData));
    WaitEntry* const entry = token == 0 ? nullptr : findEntry(token);
    if (entry == nullptr || !claim(entry, token)) return true; // that call has ended already
    // No confirm, yet "success": what the caller gets is the outcome of no memory.
    if (statusOf(request) == KOV_STATUS_OK)
        __atomic_store_n(&request->status, std::uint32_t{KOV_STATUS_NO_MEMORY}, __ATOMIC_RELEASE);
    finishAnswer(entry, token, nullptr);
    return true;
}

namespace {

std::int32_t KOV_CALL syncConfirmCallback(BrokerMessage* confirm) {
    if (confirm == nullptr) {
        answerWithNull();
        return 0;
    }
    const auto token = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(confirm->callbackData));
    WaitEntry* entry = token == 0 ? nullptr : findEntry(token);
    if (entry == nullptr || !claim(entry, token)) return 0; // nobody waits for it: not kept
    finishAnswer(entry, token, confirm);
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

// A receive entry that throws has answered nothing: unless the provider left a reason, the
// request says the call failed (3, as for any call that ends with result 0). The exception goes
// on to the export, and every step of the call undoes itself on the way.
std::int32_t handOver(const registry::ProviderRecord* provider, BrokerMessage* request) {
    try {
        return provider->receiveEntry(request);
    } catch (...) {
        if (statusOf(request) == KOV_STATUS_OK)
            __atomic_store_n(&request->status, std::uint32_t{KOV_STATUS_NO_MEMORY}, __ATOMIC_RELEASE);
        throw; // a forced unwind too: the thread is being cancelled
    }
}

platform::EventHandle threadEvent(runtime::ThreadSlot* slot) {
    if (slot->waitEvent == nullptr) slot->waitEvent = platform::createEvent(runtime::brokerSecurity());
    return slot->waitEvent;
}

// One call's entry, from taking it to letting it go. Its destructor runs on every way out of the
// call, an exception or a thread's cancellation included.
class PendingCall {
public:
    PendingCall(const runtime::Guard& guard, WaitEntry* entry, std::uint32_t token)
        : guard_(guard), entry_(entry), token_(token) {
        runtime::addSyncWaiting(1);
        entry_->word.store(wordOf(token_, Waiting), std::memory_order_release);
    }
    PendingCall(const PendingCall&) = delete;
    PendingCall& operator=(const PendingCall&) = delete;
    ~PendingCall() {
        BrokerMessage* const late = finish();
        if (late != nullptr) handBack(late);
        runtime::addSyncWaiting(-1);
    }

    // Blocks until the answer is in. No kernel call when it already is.
    BrokerMessage* awaitAnswer() {
        for (;;) {
            const auto state = static_cast<std::uint32_t>(entry_->word.load(std::memory_order_acquire));
            if (state == Answered) break;
            if (passing(state)) {
                pause();
                continue;
            }
            platform::resetEvent(entry_->event);
            if (static_cast<std::uint32_t>(entry_->word.load(std::memory_order_acquire)) != Waiting)
                continue;
            platform::waitEvent(entry_->event);
        }
        BrokerMessage* const confirm = entry_->confirm;
        release();
        return confirm;
    }

private:
    // Retires the token (a confirm arriving later finds nobody); returns a confirm that came
    // although nobody took it.
    BrokerMessage* finish() {
        if (entry_ == nullptr) return nullptr;
        for (;;) {
            std::uint64_t word = entry_->word.load(std::memory_order_acquire);
            const auto state = static_cast<std::uint32_t>(word);
            if (state == Answered) {
                BrokerMessage* const confirm = entry_->confirm;
                release();
                return confirm;
            }
            if (passing(state)) {
                pause();
                continue;
            }
            if (entry_->word.compare_exchange_strong(word, 0)) {
                entry_ = nullptr;
                return nullptr;
            }
        }
    }
    void release() {
        entry_->word.store(0, std::memory_order_release);
        entry_ = nullptr;
    }
    // A provider that refused yet confirmed: nobody takes that confirm, so hand it back.
    void handBack(BrokerMessage* confirm) const {
        if (message::releaseBrokerConfirm(confirm)) return;
        if (const registry::ProviderRecord* owner = registry::findProvider(guard_, confirm->provider))
            owner->deleteEntry(confirm);
    }

    const runtime::Guard& guard_;
    WaitEntry* entry_;
    std::uint32_t token_;
};

} // namespace

std::int32_t sendSync(BrokerMessage* request, BrokerMessage** confirmOut) {
    if (confirmOut != nullptr) *confirmOut = nullptr;
    // Entered first and left last: it covers the wait too, so the thread's event and whatever
    // the provider's call reaches stay while the call lasts.
    const runtime::Guard guard;
    if (!guard) {
        refuseUnguarded(request);
        return 0;
    }
    if (requestUnusable(request, false)) return 0;
    if (confirmOut == nullptr) {
        request->status = KOV_STATUS_BAD_VERSION;
        return 0;
    }
    runtime::ensureLoaded();
    request->status = KOV_STATUS_OK;
    request->callback = syncConfirmCallback;
    runtime::countCall(runtime::Counter::SyncCalls);

    const registry::ProviderRecord* const provider = registry::findProvider(guard, request->provider);
    if (provider == nullptr)
        return failSync(request, notFoundStatus(request->provider), confirmOut);

    const platform::EventHandle event = threadEvent(guard.slot());
    if (event == nullptr) return failSync(request, KOV_STATUS_NO_EVENT, confirmOut);
    const std::uint32_t token = nextToken();
    WaitEntry* const entry = takeEntry(token);
    if (entry == nullptr) return failSync(request, KOV_STATUS_NO_MEMORY, confirmOut);
    entry->confirm = nullptr;
    entry->request = request;
    entry->event = event;
    entry->waiter = runtime::threadToken();
    request->callbackData = reinterpret_cast<void*>(static_cast<std::uintptr_t>(token));

    PendingCall call(guard, entry, token);
    runtime::countCall(runtime::Counter::SyncDelivered);
    if (handOver(provider, request) == 0) *confirmOut = call.awaitAnswer();
    return 1;
}

} // namespace kov::dispatch
