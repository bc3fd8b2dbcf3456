// kov_SendSync: a call waits in an entry of the wait table (wait_entries.h) for the confirm that
// names it, which the broker's completion routine hands over.
#include "dispatch/send.h"

#include "dispatch/confirms.h"
#include "dispatch/export_boundary.h"
#include "dispatch/wait_entries.h"
#include "message/broker_confirms.h"
#include "observe/published_region.h"
#include "platform/platform.h"
#include "registry/provider_list.h"
#include "runtime/broker_security.h"
#include "runtime/guard.h"
#include "runtime/process.h"
#include "runtime/statistics.h"
#include "runtime/thread_slots.h"

#include <atomic>
#include <cstdint>

namespace kov::dispatch {
namespace {

using namespace wait;

// The call's request and event go into the entry before it says Waiting: whoever sees it waiting
// (an answer, a null looking for its call) finds them.
void fillEntry(Entry& entry, BrokerMessage* request, platform::EventHandle event) {
    entry.request = request;
    entry.event = event;
}

// Takes shared entry `index` if it is free, and makes it wait for this call.
bool takeShared(std::uint32_t index, BrokerMessage* request, platform::EventHandle event) {
    Entry& entry = entries[index];
    std::uint32_t seen = entry.word.load(std::memory_order_acquire);
    if (stateOf(seen) != Free) return false;
    const std::uint32_t filling = nextGeneration(entry, seen) | (seen & kLateFlag) | Filling;
    if (!entry.word.compare_exchange_strong(seen, filling)) return false;
    fillEntry(entry, request, event);
    entry.word.store(withState(filling, Waiting), std::memory_order_release);
    return true;
}

// A free shared entry, tried first where this thread's token points, so a thread that makes one
// call after another keeps taking the same entry.
[[gnu::noinline]] Entry* takeSharedEntry(BrokerMessage* request, platform::EventHandle event) {
    constexpr std::uint32_t kShared = kEntries - kFirstShared;
    const std::uint32_t start = runtime::threadToken();
    for (std::uint32_t i = 0; i < kShared; ++i) {
        const std::uint32_t index = kFirstShared + (start + i) % kShared;
        if (takeShared(index, request, event)) return &entries[index];
    }
    return nullptr;
}

// The thread's own entry while it keeps generations out of use: nobody else takes it, so a
// plain store still does.
[[gnu::noinline]] std::uint32_t takeOwnSkipping(Entry& entry, std::uint32_t seen,
                                                BrokerMessage* request,
                                                platform::EventHandle event) {
    fillEntry(entry, request, event);
    const std::uint32_t waiting = nextGeneration(entry, seen) | kLateFlag | Waiting;
    entry.word.store(waiting, std::memory_order_release);
    return waiting;
}

// An entry waiting for this call, with its token; null when every entry is taken. The thread's
// own entry needs no compare-and-swap: nobody else takes it.
[[gnu::always_inline]] inline Entry* takeEntry(const runtime::ThreadSlot* slot,
                                               BrokerMessage* request, platform::EventHandle event,
                                               std::uint32_t& token) {
    if (const std::uint32_t own = slot->ownWaitEntry) {
        Entry& entry = entries[own];
        const std::uint32_t seen = entry.word.load(std::memory_order_relaxed);
        // Free with no generation out of use: the word is the generation alone.
        if (KOV_LIKELY((seen & (kStateMask | kLateFlag)) == Free)) {
            const std::uint32_t next = seen + generationStep; // read once: the stores may alias it
            fillEntry(entry, request, event);
            entry.word.store(next + Waiting, std::memory_order_release);
            token = next + own;
            return &entry;
        }
        if (stateOf(seen) == Free) {
            token = tokenFor(takeOwnSkipping(entry, seen, request, event), own);
            return &entry;
        }
    }
    Entry* const shared = takeSharedEntry(request, event);
    // The call's own until it lets the entry go: whoever looks at it meanwhile leaves the
    // generation.
    if (shared != nullptr)
        token = tokenFor(shared->word.load(std::memory_order_relaxed), indexOf(*shared));
    return shared;
}

std::uint32_t statusOf(const BrokerMessage* request) {
    return __atomic_load_n(&request->status, __ATOMIC_ACQUIRE);
}

// A provider that could not build a confirm delivers null after writing the reason into the
// request's status; the null carries no token. It can belong to any waiting call whose request
// carries a failure status, and it ends every such call. A call whose request still says 0 is
// never ended by a null, whichever thread delivers it: a provider may deliver other requests'
// answers from inside any call.
std::int32_t KOV_CALL syncConfirmCallback(BrokerMessage* confirm);

[[gnu::noinline]] void answerWithNull() {
    for (Entry& entry : entries) {
        const std::uint32_t word = entry.word.load(std::memory_order_acquire);
        const std::uint32_t state = stateOf(word);
        if (state != Waiting && state != Sleeping) continue;
        std::uint32_t expected = word;
        const State looking = state == Sleeping ? LookingSleeping : Looking;
        if (!entry.word.compare_exchange_strong(expected, withState(word, looking))) continue;
        // While we look, the caller cannot leave and no answer is taken.
        if (statusOf(entry.request) != KOV_STATUS_OK) {
            const std::uint32_t answering = withState(word, Answering);
            entry.word.store(answering, std::memory_order_relaxed);
            finishAnswer(entry, answering, nullptr, state == Sleeping);
        } else {
            entry.word.store(word, std::memory_order_release);
        }
    }
}

std::uint32_t tokenIn(const BrokerMessage* message) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(message->callbackData));
}

