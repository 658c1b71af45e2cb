// Web functions that read the posted content or draw the counter.
#include <gtest/gtest.h>

#include <string>

#include "host/webfuncs.h"

using namespace kel::host;

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
    EXPECT_EQ(field_names(c, 3), "f\tup\tF");
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
    int msg = 0;
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
    int msg = 0;
    EXPECT_FALSE(counter_image("1234567", &img, &msg));
    EXPECT_EQ(msg, 10115);
    EXPECT_FALSE(counter_image("12a", &img, &msg));
    EXPECT_EQ(msg, 10114);
    EXPECT_FALSE(counter_image("12 3", &img, &msg));
    EXPECT_EQ(msg, 10114);
    EXPECT_FALSE(counter_image("", &img, &msg));
    EXPECT_EQ(msg, 10114);
    EXPECT_FALSE(counter_image("123456x", &img, &msg));
    EXPECT_EQ(msg, 10115);
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
