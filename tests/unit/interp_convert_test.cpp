// Conversions, the float formatter at every decimals setting, and digit-string comparison.
#include <gtest/gtest.h>

#include <cmath>

#include "interp/data/convert.h"

using namespace kel::interp;

TEST(FloatFormat, DefaultDecimalsStripsZeros) {
    EXPECT_EQ(format_float(1.5, -1), "1.5");
    EXPECT_EQ(format_float(2.0, -1), "2.0");
    EXPECT_EQ(format_float(0.0, -1), "0.0");
    EXPECT_EQ(format_float(-2.5, -1), "-2.5");
    EXPECT_EQ(format_float(0.1 + 0.2, -1), "0.3");
    EXPECT_EQ(format_float(123456789.125, -1), "123456789.125");
}

TEST(FloatFormat, ExponentFormKeepsTwoDigitsAndZeros) {
    EXPECT_EQ(format_float(1e-5, -1), "1.00000000e-05");
    EXPECT_EQ(format_float(1e10, -1), "1.00000000e+10");
    EXPECT_EQ(format_float(1e10, 2), "1.00e+10");
    EXPECT_EQ(format_float(1e-300, -1), "1.00000000e-300");
}

TEST(FloatFormat, ZeroDecimalsRoundsHalfAway) {
    EXPECT_EQ(format_float(2.5, 0), "3");
    EXPECT_EQ(format_float(-2.5, 0), "-3");
    EXPECT_EQ(format_float(0.4, 0), "0");
    EXPECT_EQ(format_float(2147483647.0, 0), "2147483647");
    EXPECT_EQ(format_float(3e9, 0), "3.e+09");
}

TEST(FloatFormat, FixedDecimalsPad) {
    EXPECT_EQ(format_float(1.5, 1), "1.5");
    EXPECT_EQ(format_float(1.5, 2), "1.50");
    EXPECT_EQ(format_float(1.5, 3), "1.500");
    EXPECT_EQ(format_float(0.0, 3), "0.000");
    EXPECT_EQ(format_float(1.0 / 3, 4), "0.3333");
    EXPECT_EQ(format_float(2.0 / 3, 5), "0.66667");
    EXPECT_EQ(format_float(1.0, 6), "1.000000");
    EXPECT_EQ(format_float(1.0, 7), "1.0000000");
    EXPECT_EQ(format_float(1.0 / 3, 8), "0.33333333");
    EXPECT_EQ(format_float(0.00001, 3), "0.000");
}

TEST(FloatFormat, GeneralAndExponentSettings) {
    EXPECT_EQ(format_float(0.5, -2), "0.5");
    EXPECT_EQ(format_float(1e20, -2), "1e+20");
    EXPECT_EQ(format_float(1.5, -3), "1.500000e+00");
}

TEST(FloatFormat, DecimalsClamp) {
    EXPECT_EQ(clamp_decimals(9), 8);
    EXPECT_EQ(clamp_decimals(-4), -1);
    EXPECT_EQ(clamp_decimals(-3), -3);
    EXPECT_EQ(clamp_decimals(5), 5);
}

TEST(IntFormat, MostNegative) {
    EXPECT_EQ(format_int(-2147483647 - 1), "-2147483648");
    EXPECT_EQ(format_int(42), "42");
}

