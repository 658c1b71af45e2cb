// The date-time string parser, the calendar, the texts of dates and times and the pattern
// formatter behind them. The builtins that use them are in lib/dates.cpp.
#include "lib/datetime.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "interp/exec.h"
#include "interp/messages.h"
#include "lib/datepattern.h"
#include "platform/profile.h"
#include "shared/abi.h"

namespace kel::lib {

namespace {

bool parse_text(std::string_view text, int mode, DateTime* out, bool expand) {
    if (text.find("::") != std::string_view::npos) return false;
    int64_t f[6] = {};
    int field = 0;
    int colons = 0;
    int year_digits = 0;
    for (size_t i = 0; i < text.size() && field < 6; ++i) {
        char ch = text[i];
        if (ch >= '0' && ch <= '9') {
            f[field] = f[field] * 10 + (ch - '0');
            // Checked at every digit, so that the field never grows past 2^31 - 1 + 9.
            if (f[field] > std::numeric_limits<int32_t>::max()) return false;
            if (field == 0) ++year_digits;
        } else if (ch == ':') {
            ++field;
            ++colons;
        } else {
            return false;
        }
    }
    if (colons != 2 && colons != 5) return false;
    if (mode != kYmdSyntax) {
        if (mode == kYmdDate) {
            if (f[3] == 24) f[3] = 0;
        } else if (f[5] >= 60 || f[4] >= 60 || f[3] >= 24) {
            return false;
        }
        if (mode != kYmdTime) {
            if (f[2] == 0 || f[1] == 0 || f[1] > 12 || year_digits > 4) return false;
            if (expand && (year_digits == 1 || year_digits == 2)) f[0] += f[0] < 50 ? 2000 : 1900;
            if (f[2] > month_length(f[0], static_cast<int>(f[1]))) return false;
        }
    }
    *out = {static_cast<int32_t>(f[0]), static_cast<int32_t>(f[1]), static_cast<int32_t>(f[2]),
            static_cast<int32_t>(f[3]), static_cast<int32_t>(f[4]), static_cast<int32_t>(f[5])};
    return true;
}

}  // namespace

bool parse_ymdhms(Instance&, std::string_view text, int mode, DateTime* out, bool expand) {
    return parse_text(text, mode, out, expand);
}

std::string format_ymdhms(Instance& inst, const DateTime& t) {
    char year[16];
    std::snprintf(year, sizeof year, "%04d", t.year);
    const char* y = year;
    if (!interp::exec_state(inst).four_digit_year) y += std::strlen(year) - 2;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s:%02d:%02d:%02d:%02d:%02d", y, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

bool is_leap_year(int64_t year) { return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0); }

int month_length(int64_t year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2) return is_leap_year(year) ? 29 : 28;
    return kDays[(month - 1) % 12];
}

// Counted from 0000-03-01 in 400-year eras, so that the leap day ends its year; floor
// division keeps it exact before year 0 too. For years from 0 it is the day number's
// formula, with a = y + (m + 9) div 12 + 399 and b = (153 ((m + 9) mod 12) + 2) div 5.
int64_t day_number(int64_t year, int month, int64_t day) {
    int64_t y = month <= 2 ? year - 1 : year;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe + 61;  // 0000-03-01 is day 61
}

