// Tokenizer: numbers, strings, names, operators, the object-access keyword and putback.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "interp/base/keywords.h"
#include "interp/run/tokenizer.h"
#include "interp_host_fixture.h"

using namespace kel;
using namespace kel::interp;

namespace {

class Tokenizer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.start());
        in = std::make_unique<test::Entered>(host.inst_block);
    }
    void TearDown() override {
        in.reset();
        host.stop();
    }
    Instance& inst() { return in->inst(); }
    // Starts `text` and reads the first token; returns the error number.
    uint16_t first(const char* text) {
        line = text;
        inst().clear_error();
        token_begin(inst(), line.c_str());
        get_token(inst());
        return inst().error();
    }
    uint16_t next() {
        get_token(inst());
        return inst().error();
    }
    const TokenState& tok() { return inst().tok; }

    test::FakeHost host;
    std::unique_ptr<test::Entered> in;
    std::string line;
};

TEST_F(Tokenizer, NumbersIntegerAndFloat) {
    ASSERT_EQ(first("123"), 0);
    EXPECT_EQ(tok().type, kTokInteger);
    EXPECT_STREQ(tok().text, "123");
    ASSERT_EQ(first(".5"), 0);
    EXPECT_EQ(tok().type, kTokFloat);
    ASSERT_EQ(first("1."), 0);
    EXPECT_EQ(tok().type, kTokFloat);
    ASSERT_EQ(first("1.e5"), 0);
    EXPECT_STREQ(tok().text, "1.e5");
    ASSERT_EQ(first("2e-3+1"), 0);
    EXPECT_STREQ(tok().text, "2e-3");
    EXPECT_EQ(tok().type, kTokFloat);
}

TEST_F(Tokenizer, NumberErrors) {
    EXPECT_EQ(first(". "), 3054);
    EXPECT_EQ(first("1.2.3"), 3338);
    EXPECT_EQ(first("1e5e2"), 3339);
    EXPECT_EQ(first("1e+"), 3054);
    EXPECT_EQ(first("1ex"), 3054);
}

TEST_F(Tokenizer, LeadingSignIsAnOperator) {
    ASSERT_EQ(first("-5"), 0);
    EXPECT_EQ(tok().type, kTokKeyword);
    EXPECT_EQ(tok().kw, Kw::Minus);
}

TEST_F(Tokenizer, StringsAndQuotes) {
    ASSERT_EQ(first("'say \"hi\"'"), 0);
    EXPECT_EQ(tok().type, kTokString);
    EXPECT_STREQ(tok().text, "say \"hi\"");
    ASSERT_EQ(first("'it''s'"), 0);
    EXPECT_STREQ(tok().text, "it's");
    ASSERT_EQ(first("`a``b`"), 0);
    EXPECT_STREQ(tok().text, "a`b");
    ASSERT_EQ(first("\"open ended"), 0);
    EXPECT_STREQ(tok().text, "open ended");
}

TEST_F(Tokenizer, EndAndComment) {
    ASSERT_EQ(first("   "), 0);
    EXPECT_EQ(tok().type, kTokNone);
    ASSERT_EQ(first("; a comment"), 0);
    EXPECT_EQ(tok().type, kTokNone);
}

TEST_F(Tokenizer, UnknownCharacter) { EXPECT_EQ(first("\x01"), 3054); }

TEST_F(Tokenizer, OperatorsLongestMatch) {
    ASSERT_EQ(first("<<= << <> ** :: :="), 0);
    EXPECT_EQ(tok().kw, Kw::ShlAssign);
    next();
    EXPECT_EQ(tok().kw, Kw::Shl);
    next();
    EXPECT_EQ(tok().kw, Kw::LessGreater);
    next();
    EXPECT_EQ(tok().kw, Kw::Power);
    next();
    EXPECT_EQ(tok().kw, Kw::ColonColon);
    next();
    EXPECT_EQ(tok().kw, Kw::ColonAssign);
}

TEST_F(Tokenizer, ModAssignOnlyWithoutBlank) {
    ASSERT_EQ(first("mod="), 0);
    EXPECT_EQ(tok().kw, Kw::ModAssign);
    EXPECT_STREQ(tok().text, "mod=");
    ASSERT_EQ(first("mod ="), 0);
    EXPECT_EQ(tok().kw, Kw::Mod);
    next();
    EXPECT_EQ(tok().kw, Kw::Assign);
}

