#include "dispatch/wait_entries.h"

#include "dispatch/send.h"

#include <cstdlib>
#include <string>

namespace kov::dispatch {
namespace wait {

Entry entries[kEntries]; // all free at generation 0: zero-initialised, no code runs for it
std::uint32_t generationStep = kEntries;

namespace {

bool isLate(const Entry& entry, std::uint32_t generation) {
    for (const std::uint32_t late : entry.late)
        if (late == (generation | 1)) return true;
    return false;
}

} // namespace

std::uint32_t nextGeneration(const Entry& entry, std::uint32_t free) {
    std::uint32_t next = generationOf(free) + generationStep;
    if (KOV_UNLIKELY((free & kLateFlag) != 0)) {
        // At most kLateKept are out of use: within as many steps one is not (there are far more
        // generations, unless a test asked for fewer).
        for (std::uint32_t tries = 0; tries < kLateKept && isLate(entry, next); ++tries)
            next += generationStep;
    }
    return next;
}

std::uint32_t keepOut(Entry& entry, std::uint32_t word, std::uint32_t& undo) {
    std::uint32_t& slot = entry.late[entry.lateCount % kLateKept];
    undo = slot;
    slot = generationOf(word) | 1;
    ++entry.lateCount;
    return generationOf(word) | kLateFlag | Free;
}

void forgetLate(Entry& entry, std::uint32_t undo) {
    --entry.lateCount;
    entry.late[entry.lateCount % kLateKept] = undo;
}

Claim claim(Entry& entry, std::uint32_t token, std::uint32_t& answering) {
    std::uint32_t seen = entry.word.load(std::memory_order_acquire);
    for (;;) {
        if (generationOf(seen) != generationOf(token)) return Claim::Lost;
        const std::uint32_t state = stateOf(seen);
        if (state == Looking || state == LookingSleeping) {
            pause();
            seen = entry.word.load(std::memory_order_acquire);
        } else if (state != Waiting && state != Sleeping) {
            return Claim::Lost;
        } else if (entry.word.compare_exchange_strong(seen, withState(seen, Answering))) {
            answering = withState(seen, Answering);
            return state == Sleeping ? Claim::Asleep : Claim::Awake;
        }
    }
}

} // namespace wait

void startSyncCalls() {
    runtime::onAbandonedCalls(endCallsWaitingOn);
    // A test hook: few generations per entry, so that a token comes round again within a test.
    // Generations count in the bits above an entry's index; fewer of them, a longer step.
    const std::string hook = platform::environmentValue("KOV_BROKER_TEST_SYNC_GENERATIONS");
    const unsigned long generations = hook.empty() ? 0 : std::strtoul(hook.c_str(), nullptr, 10);
    wait::generationStep = wait::kEntries;
    if (generations >= 2)
        for (unsigned long n = 1ul << (32 - wait::kIndexBits); n > generations; n /= 2)
            wait::generationStep *= 2;
}

std::uint32_t waitingSyncCalls() {
    std::uint32_t waiting = 0;
    for (const wait::Entry& entry : wait::entries) {
        const std::uint32_t state = wait::stateOf(entry.word.load(std::memory_order_relaxed));
        if (state != wait::Free && state != wait::Filling) ++waiting;
    }
    return waiting;
}

} // namespace kov::dispatch
