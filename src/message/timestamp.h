#pragma once

#include "platform/platform.h"

namespace kov::message {

constexpr unsigned kTimestampSize = 28;

// "YYYY-MM-DDTHH:MM:SS.mmm" local time, then the sign and hhmm of the zone's standard-time offset
// from UTC; 28 ASCII bytes, no terminator. biasMinutes counts positive west of UTC.
void formatTimestamp(const platform::LocalTime& time, long biasMinutes, char* field);

// The timestamp of now.
void makeTimestamp(char* field);

} // namespace kov::message
