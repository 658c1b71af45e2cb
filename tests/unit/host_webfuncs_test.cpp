// Web functions that read the posted content or draw the counter.
#include <gtest/gtest.h>

#include <string>

#include "host/webfuncs.h"

using namespace kel::host;
using kel::Err;
using kel::err_number;

TEST(FormFields, UrlEncodedValuesByLiteralName) {
    std::string c = "&name=a+b&x=1&NAME=%41&na%6De=z";
    EXPECT_EQ(field_value(c, 2, "", "name", 4096), "a b\tA");
    EXPECT_EQ(field_value(c, 2, "", "x", 4096), "1");
    EXPECT_EQ(field_value(c, 2, "", "missing", 4096), "");
    EXPECT_EQ(field_value(c, 2, "", "name", 2), "a ");
    EXPECT_EQ(field_value("&e=", 2, "", "e", 4096), "");
}

TEST(FormFields, MultipartValues) {
    static const char kBody[] =
        "--XB\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nline1\r\nline2\r\n--XB\r\n"
        "Content-Disposition: form-data; name=\"up\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\n"
        "file\0" "data\r\n--XB\r\nContent-Disposition: form-data; name=\"F\"\n\nsecond\n--XB--\r\n";
    std::string c(kBody, sizeof kBody - 1);
    EXPECT_EQ(field_value(c, 3, "XB", "f", 4096), "line1\r\nline2\tsecond");
    EXPECT_EQ(field_value(c, 3, "XB", "up", 4096), std::string("file\0data", 9));
    EXPECT_EQ(field_names(c, 3, "XB"), "f\tup\tF");
}

TEST(FormFields, MultipartWithoutEmptyLineEnds) {
    EXPECT_EQ(field_value("Content-Disposition: form-data; name=\"a\"\r\nno blank line", 3, "b", "a", 4096), "");
    EXPECT_EQ(field_names("Content-Disposition: form-data; name=\"open", 3), "");
}

TEST(FormFields, NamesOnceInOrder) {
    EXPECT_EQ(field_names("&b=1&a=2&b=3&c%20d=4&noeq", 2), "b\ta\tc d");
    EXPECT_EQ(field_names("", 2), "");
}

TEST(WebCounter, SixGlyphsRightAligned) {
    std::string img;
    Err msg{};
    ASSERT_TRUE(counter_image(" 42\t", &img, &msg));
    std::string head = "Content-type: image/x-xbitmap\r\n\r\n#define number_width 96\n#define number_height 16\n\n"
                       "static char number_bits[] =\n{\n";
    EXPECT_EQ(img.substr(0, head.size()), head);
    EXPECT_NE(img.find("{\n  0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,\n"
                       "  0xe0,0x07,0xe0,0x07,0xe0,0x07,0xe0,0x07,"),
              std::string::npos);
    EXPECT_EQ(img.substr(img.size() - 4), "\n};\n");
}

TEST(WebCounter, BadCounters) {
    std::string img;
    Err msg{};
    EXPECT_FALSE(counter_image("1234567", &img, &msg));
    EXPECT_EQ(err_number(msg), 10115);
    EXPECT_FALSE(counter_image("12a", &img, &msg));
    EXPECT_EQ(err_number(msg), 10114);
    EXPECT_FALSE(counter_image("12 3", &img, &msg));
    EXPECT_EQ(err_number(msg), 10114);
    EXPECT_FALSE(counter_image("", &img, &msg));
    EXPECT_EQ(err_number(msg), 10114);
    EXPECT_FALSE(counter_image("123456x", &img, &msg));
    EXPECT_EQ(err_number(msg), 10115);
    EXPECT_TRUE(counter_image("123456 ", &img, &msg));
}

TEST(WebLogLine, CommonFormat) {
    std::string f[kLogFields];
    f[13] = "kept";
    ASSERT_TRUE(parse_common_line(
        "127.0.0.1 - frank [10/Oct/2000:13:55:36 -0700] \"GET /apache_pb.gif?x=1 HTTP/1.0\" 200 2326", f));
    EXPECT_EQ(f[0], "127.0.0.1");
    EXPECT_EQ(f[1], "-");
    EXPECT_EQ(f[2], "frank");
    EXPECT_EQ(f[3], "00:10:10");
    EXPECT_EQ(f[4], "13:55:36");
    EXPECT_EQ(f[5], "GET");
    EXPECT_EQ(f[6], "/apache_pb.gif");
    EXPECT_EQ(f[7], "HTTP/1.0");
    EXPECT_EQ(f[8], "200");
    EXPECT_EQ(f[9], "2326");
    EXPECT_EQ(f[10], "10");
    EXPECT_EQ(f[11], "-0700");
    EXPECT_EQ(f[13], "kept");
}

