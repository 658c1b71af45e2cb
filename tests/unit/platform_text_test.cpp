// Unit tests for the text services: code pages, character tables, word sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/unit/scratch_program_dir.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace kp = kel::platform;

namespace {

// Every test starts from the default ANSI page, whatever the settings file says.
class Text : public ::testing::Test {
protected:
    void SetUp() override { kp::set_ansi_code_page(1252); }
    void TearDown() override { kp::set_ansi_code_page(0); }
};

std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(char(b));
    return s;
}

int ws(const char* a, const char* b, bool nc = false) { return kp::compare_word_sort(a, b, nc); }

}  // namespace

TEST_F(Text, CodePage1252RoundTripsAll256Bytes) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(char(b));
    std::u16string w = kp::to_wide(all, 1252);
    ASSERT_EQ(w.size(), 256u);
    EXPECT_EQ(w[0x80], u'\u20AC');
    EXPECT_EQ(w[0x81], u'\u0081');
    EXPECT_EQ(w[0x8D], u'\u008D');
    EXPECT_EQ(w[0x8F], u'\u008F');
    EXPECT_EQ(w[0x90], u'\u0090');
    EXPECT_EQ(w[0x9D], u'\u009D');
    EXPECT_EQ(w[0x9F], u'\u0178');
    EXPECT_EQ(w[0xE9], u'\u00E9');
    bool lossy = true;
    EXPECT_EQ(kp::from_wide(w, 1252, &lossy), all);
    EXPECT_FALSE(lossy);
}

TEST_F(Text, AnsiAliasesFollowTheAnsiPage) {
    EXPECT_EQ(kp::ansi_code_page(), 1252u);
    EXPECT_EQ(kp::oem_code_page(), 437u);
    EXPECT_EQ(kp::to_wide("\x80", kp::kCpAcp), u"\u20AC");
    EXPECT_EQ(kp::to_wide("\x80", kp::kCpOemCp), u"\u00C7");
}

TEST_F(Text, UnconvertibleBecomesQuestionMarkNeverBestFit) {
    bool lossy = false;
    // U+0141 has a look-alike "L" that best fit would pick; we must not.
    EXPECT_EQ(kp::from_wide(u"a\u0141b\u4E2D", 1252, &lossy), "a?b?");
    EXPECT_TRUE(lossy);
    EXPECT_EQ(kp::from_wide(u"\u2215", 1252, &lossy), "?");  // not "/"
    EXPECT_EQ(kp::from_wide(u"\u00E9", 20127, &lossy), "?");
    EXPECT_TRUE(lossy);
    EXPECT_EQ(kp::from_wide(u"\u00E9", 28591, &lossy), "\xE9");
    EXPECT_FALSE(lossy);
    EXPECT_EQ(kp::from_wide(u"\u0100", 28591, &lossy), "?");
    EXPECT_TRUE(lossy);
}

TEST_F(Text, AsciiAndLatin1Pages) {
    EXPECT_EQ(kp::to_wide(bytes({0x41, 0xE9}), 20127), u"A?");
    EXPECT_EQ(kp::to_wide(bytes({0x41, 0xE9, 0x80}), 28591), u"A\u00E9\u0080");
}

TEST_F(Text, OemPagesDecodeAndEncode) {
    EXPECT_EQ(kp::to_wide(bytes({0x82, 0xE1, 0xFF}), 437), u"\u00E9\u00DF\u00A0");
    EXPECT_EQ(kp::to_wide(bytes({0x9B, 0xD5}), 850), u"\u00F8\u0131");
    EXPECT_EQ(kp::from_wide(u"\u00E9\u2591", 437), bytes({0x82, 0xB0}));
    EXPECT_EQ(kp::from_wide(u"\u00F8", 437), "?");
    EXPECT_EQ(kp::from_wide(u"\u00F8", 850), bytes({0x9B}));
}

TEST_F(Text, OemPagesRoundTripTheirUpperHalf) {
    for (uint32_t cp : {437u, 850u}) {
        for (int b = 0x80; b < 256; ++b) {
            std::string one(1, char(b));
            std::u16string ours = kp::to_wide(one, cp);
            ASSERT_EQ(ours.size(), 1u);
            EXPECT_EQ(kp::from_wide(ours, cp), one) << cp << " byte " << b;
        }
    }
}

