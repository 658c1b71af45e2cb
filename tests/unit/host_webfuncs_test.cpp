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
