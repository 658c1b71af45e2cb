// Date-time strings YYYY:MM:DD:HH:MM:SS: the one parser, the calendar and day numbers, and
// the texts that the date and time functions and the file functions write. The builtins
// themselves are in lib/dates.cpp.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/base/instance.h"

namespace kel::lib {

using interp::Instance;

struct DateTime {
    int32_t year, month, day, hour, minute, second;
};

// Parser modes.
constexpr int kYmdSyntax = 0;  // syntax only: fields may have any value
constexpr int kYmdFull = 1;    // date and time validated
constexpr int kYmdDate = 2;    // date validated; hour 24 read as 0, the time otherwise unchecked
constexpr int kYmdTime = 3;    // time validated only

// ParseYMDHMS: six decimal fields (or three, a date alone) joined by ":", digits only, no
// "::". With `expand` a one- or two-digit year becomes 20yy below 50, else 19yy. False when
// the text is invalid, a field above 2^31 - 1 included; *out is then unspecified.
bool parse_ymdhms(Instance& inst, std::string_view text, int mode, DateTime* out, bool expand = true);

// The date-time string "%04d:%02d:%02d:%02d:%02d:%02d"; with the four-digit-year setting
// (IntControl 41) off, the year is the last two characters of its "%04d" text.
std::string format_ymdhms(Instance& inst, const DateTime& t);

// The form `timedate` gives: the three-letter day name, the short date and the time, as
// "Tue 1/2/2024 3:04:05 PM" (patterns "M/d/yyyy" and "h:mm:ss tt", or `sShortDate` and
// `sTimeFormat` of section [intl] of win.ini in the program directory).
std::string format_timedate(Instance& inst, const DateTime& t);

// The calendar: proleptic Gregorian, year 0 a leap year.
bool is_leap_year(int64_t year);
int month_length(int64_t year, int month);  // month 1 to 12
// Day number: 0000-01-01 is day 1, 1970-01-01 day 719529.
int64_t day_number(int64_t year, int month, int64_t day);
struct CivilDate {
    int64_t year;
    int month, day;
};
// The inverse of day_number for any day number (years before 0 included).
CivilDate civil_from_day_number(int64_t n);
// 0 = Sunday.
int weekday(int64_t year, int month, int64_t day);

}  // namespace kel::lib