TEST_F(Text, Utf8WithSurrogatePairs) {
    std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
    std::u16string w = kp::to_wide(utf8, 65001);
    EXPECT_EQ(w, u"a\u00E9\u20AC\U0001F600z");
    ASSERT_EQ(w.size(), 6u);
    EXPECT_EQ(w[3], 0xD83D);
    EXPECT_EQ(w[4], 0xDE00);
    bool lossy = true;
    EXPECT_EQ(kp::from_wide(w, 65001, &lossy), utf8);
    EXPECT_FALSE(lossy);
}

TEST_F(Text, Utf8InvalidInputBecomesReplacementCharacters) {
    EXPECT_EQ(kp::to_wide("\xC3", 65001), u"\uFFFD");
    EXPECT_EQ(kp::to_wide("\xC0\xAF", 65001), u"\uFFFD\uFFFD");        // overlong
    EXPECT_EQ(kp::to_wide("\xED\xA0\x80", 65001), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(kp::to_wide("\xF4\x90\x80\x80", 65001).substr(0, 1), u"\uFFFD");
    EXPECT_EQ(kp::to_wide("\xE2\x82x", 65001), u"\uFFFDx");
    bool lossy = false;
    EXPECT_EQ(kp::from_wide(u"a\xD800" u"b", 65001, &lossy), "a\xEF\xBF\xBD" "b");
    EXPECT_TRUE(lossy);
}

TEST_F(Text, IconvPagesConvertBothWays) {
    ASSERT_TRUE(kp::code_page_valid(1250));
    // 1250: 0x8A is S with caron, 0xB9 a with ogonek.
    EXPECT_EQ(kp::to_wide(bytes({0x8A, 0xB9}), 1250), u"\u0160\u0105");
    bool lossy = true;
    EXPECT_EQ(kp::from_wide(u"\u0160\u0105", 1250, &lossy), bytes({0x8A, 0xB9}));
    EXPECT_FALSE(lossy);
    EXPECT_EQ(kp::from_wide(u"x\u00C6y", 1250, &lossy), "x?y");  // no AE in 1250
    EXPECT_TRUE(lossy);
    EXPECT_EQ(kp::to_wide(bytes({0xC0}), 1251), u"\u0410");
}

TEST_F(Text, DoubleBytePagesThroughIconv) {
    ASSERT_TRUE(kp::code_page_valid(932));
    std::string sjis = bytes({0x93, 0xFA, 0x96, 0x7B});  // 日本
    EXPECT_EQ(kp::to_wide(sjis, 932), u"\u65E5\u672C");
    EXPECT_EQ(kp::from_wide(u"\u65E5\u672C", 932), sjis);
    EXPECT_TRUE(kp::is_dbcs_code_page(932));
    EXPECT_TRUE(kp::is_lead_byte(0x93, 932));
    EXPECT_FALSE(kp::is_lead_byte(0x41, 932));
    EXPECT_FALSE(kp::is_lead_byte(0xA0, 932));
    EXPECT_TRUE(kp::is_lead_byte(0xA0, 936));
    EXPECT_FALSE(kp::is_lead_byte(0x93, 1252));
    EXPECT_FALSE(kp::is_dbcs_code_page(1252));
    EXPECT_FALSE(kp::is_dbcs_code_page(65001));
    EXPECT_FALSE(kp::is_lead_byte(0x93));
}

TEST_F(Text, InvalidCodePagesAreRefused) {
    EXPECT_FALSE(kp::code_page_valid(12345));
    EXPECT_FALSE(kp::code_page_valid(1200));  // UTF-16 is not a multi-byte page
    EXPECT_TRUE(kp::code_page_valid(0));
    EXPECT_TRUE(kp::code_page_valid(1252));
    EXPECT_TRUE(kp::code_page_valid(65001));
    EXPECT_EQ(kp::to_wide("abc", 12345), u"");
    EXPECT_EQ(kp::from_wide(u"abc", 12345), "");
}

TEST_F(Text, BufferFormsReportTheNeededLengthAndNeverSplitACharacter) {
    EXPECT_EQ(kp::to_wide("abc", 1252, nullptr, 0), 3u);
    char16_t w[8] = {};
    EXPECT_EQ(kp::to_wide("\xF0\x9F\x98\x80", 65001, w, 1), 2u);  // pair does not fit in 1
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(kp::to_wide("\xF0\x9F\x98\x80", 65001, w, 2), 2u);
    EXPECT_EQ(w[1], 0xDE00);
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(kp::from_wide(u"a\u20AC", 65001, out, 3), 4u);  // euro takes 3 bytes
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], '#');
    EXPECT_EQ(kp::from_wide(u"", 65001, out, 4), 0u);
}

