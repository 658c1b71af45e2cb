// The wall clock of the date and time functions: one reading of the real-time clock,
// carried forward on the monotonic counter.
#include "platform/clock.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/internal.h"

namespace kel::platform {

namespace detail {

// Readings by system call before the vDSO takes over.
constexpr int kSyscallReadings = 64;
int g_syscall_readings_left = kSyscallReadings;

void read_clock(clockid_t id, timespec* ts) {
    if (g_syscall_readings_left > 0) {
        --g_syscall_readings_left;
        if (syscall(SYS_clock_gettime, id, ts) == 0) return;
    }
    clock_gettime(id, ts);
}

int64_t monotonic_ms() {
    timespec ts;
    read_clock(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace detail

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
    detail::read_clock(CLOCK_REALTIME, &ts);
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

LocalTime fields_of(const struct tm& tm, int millisecond) {
    LocalTime lt{};
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // no leap second in a date-time string
    lt.millisecond = millisecond;
    lt.weekday = tm.tm_wday;
    return lt;
}

LocalTime local_fields(time_t t, int millisecond) {
    anchor();  // TZ read once per process
    struct tm tm;
    if (!localtime_r(&t, &tm)) return LocalTime{};
    return fields_of(tm, millisecond);
}

int millisecond_of(int64_t unix_ns) {
    int64_t ms = (unix_ns / 1000000) % 1000;
    return static_cast<int>(ms < 0 ? ms + 1000 : ms);
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

LocalTime local_time_of(int64_t unix_ns) { return local_fields(seconds_of(unix_ns), millisecond_of(unix_ns)); }

LocalTime local_time_at(int64_t unix_seconds) { return local_fields(static_cast<time_t>(unix_seconds), 0); }

LocalTime utc_time_of(int64_t unix_ns) {
    time_t t = seconds_of(unix_ns);
    struct tm tm;
    if (!gmtime_r(&t, &tm)) return LocalTime{};
    return fields_of(tm, millisecond_of(unix_ns));
}

bool unix_time_of_local(const LocalTime& t, int64_t* unix_seconds) {
    anchor();
    struct tm tm {};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    errno = 0;
    time_t s = mktime(&tm);
    if (s == static_cast<time_t>(-1) && errno != 0) return false;
    *unix_seconds = static_cast<int64_t>(s);
    return true;
}

}  // namespace kel::platform