TEST(WebLogLine, CommonFormatRefusals) {
    std::string f[kLogFields];
    EXPECT_FALSE(parse_common_line("", f));
    EXPECT_FALSE(parse_common_line("h - u [10/Xyz/2000:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1", f));
    EXPECT_FALSE(parse_common_line("h - u [1/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1", f));
    EXPECT_FALSE(parse_common_line(std::string(80, 'h') + " - u [10/Oct/2000:1 -0700] \"GET / H\" 200 1", f));
    EXPECT_FALSE(parse_common_line("h - u [10/Oct/2000:13:55:36 -0700] \"GET / HTTP/1.0\" 200", f));
    EXPECT_EQ(f[0], "");
    ASSERT_TRUE(parse_common_line("h - u [10/oct/2000:1:2:3 +0000] \"GET / HTTP/1.0\" 304 -", f));
    EXPECT_EQ(f[9], "0");
}

TEST(WebLogLine, MsFormat) {
    std::string f[kLogFields];
    ASSERT_TRUE(parse_ms_line("192.168.1.1, -, 1/02/98, 12:00:00, W3SVC, SRV, 10.0.0.1, 100, 200, 300, 200, 0, GET, "
                              "/index.htm, a=b,",
                              f));
    EXPECT_EQ(f[0], "192.168.1.1");
    EXPECT_EQ(f[3], "98:01:02");
    EXPECT_EQ(f[10], "02");
    EXPECT_EQ(f[4], "12:00:00");
    EXPECT_EQ(f[12], "W3SVC");
    EXPECT_EQ(f[9], "300");
    EXPECT_EQ(f[8], "200");
    EXPECT_EQ(f[5], "GET");
    EXPECT_EQ(f[6], "/index.htm");
    EXPECT_EQ(f[18], "a=b");
    EXPECT_FALSE(parse_ms_line("a, b, 1/2/98, x", f));
}

TEST(FormFields, MultipartHeaderTextInsideAFileIsData) {
    std::string c =
        "--XB\r\nContent-Disposition: form-data; name=\"up\"; filename=\"h.txt\"\r\n\r\n"
        "Content-Disposition: form-data; name=\"evil\"\r\n\r\nphantom\r\n--XBnot a delimiter\r\n--XB--\r\n";
    EXPECT_EQ(field_value(c, 3, "XB", "evil", 4096), "");
    EXPECT_EQ(field_names(c, 3, "XB"), "up");
    EXPECT_EQ(field_value(c, 3, "XB", "up", 4096),
              "Content-Disposition: form-data; name=\"evil\"\r\n\r\nphantom\r\n--XBnot a delimiter");
}

TEST(FormFields, MultipartDelimiterOnlyAtLineStart) {
    std::string c = "preamble --XB\r\n--XB\r\ncontent-disposition:form-data;name=\"a\"\r\n\r\nx--XB y\r\n--XB--";
    EXPECT_EQ(field_value(c, 3, "XB", "A", 4096), "x--XB y");
    EXPECT_EQ(field_names(c, 3, "XB"), "a");
}

TEST(FormFields, MultipartEmptyBoundaryHasNoFields) {
    std::string c = "--\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n----\r\n";
    EXPECT_EQ(field_value(c, 3, "", "a", 4096), "");
    EXPECT_EQ(field_names(c, 3, ""), "");
}

TEST(FormFields, MultipartBadBodies) {
    // A boundary that never closes: the value runs to the end of the content.
    EXPECT_EQ(field_value("--B\nContent-Disposition: form-data; name=\"a\"\n\nopen", 3, "B", "a", 4096), "open");
    // Headers that never end, a name without its closing quote, no delimiter at all.
    EXPECT_EQ(field_value("--B\nContent-Disposition: form-data; name=\"a\"\n", 3, "B", "a", 4096), "");
    EXPECT_EQ(field_names("--B\nContent-Disposition: form-data; name=\"a\n\nv\n--B--", 3, "B"), "");
    EXPECT_EQ(field_names("Content-Disposition: form-data; name=\"a\"\n\nv\n", 3, "B"), "");
    // A part without a disposition is skipped; the empty value before a delimiter is empty.
    std::string c = "--B\nX-Other: 1\n\nskip\n--B\nContent-Disposition: form-data; name=\"e\"\n\n\n--B--";
    EXPECT_EQ(field_names(c, 3, "B"), "e");
    EXPECT_EQ(field_value(c, 3, "B", "e", 4096), "");
    EXPECT_EQ(field_value("--B\nContent-Disposition: form-data; name=\"e\"\n\n--B--", 3, "B", "e", 4096), "");
}