TEST_F(Text, CharacterClassesOf1252) {
    EXPECT_TRUE(kp::is_alpha('a'));
    EXPECT_TRUE(kp::is_alpha(0xE9));  // é
    EXPECT_TRUE(kp::is_alpha(0x8A));  // Š
    EXPECT_TRUE(kp::is_alpha(0xDF));  // ß
    EXPECT_FALSE(kp::is_alpha('1'));
    EXPECT_FALSE(kp::is_alpha(0x80));  // €
    EXPECT_FALSE(kp::is_alpha(0xD7));  // ×
    EXPECT_TRUE(kp::is_alnum('7'));
    EXPECT_TRUE(kp::is_digit('0'));
    EXPECT_TRUE(kp::is_upper(0xC9));
    EXPECT_TRUE(kp::is_lower(0xFF));
    EXPECT_TRUE(kp::is_space(' '));
    EXPECT_TRUE(kp::is_space('\t'));
    EXPECT_TRUE(kp::is_space(0xA0));
    EXPECT_TRUE(kp::is_punct('!'));
    EXPECT_TRUE(kp::is_punct(0x80));
    EXPECT_TRUE(kp::is_cntrl(0x01));
    EXPECT_TRUE(kp::is_cntrl(0x81));
    EXPECT_FALSE(kp::is_punct('a'));
}

TEST_F(Text, CharTypeBitsHaveTheWindowsValues) {
    EXPECT_EQ(kp::char_type_bits('A'), 0x181);   // upper, xdigit, alpha
    EXPECT_EQ(kp::char_type_bits('g'), 0x102);   // lower, alpha
    EXPECT_EQ(kp::char_type_bits('5'), 0x84);    // digit, xdigit
    EXPECT_EQ(kp::char_type_bits(' '), 0x48);    // space, blank
    EXPECT_EQ(kp::char_type_bits('\t'), 0x68);   // space, cntrl, blank
    EXPECT_EQ(kp::char_type_bits('\n'), 0x28);   // space, cntrl
    EXPECT_EQ(kp::char_type_bits(','), 0x10);
    EXPECT_EQ(kp::char_type_bits(0), 0x20);
    EXPECT_EQ(kp::char_type_bits(0xC9), 0x101);  // É
    EXPECT_EQ(kp::char_type_bits_w(u'\u0416'), 0x101);
    EXPECT_EQ(kp::char_type_bits_w(u'\u4E2D'), 0x100);
}

TEST_F(Text, CaseMappingOf1252) {
    EXPECT_EQ(kp::to_upper('a'), 'A');
    EXPECT_EQ(kp::to_lower('Z'), 'z');
    EXPECT_EQ(kp::to_upper(0xE9), 0xC9);  // é -> É
    EXPECT_EQ(kp::to_lower(0xC9), 0xE9);
    EXPECT_EQ(kp::to_upper(0x9A), 0x8A);  // š -> Š
    EXPECT_EQ(kp::to_lower(0x8A), 0x9A);
    EXPECT_EQ(kp::to_upper(0xFF), 0x9F);  // ÿ -> Ÿ
    EXPECT_EQ(kp::to_lower(0x9F), 0xFF);
    EXPECT_EQ(kp::to_upper(0x9C), 0x8C);  // œ -> Œ
    EXPECT_EQ(kp::to_upper(0xDF), 0xDF);  // ß has no single upper case
    EXPECT_EQ(kp::to_upper(0xB5), 0xB5);  // µ: its upper case is not in 1252
    EXPECT_EQ(kp::to_upper(0xF7), 0xF7);  // ÷
    EXPECT_EQ(kp::to_lower(0xD7), 0xD7);  // ×
    EXPECT_EQ(kp::to_upper('1'), '1');
    std::string s = "H\xE9llo \x9A\xFF!";
    kp::upper_in_place(s.data(), s.size());
    EXPECT_EQ(s, "H\xC9LLO \x8A\x9F!");
    kp::lower_in_place(s.data(), s.size());
    EXPECT_EQ(s, "h\xE9llo \x9A\xFF!");
}

