// Loader pieces that need no instance: marker lines, the line reader, definition headers
// and the parameter line of Call.
#include <gtest/gtest.h>

#include <string>

#include "interp/front/loader.h"
#include "interp/run/udf.h"

using namespace kel::interp;

namespace {

struct Reader {
    std::string text;
    size_t pos = 0;
    char buf[kLineBufSize] = {};
    size_t len = 0, first = 0;
    bool too_long = false;
    bool next() { return read_line(text, pos, buf, &len, &first, &too_long); }
    std::string line() const { return std::string(buf, len); }
};

}  // namespace

TEST(LoaderMarker, RoundTripsLineAndPath) {
    std::string m = marker_line(1, "/x/a.web");
    EXPECT_EQ(m.substr(0, 8), std::string(";\vA@@@@A"));
    uint32_t n = 0;
    std::string_view path;
    ASSERT_TRUE(parse_marker(m, &n, &path));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(path, "/x/a.web");
    ASSERT_TRUE(parse_marker(marker_line(70000, "f"), &n, nullptr));
    EXPECT_EQ(n, 70000u);
    EXPECT_FALSE(parse_marker("; plain comment", &n, &path));
}

TEST(LoaderReadLine, SkipsLeadingBlanksAndReportsFirstOffset) {
    Reader r{"  \tabc\nlast"};
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.line(), "abc");
    EXPECT_EQ(r.first, 3u);
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.line(), "last");  // no final line feed
    EXPECT_FALSE(r.next());
}

TEST(LoaderReadLine, EmptyLineAndCtrlZ) {
    Reader r{"\na\x1A" "b\n"};
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.line(), "");
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.line(), "a");
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.line(), "b");
}

TEST(LoaderReadLine, ExactlyMaxWithCrLfIsNotCut) {
    Reader r{std::string(2048, 'x') + " \nnext"};
    ASSERT_TRUE(r.next());
    EXPECT_FALSE(r.too_long);
    EXPECT_EQ(r.len, 2048u);
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.line(), "next");
}

TEST(LoaderReadLine, LongerLineIsCutAndFlagged) {
    Reader r{std::string(5000, 'y') + "\nz"};
    ASSERT_TRUE(r.next());
    EXPECT_TRUE(r.too_long);
    EXPECT_EQ(r.len, 2048u);
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.line(), "z");
}

TEST(LoaderHeader, ParsesNameAndParameters) {
    UdfHeader h;
    ASSERT_TRUE(parse_udf_header(" Fib ( n , Other ) ; comment", &h));
    EXPECT_EQ(h.name, "fib");
    ASSERT_EQ(h.param_count, 2);
    EXPECT_EQ(h.params[0], "n");
    EXPECT_EQ(h.params[1], "other");
    ASSERT_TRUE(parse_udf_header(" none()", &h));
    EXPECT_EQ(h.param_count, 0);
}

TEST(LoaderHeader, RejectsBadSyntax) {
    UdfHeader h;
    EXPECT_FALSE(parse_udf_header(" f", &h));
    EXPECT_FALSE(parse_udf_header(" f(a", &h));
    EXPECT_FALSE(parse_udf_header(" f(a) x", &h));
    EXPECT_FALSE(parse_udf_header(" f(a,,b)", &h));
    EXPECT_FALSE(parse_udf_header(" " + std::string(31, 'n') + "()", &h));
    std::string many = " f(";
    for (int i = 0; i < 17; ++i) many += (i ? ",p" : "p") + std::to_string(i);
    EXPECT_FALSE(parse_udf_header(many + ")", &h));
}

TEST(CallParams, QuotedPartsJoinWords) {
    auto w = parse_param_line("a 'b c' d");
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[1], "b c");
    w = parse_param_line("x\"y z\"w `it``s`");
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], "xy zw");
    EXPECT_EQ(w[1], "it`s");
    EXPECT_TRUE(parse_param_line("  \t ").empty());
}

TEST(LoaderPrefix, CaseInsensitive) {
    EXPECT_TRUE(starts_with_ci("#INCLUDE x", "#include"));
    EXPECT_FALSE(starts_with_ci("#inc", "#include"));
}
