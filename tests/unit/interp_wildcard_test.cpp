// The wildcard matcher of strindexwild, strlenwild, strsubwild and itemlocatewild.
#include <gtest/gtest.h>

#include "lib/strutil.h"

namespace kel::lib {
namespace {

size_t wm(std::string_view s, std::string_view pat, size_t pos = 0) {
    NarrowText t(1252, false);
    return wild_match(t, s, pos, pat);
}

TEST(Wildcard, EmptyInputsNeverMatch) {
    EXPECT_EQ(wm("", "*"), 0u);
    EXPECT_EQ(wm("abc", ""), 0u);
    EXPECT_EQ(wm("abc", "a", 3), 0u);
}

TEST(Wildcard, LiteralsIgnoreCase) {
    EXPECT_EQ(wm("Hello", "hel"), 3u);
    EXPECT_EQ(wm("Hello", "HELLO"), 5u);
    EXPECT_EQ(wm("Hello", "help"), 0u);
    EXPECT_EQ(wm("\xe9t\xe9", "\xc9T\xc9"), 3u);  // é/É in 1252
}

TEST(Wildcard, QuestionMarkTakesOneCharacter) {
    EXPECT_EQ(wm("abc", "a?c"), 3u);
    EXPECT_EQ(wm("ab", "a??"), 0u);  // the string ends first
    EXPECT_EQ(wm("abc", "?"), 1u);
}

TEST(Wildcard, StarTakesTheRest) {
    EXPECT_EQ(wm("abcdef", "*"), 6u);
    EXPECT_EQ(wm("abcdef", "ab*"), 6u);
    EXPECT_EQ(wm("abcdef", "*cd"), 4u);
    EXPECT_EQ(wm("abcdef", "a*c*"), 6u);
    EXPECT_EQ(wm("abc", "abc**"), 3u);  // only stars may remain when the string ends
}

TEST(Wildcard, NoBacktrackingAfterStar) {
    // The first "b" is taken; the later one, which would let "?d" match, is never tried.
    EXPECT_EQ(wm("abxbcd", "*b?d"), 0u);
    EXPECT_EQ(wm("abxbc", "*bc"), 5u);  // the whole run is searched for
    EXPECT_EQ(wm("xab", "*a?"), 3u);
    EXPECT_EQ(wm("xa", "*a?"), 0u);
}

TEST(Wildcard, MatchesAtAPosition) {
    EXPECT_EQ(wm("xxabc", "ab", 2), 2u);
    EXPECT_EQ(wm("xxabc", "ab", 1), 0u);
}

TEST(Wildcard, DoubleByteQuestionMarkTakesBothBytes) {
    NarrowText t(932, true);
    std::string s = "\x82\xa0z";  // one double-byte character, then z
    EXPECT_EQ(wild_match(t, std::string_view(s), 0, std::string_view("?z")), 3u);
}

TEST(Wildcard, WideTextMatchesAlike) {
    WideText t;
    EXPECT_EQ(wild_match(t, std::u16string_view(u"\u00e9cole"), 0, std::u16string_view(u"\u00c9C*")), 5u);
    EXPECT_EQ(wild_min_units(std::u16string_view(u"*a?*")), 2u);
}

}  // namespace
}  // namespace kel::lib