TEST_F(Text, WideCaseMapping) {
    EXPECT_EQ(kp::to_upper_w(u'\u00E9'), u'\u00C9');
    EXPECT_EQ(kp::to_upper_w(u'\u00FF'), u'\u0178');
    EXPECT_EQ(kp::to_lower_w(u'\u0178'), u'\u00FF');
    EXPECT_EQ(kp::to_upper_w(u'\u0142'), u'\u0141');  // ł
    EXPECT_EQ(kp::to_lower_w(u'\u0139'), u'\u013A');  // Ĺ
    EXPECT_EQ(kp::to_upper_w(u'\u017E'), u'\u017D');  // ž
    EXPECT_EQ(kp::to_upper_w(u'\u03B1'), u'\u0391');
    EXPECT_EQ(kp::to_upper_w(u'\u03C2'), u'\u03A3');  // final sigma
    EXPECT_EQ(kp::to_lower_w(u'\u0401'), u'\u0451');  // Ё
    EXPECT_EQ(kp::to_upper_w(u'\u0436'), u'\u0416');
    EXPECT_EQ(kp::to_upper_w(u'\u00DF'), u'\u00DF');
    EXPECT_EQ(kp::to_upper_w(u'\u4E2D'), u'\u4E2D');
    EXPECT_TRUE(kp::is_upper_w(u'\u0130'));
    EXPECT_TRUE(kp::is_lower_w(u'\u0131'));
    EXPECT_TRUE(kp::is_alpha_w(u'\u0161'));
    std::u16string w = u"stra\u00DFe \u0161\u00E9";
    kp::upper_in_place_w(w.data(), w.size());
    EXPECT_EQ(w, u"STRA\u00DFE \u0160\u00C9");
    kp::lower_in_place_w(w.data(), w.size());
    EXPECT_EQ(w, u"stra\u00DFe \u0161\u00E9");
}

TEST_F(Text, OtherAnsiPageBuildsItsTablesFromTheCodePage) {
    kp::set_ansi_code_page(1250);
    EXPECT_EQ(kp::ansi_code_page(), 1250u);
    EXPECT_TRUE(kp::is_alpha(0xB9));      // ą
    EXPECT_EQ(kp::to_upper(0xB9), 0xA5);  // Ą
    EXPECT_EQ(kp::to_lower(0xA5), 0xB9);
    EXPECT_EQ(kp::to_upper('q'), 'Q');
    kp::set_ansi_code_page(1251);
    EXPECT_EQ(kp::to_upper(0xE0), 0xC0);  // а -> А
    EXPECT_TRUE(kp::is_lower(0xE0));
    kp::set_ansi_code_page(932);
    EXPECT_TRUE(kp::is_lead_byte(0x93));
    EXPECT_FALSE(kp::is_alpha(0x93));
    std::string s = bytes({'a', 0x82, 0x61, 'b'});  // the trail byte 0x61 is not an "a"
    kp::upper_in_place(s.data(), s.size());
    EXPECT_EQ(s, bytes({'A', 0x82, 0x61, 'B'}));
}