TEST(FormFields, MultipartLimits) {
    std::string big(5000, 'v');
    std::string c = "--B\r\nContent-Disposition: form-data; name=\"" + std::string(5000, 'n') + "\"\r\n\r\n" + big +
                    "\r\n--B\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\n" + big + "\r\n--B--\r\n";
    EXPECT_EQ(field_value(c, 3, "B", "v", 4096).size(), 4096u);
    EXPECT_EQ(field_value(c, 3, "B", "v", 100000), big);
    EXPECT_EQ(field_names(c, 3, "B"), std::string(4096, 'n') + "\tv");
}

TEST(FormFields, DecodedNameFallback) {
    std::string c = "&first+name=Ann&last%20name=Lee&x=1";
    EXPECT_EQ(field_value(c, 2, "", "first+name", 4096), "Ann");
    EXPECT_EQ(field_value(c, 2, "", "FIRST NAME", 4096), "Ann");
    EXPECT_EQ(field_value(c, 2, "", "last name", 4096), "Lee");
    EXPECT_EQ(field_value(c, 2, "", "first", 4096), "");
    // A literal match wins over the decoded names.
    EXPECT_EQ(field_value("&a+b=lit&a%20b=dec", 2, "", "a+b", 4096), "lit");
    EXPECT_EQ(field_value("&a+b=lit&a%20b=dec", 2, "", "a b", 4096), "lit\tdec");
}

TEST(FormFields, NulBytes) {
    std::string c = "&f=ab%00cd&f=e&n%00x=1";
    EXPECT_EQ(field_value(c, 2, "", "f", 4096), std::string("ab\0cd\te", 7));
    EXPECT_EQ(field_value(c, 2, "", "f", 4096, true), "ab\te");
    EXPECT_EQ(field_names(c, 2), "f\tn");
    static const char kPart[] = "--B\nContent-Disposition: form-data; name=\"b\"\n\n\x01\0\xff\n--B--";
    std::string m(kPart, sizeof kPart - 1);
    EXPECT_EQ(field_value(m, 3, "B", "b", 4096), std::string("\x01\0\xff", 3));
    EXPECT_EQ(field_value(m, 3, "B", "b", 4096, true), "\x01");
}

TEST(FormFields, TruncatedEscapeGivesEmptyValue) {
    EXPECT_EQ(field_value("&a=xy%4&b=1", 2, "", "a", 4096), "");
    EXPECT_EQ(field_value("&a=xy%", 2, "", "a", 4096), "");
    EXPECT_EQ(field_value("&a=%41", 2, "", "a", 4096), "A");
}

TEST(WebLogLine, CombinedFormat) {
    std::string f[kLogFields];
    f[15] = "kept";
    ASSERT_TRUE(parse_combined_line("1.2.3.4 - - [05/Mar/2024:08:01:02 +0100] \"GET /a?q=1 HTTP/1.1\" 200 512 "
                                    "\"http://ex.test/\" \"Mozilla/5.0 (X11; \\\"q\\\")\"",
                                    f));
    EXPECT_EQ(f[0], "1.2.3.4");
    EXPECT_EQ(f[3], "24:03:05");
    EXPECT_EQ(f[6], "/a");
    EXPECT_EQ(f[9], "512");
    EXPECT_EQ(f[12], "http://ex.test/");
    EXPECT_EQ(f[13], "Mozilla/5.0 (X11; \\\"q\\\")");
    EXPECT_EQ(f[15], "kept");
    // Extra fields after the user agent are ignored.
    ASSERT_TRUE(parse_combined_line("h - - [05/Mar/2024:08:01:02 +0100] \"GET / HTTP/1.1\" 304 - \"-\" \"ua\" 17", f));
    EXPECT_EQ(f[9], "0");
    EXPECT_EQ(f[12], "-");
    EXPECT_EQ(f[13], "ua");
}

TEST(WebLogLine, CombinedFormatRefusals) {
    std::string f[kLogFields];
    EXPECT_FALSE(parse_combined_line("h - - [05/Mar/2024:08:01:02 +0100] \"GET / HTTP/1.1\" 200 5", f));
    EXPECT_FALSE(parse_combined_line("h - - [05/Mar/2024:08:01:02 +0100] \"GET / HTTP/1.1\" 200 5 \"r\"", f));
    EXPECT_FALSE(parse_combined_line("h - - [05/Mar/2024:08:01:02 +0100] \"GET / HTTP/1.1\" 200 5 \"r\" \"open", f));
    EXPECT_FALSE(parse_combined_line(
        "h - - [05/Mar/2024:08:01:02 +0100] \"GET / HTTP/1.1\" 200 5 \"r\" \"" + std::string(1024, 'u') + "\"", f));
    EXPECT_EQ(f[0], "");
}
