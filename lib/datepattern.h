// Patterns of date and time letters ("M/d/yyyy", "h:mm:ss tt", "'Date:' yyyy-MM-dd"): our
// own formatter, English names and "AM"/"PM" whatever the process locale, shared by
// `timeformat` and the date and time that `timedate` writes.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "lib/datetime.h"

namespace kel::lib {

// Outside single quotes a run of one letter is one field: H hour (HH two digits), h hour of
// the 12-hour clock, m minute, s second, t "AM"/"PM", M month (MMM "Jan", MMMM
// "January"), d day (ddd "Mon", dddd "Monday"), y or yy two-digit year, yyy or longer the
// year in four digits. One letter drops the leading zero. Quoted text is copied, '' inside
// it giving one quote; anything else is copied.
struct PatternFacts {
    bool date = false;        // M, d or y occur
    bool time = false;        // H, h, m, s or t occur
    bool open_quote = false;  // a quote is never closed (the rest is then quoted text)
    // The length of the pattern written as a C wide time format (a field as "%#H" or "%H",
    // "%" as "%%"): `timeformat` keeps the limits of that form.
    size_t c_length = 0;
};
PatternFacts scan_pattern(std::u16string_view pattern);
// Appends the pattern written for t (the weekday from its date) to out.
void render_pattern(std::u16string_view pattern, const DateTime& t, std::u16string* out);

// The time separator of section [intl] of win.ini ("STIME", first character), default ":".
char intl_time_separator();

}  // namespace kel::lib
