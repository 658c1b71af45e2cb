// The date-time parser, the calendar and the pattern formatter, below the builtins: the
// day-number round trip over three million days, fields at the 32-bit limit, and the
// exported parser other libraries call.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "interp/run/exec.h"
#include "lib/datepattern.h"
#include "lib/datetime.h"

extern "C" int32_t ParseYMDHMS(const char* text, int32_t* fields, int32_t mode, int32_t expand);

using namespace kel;
using namespace kel::lib;

namespace {

// The day number exactly as the calendar's definition writes it (years from 0).
int64_t formula_day_number(int64_t y, int64_t m, int64_t d) {
    int64_t a = y + (m + 9) / 12 + 399;
    int64_t b = (153 * ((m + 9) % 12) + 2) / 5;
    return b + a / 400 + 365 * a + a / 4 - a / 100 + d - 146037;
}

std::string parsed(std::string_view text, int mode, bool expand = true) {
    interp::Instance inst;
    DateTime t{};
    if (!parse_ymdhms(inst, text, mode, &t, expand)) return "invalid";
    char buf[96];
    std::snprintf(buf, sizeof buf, "%d %d %d %d %d %d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

TEST(DateTime, DayNumberRoundTripsAndMatchesTheFormula) {
    for (int64_t x = 1; x <= 3000000; ++x) {
        CivilDate c = civil_from_day_number(x);
        ASSERT_GE(c.day, 1);
        ASSERT_LE(c.day, month_length(c.year, c.month));
        ASSERT_EQ(day_number(c.year, c.month, c.day), x);
        ASSERT_EQ(formula_day_number(c.year, c.month, c.day), x) << c.year << "-" << c.month << "-" << c.day;
    }
    EXPECT_EQ(day_number(1, 1, 1), 367);
    EXPECT_EQ(day_number(1970, 1, 1), 719529);
    EXPECT_EQ(day_number(2000, 1, 1), 730486);
    EXPECT_EQ(weekday(2024, 1, 2), 2);   // a Tuesday
    EXPECT_EQ(weekday(1900, 1, 1), 1);   // a Monday
    // Before year 0 the count goes on without a gap (day_number is floor-based).
    EXPECT_EQ(day_number(-1, 12, 31), 0);
    CivilDate c = civil_from_day_number(0);
    EXPECT_EQ(c.year, -1);
    EXPECT_EQ(c.month, 12);
    EXPECT_EQ(c.day, 31);
}

TEST(DateTime, LeapYearsFollowTheGregorianRule) {
    EXPECT_TRUE(is_leap_year(2000));
    EXPECT_TRUE(is_leap_year(2024));
    EXPECT_TRUE(is_leap_year(0));
    EXPECT_FALSE(is_leap_year(1900));
    EXPECT_FALSE(is_leap_year(2023));
    EXPECT_EQ(month_length(1900, 2), 28);
    EXPECT_EQ(month_length(2000, 2), 29);
    EXPECT_EQ(month_length(2023, 11), 30);
    EXPECT_EQ(month_length(2023, 12), 31);
}

TEST(DateTime, ParserValidatesByMode) {
    EXPECT_EQ(parsed("2024:02:29:00:00:00", kYmdFull), "2024 2 29 0 0 0");
    EXPECT_EQ(parsed("2023:02:29:00:00:00", kYmdFull), "invalid");
    EXPECT_EQ(parsed("24:02:29", kYmdFull), "2024 2 29 0 0 0");
    EXPECT_EQ(parsed("99:12:31", kYmdFull), "1999 12 31 0 0 0");
    EXPECT_EQ(parsed("50:01:01", kYmdFull), "1950 1 1 0 0 0");
    EXPECT_EQ(parsed("49:01:01", kYmdFull), "2049 1 1 0 0 0");
    EXPECT_EQ(parsed("24:02:29", kYmdFull, false), "24 2 29 0 0 0");
    EXPECT_EQ(parsed("0024:01:01", kYmdFull), "24 1 1 0 0 0");
    EXPECT_EQ(parsed("20240:01:01", kYmdFull), "invalid");
    EXPECT_EQ(parsed("2024:1:5", kYmdFull), "2024 1 5 0 0 0");
    EXPECT_EQ(parsed("2024:01:01:24:00:00", kYmdFull), "invalid");
    EXPECT_EQ(parsed("2024:01:01:24:00:00", kYmdDate), "2024 1 1 0 0 0");
    EXPECT_EQ(parsed("2024:01:01:99:99:99", kYmdDate), "2024 1 1 99 99 99");
    EXPECT_EQ(parsed("2024:01:01:23:59:60", kYmdFull), "invalid");
    EXPECT_EQ(parsed("2024:01:01:23:60:59", kYmdFull), "invalid");
    EXPECT_EQ(parsed("0:0:0:23:59:59", kYmdTime), "0 0 0 23 59 59");
    EXPECT_EQ(parsed("0:0:0:24:00:00", kYmdTime), "invalid");
    EXPECT_EQ(parsed("2024:13:01", kYmdFull), "invalid");
    EXPECT_EQ(parsed("2024:00:01", kYmdFull), "invalid");
    EXPECT_EQ(parsed("2024:01:00", kYmdFull), "invalid");
    EXPECT_EQ(parsed("9999:99:99:99:99:99", kYmdSyntax), "9999 99 99 99 99 99");
}

TEST(DateTime, ParserRejectsBadShapes) {
    for (const char* bad : {"", "2024", "2024:01", "2024:01:01:00", "2024:01:01:00:00", "2024:01:01:00:00:00:00",
                            "2024::01:01", "2024:01:01:", " 2024:01:01", "2024:01:01 ", "-2024:01:01",
                            "+2024:01:01", "2024:01:0a", "2024.01.01"}) {
        EXPECT_EQ(parsed(bad, kYmdSyntax), "invalid") << bad;
    }
    EXPECT_EQ(parsed(std::string_view("2024:01\0:01", 11), kYmdSyntax), "invalid");
}

TEST(DateTime, FieldsStopAtTheThirtyTwoBitLimit) {
    EXPECT_EQ(parsed("0:0:0:0:0:2147483647", kYmdSyntax), "0 0 0 0 0 2147483647");
    EXPECT_EQ(parsed("0:0:0:0:0:2147483648", kYmdSyntax), "invalid");
    EXPECT_EQ(parsed("2147483647:0:0", kYmdSyntax), "2147483647 0 0 0 0 0");
    EXPECT_EQ(parsed("2147483648:0:0", kYmdSyntax), "invalid");
    EXPECT_EQ(parsed(std::string(40, '9') + ":0:0", kYmdSyntax), "invalid");
    // Leading zeros do not count against the value, only against the year's digits.
    EXPECT_EQ(parsed(std::string(40, '0') + "7:0:0", kYmdSyntax), "7 0 0 0 0 0");
    EXPECT_EQ(parsed(std::string(40, '0') + "7:1:1", kYmdFull), "invalid");
}

TEST(DateTime, ExportedParserFillsSixFields) {
    int32_t f[6] = {-1, -1, -1, -1, -1, -1};
    EXPECT_EQ(ParseYMDHMS("24:2:29:13:14:15", f, 1, 1), 1);
    EXPECT_EQ(f[0], 2024);
    EXPECT_EQ(f[2], 29);
    EXPECT_EQ(f[5], 15);
    EXPECT_EQ(ParseYMDHMS("24:2:29:13:14:15", f, 1, 0), 1);
    EXPECT_EQ(f[0], 24);
    EXPECT_EQ(ParseYMDHMS("2023:2:29:13:14:15", f, 1, 1), 0);
    EXPECT_EQ(ParseYMDHMS("2023:2:29:13:14:15", f, 0, 1), 1);
    EXPECT_EQ(ParseYMDHMS(nullptr, f, 1, 1), 0);
    EXPECT_EQ(ParseYMDHMS("2024:01:01", nullptr, 1, 1), 0);
}

TEST(DateTime, FormatHonoursTheFourDigitYearSetting) {
    interp::Instance inst;
    EXPECT_EQ(format_ymdhms(inst, {2024, 1, 2, 3, 4, 5}), "2024:01:02:03:04:05");
    EXPECT_EQ(format_ymdhms(inst, {24, 1, 2, 3, 4, 5}), "0024:01:02:03:04:05");
    EXPECT_EQ(format_ymdhms(inst, {10000, 1, 2, 3, 4, 5}), "10000:01:02:03:04:05");
    interp::exec_state(inst).four_digit_year = 0;
    EXPECT_EQ(format_ymdhms(inst, {2024, 1, 2, 3, 4, 5}), "24:01:02:03:04:05");
    EXPECT_EQ(format_ymdhms(inst, {10005, 12, 31, 0, 0, 0}), "05:12:31:00:00:00");
    EXPECT_EQ(format_ymdhms(inst, {7, 12, 31, 0, 0, 0}), "07:12:31:00:00:00");
}

std::string pattern(std::u16string_view p, DateTime t) {
    std::u16string out;
    render_pattern(p, t, &out);
    std::string s;
    for (char16_t c : out) s.push_back(static_cast<char>(c));
    return s;
}

TEST(DatePattern, WritesEnglishFieldsAndLiterals) {
    DateTime t{2024, 1, 2, 15, 4, 5};
    EXPECT_EQ(pattern(u"M/d/yyyy h:mm:ss tt", t), "1/2/2024 3:04:05 PM");
    EXPECT_EQ(pattern(u"MM/dd/yy HH:m:s", t), "01/02/24 15:4:5");
    EXPECT_EQ(pattern(u"ddd dddd MMM MMMM", t), "Tue Tuesday Jan January");
    EXPECT_EQ(pattern(u"dddddd MMMMMM yyyyy", {2024, 9, 4, 0, 0, 0}), "Wednesday September 2024");
    EXPECT_EQ(pattern(u"'Date:' yyyy-MM-dd", t), "Date: 2024-01-02");
    EXPECT_EQ(pattern(u"'it''s' h tt", {2024, 1, 1, 0, 0, 0}), "it's 12 AM");
    EXPECT_EQ(pattern(u"h tt", {2024, 1, 1, 12, 0, 0}), "12 PM");
    EXPECT_EQ(pattern(u"100% 'open", t), "100% open");
}

TEST(DatePattern, ScanReportsKindsAndTheCFormatLength) {
    PatternFacts f = scan_pattern(u"yyyy-MM-dd");
    EXPECT_TRUE(f.date);
    EXPECT_FALSE(f.time);
    EXPECT_EQ(f.c_length, 2u + 1 + 2 + 1 + 2);
    f = scan_pattern(u"H:m %");
    EXPECT_TRUE(f.time);
    EXPECT_FALSE(f.date);
    EXPECT_EQ(f.c_length, 3u + 1 + 3 + 1 + 2);
    f = scan_pattern(u"'abc");
    EXPECT_TRUE(f.open_quote);
    EXPECT_FALSE(f.date || f.time);
}

}  // namespace
