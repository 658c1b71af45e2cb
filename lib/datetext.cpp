// The texts of dates and times that depend on the instance and the settings: the
// date-time string under the four-digit-year setting and the form `timedate` writes.
#include <cstdio>
#include <cstring>
#include <string>

#include "interp/api/services.h"
#include "interp/base/messages.h"
#include "lib/datepattern.h"
#include "lib/datetime.h"
#include "platform/profile.h"

namespace kel::lib {

std::string format_ymdhms(Instance& inst, const DateTime& t) {
    char year[16];
    std::snprintf(year, sizeof year, "%04d", t.year);
    const char* y = year;
    if (!interp::script_state(inst).four_digit_year) y += std::strlen(year) - 2;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s:%02d:%02d:%02d:%02d:%02d", y, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

namespace {

std::u16string widen(std::string_view s) {
    std::u16string w;
    for (unsigned char ch : s) w.push_back(ch);
    return w;
}

std::string narrow(std::u16string_view w) {
    std::string s;
    for (char16_t ch : w) s.push_back(static_cast<char>(ch));  // narrow patterns give bytes back
    return s;
}

// A configured pattern that cannot serve: empty, longer than the system allows (80), a
// quote left open, or fields of the other kind (a date pattern with an hour).
bool usable(const PatternFacts& f, size_t length, bool date) {
    if (length == 0 || length > 80 || f.open_quote) return false;
    return date ? f.date && !f.time : f.time && !f.date;
}

std::string intl(const char* key, const char* def) {
    return platform::profile_get_string("win.ini", "intl", key, def);
}

char first_or(const std::string& s, char def) { return s.empty() ? def : s[0]; }

// The older [intl] form, for a configured pattern that cannot serve.
std::string fallback_date(const DateTime& t) {
    int32_t order = platform::profile_get_int("win.ini", "intl", "iDate", 0);
    char sep = first_or(intl("sDate", "/"), '/');
    char year[16];
    if (intl("sShortDate", "M/d/yy").find("yyy") != std::string::npos)
        std::snprintf(year, sizeof year, "%04d", t.year);
    else
        std::snprintf(year, sizeof year, "%02d", t.year % 100);
    char buf[64];
    if (order == 2)
        std::snprintf(buf, sizeof buf, "%s%c%02d%c%02d", year, sep, t.month, sep, t.day);
    else if (order == 1)
        std::snprintf(buf, sizeof buf, "%2d%c%02d%c%s", t.day, sep, t.month, sep, year);
    else
        std::snprintf(buf, sizeof buf, "%2d%c%02d%c%s", t.month, sep, t.day, sep, year);
    return buf;
}

std::string fallback_time(const DateTime& t) {
    bool twelve = platform::profile_get_int("win.ini", "intl", "iTime", 0) == 0;
    char sep = intl_time_separator();
    int hour = t.hour;
    if (twelve) hour = hour % 12 == 0 ? 12 : hour % 12;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%2d%c%02d%c%02d", hour, sep, t.minute, sep, t.second);
    std::string s = buf;
    if (twelve) {
        s += ' ';
        s += t.hour < 12 ? intl("s1159", "AM") : intl("s2359", "PM");
    }
    return s;
}

std::string system_part(const DateTime& t, const char* key, const char* def, bool date) {
    std::string pattern = intl(key, def);
    std::u16string w = widen(pattern);
    if (!usable(scan_pattern(w), w.size(), date)) return date ? fallback_date(t) : fallback_time(t);
    std::u16string out;
    render_pattern(w, t, &out);
    return narrow(out);
}
}  // namespace

char intl_time_separator() { return first_or(intl("sTime", ":"), ':'); }

std::string format_timedate(Instance&, const DateTime& t) {
    int wd = weekday(t.year, t.month, t.day);
    // Day names from message 207 (a language file may replace it), three letters each.
    std::string_view names = interp::message_text(Err::DayNames);
    if (names.size() < 21) names = interp::builtin_message(Err::DayNames);
    std::string s(names.substr(static_cast<size_t>(wd) * 3, 3));
    s += ' ';
    s += system_part(t, "sShortDate", "M/d/yyyy", true);
    s += ' ';
    s += system_part(t, "sTimeFormat", "h:mm:ss tt", false);
    return s;
}
}  // namespace kel::lib
