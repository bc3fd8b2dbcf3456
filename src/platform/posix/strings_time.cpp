// The module's string table (compiled in from the shared resource header) and local time.
#include "platform/faults.h"
#include "platform/platform.h"
#include "resources/strings.h"

#include <cstring>
#include <ctime>

namespace kov::platform {
namespace {

const char* stringById(unsigned id) {
    switch (id) {
    case KOV_IDS_COPYRIGHT: return KOV_STR_COPYRIGHT;
    case KOV_IDS_MAKER: return KOV_STR_MAKER;
    case KOV_IDS_PRODUCT: return KOV_STR_PRODUCT;
    case KOV_IDS_LANGUAGE: return KOV_STR_LANGUAGE;
    default: return nullptr;
    }
}

} // namespace

// There is one string table per process, so the instance is not consulted.
int loadString(ModuleHandle /*instance*/, unsigned id, char* buffer, int size) {
    if (faults::shouldFail(faults::Fault::LoadString)) return 0;
    if (buffer == nullptr || size <= 0) return 0;
    const char* text = stringById(id);
    if (text == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    std::size_t copied = std::strlen(text);
    if (copied > static_cast<std::size_t>(size - 1)) copied = static_cast<std::size_t>(size - 1);
    std::memcpy(buffer, text, copied);
    buffer[copied] = '\0';
    return static_cast<int>(copied);
}

// tzset() first: localtime_r need not notice a TZ changed since the process started.
LocalTime localTime() {
    tzset();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm parts{};
    localtime_r(&now.tv_sec, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min,         parts.tm_sec,    static_cast<int>(now.tv_nsec / 1000000)};
}

// `timezone` is the standard-time offset whatever the season, which is what the bias means;
// tzset() picks up a TZ changed since the last call.
long standardBiasMinutes() {
    tzset();
    return static_cast<long>(timezone / 60);
}

} // namespace kov::platform
