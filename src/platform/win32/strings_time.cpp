// The module's string table and the local clock, the two inputs of resource strings and
// timestamps.
#include "platform/faults.h"
#include "platform/win32/win32.h"

#include <mutex>

namespace kov::platform {

int loadString(ModuleHandle instance, unsigned id, char* buffer, int size) {
    const bool injected = faults::shouldFail(faults::Fault::LoadString);
    // With no room there is nothing LoadStringA could terminate.
    if (buffer == nullptr || size <= 0) return 0;
    buffer[0] = '\0';
    if (injected) return 0;
    return LoadStringA(win32::asModule(instance), id, buffer, size);
}

LocalTime localTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth,  now.wDay,         now.wHour,
                     now.wMinute, now.wSecond, now.wMilliseconds};
}

// GetTimeZoneInformation cost more than all the rest of a reply (some 12 us under Wine), so the
// bias is read again at most once a second: a change of the zone shows within a second.
long standardBiasMinutes() {
    static std::mutex lock;
    static bool read = false;
    static ULONGLONG readAt = 0;
    static long bias = 0;
    const ULONGLONG now = GetTickCount64();
    const std::lock_guard<std::mutex> hold(lock);
    if (read && now - readAt < 1000) return bias;
    // Bias is UTC minus local time in the zone's base (standard) setting. StandardBias and
    // DaylightBias are only added while that season is in force, so Bias alone is the offset with
    // daylight saving not applied, whatever the date.
    TIME_ZONE_INFORMATION zone;
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return 0;
    read = true;
    readAt = now;
    bias = zone.Bias;
    return bias;
}

} // namespace kov::platform