TEST_F(Tokenizer, KeywordsAnyCaseKeepSpelling) {
    ASSERT_EQ(first("StrLen"), 0);
    EXPECT_EQ(tok().type, kTokKeyword);
    EXPECT_EQ(tok().kw, keyword_index("strlen"));
    EXPECT_STREQ(tok().text, "StrLen");
}

TEST_F(Tokenizer, DottedNameIsObjectAccess) {
    ASSERT_EQ(first("strlen.x(1)"), 0);
    EXPECT_EQ(tok().kw, Kw::OleObject);
    EXPECT_STREQ(tok().text, "strlen.x");
}

TEST_F(Tokenizer, VariableNameLength) {
    ASSERT_EQ(first("abcdefghijabcdefghijabcdefghij"), 0);  // 30
    EXPECT_EQ(tok().type, kTokVariable);
    EXPECT_GT(tok().var_index, 0);
    EXPECT_EQ(first("abcdefghijabcdefghijabcdefghijk"), 3055);  // 31
}

TEST_F(Tokenizer, VariablesAreCreatedUndefinedAndLowerCased) {
    ASSERT_EQ(first("MyVar"), 0);
    EXPECT_STREQ(tok().text, "myvar");
    int32_t idx = tok().var_index;
    ASSERT_GT(idx, 0);
    EXPECT_EQ(inst().vars[idx].flags, kVtUndef);
    ASSERT_EQ(first("myvar"), 0);
    EXPECT_EQ(tok().var_index, idx);
}

TEST_F(Tokenizer, NoCreateUsesScratchRecord) {
    line = "ghost";
    token_begin(inst(), line.c_str());
    inst().tok.no_create = true;
    get_token(inst());
    EXPECT_EQ(tok().type, kTokVariable);
    EXPECT_EQ(tok().var_index, 0);
    EXPECT_EQ(var_lookup(inst(), "ghost"), -1);
    EXPECT_FALSE(tok().no_create);
}

TEST_F(Tokenizer, AddressOfAfterOperatorNotAfterOperand) {
    ASSERT_EQ(first("(&a"), 0);
    next();
    EXPECT_EQ(tok().kw, Kw::Amp);
    EXPECT_TRUE(tok().address_of);
    next();
    ASSERT_GT(tok().var_index, 0);
    EXPECT_EQ(inst().vars[tok().var_index].flags, kVtInt);  // created defined

    ASSERT_EQ(first("b & c"), 0);
    next();
    EXPECT_EQ(tok().kw, Kw::Amp);
    EXPECT_FALSE(tok().address_of);
    ASSERT_EQ(first(") & c"), 0);
    next();
    EXPECT_FALSE(tok().address_of);
    ASSERT_EQ(first("@true & c"), 0);
    next();
    EXPECT_FALSE(tok().address_of);
}

TEST_F(Tokenizer, MultilineStart) {
    ASSERT_EQ(first("$\"text"), 0);
    EXPECT_EQ(tok().type, kTokMultiline);
}

TEST_F(Tokenizer, StringTokenWords) {
    line = "  word2 rest";
    token_begin(inst(), line.c_str());
    get_string_token(inst());
    EXPECT_EQ(tok().type, kTokString);
    EXPECT_EQ(tok().kw, -1);
    EXPECT_STREQ(tok().text, "word2");
    line = "!x";
    token_begin(inst(), line.c_str());
    get_string_token(inst());
    EXPECT_EQ(inst().error(), 3054);
    inst().clear_error();
    line = "; c";
    token_begin(inst(), line.c_str());
    get_string_token(inst());
    EXPECT_EQ(tok().type, kTokNone);
}

TEST_F(Tokenizer, PutbackRereadsOneToken) {
    ASSERT_EQ(first("abc + 12"), 0);
    next();
    next();
    EXPECT_STREQ(tok().text, "12");
    putback(inst());
    next();
    EXPECT_STREQ(tok().text, "12");
    EXPECT_EQ(tok().type, kTokInteger);
}

TEST_F(Tokenizer, HostFunctionNames) {
    KeywordRecord table[2] = {};
    table[0].id = 0;
    table[0].kind = kFunc;
    table[0].name_len = 6;
    std::memcpy(table[0].name, "webout", 6);
    inst().host_table = table;
    ASSERT_EQ(first("WebOut("), 0);
    EXPECT_EQ(tok().kw, 1000);
    ASSERT_EQ(first("weboutx"), 0);
    EXPECT_EQ(tok().type, kTokVariable);
    inst().host_table = nullptr;
}

}  // namespace
