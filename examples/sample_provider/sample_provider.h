// Shared inside the sample provider: its function set, its blocks and its answer queue.
#ifndef KOV_SAMPLE_PROVIDER_H
#define KOV_SAMPLE_PROVIDER_H

#include <kov/kov_broker.h>

namespace sample {

constexpr uint32_t kFunctionSet = 0x5A00; // version 1.0
constexpr uint32_t kEcho = 0;             // confirm payload: the request's payload
constexpr uint32_t kClock = 1;            // confirm payload: UTC time, "YYYY-MM-DDTHH:MM:SS.mmmZ"
constexpr uint32_t kClockTextSize = 24;

// Every block this library hands out (confirms, the information block) comes from here, zeroed,
// and is remembered, so kov_DeleteReceive releases only blocks that really are ours.
BrokerMessage *newBlock(uint32_t size);
// 0 when the block was ours and is released; 1 when it was not ours (left untouched).
int32_t releaseBlock(BrokerMessage *block);

// "YYYY-MM-DDTHH:MM:SS.mmm" of the current UTC time, 23 characters, no terminator.
void utcDateTime(char (&out)[23]);

// A built confirm waiting for the worker to deliver it.
struct Answer {
    BrokerMessage *confirm;
    ConfirmCallback callback;
    bool stampClock; // write the time when the answer leaves, not when it was queued
};

// Hands the answer to the worker thread (started on first use). False when no worker could be
// started or the queue could not grow; the caller still owns the confirm then.
bool queueAnswer(const Answer &answer);

} // namespace sample

#endif