// A provider's confirm whose header breaks its own lengths is not handed on: nobody could read it
// safely. Its 44 header bytes are the provider's promise (they carry the token that finds the
// call); beyond them, nothing is read.
bool wellFormed(const BrokerMessage* confirm) {
    return confirm->headerLength >= KOV_HEADER_SIZE && confirm->headerLength <= confirm->totalLength;
}

// What a call takes instead of a malformed confirm (which goes back to its provider): the caller
// builds the broker's own answer on its thread, under its guard.
BrokerMessage* const kMalformed = reinterpret_cast<BrokerMessage*>(1);

} // namespace

bool endSyncCallWithNull(BrokerMessage* request) {
    if (request->callback != syncConfirmCallback) return false;
    const std::uint32_t token = tokenIn(request);
    Entry& entry = entryFor(token);
    std::uint32_t answering = 0;
    const Claim claimed = claim(entry, token, answering);
    if (claimed == Claim::Lost) return true; // that call has ended already
    // No confirm, yet "success": what the caller gets is the outcome of no memory.
    if (statusOf(request) == KOV_STATUS_OK)
        __atomic_store_n(&request->status, std::uint32_t{KOV_STATUS_NO_MEMORY}, __ATOMIC_RELEASE);
    finishAnswer(entry, answering, nullptr, claimed == Claim::Asleep);
    return true;
}