TEST(StringToInt, Rules) {
    int32_t v = 0;
    EXPECT_TRUE(parse_int_string(" 12", &v));
    EXPECT_EQ(v, 12);
    EXPECT_FALSE(parse_int_string("12 ", &v));
    EXPECT_FALSE(parse_int_string("", &v));
    EXPECT_FALSE(parse_int_string("-", &v));
    EXPECT_FALSE(parse_int_string("1-", &v));
    EXPECT_FALSE(parse_int_string("1.5", &v));
    EXPECT_TRUE(parse_int_string("+5", &v));
    EXPECT_EQ(v, 5);
    EXPECT_TRUE(parse_int_string("  -12", &v));
    EXPECT_EQ(v, -12);
    // Both rules literally: the check passes, the reading stops at the second sign.
    EXPECT_TRUE(parse_int_string("--5", &v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(parse_int_string("4294967297", &v));
    EXPECT_EQ(v, 1);
}

TEST(StringToFloat, Rules) {
    double d = 0;
    EXPECT_EQ(parse_float_string("1.5", &d), FloatParse::kOk);
    EXPECT_EQ(d, 1.5);
    EXPECT_EQ(parse_float_string(" -1e3", &d), FloatParse::kOk);
    EXPECT_EQ(d, -1000.0);
    EXPECT_EQ(parse_float_string(".5", &d), FloatParse::kOk);
    EXPECT_EQ(parse_float_string("5.", &d), FloatParse::kOk);
    EXPECT_EQ(parse_float_string("1.5 ", &d), FloatParse::kBad);
    EXPECT_EQ(parse_float_string("inf", &d), FloatParse::kBad);
    EXPECT_EQ(parse_float_string("nan", &d), FloatParse::kBad);
    EXPECT_EQ(parse_float_string("0x10", &d), FloatParse::kBad);
    EXPECT_EQ(parse_float_string("1e", &d), FloatParse::kBad);
    EXPECT_EQ(parse_float_string("", &d), FloatParse::kBad);
    EXPECT_EQ(parse_float_string("1e400", &d), FloatParse::kOverflow);
    EXPECT_EQ(parse_float_string("1e-400", &d), FloatParse::kOk);
}

TEST(FloatToInt, RoundingAndRange) {
    int32_t v = 0;
    EXPECT_TRUE(round_to_int(3.5, &v));
    EXPECT_EQ(v, 4);
    EXPECT_TRUE(round_to_int(-2.5, &v));
    EXPECT_EQ(v, -3);
    EXPECT_TRUE(round_to_int(2147483645.0, &v));
    EXPECT_FALSE(round_to_int(2147483646.0, &v));
    EXPECT_FALSE(round_to_int(-2147483646.0, &v));
    EXPECT_FALSE(round_to_int(std::nan(""), &v));
}

TEST(DigitStrings, Compare) {
    EXPECT_GT(compare_digit_strings("12345678901", "9"), 0);
    EXPECT_EQ(compare_digit_strings("-0", "0"), 0);
    EXPECT_EQ(compare_digit_strings("007", "7"), 0);
    EXPECT_LT(compare_digit_strings("-12", "-9"), 0);
    EXPECT_LT(compare_digit_strings("-1", "0"), 0);
    EXPECT_GT(compare_digit_strings(" +20", "19"), 0);
}

TEST(CodePage, RoundTrip1252) {
    std::string s = "\x80\xE9\x41";
    std::u16string w = ansi_to_wide(s);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0], u'\u20AC');
    EXPECT_EQ(w[1], u'\u00E9');
    EXPECT_EQ(wide_to_ansi(w), s);
    EXPECT_EQ(wide_to_ansi(u"\u4E2D"), "?");
}

TEST(FpPending, TakeClears) {
    fp_pending_set(kel::Err::MathDomain);
    EXPECT_EQ(fp_pending_peek(), 1341);
    EXPECT_EQ(fp_pending_take(), 1341);
    EXPECT_EQ(fp_pending_take(), 0);
}

TEST(HexDigits, EitherCaseAndNothingElse) {
    EXPECT_EQ(hex_digit_value('0'), 0);
    EXPECT_EQ(hex_digit_value('9'), 9);
    EXPECT_EQ(hex_digit_value('a'), 10);
    EXPECT_EQ(hex_digit_value('F'), 15);
    for (char32_t c : {U'g', U'G', U'/', U':', U'@', U'`', U' ', U'\0', char32_t{0xFF10}, char32_t{0xE9}})
        EXPECT_EQ(hex_digit_value(c), -1) << static_cast<uint32_t>(c);
    uint32_t v = 7;
    EXPECT_TRUE(parse_hex_digits("", &v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(parse_hex_digits("0aF9", &v));
    EXPECT_EQ(v, 0x0AF9u);
    // Eight digits fill 32 bits; a ninth shifts the first one out.
    EXPECT_TRUE(parse_hex_digits("FFFFFFFF", &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_TRUE(parse_hex_digits("123456789", &v));
    EXPECT_EQ(v, 0x23456789u);
    v = 5;
    EXPECT_FALSE(parse_hex_digits("12 4", &v));
    EXPECT_FALSE(parse_hex_digits("-1", &v));
    EXPECT_FALSE(parse_hex_digits("0x1", &v));
    EXPECT_EQ(v, 5u);
}
