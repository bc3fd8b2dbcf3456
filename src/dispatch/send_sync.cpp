#include "dispatch/send.h"

#include "dispatch/confirms.h"
#include "dispatch/export_boundary.h"
#include "message/broker_confirms.h"
#include "platform/platform.h"
#include "registry/provider_list.h"
#include "runtime/broker_security.h"
#include "runtime/process.h"
#include "runtime/guard.h"
#include "runtime/statistics.h"
#include "runtime/thread_slots.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kov::dispatch {
namespace {

// A waiting call is known by a token, never by an address: callbackData carries the token, and a
// confirm whose token names no waiting call is turned away. Each call takes one entry of a fixed
// table in the module's storage, so a late confirm only ever reads a live entry and compares
// tokens. A token is the entry's index and a generation the entry counts up at every call, so a
// confirm finds its entry without a search, and a late confirm for an earlier call of the same
// entry does not match. An entry's word holds the token and its state, changed only by
// compare-and-swap: exactly one side wins each hand-over. Sleeping: the caller blocks on its
// thread's event, and only an answer taken from this state sets the event; a call answered
// before it blocks (on its own thread, up the stack, or on another) costs no kernel call.
// Looking: a null from another thread reads the call's request status; for those few
// instructions the call neither ends nor takes an answer.
enum State : std::uint32_t {
    Free = 0,
    Waiting = 1,
    Answering = 2,
    Answered = 3,
    Filling = 4,
    Looking = 5,         // was Waiting
    Sleeping = 6,
    LookingSleeping = 7, // was Sleeping
};

struct WaitEntry {
    std::atomic<std::uint32_t> word; // token << 3 | state; a free entry keeps its last token
    BrokerMessage* confirm;
    BrokerMessage* request;
    platform::EventHandle event; // the waiting thread's
};

// One word per entry, so that every hand-over is one 32-bit compare-and-swap: 3 bits of state,
// 10 of index and 19 of generation (an entry goes round them once in 524,288 calls). Each word
// holds its entry's index from the start, and entry 0 is never taken, so no token is 0
// (callbackData 0 names no call) and the next token is one addition away.
constexpr std::uint32_t kStateBits = 3;
constexpr std::uint32_t kIndexBits = 10;
constexpr std::uint32_t kEntries = 1u << kIndexBits;
constexpr std::uint32_t kNextGeneration = 1u << (kIndexBits + kStateBits);

struct WaitTable {
    WaitEntry entry[kEntries];
};
template <std::size_t... Index>
constexpr WaitTable newWaitTable(std::index_sequence<Index...>) {
    return WaitTable{{WaitEntry{{static_cast<std::uint32_t>(Index) << kStateBits}, nullptr, nullptr,
                                nullptr}...}};
}
WaitTable table = newWaitTable(std::make_index_sequence<kEntries>{});
WaitEntry (&entries)[kEntries] = table.entry;

std::uint32_t wordOf(std::uint32_t token, State state) { return token << kStateBits | state; }
std::uint32_t tokenOf(std::uint32_t word) { return word >> kStateBits; }
std::uint32_t stateOf(std::uint32_t word) { return word & ((1u << kStateBits) - 1); }

// Entries 1 to kPoolSlots belong one each to the module's own thread slots: only the slot's
// thread takes its entry, with a plain store (others only read a free entry's word). The rest
// are shared, taken by compare-and-swap: by threads with heap slots, and by a call made while the
// thread's own entry is busy (a synchronous call from inside a provider's entry).
constexpr std::uint32_t kFirstShared = runtime::kPoolSlots + 1;
static_assert(kFirstShared < kEntries / 2, "most entries are shared");

// A free entry's word once taken: its next generation, in `state`.
std::uint32_t takenWord(std::uint32_t free, State state) { return free + kNextGeneration + state; }

// The call's request and event go into the entry before it says Waiting: whoever sees it waiting
// (an answer, a null looking for its call) finds them.
void fillEntry(WaitEntry* entry, BrokerMessage* request, platform::EventHandle event) {
    entry->request = request;
    entry->event = event;
}

// Takes shared entry `index` if it is free, and makes it wait for this call.
bool takeShared(std::uint32_t index, BrokerMessage* request, platform::EventHandle event) {
    WaitEntry& entry = entries[index];
    std::uint32_t seen = entry.word.load(std::memory_order_relaxed);
    const std::uint32_t filling = takenWord(seen, Filling);
    if (stateOf(seen) != Free || !entry.word.compare_exchange_strong(seen, filling))
        return false;
    fillEntry(&entry, request, event);
    entry.word.store(wordOf(tokenOf(filling), Waiting), std::memory_order_release);
    return true;
}

// A free shared entry, tried first where this thread's token points, so a thread that makes one
// call after another keeps taking the same entry.
[[gnu::noinline]] WaitEntry* takeSharedEntry(BrokerMessage* request, platform::EventHandle event) {
    constexpr std::uint32_t kShared = kEntries - kFirstShared;
    const std::uint32_t start = runtime::threadToken();
    for (std::uint32_t i = 0; i < kShared; ++i) {
        const std::uint32_t index = kFirstShared + (start + i) % kShared;
        if (takeShared(index, request, event)) return &entries[index];
    }
    return nullptr;
}

// An entry waiting for this call, with its token; null when every entry is taken. The thread's
// own entry needs no compare-and-swap: nobody else takes it.
[[gnu::always_inline]] inline WaitEntry* takeEntry(const runtime::ThreadSlot* slot,
                                                   BrokerMessage* request,
                                                   platform::EventHandle event,
                                                   std::uint32_t& token) {
    if (const std::uint32_t own = slot->ownWaitEntry) {
        WaitEntry& entry = entries[own];
        const std::uint32_t seen = entry.word.load(std::memory_order_relaxed);
        if (KOV_LIKELY(stateOf(seen) == Free)) {
            fillEntry(&entry, request, event);
            const std::uint32_t waiting = takenWord(seen, Waiting);
            entry.word.store(waiting, std::memory_order_release);
            token = tokenOf(waiting);
            return &entry;
        }
    }
    WaitEntry* const shared = takeSharedEntry(request, event);
    // The call's own until it lets the entry go: whoever looks at it meanwhile leaves the token.
    if (shared != nullptr) token = tokenOf(shared->word.load(std::memory_order_relaxed));
    return shared;
}

// The entry a token names, if the token is still its current one.
[[gnu::always_inline]] inline WaitEntry* findEntry(std::uint32_t token) {
    WaitEntry& entry = entries[token & (kEntries - 1)];
    return tokenOf(entry.word.load(std::memory_order_acquire)) == token ? &entry : nullptr;
}

void pause() {
    // The other side is between two stores of its hand-over; this lasts a few instructions.
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// The winner of the hand-over to Answering writes the answer, wakes the caller if it sleeps,
// and only then lets the entry go: the caller cannot leave (and its thread cannot close the
// event) before that.
[[gnu::always_inline]] inline void finishAnswer(WaitEntry* entry, std::uint32_t token,
                                                BrokerMessage* confirm, bool wake) {
    entry->confirm = confirm;
    if (wake) platform::setEvent(entry->event);
    entry->word.store(wordOf(token, Answered), std::memory_order_release);
}

enum class Claim { Lost, Awake, Asleep };

// Waiting or Sleeping -> Answering, for the answers that do not take the completion routine's
// one swap (a sleeping caller, a null, a look in progress). A look lasts a few instructions and is
// waited out: a confirm turned away meanwhile would leave its call waiting for ever.
Claim claim(WaitEntry* entry, std::uint32_t token) {
    std::uint32_t seen = entry->word.load(std::memory_order_acquire);
    for (;;) {
        if (tokenOf(seen) != token) return Claim::Lost;
        const std::uint32_t state = stateOf(seen);
        if (state == Looking || state == LookingSleeping) {
            pause();
            seen = entry->word.load(std::memory_order_acquire);
        } else if (state != Waiting && state != Sleeping) {
            return Claim::Lost;
        } else if (entry->word.compare_exchange_strong(seen, wordOf(token, Answering))) {
            return state == Sleeping ? Claim::Asleep : Claim::Awake;
        }
    }
}

// A state that ends on its own within a few instructions of the other side.
bool passing(std::uint32_t state) {
    return state == Answering || state == Looking || state == LookingSleeping;
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
    for (WaitEntry& entry : entries) {
        const std::uint32_t word = entry.word.load(std::memory_order_acquire);
        const std::uint32_t state = stateOf(word);
        if (state != Waiting && state != Sleeping) continue;
        const std::uint32_t token = tokenOf(word);
        std::uint32_t expected = word;
        const State looking = state == Sleeping ? LookingSleeping : Looking;
        if (!entry.word.compare_exchange_strong(expected, wordOf(token, looking))) continue;
        // While we look, the caller cannot leave and no answer is taken.
        if (statusOf(entry.request) != KOV_STATUS_OK) {
            entry.word.store(wordOf(token, Answering), std::memory_order_relaxed);
            finishAnswer(&entry, token, nullptr, state == Sleeping);
        } else {
            entry.word.store(word, std::memory_order_release);
        }
    }
}

} // namespace

bool endSyncCallWithNull(BrokerMessage* request) {
    if (request->callback != syncConfirmCallback) return false;
    const auto token =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(request->callbackData));
    WaitEntry* const entry = token == 0 ? nullptr : findEntry(token);
    if (entry == nullptr) return true; // that call has ended already
    const Claim claimed = claim(entry, token);
    if (claimed == Claim::Lost) return true;
    // No confirm, yet "success": what the caller gets is the outcome of no memory.
    if (statusOf(request) == KOV_STATUS_OK)
        __atomic_store_n(&request->status, std::uint32_t{KOV_STATUS_NO_MEMORY}, __ATOMIC_RELEASE);
    finishAnswer(entry, token, nullptr, claimed == Claim::Asleep);
    return true;
}

