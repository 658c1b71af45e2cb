// Request intake pieces: URL decoding, request text, path check, CONTENT_LENGTH,
// content types, the decimal rule and settings.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "host/intake.h"
#include "platform/process.h"

using namespace kel::host;

TEST(UrlDecode, PlusPercentAndPlain) {
    EXPECT_EQ(url_decode("a+b%41%4a%4A"), "a bAJJ");
    EXPECT_EQ(url_decode("%7e%7E"), "~~");
    EXPECT_EQ(url_decode(""), "");
}

TEST(UrlDecode, NonHexEscapeGivesFE) {
    EXPECT_EQ(url_decode("%zz"), "\xFE");
    EXPECT_EQ(url_decode("%G1x"), "\xFEx");
}

TEST(UrlDecode, ColonCountsAsTenInBase16) {
    // The base-conversion rule gives ':' the value 10, so "%1:" is 0x1A.
    EXPECT_EQ(url_decode("%1:"), "\x1A");
}

TEST(UrlDecode, TruncatedEscapeEmptiesTheResult) {
    char buf[16];
    EXPECT_EQ(url_decode("abc%4", buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(url_decode("abc%"), "");
}

TEST(UrlDecode, BoundedByTheBuffer) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(url_decode("abcdef", buf, sizeof buf), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(url_decode("abc", buf, 0), 0u);
    EXPECT_EQ(url_decode(std::string(10000, 'a'), 4096).size(), 4096u);
}

TEST(UrlDecode, KeepsEmbeddedNulBounded) {
    std::string s = url_decode("a%00b");
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[1], '\0');
}

TEST(RequestText, NameAndCommandDataFromDecodedQuery) {
    ParsedRequest r = parse_request_text(url_decode("report.web+2024+x"));
    EXPECT_EQ(r.script_name, "report.web");
    EXPECT_EQ(r.command_data, "2024 x");
    EXPECT_EQ(raw_command_data("report.web+2024+x"), "+2024+x");
}

TEST(RequestText, NameEndsAtSeparators) {
    EXPECT_EQ(parse_request_text("a.web?x").script_name, "a.web");
    EXPECT_EQ(parse_request_text("a.web?x").command_data, "x");
    EXPECT_EQ(parse_request_text("a.web\tx y").command_data, "x y");
    EXPECT_EQ(parse_request_text("a.web&x").script_name, "a.web");
    EXPECT_EQ(parse_request_text("a.web&x").command_data, "&x");  // "&" is not skipped
    EXPECT_EQ(parse_request_text("a.web+x").command_data, "+x");
    EXPECT_EQ(parse_request_text("").script_name, "");
}

TEST(RequestText, QuotedNameKeepsBlanks) {
    ParsedRequest r = parse_request_text("\"my script.web\" rest");
    EXPECT_EQ(r.script_name, "my script.web");
    EXPECT_EQ(r.command_data, "rest");
    ParsedRequest open = parse_request_text("\"no close");
    EXPECT_EQ(open.script_name, "no close");
    EXPECT_EQ(open.command_data, "");
}

TEST(RequestText, CommandDataLosesBackslashes) {
    EXPECT_EQ(parse_request_text("x.web a\\\\b\\c").command_data, "a\\bc");
    EXPECT_EQ(unescape_backslashes("\\\\\\"), "\\");
    EXPECT_EQ(unescape_backslashes("\\"), "");
}

TEST(RequestText, CommandDataCutAt4096) {
    ParsedRequest r = parse_request_text("x.web " + std::string(9000, 'q'));
    EXPECT_EQ(r.command_data.size(), 4096u);
    EXPECT_EQ(raw_command_data("+" + std::string(9000, 'q')).size(), 4096u);
}

TEST(RequestText, RawDataWithoutPlusIsEmpty) { EXPECT_EQ(raw_command_data("x.web"), ""); }

TEST(PathCheck, AcceptsPlainAndStripsLeadingSeparators) {
    std::string n = "/a/b.web";
    EXPECT_TRUE(path_check(n));
    EXPECT_EQ(n, "a/b.web");
    n = "\\\\x.web";
    EXPECT_TRUE(path_check(n));
    EXPECT_EQ(n, "x.web");
    n = "";
    EXPECT_TRUE(path_check(n));
    n = "sub/dir/ok.web";
    EXPECT_TRUE(path_check(n));
    n = "a..b.web";
    EXPECT_TRUE(path_check(n));
    n = ".hidden.web";
    EXPECT_TRUE(path_check(n));
}

TEST(PathCheck, RefusesHostileNames) {
    const char* hostile[] = {
        "..\\x.web", "../x.web", "c:x.web", "a//b.web", "a\\\\b.web", "a\\/b.web", "a/\\b.web",
        "..", "a/..", "a\\..", "/..", "x/.. /y.web", "x/.../y.web", "x/. ./y.web", "C:\\windows\\x.web",
        "\\\\?\\C:\\x.web", "a/b/../../../etc/passwd", "x.web\n", "x\r.web",
        "tab\t.web", "del\x7f.web", "a:b.web", "//etc/passwd/x//y.web",
    };
    for (const char* h : hostile) {
        std::string n = h;
        EXPECT_FALSE(path_check(n)) << "accepted: " << h;
    }
    std::string nul("a\0b.web", 7);
    EXPECT_FALSE(path_check(nul));
}

TEST(PathCheck, OverLongNameFailsInsteadOfBeingCut) {
    std::string n(260, 'a');
    EXPECT_TRUE(path_check(n));
    n = std::string(261, 'a');
    EXPECT_FALSE(path_check(n));
}

TEST(ContentLength, UnsignedDecimalWithBlanks) {
    EXPECT_EQ(parse_content_length("12"), 12u);
    EXPECT_EQ(parse_content_length("  7 "), 7u);
    EXPECT_EQ(parse_content_length("0"), 0u);
    EXPECT_EQ(parse_content_length("18446744073709551615"), UINT64_MAX);
}

TEST(ContentLength, SignedOrJunkMeansNoContent) {
    for (const char* bad : {"", " ", "-1", "+5", "12abc", "0x10", "1 2", "18446744073709551616", "99999999999999999999"})
        EXPECT_FALSE(parse_content_length(bad).has_value()) << bad;
}

TEST(ContentType, Classification) {
    std::string b;
    EXPECT_EQ(classify_content_type("", &b), 2);
    EXPECT_EQ(classify_content_type("application/x-www-form-urlencoded", &b), 2);
    EXPECT_EQ(classify_content_type("APPLICATION/X-WWW-FORM-URLENCODED; charset=UTF-8", &b), 2);
    EXPECT_EQ(classify_content_type("multipart/form-data; boundary=abc", &b), 3);
    EXPECT_EQ(b, "abc");
    EXPECT_EQ(classify_content_type("Multipart/Form-Data;boundary=\"q q\"", &b), 3);
    EXPECT_EQ(b, "q q");
    EXPECT_EQ(classify_content_type("multipart/form-data;  boundary=xyz; charset=x", &b), 3);
    EXPECT_EQ(b, "xyz");
    EXPECT_EQ(classify_content_type("text/plain", &b), 0);
    EXPECT_EQ(classify_content_type("multipart/form-data", &b), 0);
    // An empty or half-quoted boundary is multipart content; an empty one has no fields.
    EXPECT_EQ(classify_content_type("multipart/form-data; boundary=", &b), 3);
    EXPECT_EQ(b, "");
    EXPECT_EQ(classify_content_type("multipart/form-data; boundary=\"open", &b), 3);
    EXPECT_EQ(b, "open");
    EXPECT_EQ(classify_content_type("multipart/form-data; boundary=a b", &b), 3);
    EXPECT_EQ(b, "a");
}

TEST(DecimalRule, BlanksSignDigits) {
    EXPECT_EQ(decimal("  42abc"), 42);
    EXPECT_EQ(decimal("-17"), -17);
    EXPECT_EQ(decimal("+5"), 5);
    EXPECT_EQ(decimal(""), 0);
    EXPECT_EQ(decimal("x1"), 0);
    EXPECT_EQ(decimal("\t 9"), 9);
}

TEST(DecimalRule, SaturatesAtThe32BitLimits) {
    EXPECT_EQ(decimal("4294967296"), INT32_MAX);
    EXPECT_EQ(decimal("2147483647"), INT32_MAX);
    EXPECT_EQ(decimal("2147483648"), INT32_MAX);
    EXPECT_EQ(decimal("-2147483648"), INT32_MIN);
    EXPECT_EQ(decimal("-99999999999999999999999"), INT32_MIN);
    EXPECT_EQ(decimal(std::string(500, '9')), INT32_MAX);
}

TEST(NumericTest, DigitsToTheEnd) {
    EXPECT_TRUE(is_numeric(""));
    EXPECT_TRUE(is_numeric(" -12"));
    EXPECT_TRUE(is_numeric("+0"));
    EXPECT_FALSE(is_numeric("12 "));
    EXPECT_FALSE(is_numeric("1a"));
    EXPECT_FALSE(is_numeric("--1"));
}

TEST(BaseReading, Rules) {
    int32_t v = 0;
    EXPECT_TRUE(read_in_base("FF", 16, &v));
    EXPECT_EQ(v, 255);
    EXPECT_TRUE(read_in_base("ff", 16, &v));
    EXPECT_EQ(v, 255);
    EXPECT_TRUE(read_in_base("FFFFFFFF", 16, &v));
    EXPECT_EQ(v, -1);
    EXPECT_TRUE(read_in_base("1:", 16, &v));
    EXPECT_EQ(v, 26);
    EXPECT_FALSE(read_in_base("1G", 16, &v));
    EXPECT_FALSE(read_in_base("-1", 10, &v));
    EXPECT_TRUE(read_in_base("", 16, &v));
    EXPECT_EQ(v, 0);
}

TEST(Settings, ReadFromTarnwickIni) {
    std::string path = ::testing::TempDir() + "host_settings_TARNWICK.INI";
    {
        std::ofstream f(path, std::ios::binary);
        f << "; comment\r\n[tarnwick]\r\nErrorLog = \"/var/log/x.log\"\r\nTempDrive=d\r\nerrorlog=second\r\n"
             "[Other]\r\nKey=v\r\n";
    }
    HostState h;
    h.settings_path = path;
    EXPECT_EQ(read_setting(h, "TARNWICK", "ErrorLog"), "/var/log/x.log");
    EXPECT_EQ(read_setting(h, "TARNWICK", "TEMPDRIVE"), "d");
    EXPECT_EQ(read_setting(h, "TARNWICK", "Missing"), "");
    EXPECT_EQ(read_setting(h, "other", "key"), "v");
    std::remove(path.c_str());
}
