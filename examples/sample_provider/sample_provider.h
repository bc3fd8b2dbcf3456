// Shared inside the sample provider: its function set and its clock.
#ifndef KOV_SAMPLE_PROVIDER_H
#define KOV_SAMPLE_PROVIDER_H

#include <kov/kov_provider.h>

namespace sample {

constexpr uint32_t kFunctionSet = 0x5A00; // version 1.0
constexpr uint32_t kEcho = 0;             // confirm payload: the request's payload
constexpr uint32_t kClock = 1;            // confirm payload: UTC time, "YYYY-MM-DDTHH:MM:SS.mmmZ"
constexpr uint32_t kClockTextSize = 24;

// "YYYY-MM-DDTHH:MM:SS.mmm" of the current UTC time, 23 characters, no terminator.
void utcDateTime(char (&out)[23]);

} // namespace sample

#endif
