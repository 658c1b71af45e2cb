// The wall clock the date and time functions read, and its conversion to local time
// (localtime_r and TZ) and to UTC.
#pragma once
#include <cstdint>
#include "platform/api.h"
#include "platform/process.h"

namespace kel::platform {

// Nanoseconds since 1970-01-01 UTC. The real-time clock is read once per process and
// carried forward on the monotonic high-resolution counter, so that within a run the clock
// never goes back and a wall-clock step neither ends a wait early nor stretches it.
// For tests, KEL_TEST_TIME=<seconds since 1970> starts the clock at that moment instead.
KEL_PLATFORM_API int64_t wall_clock_ns();
// The fields of a moment (wall_clock_ns() form) in local time and in UTC.
KEL_PLATFORM_API LocalTime local_time_of(int64_t unix_ns);
KEL_PLATFORM_API LocalTime utc_time_of(int64_t unix_ns);
// The same for whole seconds since 1970, whose range reaches past the nanoseconds' years
// 1677 to 2262 (file times).
KEL_PLATFORM_API LocalTime local_time_at(int64_t unix_seconds);
// The moment (seconds since 1970) a local date and time names (year, month, day, hour, minute, second; the
// rest ignored), through mktime and TZ; false when the system cannot express it. A time
// that a change to summer time skips counts as the time after the change.
KEL_PLATFORM_API bool unix_time_of_local(const LocalTime& t, int64_t* unix_seconds);

}  // namespace kel::platform
