// The wait entries of synchronous calls and the tokens that name them (docs/internals.md,
// "Synchronous calls"; model/sync_calls.pml checks the hand-overs).
//
// A waiting call is known by a token, never by an address: callbackData carries the token, and a
// confirm whose token names no waiting call is turned away. Each call takes one entry of a fixed
// table in the module's storage, so a late confirm only ever reads a live entry. A token is the
// entry's index and a generation the entry counts up at every call, so a confirm finds its entry
// without a search. An entry's word holds its generation and state, changed only by
// compare-and-swap: exactly one side wins each hand-over.
//
// A call that ends with no confirm of its own (refused, cancelled, ended by a null, or its thread
// ended inside it) may still be confirmed later by a provider that breaks the rules. Its
// generation is kept out of use, so its token never names a later call: the entry remembers the
// generations of its last kLateKept such calls and skips them when it counts on, and a token
// comes round again only after 4,194,304 calls of one entry.
#pragma once

#include "platform/platform.h"
#include "runtime/thread_slots.h"

#include <kov/kov_broker.h>

#include <atomic>
#include <cstdint>

namespace kov::dispatch::wait {

// Sleeping: the caller blocks on its thread's event, and only an answer taken from this state
// sets the event; a call answered before it blocks costs no kernel call. Looking: a null from
// another thread reads the call's request status; for those few instructions the call neither
// ends nor takes an answer.
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

// A word: the generation in the bits above the index's, the state in the lowest three, and
// kLateFlag while the entry keeps generations out of use (every state keeps the flag; the common
// hand-overs expect it clear and leave the rest to the slow ones). A token: the generation and
// the entry's index. Entry 0 is never taken, so no token is 0 (callbackData 0 names no call).
constexpr std::uint32_t kStateMask = 7;
constexpr std::uint32_t kLateFlag = 8;
constexpr std::uint32_t kIndexBits = 10;
constexpr std::uint32_t kEntries = 1u << kIndexBits;
constexpr std::uint32_t kIndexMask = kEntries - 1;
constexpr std::uint32_t kGenerationMask = ~kIndexMask;
constexpr std::uint32_t kLateKept = 8;

struct alignas(64) Entry { // a line each: threads' own entries share no written line
    std::atomic<std::uint32_t> word;
    BrokerMessage* confirm;
    BrokerMessage* request;
    platform::EventHandle event; // the waiting thread's
    // Generations (| 1; 0: none) of this entry's last calls that ended with no confirm of their
    // own, oldest overwritten first. Written only by whoever holds the entry, before its word
    // says Free.
    std::uint32_t late[kLateKept];
    std::uint32_t lateCount;
};

extern KOV_MODULE_GLOBAL Entry entries[kEntries];
// How far a call moves its entry's generation: one generation, unless a test asked for few.
extern KOV_MODULE_GLOBAL std::uint32_t generationStep;

// Entries 1 to kPoolSlots belong one each to the module's own thread slots (their thread takes
// it with a plain store, nobody else writes a free one); the rest are shared, taken by
// compare-and-swap.
constexpr std::uint32_t kFirstShared = runtime::kPoolSlots + 1;
static_assert(kFirstShared < kEntries / 2, "most entries are shared");

inline std::uint32_t stateOf(std::uint32_t word) { return word & kStateMask; }
inline std::uint32_t generationOf(std::uint32_t word) { return word & kGenerationMask; }
// The word in another state, generation and flag kept.
inline std::uint32_t withState(std::uint32_t word, State state) { return (word & ~kStateMask) | state; }
inline std::uint32_t tokenFor(std::uint32_t word, std::uint32_t index) {
    return generationOf(word) | index;
}
inline std::uint32_t indexOf(const Entry& entry) {
    return static_cast<std::uint32_t>(&entry - entries);
}
inline Entry& entryFor(std::uint32_t token) { return entries[token & kIndexMask]; }

// A state that ends on its own within a few instructions of the other side.
inline bool passing(std::uint32_t state) {
    return state == Answering || state == Looking || state == LookingSleeping;
}

inline void pause() {
    // The other side is between two stores of its hand-over; this lasts a few instructions.
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// The generation a free entry (its word `free`) gives the next call: one on from its last, not
// kept out of use.
std::uint32_t nextGeneration(const Entry& entry, std::uint32_t free);

// The word that frees an entry whose call (its word `word`) ended with no confirm of its own: the
// call's generation is kept out of use first. Undo it with forgetLate() if the word could not be
// stored after all.
std::uint32_t keepOut(Entry& entry, std::uint32_t word, std::uint32_t& undo);
void forgetLate(Entry& entry, std::uint32_t undo);

// Waiting or Sleeping -> Answering for `token`; Lost when the token names no waiting call. A look
// in progress lasts a few instructions and is waited out. On success `answering` is the new word.
enum class Claim { Lost, Awake, Asleep };
Claim claim(Entry& entry, std::uint32_t token, std::uint32_t& answering);

// The winner of the hand-over to Answering writes the answer, wakes the caller if it sleeps, and
// only then lets the entry go: the caller cannot leave (and its thread cannot close the event)
// before that.
[[gnu::always_inline]] inline void finishAnswer(Entry& entry, std::uint32_t answering,
                                                BrokerMessage* confirm, bool wake) {
    entry.confirm = confirm;
    if (wake) platform::setEvent(entry.event);
    entry.word.store(withState(answering, Answered), std::memory_order_release);
}

} // namespace kov::dispatch::wait
