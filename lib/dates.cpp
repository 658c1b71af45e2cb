// The time* family: the clock as date-time strings and for people, date arithmetic, day
// numbers, formatting and waits. The parser and the calendar are in lib/datetime.cpp.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "interp/api/builtin.h"
#include "lib/datepattern.h"
#include "lib/datetime.h"
#include "platform/clock.h"
#include "platform/msgq.h"
#include "platform/process.h"

namespace kel::lib {
namespace {

constexpr size_t kFormatMax = 2049;      // the format as a C wide time format, and the result
constexpr int32_t kDiffSecsDays = 22000;  // timediffsecs: about 60 years
constexpr int64_t kWaitSlice = 1000;      // ms: the clock is read again at least this often

DateTime to_datetime(const platform::LocalTime& t) {
    return {t.year, t.month, t.day, t.hour, t.minute, t.second};
}

DateTime local_now() { return to_datetime(platform::local_time_of(platform::wall_clock_ns())); }

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Year, month and a day that may lie outside the month (any size, either side): the date
// that many days on from the first of the month. This is what stepping month by month
// gives, in one step.
bool settle(int64_t year, int64_t month, int64_t day, int64_t h, int64_t mi, int64_t s, DateTime* out) {
    CivilDate c = civil_from_day_number(day_number(year, static_cast<int>(month), 1) + day - 1);
    if (c.year > std::numeric_limits<int32_t>::max() || c.year < std::numeric_limits<int32_t>::min()) return false;
    *out = {static_cast<int32_t>(c.year), c.month, c.day, static_cast<int32_t>(h), static_cast<int32_t>(mi),
            static_cast<int32_t>(s)};
    return true;
}

// Adds a delta whose fields may be any size; false when the year leaves the 32-bit field.
bool add_times(const DateTime& t, const DateTime& delta, DateTime* out) {
    int64_t ds = delta.second, dd = delta.day;
    if (ds > 86399) {
        dd += ds / 86400;
        ds %= 86400;
    }
    int64_t y = int64_t{t.year} + delta.year;
    int64_t m = int64_t{t.month} + delta.month;
    if (m > 12) {  // the target month, where the day is clamped (31 January + 1 month: 28/29 February)
        y += (m - 13) / 12 + 1;
        m = (m - 13) % 12 + 1;
    }
    int64_t d = std::min<int64_t>(t.day, month_length(y, static_cast<int>(m)));
    int64_t s = t.second + ds;
    int64_t mi = int64_t{t.minute} + delta.minute + s / 60;
    s %= 60;
    int64_t h = int64_t{t.hour} + delta.hour + mi / 60;
    mi %= 60;
    d += h / 24 + dd;
    h %= 24;
    return settle(y, m, d, h, mi, s, out);
}

// Subtracts a delta; false when the year falls below 0.
bool subtract_times(const DateTime& t, const DateTime& delta, DateTime* out) {
    int64_t ds = delta.second, dd = delta.day;
    if (ds > 86399) {
        dd += ds / 86400;
        ds %= 86400;
    }
    int64_t m = int64_t{t.month} - delta.month;
    int64_t y = int64_t{t.year} - delta.year;
    int64_t d = t.day;
    // The day is clamped only for these month numbers: a count that fell to 0 or below keeps
    // the day, which then runs on into the next month (31 January - 2 months: 1 December).
    if (m == 2) d = std::min<int64_t>(d, month_length(y, 2));
    if (m == 4 || m == 6 || m == 9 || m == 11) d = std::min<int64_t>(d, 30);
    int64_t s = int64_t{t.second} - ds;
    int64_t mi = int64_t{t.minute} - delta.minute + floor_div(s, 60);
    s = floor_mod(s, 60);
    int64_t h = int64_t{t.hour} - delta.hour + floor_div(mi, 60);
    mi = floor_mod(mi, 60);
    d += floor_div(h, 24) - dd;
    h = floor_mod(h, 24);
    if (m <= 0) {
        y -= (-m) / 12 + 1;
        m = 12 - (-m) % 12;
    }
    DateTime r;
    if (!settle(y, m, d, h, mi, s, &r) || r.year < 0) return false;
    *out = r;
    return true;
}

// The date-time argument n in `mode` (with year expansion), or the error `code`.
bool arg_time(Call& c, int n, int mode, Err code, DateTime* t) {
    if (parse_ymdhms(c.inst, c.str(n), mode, t)) return true;
    c.fail(code);
    return false;
}

bool before(const DateTime& a, const DateTime& b) {
    const int32_t x[6] = {a.year, a.month, a.day, a.hour, a.minute, a.second};
    const int32_t y[6] = {b.year, b.month, b.day, b.hour, b.minute, b.second};
    return std::lexicographical_compare(x, x + 6, y, y + 6);
}

// Serves pending messages; true once the script has been cancelled (the host's time-out,
// the end of the session) or the queue is quitting.
bool cancelled(Instance& inst) { return !platform::pump_messages() || inst.stop_requested; }

// Waits `ms` milliseconds through the wait primitive, which wakes for every message, timer
// (the host's time-out among them), signal and child exit; so no wait outlasts the time
// the script has left, and a cancelled script stops waiting at once.
void wait_ms(Instance& inst, int64_t ms) {
    uint64_t start = platform::tick_count64();
    for (;;) {
        if (cancelled(inst)) return;
        uint64_t gone = platform::tick_count64() - start;
        if (gone >= static_cast<uint64_t>(ms)) return;
        platform::wait_for_event(std::min<int64_t>(ms - static_cast<int64_t>(gone), kWaitSlice));
    }
}

// Waits until the clock (local or UTC) is no longer before `target`, or the script is
// cancelled.
void wait_until(Instance& inst, const DateTime& target, bool utc) {
    for (;;) {
        if (cancelled(inst)) return;
        int64_t ns = platform::wall_clock_ns();
        platform::LocalTime lt = utc ? platform::utc_time_of(ns) : platform::local_time_of(ns);
        DateTime now = to_datetime(lt);
        if (!before(now, target)) return;
        // Sleep to the next second at least, to the target at most (a slice at a time).
        int64_t left = (day_number(target.year, target.month, target.day) -
                        day_number(now.year, now.month, now.day)) * 86400 +
                       (target.hour - now.hour) * 3600 + (target.minute - now.minute) * 60 +
                       (target.second - now.second);
        int64_t ms = left > kWaitSlice / 1000 ? kWaitSlice : left * 1000 - lt.millisecond;
        platform::wait_for_event(std::max<int64_t>(ms, 1));
    }
}

// timeymdhms()
void timeymdhms_fn(Call& c) { c.ret_str(format_ymdhms(c.inst, local_now())); }

// timedate() and datetime(): "Tue 1/2/2024 3:04:05 PM"
void timedate_fn(Call& c) { c.ret_str(format_timedate(c.inst, local_now())); }

// getexacttime(): "15:04:05:67", hours to hundredths, joined by the time separator.
void getexacttime_fn(Call& c) {
    platform::LocalTime t = platform::local_time_of(platform::wall_clock_ns());
    char sep = intl_time_separator();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%c%02d%c%02d%c%02d", t.hour, sep, t.minute, sep, t.second, sep,
                  t.millisecond / 10);
    c.ret_str(buf);
}

// gettickcount(): milliseconds of the monotonic clock in 32 bits (negative past 2^31).
void gettickcount_fn(Call& c) { c.ret_int(static_cast<int32_t>(platform::tick_count())); }

// timeadd(datetime, delta)
void timeadd_fn(Call& c) {
    DateTime t, delta, r;
    if (!arg_time(c, 1, kYmdFull, Err::TimeAddFailed, &t) || !arg_time(c, 2, kYmdSyntax, Err::TimeAddFailed, &delta)) return;
    if (!add_times(t, delta, &r)) return (void)c.fail(Err::TimeAddFailed);
    c.ret_str(format_ymdhms(c.inst, r));
}

// timesubtract(datetime, delta)
void timesubtract_fn(Call& c) {
    DateTime t, delta, r;
    if (!arg_time(c, 1, kYmdFull, Err::TimeSubtractFailed, &t) || !arg_time(c, 2, kYmdSyntax, Err::TimeSubtractFailed, &delta)) return;
    if (!subtract_times(t, delta, &r)) return (void)c.fail(Err::TimeSubtractFailed);
    c.ret_str(format_ymdhms(c.inst, r));
}

// timediff(later, earlier): the difference in years, months, days, hours, minutes and
// seconds, shaped like a date-time string.
void timediff_fn(Call& c) {
    DateTime a, b;
    if (!arg_time(c, 1, kYmdFull, Err::TimeSubtractFailed, &a) || !arg_time(c, 2, kYmdFull, Err::TimeSubtractFailed, &b)) return;
    int32_t s = a.second - b.second, mi = a.minute - b.minute, h = a.hour - b.hour;
    int32_t d = a.day - b.day, mo = a.month - b.month, y = a.year - b.year;
    // Each field below 0 borrows one of the next larger.
    auto borrow_from = [](int32_t& field, int32_t& next, int32_t size) {
        if (field < 0) {
            field += size;
            --next;
        }
    };
    borrow_from(s, mi, 60);
    borrow_from(mi, h, 60);
    borrow_from(h, d, 24);
    borrow_from(mo, y, 12);
    // Days borrow the month before the later date's month, stretched to the earlier day.
    int prev = a.month == 1 ? 12 : a.month - 1;
    int32_t month_days = 31;
    if (prev == 2)
        month_days = std::max(is_leap_year(b.year) ? 29 : 28, b.day);
    else if (prev == 4 || prev == 6 || prev == 9 || prev == 11)
        month_days = b.day == 31 ? 31 : 30;
    while (d < 0) {
        d += month_days;
        --mo;
        borrow_from(mo, y, 12);
    }
    if (y < 0) return (void)c.fail(Err::TimeSubtractFailed);
    c.ret_str(format_ymdhms(c.inst, {y, mo, d, h, mi, s}));
}

int64_t days_between(const DateTime& a, const DateTime& b) {
    return day_number(a.year, a.month, a.day) - day_number(b.year, b.month, b.day);
}

// timediffdays(a, b): days a - b.
void timediffdays_fn(Call& c) {
    DateTime a, b;
    if (!arg_time(c, 1, kYmdFull, Err::TimeDiffBadTime, &a) || !arg_time(c, 2, kYmdFull, Err::TimeDiffBadTime, &b)) return;
    c.ret_int(static_cast<int32_t>(days_between(a, b)));
}

// timediffsecs(a, b): seconds a - b, for dates at most 22000 days apart.
void timediffsecs_fn(Call& c) {
    DateTime a, b;
    if (!arg_time(c, 1, kYmdFull, Err::TimeDiffBadTime, &a) || !arg_time(c, 2, kYmdFull, Err::TimeDiffBadTime, &b)) return;
    int64_t days = days_between(a, b);
    if (days > kDiffSecsDays || days < -kDiffSecsDays) return (void)c.fail(Err::TimeDiffOutOfRange);
    int64_t secs = ((days * 24 + a.hour - b.hour) * 60 + a.minute - b.minute) * 60 + a.second - b.second;
    c.ret_int(static_cast<int32_t>(secs));
}

// timejulianday(datetime): the day number, 0000-01-01 being day 1.
void timejulianday_fn(Call& c) {
    DateTime t;
    if (!arg_time(c, 1, kYmdDate, Err::TimeBadValue, &t)) return;
    c.ret_int(static_cast<int32_t>(day_number(t.year, t.month, t.day)));
}

// timejultoymd(day number): "YYYY:MM:DD:00:00:00", the year modulo 10000.
void timejultoymd_fn(Call& c) {
    int32_t n = c.integer(1);
    if (n <= 0) return (void)c.fail(Err::BadJulianDate);
    CivilDate d = civil_from_day_number(n);
    c.ret_str(format_ymdhms(c.inst, {static_cast<int32_t>(d.year % 10000), d.month, d.day, 0, 0, 0}));
}

// timeformat(datetime, format): the date-time written by the pattern, as a Unicode string.
void timeformat_fn(Call& c) {
    std::u16string_view format = c.wstr(2);
    PatternFacts f = scan_pattern(format);
    if (f.c_length > kFormatMax) return (void)c.fail(Err::StringTooLong);
    int mode = f.date && f.time ? kYmdFull : f.date ? kYmdDate : f.time ? kYmdTime : kYmdSyntax;
    DateTime t;
    if (!arg_time(c, 1, mode, Err::TimeBadValue, &t)) return;
    DateTime r{1900, 1, 1, 0, 0, 0};
    if (f.date) {
        r.year = t.year;
        r.month = t.month;
        r.day = t.day;
    }
    if (f.time) {
        r.hour = t.hour;
        r.minute = t.minute;
        r.second = t.second;
    }
    std::u16string out;
    render_pattern(format, r, &out);
    if (out.size() > kFormatMax) return (void)c.fail(Err::StringTooLong);
    c.ret_wide(out);
}

// timewait(datetime or "0:0:0:HH:MM:SS"): waits until then (a time of day already past
// means tomorrow); 1.
void timewait_fn(Call& c) {
    std::string_view text = c.str(1);
    bool shape = text.find("::") == std::string_view::npos && std::count(text.begin(), text.end(), ':') == 5 &&
                 text.find_first_not_of("0123456789:") == std::string_view::npos;
    DateTime t;
    if (!shape || !parse_ymdhms(c.inst, text, kYmdSyntax, &t)) return (void)c.fail(Err::WaitUntilBadTime);
    if (t.year == 0 && t.month == 0 && t.day == 0) {
        if (!parse_ymdhms(c.inst, text, kYmdTime, &t)) return (void)c.fail(Err::WaitUntilBadTime);
        DateTime now = local_now();
        DateTime today{now.year, now.month, now.day, t.hour, t.minute, t.second};
        t = today;
        if (before(today, now) && !add_times(today, {0, 0, 1, 0, 0, 0}, &t)) return (void)c.fail(Err::WaitUntilBadTime);
    } else if (!parse_ymdhms(c.inst, text, kYmdFull, &t)) {
        return (void)c.fail(Err::WaitUntilBadTime);
    }
    wait_until(c.inst, t, false);
    c.ret_int(1);
}

// timedelay(seconds): waits that long; 1.
void timedelay_fn(Call& c) {
    double x = c.flt(1);
    if (std::isnan(x)) return (void)c.fail(Err::WaitLongBadTime);
    uint64_t start = platform::tick_count64();
    // Computed in 64 bits: a delay past 2^63 ms is as good as endless, and the time-out
    // ends every wait anyway.
    constexpr double kEndless = 9.0e15;  // seconds
    if (x < 0) {
        double a = std::min(-x, kEndless);
        wait_ms(c.inst, static_cast<int64_t>(a * 1000.0));
        return c.ret_int(1);
    }
    // The whole seconds go into a date-time field, which holds at most 2^31 - 1.
    if (x >= 2147483648.0) return (void)c.fail(Err::WaitLongBadTime);
    int64_t s = static_cast<int64_t>(x);
    int64_t f = static_cast<int64_t>((x - static_cast<double>(s)) * 1000.0);
    DateTime now = to_datetime(platform::utc_time_of(platform::wall_clock_ns()));
    DateTime target;
    if (!add_times(now, {0, 0, 0, 0, 0, static_cast<int32_t>(s)}, &target)) return (void)c.fail(Err::WaitLongBadTime);
    wait_until(c.inst, target, true);
    if (f >= 100) wait_ms(c.inst, f);
    uint64_t want = static_cast<uint64_t>(s) * 1000 + static_cast<uint64_t>(f);
    uint64_t gone = platform::tick_count64() - start;
    if (gone < want) wait_ms(c.inst, static_cast<int64_t>(std::min<uint64_t>(want - gone, 1000)));
    c.ret_int(1);
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kDateBuiltins[] = {
    {"datetime", timedate_fn},
    {"getexacttime", getexacttime_fn},
    {"gettickcount", gettickcount_fn},
    {"timeadd", timeadd_fn},
    {"timedate", timedate_fn},
    {"timedelay", timedelay_fn},
    {"timediff", timediff_fn},
    {"timediffdays", timediffdays_fn},
    {"timediffsecs", timediffsecs_fn},
    {"timeformat", timeformat_fn},
    {"timejulianday", timejulianday_fn},
    {"timejultoymd", timejultoymd_fn},
    {"timesubtract", timesubtract_fn},
    {"timewait", timewait_fn},
    {"timeymdhms", timeymdhms_fn},
};

}  // namespace
KEL_BUILTIN_FAMILY(kDateBuiltins)
}  // namespace kel::lib
