// The wall clock of the date and time functions and its conversion through TZ.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/clock.h"
#include "platform/process.h"

using namespace kel::platform;

namespace {

// Sets TZ for one test and puts the old value back.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* tz) {
        if (const char* old = std::getenv("TZ")) had_ = true, old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

constexpr int64_t kSecond = 1000000000;

TEST(Clock, LocalTimeFollowsAHalfHourZone) {
    ZoneGuard z("IST-5:30");
    LocalTime t = local_time_of(1704188045 * kSecond + 678 * 1000000);
    EXPECT_EQ(t.year, 2024);
    EXPECT_EQ(t.month, 1);
    EXPECT_EQ(t.day, 2);
    EXPECT_EQ(t.hour, 15);
    EXPECT_EQ(t.minute, 4);
    EXPECT_EQ(t.second, 5);
    EXPECT_EQ(t.millisecond, 678);
    EXPECT_EQ(t.weekday, 2);
    LocalTime u = utc_time_of(1704188045 * kSecond);
    EXPECT_EQ(u.hour, 9);
    EXPECT_EQ(u.minute, 34);
    // Just before midnight UTC is already the next day five and a half hours east.
    LocalTime late = local_time_of((1704153600 - 1) * kSecond);
    EXPECT_EQ(late.day, 2);
    EXPECT_EQ(late.hour, 5);
    EXPECT_EQ(late.minute, 29);
}

TEST(Clock, LocalFieldsGiveTheirMomentBack) {
    ZoneGuard z("IST-5:30");
    int64_t s = 0;
    ASSERT_TRUE(unix_time_of_local(LocalTime{2024, 1, 2, 15, 4, 5, 0, 0}, &s));
    EXPECT_EQ(s, 1704188045);
    ASSERT_TRUE(unix_time_of_local(LocalTime{1601, 1, 1, 0, 0, 0, 0, 0}, &s));
    LocalTime back = local_time_at(s);
    EXPECT_EQ(back.year, 1601);
    EXPECT_EQ(back.hour, 0);
}

TEST(Clock, MomentsBefore1970KeepTheirMilliseconds) {
    // 1969-12-31 23:59:59.250 UTC: the second is floored, not truncated towards 0.
    LocalTime u = utc_time_of(-750 * 1000000);
    EXPECT_EQ(u.year, 1969);
    EXPECT_EQ(u.second, 59);
    EXPECT_EQ(u.millisecond, 250);
}

TEST(Clock, WallClockNeverGoesBack) {
    int64_t a = wall_clock_ns();
    int64_t b = wall_clock_ns();
    EXPECT_GE(b, a);
    EXPECT_GT(a, int64_t{1600000000} * kSecond);
}

// The first readings of a process are system calls and the later ones go through the vDSO:
// across the change, which comes within these readings, no clock goes back or jumps.
TEST(Clock, ReadingsStayInStepWhereverTheyAreTaken) {
    uint64_t mono = perf_counter_ns(), ticks = tick_count64();
    int64_t unix_now = unix_time();
    for (int i = 0; i < 200; ++i) {
        uint64_t m = perf_counter_ns(), t = tick_count64();
        int64_t u = unix_time();
        EXPECT_GE(m, mono);
        EXPECT_GE(t, ticks);
        EXPECT_GE(u, unix_now);
        EXPECT_LT(m - mono, uint64_t{60} * kSecond);
        mono = m, ticks = t, unix_now = u;
    }
    EXPECT_GT(unix_now, int64_t{1600000000});
}

}  // namespace
