// The line reader against a character-at-a-time model of it, on texts built around its
// edges: NUL, end-of-file mark, the 2,048-character limit and the blank before a line feed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interp/front/loader.h"

using namespace kel::interp;

namespace {

struct Line {
    bool ok;
    std::string text;
    size_t first, pos;
    bool too_long;
    bool operator==(const Line& o) const {
        return ok == o.ok && text == o.text && first == o.first && pos == o.pos && too_long == o.too_long;
    }
};

Line model(const std::string& text, size_t pos) {
    Line l{false, "", pos, pos, false};
    size_t p = pos;
    if (p >= text.size() || text[p] == '\0') return l;
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    l.first = p;
    size_t n = 0;
    while (p < text.size()) {
        char c = text[p];
        if (c == '\0') break;
        if (c == '\n' || c == 0x1A) {
            ++p;
            break;
        }
        if (n == kLineMax) {
            if (!(c == ' ' && p + 1 < text.size() && text[p + 1] == '\n')) l.too_long = true;
            ++p;
            continue;
        }
        l.text += c;
        ++n;
        ++p;
    }
    l.ok = true;
    l.pos = p;
    return l;
}

Line real(const std::string& text, size_t pos) {
    std::vector<char> buf(kLineBufSize);
    size_t len = 0, first = 0;
    bool too_long = false;
    size_t p = pos;
    bool ok = read_line(text, p, buf.data(), &len, &first, &too_long);
    return Line{ok, std::string(buf.data(), len), ok ? first : pos, ok ? p : pos, too_long};
}

void expect_same_lines(const std::string& text) {
    size_t pos = 0;
    for (int guard = 0; guard < 100; ++guard) {
        Line want = model(text, pos), got = real(text, pos);
        ASSERT_TRUE(want == got) << "at " << pos << " of a text of " << text.size();
        if (!want.ok) return;
        if (want.pos == pos) return;  // a NUL right here: the text ends
        pos = want.pos;
    }
}

}  // namespace

TEST(ReadLine, MatchesModelAroundTerminators) {
    expect_same_lines("a\nb\x1A" "c\n\nd");
    expect_same_lines(std::string("ab\0cd\nef", 8));
    expect_same_lines(std::string("  \t\0x", 5));
    expect_same_lines("  \t");
    expect_same_lines("x\x1A\ny");
}

TEST(ReadLine, MatchesModelAtTheLengthLimit) {
    std::string x(kLineMax, 'x');
    expect_same_lines(x + "\nnext");
    expect_same_lines(x + " \nnext");   // one blank before the line feed is forgiven
    expect_same_lines(x + " ");         // not at the end of the text
    expect_same_lines(x + "  \nnext");  // two are not
    expect_same_lines(x + "y\nnext");
    expect_same_lines(x + " \x1Anext");
    expect_same_lines(x + std::string(" \0", 2));
    expect_same_lines("   " + x + "yy\n");
}
