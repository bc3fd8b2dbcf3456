// The module's string table (compiled in from the shared resource header) and local time.
#include "platform/faults.h"
#include "platform/platform.h"
#include "resources/strings.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

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

namespace {

// Reading the zone again (tzset) costs a stat of /etc/localtime, and converting a time to local
// fields most of a thousand instructions; a reply's timestamp should pay neither every time. The
// zone is read again when TZ differs from the last reading, and otherwise at most once a second,
// so a change of TZ shows at once and a change of the system's zone within a second. The fields
// of the last second converted are kept for as long as the zone stays the same.
class ZoneCache {
public:
    LocalTime localTime() {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const int milliseconds = static_cast<int>(now.tv_nsec / 1000000);
        const std::lock_guard<std::mutex> hold(mutex_);
        refresh();
        if (!fieldsValid_ || now.tv_sec != fieldsSecond_) {
            std::tm parts{};
            localtime_r(&now.tv_sec, &parts);
            fields_ = LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                                parts.tm_hour,        parts.tm_min,     parts.tm_sec, 0};
            fieldsSecond_ = now.tv_sec;
            fieldsValid_ = true;
        }
        LocalTime result = fields_;
        result.milliseconds = milliseconds;
        return result;
    }

    // `timezone` is the standard-time offset whatever the season, which is what the bias means.
    long standardBiasMinutes() {
        const std::lock_guard<std::mutex> hold(mutex_);
        refresh();
        return biasMinutes_;
    }

private:
    // Called with mutex_ held.
    void refresh() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        const char* tz = std::getenv("TZ");
        const bool sameTz = read_ && (tz != nullptr) == hadTz_ && (tz == nullptr || tz_ == tz);
        if (sameTz && now.tv_sec == readSecond_) return;
        tzset();
        read_ = true;
        hadTz_ = tz != nullptr;
        tz_ = tz != nullptr ? tz : "";
        readSecond_ = now.tv_sec;
        biasMinutes_ = static_cast<long>(timezone / 60);
        fieldsValid_ = false;
    }

    std::mutex mutex_;
    bool read_ = false;
    bool hadTz_ = false;
    std::string tz_;
    std::time_t readSecond_ = 0;
    long biasMinutes_ = 0;
    bool fieldsValid_ = false;
    std::time_t fieldsSecond_ = 0;
    LocalTime fields_{};
};

ZoneCache& zoneCache() {
    static ZoneCache cache;
    return cache;
}

} // namespace

LocalTime localTime() { return zoneCache().localTime(); }

long standardBiasMinutes() { return zoneCache().standardBiasMinutes(); }

} // namespace kov::platform