TEST_F(Text, WordSortGoldenCases) {
    EXPECT_LT(ws("a", "A"), 0);
    EXPECT_LT(ws("A", "b"), 0);
    EXPECT_LT(ws("a", "b"), 0);
    EXPECT_LT(ws("coop", "co-op"), 0);
    EXPECT_LT(ws("co-op", "cop"), 0);
    EXPECT_LT(ws("coop", "cop"), 0);
    EXPECT_LT(ws("e", "\xE9"), 0);  // é after e
    EXPECT_LT(ws("\xE9", "f"), 0);  // ... and before f
    EXPECT_EQ(ws("abc", "ABC", true), 0);
    EXPECT_NE(ws("abc", "ABC", false), 0);
    EXPECT_LT(ws("ab", "abc"), 0);
    EXPECT_LT(ws("", "a"), 0);
    EXPECT_EQ(ws("", ""), 0);
    EXPECT_LT(ws("9", "a"), 0);      // digits before letters
    EXPECT_LT(ws("!", "0"), 0);      // symbols before digits
    EXPECT_LT(ws("10", "9"), 0);     // digits are characters here, not numbers
    EXPECT_GT(ws("b", "a"), 0);
    EXPECT_EQ(ws("same", "same"), 0);
}

TEST_F(Text, WordSortResultIsMinusOneZeroOrOne) {
    EXPECT_EQ(ws("a", "z"), -1);
    EXPECT_EQ(ws("z", "a"), 1);
    EXPECT_EQ(ws("Zebra", "zebra", true), 0);
}

TEST_F(Text, LigaturesEqualTheirLettersAtThePrimaryLevel) {
    // æ sorts with "ae": after "ad..." and before "af...", whatever follows.
    EXPECT_LT(ws("adz", "\xE6" "a"), 0);
    EXPECT_LT(ws("\xE6z", "afa"), 0);
    EXPECT_NE(ws("\xE6", "ae"), 0);  // different texts, distinguished after the letters
    EXPECT_LT(ws("ae", "\xE6"), 0);
    EXPECT_LT(ws("odz", "\x9C" "a"), 0);  // œ = oe
    EXPECT_LT(ws("\x9C" "z", "ofa"), 0);
    EXPECT_LT(ws("ssa", "\xDF" "b"), 0);  // ß = ss
    EXPECT_GT(ws("\xDF" "b", "ssa"), 0);
    EXPECT_EQ(kp::compare_word_sort(u"\u00C6", u"\u00E6", true), 0);
    EXPECT_LT(kp::compare_word_sort(u"\u00E6", u"\u00C6", false), 0);
}

TEST_F(Text, WordSortIgnoresHyphensAndApostrophesUntilTheEnd) {
    EXPECT_LT(ws("its", "it's"), 0);
    EXPECT_LT(ws("it's", "itself"), 0);
    EXPECT_LT(ws("re-sort", "resorts"), 0);
    EXPECT_LT(ws("a-b", "a-c"), 0);
    EXPECT_EQ(ws("co-op", "CO-OP", true), 0);
    EXPECT_NE(ws("co-op", "co'op"), 0);
}

TEST_F(Text, WordSortAccentsBeforeCase) {
    // Accent differences outrank case differences wherever they stand.
    EXPECT_LT(ws("Ab", "\xE1" "b"), 0);  // Ab < áb
    EXPECT_LT(ws("r\xE9sume", "R\xE9sum\xE9"), 0);
    EXPECT_LT(ws("resume", "r\xE9sum\xE9"), 0);
    EXPECT_EQ(ws("\xC9T\xC9", "\xE9t\xE9", true), 0);
    EXPECT_NE(ws("ete", "\xE9t\xE9", true), 0);
}

TEST_F(Text, WordSortNeverCallsDifferentTextsEqual) {
    EXPECT_NE(ws("a\x01", "a"), 0);
    EXPECT_GT(ws("a\x01", "a"), 0);
    EXPECT_NE(kp::compare_word_sort(u"x\u200By", u"xy", false), 0);
}