namespace {

// Every confirm that is not simply the answer its caller waits for awake: a null, a confirm for
// a sleeping caller, one being looked at, or one nobody waits for any more.
[[gnu::noinline]] std::int32_t answerOtherwise(BrokerMessage* confirm) {
    if (confirm == nullptr) {
        answerWithNull();
        return 0;
    }
    const auto token =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(confirm->callbackData));
    WaitEntry* entry = token == 0 ? nullptr : findEntry(token);
    if (entry == nullptr) return 0; // nobody waits for it: not kept
    const Claim claimed = claim(entry, token);
    if (claimed == Claim::Lost) return 0;
    finishAnswer(entry, token, confirm, claimed == Claim::Asleep);
    return 1; // the confirm passes to the caller of kov_SendSync
}

// The common answer takes one compare-and-swap: its token's entry waits for it, awake (the answer
// comes up the caller's own stack, or from another thread before the caller sleeps). The swap
// itself compares the token, so a token that names no waiting call goes the long way; entry 0 is
// never taken, so token 0 never matches, and neither does a callbackData with bits above a
// token's.
std::int32_t KOV_CALL syncConfirmCallback(BrokerMessage* confirm) {
    if (KOV_LIKELY(confirm != nullptr)) {
        const auto token =
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(confirm->callbackData));
        WaitEntry& entry = entries[token & (kEntries - 1)];
        std::uint32_t seen = wordOf(token, Waiting);
        if (KOV_LIKELY(tokenOf(seen) == token &&
                       entry.word.compare_exchange_strong(seen, wordOf(token, Answering)))) {
            finishAnswer(&entry, token, confirm, false);
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
                                                    BrokerMessage* request) {
    try {
        return provider->receiveEntry(request);
    } catch (...) {
        if (statusOf(request) == KOV_STATUS_OK)
            __atomic_store_n(&request->status, std::uint32_t{KOV_STATUS_NO_MEMORY}, __ATOMIC_RELEASE);
        throw; // a forced unwind too: the thread is being cancelled
    }
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
    explicit PendingCall(WaitEntry* entry) : entry_(entry) {}
    PendingCall(const PendingCall&) = delete;
    PendingCall& operator=(const PendingCall&) = delete;
    [[gnu::always_inline]] ~PendingCall() {
        BrokerMessage* const late = finish();
        if (late != nullptr) handBack(late);
    }

    // Blocks until the answer is in. No kernel call when it already is. The event is reset
    // before the call says it sleeps, so the one set that follows is never lost.
    [[gnu::always_inline]] BrokerMessage* awaitAnswer() {
        for (;;) {
            std::uint32_t word = entry_->word.load(std::memory_order_acquire);
            const std::uint32_t state = stateOf(word);
            if (KOV_LIKELY(state == Answered)) return release(word);
            if (state == Waiting) {
                platform::resetEvent(entry_->event);
                entry_->word.compare_exchange_strong(word, wordOf(tokenOf(word), Sleeping));
            } else if (state == Sleeping) {
                platform::waitEvent(entry_->event);
            } else {
                pause();
            }
        }
    }

private:
    // Retires the token (a confirm arriving later finds nobody); returns a confirm that came
    // although nobody took it.
    [[gnu::always_inline]] BrokerMessage* finish() {
        if (entry_ == nullptr) return nullptr;
        for (;;) {
            std::uint32_t word = entry_->word.load(std::memory_order_acquire);
            const std::uint32_t state = stateOf(word);
            if (state == Answered) return release(word);
            if (passing(state)) {
                pause();
                continue;
            }
            if (entry_->word.compare_exchange_strong(word, wordOf(tokenOf(word), Free))) {
                entry_ = nullptr;
                return nullptr;
            }
        }
    }
    // `answered` is the entry's word, Answered: nobody else changes it now. Returns the answer.
    BrokerMessage* release(std::uint32_t answered) {
        BrokerMessage* const confirm = entry_->confirm;
        entry_->word.store(wordOf(tokenOf(answered), Free), std::memory_order_release);
        entry_ = nullptr;
        return confirm;
    }
    // A provider that refused yet confirmed: nobody takes that confirm, so hand it back. The
    // call's own guard covers it; the nested one only lets the lookup say so.
    [[gnu::noinline]] static void handBack(BrokerMessage* confirm) {
        if (message::releaseBrokerConfirm(confirm)) return;
        const runtime::Guard nested;
        if (!nested) return;
        const registry::ProviderRecord* const owner =
            registry::findProvider(nested, confirm->provider);
        if (owner != nullptr) owner->deleteEntry(confirm);
    }

    WaitEntry* entry_;
};

[[gnu::always_inline]] inline std::int32_t syncCall(BrokerMessage* request,
                                                   BrokerMessage** confirmOut) {
    if (confirmOut == nullptr) { // nowhere to put the answer: as unusable as a bad header
        refuseUnusable(request);
        return 0;
    }
    *confirmOut = nullptr;
    // Entered first and left last: it covers the wait too, so the thread's event and whatever
    // the provider's call reaches stay while the call lasts.
    const runtime::Guard guard;
    if (!guard) {
        refuseUnguarded(request);
        return 0;
    }
    if (requestUnusable(request, false)) return 0;
    runtime::ensureLoaded();
    request->status = KOV_STATUS_OK;
    request->callback = syncConfirmCallback;
    runtime::countCall(guard.slot(), runtime::Counter::SyncCalls);

    const registry::ProviderRecord* const provider = registry::findProvider(guard, request->provider);
    if (provider == nullptr)
        return failSync(request, notFoundStatus(request->provider), confirmOut);

    const platform::EventHandle event = threadEvent(guard.slot());
    if (event == nullptr) return failSync(request, KOV_STATUS_NO_EVENT, confirmOut);
    std::uint32_t token = 0;
    WaitEntry* const entry = takeEntry(guard.slot(), request, event, token);
    if (entry == nullptr) return failSync(request, KOV_STATUS_NO_MEMORY, confirmOut);
    request->callbackData = reinterpret_cast<void*>(static_cast<std::uintptr_t>(token));

    PendingCall call(entry);
    if (handOver(provider, request) == 0) *confirmOut = call.awaitAnswer();
    return 1;
}

} // namespace

std::uint32_t waitingSyncCalls() {
    std::uint32_t waiting = 0;
    for (const WaitEntry& entry : entries) {
        const std::uint32_t state = stateOf(entry.word.load(std::memory_order_relaxed));
        if (state != Free && state != Filling) ++waiting;
    }
    return waiting;
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
