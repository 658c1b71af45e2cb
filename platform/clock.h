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

}  // namespace kel::platform