CivilDate civil_from_day_number(int64_t n) {
    int64_t z = n - 61;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

int weekday(int64_t year, int month, int64_t day) {
    int64_t w = (day_number(year, month, day) + 5) % 7;  // day 730486, 2000-01-01, was a Saturday
    return static_cast<int>(w < 0 ? w + 7 : w);
}

namespace {

constexpr const char* kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                         "July",    "August",   "September", "October", "November", "December"};
constexpr const char* kDayNames[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

enum class Field : char { None, Hour24, Hour12, Minute, Second, AmPm, Month, Day, Year };

Field field_of(char16_t ch) {
    switch (ch) {
    case u'H': return Field::Hour24;
    case u'h': return Field::Hour12;
    case u'm': return Field::Minute;
    case u's': return Field::Second;
    case u't': return Field::AmPm;
    case u'M': return Field::Month;
    case u'd': return Field::Day;
    case u'y': return Field::Year;
    default: return Field::None;
    }
}

// Calls lit(ch) for each character copied and field(kind, run length) for each field.
template <class Lit, class Fld>
bool walk_pattern(std::u16string_view p, Lit lit, Fld field) {
    size_t i = 0;
    while (i < p.size()) {
        char16_t ch = p[i];
        if (ch == u'\'') {
            ++i;
            for (;;) {
                if (i >= p.size()) return false;  // never closed
                if (p[i] == u'\'') {
                    if (i + 1 < p.size() && p[i + 1] == u'\'') {
                        lit(u'\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                lit(p[i++]);
            }
            continue;
        }
        Field k = field_of(ch);
        if (k == Field::None) {
            lit(ch);
            ++i;
            continue;
        }
        size_t run = 1;
        while (i + run < p.size() && p[i + run] == ch) ++run;
        field(k, run);
        i += run;
    }
    return true;
}

void append_ascii(std::u16string* out, const char* s) {
    while (*s) out->push_back(static_cast<char16_t>(*s++));
}

void append_number(std::u16string* out, int64_t v, int min_digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", min_digits, static_cast<long long>(v));
    append_ascii(out, buf);
}

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
    if (twelve) s += " " + (t.hour < 12 ? intl("s1159", "AM") : intl("s2359", "PM"));
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

PatternFacts scan_pattern(std::u16string_view pattern) {
    PatternFacts f;
    bool closed = walk_pattern(
        pattern, [&](char16_t ch) { f.c_length += ch == u'%' ? 2 : 1; },
        [&](Field k, size_t run) {
            if (k == Field::Month || k == Field::Day || k == Field::Year)
                f.date = true;
            else
                f.time = true;
            bool no_zero = run == 1 && k != Field::AmPm && k != Field::Year;
            f.c_length += no_zero ? 3 : 2;
        });
    f.open_quote = !closed;
    return f;
}

void render_pattern(std::u16string_view pattern, const DateTime& t, std::u16string* out) {
    int wd = weekday(t.year, t.month, t.day);
    walk_pattern(
        pattern, [&](char16_t ch) { out->push_back(ch); },
        [&](Field k, size_t run) {
            int two = run == 1 ? 1 : 2;
            switch (k) {
            case Field::Hour24: append_number(out, t.hour, two); break;
            case Field::Hour12: append_number(out, t.hour % 12 == 0 ? 12 : t.hour % 12, two); break;
            case Field::Minute: append_number(out, t.minute, two); break;
            case Field::Second: append_number(out, t.second, two); break;
            case Field::AmPm: append_ascii(out, t.hour < 12 ? "AM" : "PM"); break;
            case Field::Month:
                if (run <= 2)
                    append_number(out, t.month, two);
                else
                    out->append(widen(std::string_view(kMonthNames[(t.month + 11) % 12]).substr(0, run == 3 ? 3 : 9)));
                break;
            case Field::Day:
                if (run <= 2)
                    append_number(out, t.day, two);
                else
                    out->append(widen(std::string_view(kDayNames[wd]).substr(0, run == 3 ? 3 : 9)));
                break;
            case Field::Year:
                if (run <= 2)
                    append_number(out, t.year % 100, 2);
                else
                    append_number(out, t.year, 4);
                break;
            case Field::None: break;
            }
        });
}

char intl_time_separator() { return first_or(intl("sTime", ":"), ':'); }

std::string format_timedate(Instance&, const DateTime& t) {
    int wd = weekday(t.year, t.month, t.day);
    // Day names from message 207 (a language file may replace it), three letters each.
    std::string_view names = interp::message_text(207);
    if (names.size() < 21) names = interp::builtin_message(207);
    std::string s(names.substr(static_cast<size_t>(wd) * 3, 3));
    s += ' ';
    s += system_part(t, "sShortDate", "M/d/yyyy", true);
    s += ' ';
    s += system_part(t, "sTimeFormat", "h:mm:ss tt", false);
    return s;
}

}  // namespace kel::lib

// ParseYMDHMS(text, fields, mode, expand): 1 with the six fields filled, 0 when invalid.
// For other libraries: fields must hold six 32-bit integers.
KEL_EXPORT int32_t ParseYMDHMS(const char* text, int32_t* fields, int32_t mode, int32_t expand) {
    if (!text || !fields) return 0;
    kel::lib::DateTime t;
    if (!kel::lib::parse_text(text, mode, &t, expand != 0)) return 0;
    const int32_t v[6] = {t.year, t.month, t.day, t.hour, t.minute, t.second};
    std::memcpy(fields, v, sizeof v);
    return 1;
}