TEST_F(Text, WordSortOrdersAWordList) {
    std::vector<std::string> words = {"cop",  "Co-op", "co-op", "coop", "b",    "A",  "a",    "\xE9t\xE9",
                                      "ete",  "10",   "9",     "!x",   "etre", "",   "Apple", "apple",
                                      "\xC6on", "aeon", "zoo",   "_z",   "e",    "f",  "Zoo",   "1a"};
    std::sort(words.begin(), words.end(), [](const std::string& x, const std::string& y) { return ws(x.c_str(), y.c_str()) < 0; });
    std::vector<std::string> want = {"",     "!x",  "_z",   "10",    "1a",    "9",    "a",   "A",
                                     "aeon", "\xC6on", "apple", "Apple", "b",     "coop", "co-op", "Co-op",
                                     "cop",  "e",   "ete",  "\xE9t\xE9", "etre", "f",    "zoo", "Zoo"};
    EXPECT_EQ(words, want);
}

TEST_F(Text, WideWordSortMatchesNarrow) {
    EXPECT_LT(kp::compare_word_sort(u"a", u"A", false), 0);
    EXPECT_LT(kp::compare_word_sort(u"co-op", u"cop", false), 0);
    EXPECT_LT(kp::compare_word_sort(u"\u0161", u"t", false), 0);    // š on s
    EXPECT_GT(kp::compare_word_sort(u"\u0161", u"s", false), 0);
    EXPECT_LT(kp::compare_word_sort(u"\u0142", u"m", false), 0);    // ł on l
    EXPECT_LT(kp::compare_word_sort(u"z", u"\u00FE", false), 0);    // þ after z
    EXPECT_LT(kp::compare_word_sort(u"z", u"\u03B1", false), 0);    // other scripts after Latin
    EXPECT_EQ(kp::compare_word_sort(u"\u0416\u0430", u"\u0436\u0410", true), 0);
}

TEST_F(Text, WordSortReadsNarrowTextInTheAnsiPage) {
    kp::set_ansi_code_page(1250);
    // 0xB9 is ą in 1250 (but ¹ in 1252): it sorts on a, before b.
    EXPECT_LT(ws("\xB9", "b"), 0);
    EXPECT_GT(ws("\xB9", "a"), 0);
    kp::set_ansi_code_page(1252);
    EXPECT_LT(ws("\xB9", "a"), 0);  // superscript one is a digit
}

TEST_F(Text, LogicalCompareTreatsDigitRunsAsNumbers) {
    EXPECT_LT(kp::compare_logical("a2", "a10"), 0);
    EXPECT_GT(kp::compare_logical("a10", "a2"), 0);
    EXPECT_EQ(kp::compare_logical("File5.txt", "file5.TXT"), 0);
    EXPECT_LT(kp::compare_logical("file5b", "file5c"), 0);
    EXPECT_LT(kp::compare_logical("x9", "x00010"), 0);
    EXPECT_LT(kp::compare_logical("2", "a"), 0);
    EXPECT_LT(kp::compare_logical("!", "2"), 0);   // symbols before numbers, as in word sort
    EXPECT_LT(kp::compare_logical("-", "2"), 0);
    EXPECT_LT(kp::compare_logical("abc", "abc1"), 0);
    EXPECT_LT(kp::compare_logical("", "0"), 0);
    EXPECT_LT(kp::compare_logical("v99999999999999999999", "v100000000000000000000"), 0);
    EXPECT_NE(kp::compare_logical("a01", "a1"), 0);
    EXPECT_LT(kp::compare_logical(u"img12", u"IMG102"), 0);
    std::vector<std::string> v = {"a10", "a2", "A1", "b", "a1b", "a"};
    std::sort(v.begin(), v.end(), [](const std::string& x, const std::string& y) { return kp::compare_logical(x, y) < 0; });
    std::vector<std::string> want = {"a", "A1", "a1b", "a2", "a10", "b"};
    EXPECT_EQ(v, want);
}

