// The builtin keyword table: order, counts, signatures, lookups, constants, disabled bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>
#include "interp/base/keywords.h"

namespace kel::interp {
namespace {

int index_of(std::string_view name) { return find_builtin(name); }

const KeywordRecord& rec(std::string_view name) {
    int i = find_builtin(name);
    EXPECT_GE(i, 0) << name;
    return keyword(i < 0 ? 0 : i);
}

std::string codes(const KeywordRecord& r) {
    std::string s;
    for (int n = 1; n <= required_args(r) + optional_args(r); ++n) s += "0123456789abcdef"[param_type(r, n)];
    return s;
}

TEST(KeywordTable, SortedUniqueAndNumbered) {
    const KeywordRecord* t = keyword_table();
    for (int i = 0; i < kKeywordCount; ++i) {
        EXPECT_EQ(t[i].id, i);
        EXPECT_EQ(t[i].name_len, std::string_view(t[i].name).size()) << t[i].name;
        if (i > 0) {
            EXPECT_LT(keyword_name(t[i - 1]), keyword_name(t[i]));
        }
    }
    EXPECT_EQ(keyword_name(t[0]), "!");
    EXPECT_EQ(keyword_name(t[kKeywordCount - 1]), "~");
}

TEST(KeywordTable, KindCounts) {
    int counts[16] = {};
    for (int i = 0; i < kKeywordCount; ++i) counts[keyword(i).kind & ~kKindDisabled & 15]++;
    EXPECT_EQ(counts[kOp], 29);
    EXPECT_EQ(counts[kUnary], 6);
    EXPECT_EQ(counts[kFunc], 496);
    EXPECT_EQ(counts[kConst], 205);
    EXPECT_EQ(counts[kCommand], 5);
    EXPECT_EQ(counts[kRelOp], 7);
    EXPECT_EQ(counts[kSpecial], 9);
    EXPECT_EQ(counts[kStruct], 22);
}

TEST(KeywordTable, StatedIdsLineUp) {
    EXPECT_EQ(index_of("?ddeserver"), 31);
    EXPECT_EQ(index_of("?setviapointer"), 35);
    EXPECT_EQ(index_of("?oleobject"), 34);
    EXPECT_EQ(index_of("about"), 245);
    EXPECT_EQ(index_of("abs"), 246);
    EXPECT_EQ(index_of("chrunicodetostring"), 355);
    EXPECT_EQ(index_of("clipappend"), 356);
    EXPECT_EQ(index_of("ignoreinput"), 508);
    EXPECT_EQ(index_of("inidelete"), 509);
    EXPECT_EQ(index_of("mod="), 553);
    EXPECT_EQ(index_of("strbytecount"), 666);
    EXPECT_EQ(index_of("strcat"), 667);
    EXPECT_EQ(index_of("yields"), 774);
}

TEST(KeywordTable, ReservedRecordIsDisabledFunction) {
    const KeywordRecord& r = keyword(Kw::Reserved);
    EXPECT_GT(Kw::Reserved, index_of("inidelete"));
    EXPECT_LT(Kw::Reserved, index_of("mod="));
    EXPECT_EQ(r.kind, kFunc | kKindDisabled);
    set_keyword_disabled(Kw::Reserved, false);
    EXPECT_TRUE(is_disabled(keyword(Kw::Reserved)));
}

TEST(KeywordTable, EveryFunctionRowHasConsistentCounts) {
    int own = 0;
    for (int i = 0; i < kKeywordCount; ++i) {
        const KeywordRecord& r = keyword(i);
        if ((r.kind & ~kKindDisabled) != kFunc) continue;
        EXPECT_EQ(r.u.args.zero, 0) << r.name;
        if (reads_own_args(r)) {
            ++own;
            EXPECT_EQ(optional_args(r), 0) << r.name;
            EXPECT_EQ(param_type_word(r), 0u) << r.name;
            continue;
        }
        int n = required_args(r) + optional_args(r);
        EXPECT_LE(n, kMaxCallArgs) << r.name;
        // no code is stored beyond the declared arguments
        EXPECT_EQ(n == 16 ? 0 : param_type_word(r) >> (4 * n), 0u) << r.name;
        for (int k = 1; k <= n; ++k) {
            int c = param_type(r, k);
            EXPECT_TRUE(c <= 8 || c == 15) << r.name << " argument " << k;
        }
    }
    // ?oleobject average dllcall dllcallcdecl getobject max min objectget objecttype strcat winclosenot
    EXPECT_EQ(own, 11);
}

TEST(KeywordTable, SampleSignatures) {
    EXPECT_EQ(codes(rec("strindex")), "6600");
    EXPECT_EQ(required_args(rec("strindex")), 4);
    EXPECT_EQ(optional_args(rec("strindex")), 0);
    EXPECT_EQ(codes(rec("objectclrnew")), "5fffffffffffffff");
    EXPECT_EQ(required_args(rec("objectclrnew")), 1);
    EXPECT_EQ(optional_args(rec("objectclrnew")), 15);
    EXPECT_EQ(codes(rec("arrayswapelements")), "30000000000");
    EXPECT_EQ(codes(rec("mapcreate")), "111");
    EXPECT_EQ(required_args(rec("mapcreate")), 0);
    EXPECT_EQ(optional_args(rec("mapcreate")), 3);
    EXPECT_EQ(codes(rec("strtrim")), "61");
    EXPECT_EQ(optional_args(rec("strtrim")), 1);
    EXPECT_EQ(codes(rec("runwithlogon")), "777007770");
    EXPECT_EQ(codes(rec("?setviapointer")), "1f");
    EXPECT_TRUE(reads_own_args(rec("?oleobject")));
    EXPECT_TRUE(reads_own_args(rec("strcat")));
    EXPECT_EQ(required_args(rec("about")), 0);
    EXPECT_EQ(codes(rec("call")), "16");
    // argument 1 in the low nibble of byte 0, argument 2 in its high nibble
    EXPECT_EQ(rec("?setviapointer").ptypes[0], 0xF1);
    EXPECT_EQ(param_type_word(rec("strindex")), 0x0066u);
    EXPECT_EQ(param_type(rec("strindex"), 0), kPtAny);
    EXPECT_EQ(param_type(rec("strindex"), 17), kPtAny);
}

TEST(KeywordTable, NamedIndexesMatchNames) {
    EXPECT_EQ(Kw::If, index_of("if"));
    EXPECT_EQ(Kw::EndIf, index_of("endif"));
    EXPECT_EQ(Kw::Comma, index_of(","));
    EXPECT_EQ(Kw::ShlAssign, index_of("<<="));
    EXPECT_EQ(Kw::MakePointer, index_of("?makepointer"));
    EXPECT_EQ(Kw::Beep, index_of("beep"));
    EXPECT_EQ(keyword(Kw::While).kind, kStruct);
    EXPECT_EQ(keyword(Kw::Minus).kind, kUnary);
    EXPECT_EQ(keyword(Kw::LessGreater).kind, kRelOp);
    EXPECT_EQ(keyword(Kw::Drop).kind, kSpecial);
    EXPECT_EQ(keyword(Kw::Exit).kind, kCommand);
    static_assert(keyword_index("strlen") > 0 && keyword_index("nosuch") == -1);
}

TEST(KeywordLookup, FindsFirstLastAndMisses) {
    EXPECT_EQ(find_builtin("!"), 0);
    EXPECT_EQ(find_builtin("~"), kKeywordCount - 1);
    EXPECT_EQ(find_builtin("about"), 245);
    EXPECT_EQ(find_builtin("yields"), 774);
    EXPECT_EQ(find_builtin("zzz"), -1);
    EXPECT_EQ(find_builtin("nosuchfunction"), -1);
    EXPECT_EQ(find_builtin("strle"), -1);    // a prefix is no match
    EXPECT_EQ(find_builtin("strlenx"), -1);  // nor a longer name
    EXPECT_EQ(find_builtin("StrLen"), -1);   // callers lower-case first
    EXPECT_EQ(find_builtin(""), -1);
    EXPECT_EQ(find_builtin("\xE9t\xE9"), -1);
    EXPECT_EQ(find_builtin(std::string(31, 'a')), -1);
    EXPECT_EQ(find_builtin("regquerykeylastwritetime"), index_of("regquerykeylastwritetime"));
    EXPECT_GE(find_builtin("@pi"), 0);
}

TEST(KeywordLookup, OperatorsByLongestMatch) {
    EXPECT_EQ(match_operator("<<=1"), Kw::ShlAssign);
    EXPECT_EQ(match_operator("<<1"), Kw::Shl);
    EXPECT_EQ(match_operator("< 1"), Kw::Less);
    EXPECT_EQ(match_operator("<>b"), Kw::LessGreater);
    EXPECT_EQ(match_operator("<=b"), Kw::LessEqual);
    EXPECT_EQ(match_operator("**2"), Kw::Power);
    EXPECT_EQ(match_operator("*=2"), Kw::MulAssign);
    EXPECT_EQ(match_operator("*x"), Kw::Star);
    EXPECT_EQ(match_operator("::a"), Kw::ColonColon);
    EXPECT_EQ(match_operator(":=a"), Kw::ColonAssign);
    EXPECT_EQ(match_operator(":a"), Kw::Colon);
    EXPECT_EQ(match_operator("||"), Kw::OrOr);
    EXPECT_EQ(match_operator("|"), Kw::Bar);
    EXPECT_EQ(match_operator("!="), Kw::NotEqual);
    EXPECT_EQ(match_operator("=="), Kw::Equal);
    EXPECT_EQ(match_operator("=x"), Kw::Assign);
    EXPECT_EQ(match_operator("~"), Kw::Tilde);
    EXPECT_EQ(match_operator(std::string_view("<<=", 2)), Kw::Shl);  // never reads past the view
    EXPECT_EQ(match_operator(""), -1);
    EXPECT_EQ(match_operator(static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(match_operator("#"), -1);
    EXPECT_EQ(match_operator("\xFF"), -1);
    EXPECT_EQ(match_operator("?oleobject"), -1);  // reachable by index only
    EXPECT_EQ(match_operator("?makepointer"), -1);
    EXPECT_EQ(match_operator("abs"), -1);
}

TEST(KeywordLookup, FirstCharacterIndex) {
    KeywordRange a = first_char_range('a');
    EXPECT_EQ(a.first, 245);
    EXPECT_EQ(keyword_name(keyword(a.last - 1)).front(), 'a');
    EXPECT_EQ(keyword_name(keyword(a.last)).front(), 'b');
    KeywordRange tilde = first_char_range('~');
    EXPECT_EQ(tilde.first, kKeywordCount - 1);
    EXPECT_EQ(tilde.last, kKeywordCount);
    EXPECT_EQ(first_char_range(127).first, kKeywordCount);
    EXPECT_EQ(first_char_range(200).last, kKeywordCount);
    KeywordRange hash = first_char_range('#');
    EXPECT_EQ(hash.first, hash.last);
    for (int c = 0; c < 128; ++c) {
        KeywordRange r = first_char_range(static_cast<unsigned char>(c));
        for (int i = r.first; i < r.last; ++i) EXPECT_EQ(static_cast<unsigned char>(keyword(i).name[0]), c);
    }
}

TEST(KeywordLookup, OrderCheckReportsViolations) {
    EXPECT_EQ(check_keyword_order(keyword_table(), kKeywordCount), 0);
    std::vector<KeywordRecord> bad(keyword_table(), keyword_table() + kKeywordCount);
    std::swap(bad[0], bad[300]);  // "a..." before "!": the order breaks
    EXPECT_GE(check_keyword_order(bad.data(), kKeywordCount), 1);
    std::vector<KeywordRecord> ids(keyword_table(), keyword_table() + kKeywordCount);
    ids[245].id = 7;  // "about" starts the "a" records with a wrong id
    EXPECT_EQ(check_keyword_order(ids.data(), kKeywordCount), 1);
}

TEST(KeywordConstants, DecodeFloatStringAndInteger) {
    ConstantValue pi = constant_value(rec("@pi"));
    EXPECT_EQ(pi.type, ConstantValue::kFloat);
    EXPECT_DOUBLE_EQ(pi.f, 3.141592653589793);
    EXPECT_DOUBLE_EQ(constant_value(rec("@deg2rad")).f, 0.017453292519943);
    EXPECT_DOUBLE_EQ(constant_value(rec("@lightmps")).f, 186272.0);
    EXPECT_DOUBLE_EQ(constant_value(rec("@planckjoules")).f, 6.6256e-34);

    ConstantValue crlf = constant_value(rec("@crlf"));
    EXPECT_EQ(crlf.type, ConstantValue::kString);
    EXPECT_EQ(crlf.s, "\r\n");
    EXPECT_EQ(constant_value(rec("@tab")).s, "\t");
    EXPECT_EQ(constant_value(rec("@cr")).s, "\r");
    EXPECT_EQ(constant_value(rec("@lf")).s, "\n");

    ConstantValue ws = constant_value(rec("@wholesection"));
    EXPECT_EQ(ws.type, ConstantValue::kInt);
    EXPECT_EQ(ws.i, 692837);
    EXPECT_EQ(constant_value(rec("@hidden")).i, -1);
    EXPECT_EQ(constant_value(rec("@retnoexit")).i, -2);
    EXPECT_EQ(static_cast<uint32_t>(constant_value(rec("@regclasses")).i), 0x80000000u);
    EXPECT_EQ(constant_value(rec("@true")).i, 1);
}

TEST(KeywordConstants, UnusedNumbersGiveZeroOrEmpty) {
    EXPECT_EQ(decode_constant(static_cast<int32_t>(0xF0F0F014u)).f, 0.0);
    EXPECT_DOUBLE_EQ(decode_constant(static_cast<int32_t>(0xF0F0F020u)).f, 3.141592653589793);  // modulo 32
    ConstantValue s = decode_constant(static_cast<int32_t>(0xFFF0F007u));
    EXPECT_EQ(s.type, ConstantValue::kString);
    EXPECT_TRUE(s.s.empty());
    EXPECT_EQ(decode_constant(static_cast<int32_t>(0xFFF0F021u)).s, "\t");
    EXPECT_EQ(decode_constant(static_cast<int32_t>(0xF0F0F100u)).type, ConstantValue::kInt);
}

TEST(KeywordDisable, RoundTrip) {
    int about = index_of("about");
    int beep = index_of("beep");
    int32_t kind = keyword(beep).kind;
    EXPECT_EQ(set_keywords_disabled("about|beep|", '|', true), 1);
    EXPECT_TRUE(is_disabled(keyword(about)));
    EXPECT_TRUE(is_disabled(keyword(beep)));
    EXPECT_NE(keyword(beep).kind, kCommand);  // a disabled entry matches no kind
    EXPECT_EQ(find_builtin("beep"), beep);    // still found, so the caller can report 3472
    EXPECT_EQ(set_keywords_disabled("about|beep|", '|', false), 1);
    EXPECT_FALSE(is_disabled(keyword(about)));
    EXPECT_EQ(keyword(beep).kind, kind);
}

TEST(KeywordDisable, SearchesInTableOrder) {
    int about = index_of("about");
    int message = index_of("message");
    int wallpaper = index_of("wallpaper");
    // "mousedrag" is not in the table: reported, and the names after it still disabled
    EXPECT_EQ(set_keywords_disabled("about|mousedrag|message|wallpaper|", '|', true), 0);
    EXPECT_TRUE(is_disabled(keyword(about)));
    EXPECT_TRUE(is_disabled(keyword(message)));
    EXPECT_TRUE(is_disabled(keyword(wallpaper)));
    set_keywords_disabled("about|message|wallpaper", '|', false);
    // a name before the previous match is not found
    EXPECT_EQ(set_keywords_disabled("message|about", '|', true), 0);
    EXPECT_TRUE(is_disabled(keyword(message)));
    EXPECT_FALSE(is_disabled(keyword(about)));
    set_keyword_disabled(message, false);
    EXPECT_EQ(find_keyword_from("MESSAGE", 0), message);
    EXPECT_EQ(find_keyword_from("message", message + 1), -1);
    EXPECT_EQ(find_keyword_from(std::string(40, 'a'), 0), -1);
    EXPECT_FALSE(set_keyword_disabled(-1, true));
    EXPECT_FALSE(set_keyword_disabled(kKeywordCount, true));
}

TEST(KeywordDisable, EveryRecordAtOnceAndBack) {
    // Marks live beside the built table: a disabled record differs from the built one in
    // the disabled bit only, and the built table never changes.
    std::vector<KeywordRecord> before(keyword_table(), keyword_table() + kKeywordCount);
    for (int i = 0; i < kKeywordCount; ++i) EXPECT_TRUE(set_keyword_disabled(i, true));
    for (int i = 0; i < kKeywordCount; ++i) {
        const KeywordRecord& r = keyword(i);
        EXPECT_TRUE(is_disabled(r)) << i;
        KeywordRecord plain = r;
        plain.kind = before[static_cast<size_t>(i)].kind;
        EXPECT_EQ(std::memcmp(&plain, &before[static_cast<size_t>(i)], sizeof plain), 0) << i;
    }
    EXPECT_EQ(find_builtin("strlen"), keyword_index("strlen"));
    EXPECT_EQ(match_operator("<="), Kw::LessEqual);  // operators are matched whatever their mark
    for (int i = 0; i < kKeywordCount; ++i) set_keyword_disabled(i, false);
    for (int i = 0; i < kKeywordCount; ++i)
        EXPECT_EQ(std::memcmp(&keyword(i), &before[static_cast<size_t>(i)], sizeof(KeywordRecord)), 0) << i;
    EXPECT_EQ(std::memcmp(keyword_table(), before.data(), before.size() * sizeof(KeywordRecord)), 0);
    EXPECT_TRUE(is_disabled(keyword(Kw::Reserved)));
    constexpr int kStrLen = keyword_index("strlen");
    EXPECT_EQ(set_keywords_disabled("strlen", '|', true), 1);
    EXPECT_TRUE(is_disabled(keyword(kStrLen)));
    EXPECT_FALSE(is_disabled(keyword_table()[kStrLen]));
    set_keyword_disabled(kStrLen, false);
    EXPECT_FALSE(is_disabled(keyword(kStrLen)));
}

}  // namespace
}  // namespace kel::interp