namespace {

// Every confirm that is not simply the answer its caller waits for awake: a null, a confirm for
// a sleeping caller, one being looked at, one for an entry that keeps generations out of use, or
// one nobody waits for any more (not kept: its provider keeps it).
[[gnu::noinline]] std::int32_t answerOtherwise(BrokerMessage* confirm) {
    if (confirm == nullptr) {
        answerWithNull();
        return 0;
    }
    const std::uint32_t token = tokenIn(confirm);
    Entry& entry = entryFor(token);
    std::uint32_t answering = 0;
    const Claim claimed = claim(entry, token, answering);
    if (claimed == Claim::Lost) return 0;
    const bool kept = wellFormed(confirm);
    finishAnswer(entry, answering, kept ? confirm : kMalformed, claimed == Claim::Asleep);
    return kept ? 1 : 0; // a kept confirm passes to the caller of kov_SendSync
}

// The common answer takes one compare-and-swap: its token's entry waits for it, awake (the answer
// comes up the caller's own stack, or from another thread before the caller sleeps). The swap
// itself compares the generation, so a token that names no waiting call goes the long way; entry
// 0 is never taken, so token 0 never matches.
std::int32_t KOV_CALL syncConfirmCallback(BrokerMessage* confirm) {
    if (KOV_LIKELY(confirm != nullptr && wellFormed(confirm))) {
        const std::uint32_t token = tokenIn(confirm);
        Entry& entry = entryFor(token);
        std::uint32_t seen = generationOf(token) | Waiting;
        const std::uint32_t answering = generationOf(token) | Answering;
        if (KOV_LIKELY(entry.word.compare_exchange_strong(seen, answering))) {
            finishAnswer(entry, answering, confirm, false);
            return 1; // the confirm passes to the caller of kov_SendSync
        }
    }
    return answerOtherwise(confirm);
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
[[gnu::always_inline]] inline std::int32_t handOver(const registry::ProviderRecord* provider,
                                                    BrokerMessage* request,
                                                    BrokerMessage** confirmOut) {
    try {
        return provider->receiveEntry(request);
    } catch (...) {
        if (statusOf(request) == KOV_STATUS_OK)
            __atomic_store_n(&request->status, std::uint32_t{KOV_STATUS_NO_MEMORY}, __ATOMIC_RELEASE);
        *confirmOut = nullptr;
        throw; // a forced unwind too: the thread is being cancelled
    }
}

// The end of a call its provider took, in the provider's counters: a confirm handed to the
// caller with its bytes (a failure it reports is the caller's to read), or an end without one,
// a failure when the request says why.
[[gnu::always_inline]] inline void countAnswered(unsigned char* shard, const BrokerMessage* confirm) {
    observe::countShared(shard + observe::kSyncAnswered * 4);
    observe::countShared(shard + observe::kConfirmBytes * 4, confirm->totalLength);
}
[[gnu::noinline]] void countUnanswered(const registry::ProviderRecord* provider,
                                       unsigned char* shard, const BrokerMessage* request) {
    observe::countShared(shard + observe::kSyncUnanswered * 4);
    const std::uint32_t status = statusOf(request);
    if (status != KOV_STATUS_OK) observe::countFailure(provider->counters, shard, status);
}

[[gnu::always_inline]] inline platform::EventHandle threadEvent(runtime::ThreadSlot* slot) {
    if (slot->waitEvent == nullptr)
        slot->waitEvent = platform::createEvent(runtime::brokerSecurity());
    return slot->waitEvent;
}

// One call's entry, from taking it to letting it go. Its destructor runs on every way out of the
// call, an exception or a thread's cancellation included.
class PendingCall {
public:
    // The entry waits for this call (takeEntry).
    explicit PendingCall(Entry* entry) : entry_(entry) {}
    PendingCall(const PendingCall&) = delete;
    PendingCall& operator=(const PendingCall&) = delete;
    [[gnu::always_inline]] ~PendingCall() {
        BrokerMessage* const late = finish();
        if (late != nullptr) handBack(late);
    }

    // Blocks until the answer is in. No kernel call when it already is. The event is reset
    // before the call says it sleeps, so the one set that follows is never lost.
    // The entry is held in a local: the member would be read back after every atomic operation.
    [[gnu::always_inline]] BrokerMessage* awaitAnswer() {
        Entry* const entry = entry_;
        for (;;) {
            std::uint32_t word = entry->word.load(std::memory_order_acquire);
            const std::uint32_t state = stateOf(word);
            if (KOV_LIKELY(state == Answered)) return release(entry, word);
            if (state == Waiting) {
                platform::resetEvent(entry->event);
                entry->word.compare_exchange_strong(word, withState(word, Sleeping));
            } else if (state == Sleeping) {
                platform::waitEvent(entry->event);
            } else {
                pause();
            }
        }
    }

    // Ends the call of a thread that is gone without leaving it (ExitThread inside a provider's
    // entry: nothing of the call ran on the way out), as every way out of a call ends it: the
    // destructor. Under a guard of the ending thread.
    static void endAbandoned(Entry& entry) { const PendingCall abandoned(&entry); }

private:
    // Retires the token; returns a confirm that came although nobody took it. A call that ends
    // with no confirm of its own keeps its generation out of use: a provider may still confirm
    // it, and that confirm must never be taken for a later call of the entry.
    BrokerMessage* finish() {
        if (entry_ == nullptr) return nullptr;
        for (;;) {
            std::uint32_t word = entry_->word.load(std::memory_order_acquire);
            const std::uint32_t state = stateOf(word);
            if (state == Answered) return release(entry_, word);
            if (passing(state)) {
                pause();
                continue;
            }
            std::uint32_t undo = 0;
            const std::uint32_t free = keepOut(*entry_, word, undo);
            if (entry_->word.compare_exchange_strong(word, free)) {
                entry_ = nullptr;
                return nullptr;
            }
            forgetLate(*entry_, undo); // an answer came meanwhile
        }
    }
    // `answered` is the entry's word, Answered: nobody else changes it now. Returns the answer.
    [[gnu::always_inline]] BrokerMessage* release(Entry* entry, std::uint32_t answered) {
        BrokerMessage* confirm = entry->confirm;
        std::uint32_t free = withState(answered, Free);
        if (KOV_UNLIKELY(reinterpret_cast<std::uintptr_t>(confirm) <=
                         reinterpret_cast<std::uintptr_t>(kMalformed))) {
            // Ended by a null, or by a malformed confirm: the call has no confirm of its own yet,
            // and one may still come.
            std::uint32_t undo = 0;
            free = keepOut(*entry, answered, undo);
            if (confirm == kMalformed) confirm = malformedAnswer(entry->request);
        }
        entry->word.store(free, std::memory_order_release);
        entry_ = nullptr;
        return confirm;
    }
    // The broker's header-only answer to a call whose provider confirmed it malformed; null, with
    // the status in the request all the same, when there is no memory for it.
    [[gnu::noinline]] static BrokerMessage* malformedAnswer(BrokerMessage* request) {
        __atomic_store_n(&request->status, std::uint32_t{KOV_STATUS_MALFORMED_CONFIRM},
                         __ATOMIC_RELEASE);
        BrokerMessage* const confirm = message::newBrokerConfirm(request, 0);
        if (confirm != nullptr) confirm->status = KOV_STATUS_MALFORMED_CONFIRM;
        return confirm;
    }
    // A provider that refused yet confirmed, or a confirm for a call whose thread went away:
    // nobody takes that confirm, so hand it back. The call's own guard covers it; the nested one
    // only lets the lookup say so.
    [[gnu::noinline]] static void handBack(BrokerMessage* confirm) {
        if (message::releaseBrokerConfirm(confirm)) return;
        const runtime::Guard nested;
        if (!nested) return;
        const registry::ProviderRecord* const owner =
            registry::findProvider(nested, confirm->provider);
        if (owner != nullptr) owner->deleteEntry(confirm);
    }

    Entry* entry_;
};

std::int32_t call(const runtime::Guard& guard, BrokerMessage* request, BrokerMessage** confirmOut);
std::int32_t callOffPath(BrokerMessage* request, BrokerMessage** confirmOut);

[[gnu::always_inline]] inline std::int32_t syncCall(BrokerMessage* request,
                                                   BrokerMessage** confirmOut) {
    if (confirmOut == nullptr) { // nowhere to put the answer: as unusable as a bad header
        refuseUnusable(request);
        return 0;
    }
    // Entered first and left last: it covers the wait too, so the thread's event and whatever
    // the provider's call reaches stay while the call lasts.
    const runtime::Guard guard;
    if (!guard) {
        *confirmOut = nullptr;
        refuseUnguarded(request);
        return 0;
    }
    if (requestUnusable(request, false)) return *confirmOut = nullptr, 0;
    // One word says both that the providers are loaded and that nobody traces.
    if (KOV_UNLIKELY(!observe::straightPath())) return callOffPath(request, confirmOut);
    return call(guard, request, confirmOut);
}

// A usable request, its thread inside its guard, to its provider; the caller waits for the
// answer.
[[gnu::always_inline]] inline std::int32_t call(const runtime::Guard& guard, BrokerMessage* request,
                                               BrokerMessage** confirmOut) {
    request->status = KOV_STATUS_OK;
    request->callback = syncConfirmCallback;
    runtime::countCall(guard.slot(), runtime::Counter::SyncCalls);

    const registry::ProviderRecord* const provider = registry::findProvider(guard, request->provider);
    if (provider == nullptr)
        return failSync(request, notFoundStatus(request->provider), confirmOut);

    const platform::EventHandle event = threadEvent(guard.slot());
    std::uint32_t token = 0;
    Entry* const entry = event != nullptr ? takeEntry(guard.slot(), request, event, token) : nullptr;
    if (KOV_UNLIKELY(entry == nullptr)) {
        const std::int32_t result =
            failSync(request, event == nullptr ? KOV_STATUS_NO_EVENT : KOV_STATUS_NO_MEMORY, confirmOut);
        countUnanswered(provider, registry::shardOf(provider, guard.slot()), request);
        return result;
    }
    request->callbackData = reinterpret_cast<void*>(static_cast<std::uintptr_t>(token));

    BrokerMessage* confirm = nullptr;
    {
        // Counted once the entry is let go: an atomic add meanwhile would make the compiler read
        // the call's state back from memory.
        PendingCall call(entry);
        if (handOver(provider, request, confirmOut) == 0) confirm = call.awaitAnswer();
    }
    *confirmOut = confirm;
    unsigned char* const shard = registry::shardOf(provider, guard.slot());
    if (KOV_LIKELY(confirm != nullptr))
        countAnswered(shard, confirm);
    else
        countUnanswered(provider, shard, request);
    return 1;
}

// The first request (it loads the providers) and traced ones, under a guard of its own nested
// in the caller's (see routeOffPath).
[[gnu::noinline]] std::int32_t callOffPath(BrokerMessage* request, BrokerMessage** confirmOut) {
    runtime::ensureLoaded();
    const runtime::Guard guard;
    if ((observe::runState() & observe::kTracing) == 0) return call(guard, request, confirmOut);
    const observe::TracedCall traced = observe::beginTrace(request, 2);
    const std::int32_t result = call(guard, request, confirmOut);
    const BrokerMessage* const confirm = *confirmOut;
    observe::endTrace(guard.slot(), runtime::threadToken(), traced,
                      confirm != nullptr ? confirm->status : statusOf(request),
                      confirm != nullptr ? confirm->totalLength : 0);
    return result;
}

} // namespace

void endCallsWaitingOn(platform::EventHandle event) {
    if (event == nullptr) return;
    for (Entry& entry : entries) {
        // An entry held by a call of the gone thread stays so (only its caller lets it go); any
        // other entry may be taken meanwhile, which changes its word: read its event between two
        // equal words.
        const std::uint32_t word = entry.word.load(std::memory_order_acquire);
        const std::uint32_t state = stateOf(word);
        if (state == Free || state == Filling) continue;
        const platform::EventHandle waiting = __atomic_load_n(&entry.event, __ATOMIC_RELAXED);
        if (waiting == event && entry.word.load(std::memory_order_acquire) == word)
            PendingCall::endAbandoned(entry);
    }
}

std::int32_t sendSync(BrokerMessage* request, BrokerMessage** confirmOut) {
    return syncCall(request, confirmOut);
}

} // namespace kov::dispatch

extern "C" KOV_API int32_t KOV_CALL kov_SendSync(BrokerMessage* request,
                                                 BrokerMessage** confirmOut) {
    return kov::dispatch::atBoundary(
        [request, confirmOut] { return kov::dispatch::syncCall(request, confirmOut); }, 0);
}
