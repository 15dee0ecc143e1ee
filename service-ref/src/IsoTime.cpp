#include "IsoTime.h"

#include <chrono>
#include <cstdio>

namespace skrib::service {
namespace {

struct CivilTime {
    std::int64_t year;
    unsigned month, day, hour, minute, second, millisecond;
};

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days since the epoch to a proleptic Gregorian date (H. Hinnant's civil_from_days).
CivilTime toCivil(std::int64_t millis) {
    const std::int64_t days = floorDiv(millis, 86'400'000);
    std::int64_t rest = millis - days * 86'400'000;
    CivilTime t{};
    t.millisecond = static_cast<unsigned>(rest % 1000);
    rest /= 1000;
    t.second = static_cast<unsigned>(rest % 60);
    rest /= 60;
    t.minute = static_cast<unsigned>(rest % 60);
    t.hour = static_cast<unsigned>(rest / 60);

    const std::int64_t z = days + 719468;
    const std::int64_t era = floorDiv(z, 146097);
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    t.day = doy - (153 * mp + 2) / 5 + 1;
    t.month = mp < 10 ? mp + 3 : mp - 9;
    t.year = static_cast<std::int64_t>(yoe) + era * 400 + (t.month <= 2 ? 1 : 0);
    return t;
}

} // namespace

std::string formatIsoUtcMillis(std::int64_t millisSinceEpoch) {
    const CivilTime t = toCivil(millisSinceEpoch);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ",
                  static_cast<long long>(t.year), t.month, t.day, t.hour, t.minute, t.second,
                  t.millisecond);
    return buffer;
}

std::string utcDay(std::int64_t millisSinceEpoch) {
    return formatIsoUtcMillis(millisSinceEpoch).substr(0, 10);
}

std::int64_t systemNowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace skrib::service
