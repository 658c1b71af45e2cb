// The wall clock of the date and time functions: one reading of the real-time clock,
// carried forward on the monotonic counter.
#include "platform/clock.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace kel::platform {

namespace {

struct Anchor {
    int64_t wall_ns;
    uint64_t mono_ns;
};

int64_t start_wall_ns() {
    // getenv directly: the exact name is the only spelling tests use.
    if (const char* fixed = std::getenv("KEL_TEST_TIME")) {
        char* end = nullptr;
        errno = 0;
        long long s = std::strtoll(fixed, &end, 10);
        // Beyond ±2^33 s (year 2242) the nanosecond count would near its 64-bit limit.
        if (errno == 0 && end != fixed && *end == '\0' && s > -(1LL << 33) && s < (1LL << 33))
            return static_cast<int64_t>(s) * 1000000000;
    }
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

const Anchor& anchor() {
    static const Anchor a = [] {
        tzset();
        Anchor x;
        x.mono_ns = perf_counter_ns();
        x.wall_ns = start_wall_ns();
        return x;
    }();
    return a;
}

LocalTime fields_of(const struct tm& tm, int64_t unix_ns) {
    LocalTime lt{};
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // no leap second in a date-time string
    int64_t ms = (unix_ns / 1000000) % 1000;
    lt.millisecond = static_cast<int>(ms < 0 ? ms + 1000 : ms);
    lt.weekday = tm.tm_wday;
    return lt;
}

time_t seconds_of(int64_t unix_ns) {
    int64_t s = unix_ns / 1000000000;
    if (unix_ns % 1000000000 < 0) --s;  // floor, so that the milliseconds stay 0 to 999
    return static_cast<time_t>(s);
}

}  // namespace

int64_t wall_clock_ns() {
    const Anchor& a = anchor();
    return a.wall_ns + static_cast<int64_t>(perf_counter_ns() - a.mono_ns);
}

LocalTime local_time_of(int64_t unix_ns) {
    anchor();  // TZ read once per process
    time_t t = seconds_of(unix_ns);
    struct tm tm;
    if (!localtime_r(&t, &tm)) return LocalTime{};
    return fields_of(tm, unix_ns);
}

LocalTime utc_time_of(int64_t unix_ns) {
    time_t t = seconds_of(unix_ns);
    struct tm tm;
    if (!gmtime_r(&t, &tm)) return LocalTime{};
    return fields_of(tm, unix_ns);
}

}  // namespace kel::platform