TEST_F(Text, AnsiCodePageComesFromTheSettingsFile) {
    // Only the MAIN key is touched: the rest of the file belongs to other settings.
    ScratchProgramDir prog;
    std::string ini = kp::program_dir() + "/FENSCRPT.INI";
    auto ansi_with = [&](const char* value) {
        EXPECT_TRUE(kp::profile_write(ini.c_str(), "MAIN", "CodePage", value));
        kp::set_ansi_code_page(0);
        uint32_t cp = kp::ansi_code_page();
        kp::profile_write(ini.c_str(), "MAIN", "CodePage", nullptr);
        return cp;
    };
    EXPECT_EQ(ansi_with("1250"), 1250u);
    EXPECT_EQ(ansi_with("65001"), 65001u);
    EXPECT_EQ(ansi_with("12345"), 1252u);  // no such page
    EXPECT_EQ(ansi_with("37"), 1252u);     // EBCDIC would break every ASCII test
    EXPECT_EQ(ansi_with("0"), 1252u);
    EXPECT_EQ(ansi_with("junk"), 1252u);
    kp::profile_write(ini.c_str(), "MAIN", nullptr, nullptr);
    kp::set_ansi_code_page(0);
    EXPECT_EQ(kp::ansi_code_page(), 1252u);
    EXPECT_TRUE(kp::code_page_valid(37));
    EXPECT_EQ(kp::to_wide(bytes({0xC1}), 37), u"A");
}

namespace {

// Small deterministic generator so that failures repeat.
struct Lcg {
    uint32_t x;
    uint32_t next() { return x = x * 1664525u + 1013904223u; }
};

std::string random_word(Lcg& r, const char* alphabet) {
    size_t alen = std::char_traits<char>::length(alphabet);
    std::string s;
    size_t n = r.next() % 6;
    for (size_t i = 0; i < n; ++i) s.push_back(alphabet[(r.next() >> 8) % alen]);
    return s;
}

template <typename Cmp>
void expect_total_order(const std::vector<std::string>& v, Cmp cmp) {
    for (const auto& a : v) {
        EXPECT_EQ(cmp(a, a), 0);
        for (const auto& b : v) {
            int ab = cmp(a, b);
            EXPECT_EQ(ab, -cmp(b, a)) << a << " / " << b;
            if (ab > 0) continue;
            for (const auto& c : v) {
                int bc = cmp(b, c);
                if (bc > 0) continue;
                int ac = cmp(a, c);
                // a <= b <= c implies a <= c, and equal only when both steps are.
                EXPECT_LE(ac, 0) << a << " / " << b << " / " << c;
                if (ac == 0) {
                    EXPECT_TRUE(ab == 0 && bc == 0) << a << " / " << b << " / " << c;
                }
            }
        }
    }
}

}  // namespace

TEST_F(Text, WordSortIsATotalOrder) {
    Lcg r{7};
    std::vector<std::string> v;
    for (int i = 0; i < 50; ++i) v.push_back(random_word(r, "aAbB-'e\xE9\xC9\xE6" "1 !\x01z\xDF" "s"));
    expect_total_order(v, [](const std::string& a, const std::string& b) { return kp::compare_word_sort(a, b, false); });
    expect_total_order(v, [](const std::string& a, const std::string& b) { return kp::compare_word_sort(a, b, true); });
}

TEST_F(Text, LogicalCompareIsATotalOrder) {
    Lcg r{11};
    std::vector<std::string> v;
    for (int i = 0; i < 50; ++i) v.push_back(random_word(r, "aA0019-' !b"));
    expect_total_order(v, [](const std::string& a, const std::string& b) { return kp::compare_logical(a, b); });
}

TEST_F(Text, RandomBytesConvertSafelyInEveryPage) {
    Lcg r{3};
    for (uint32_t cp : {1252u, 437u, 850u, 20127u, 28591u, 65001u, 932u, 936u, 1250u, 65000u}) {
        for (int round = 0; round < 200; ++round) {
            std::string s;
            size_t n = r.next() % 24;
            for (size_t i = 0; i < n; ++i) s.push_back(char(r.next() >> 24));
            std::u16string w = kp::to_wide(s, cp);
            EXPECT_EQ(kp::to_wide(s, cp, nullptr, 0), w.size());
            std::u16string junk;
            for (size_t i = 0; i < n; ++i) junk.push_back(char16_t(r.next() >> 16));
            std::string back = kp::from_wide(junk, cp);
            EXPECT_EQ(kp::from_wide(junk, cp, nullptr, 0), back.size());
            (void)kp::compare_word_sort(junk, w, false);
        }
    }
}
