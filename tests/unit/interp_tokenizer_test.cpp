// Tokenizer: numbers, strings, names, operators, the object-access keyword and putback.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "interp/base/keywords.h"
#include "interp/data/vars.h"
#include "interp/run/exec.h"
#include "interp/run/tokenizer.h"
#include "interp_host_fixture.h"
#include "platform/text.h"

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

// The tokenizer's letters are the code page's, the ASCII ones included.
TEST_F(Tokenizer, LettersAreTheCodePages) {
    for (int c = 0; c < 256; ++c)
        EXPECT_EQ(is_letter(static_cast<unsigned char>(c)), platform::is_alpha(static_cast<uint8_t>(c))) << c;
}

// Host names are found at their own records whatever the first letters and lengths
// around them, and another table is indexed afresh.
TEST_F(Tokenizer, HostNamesFoundInAnyTableOrder) {
    exec_state(inst());
    auto set = [](KeywordRecord& r, int id, const char* name) {
        r.id = id;
        r.kind = kFunc;
        r.name_len = static_cast<uint16_t>(std::strlen(name));
        std::memcpy(r.name, name, r.name_len);
    };
    KeywordRecord a[5] = {};
    set(a[0], 0, "zed");
    set(a[1], 1, "webout");
    set(a[2], 2, "Wx");  // an upper-case record, same first letter
    set(a[3], 3, "webdatdata");
    inst().host_table = a;
    const char* found[] = {"zed", "WEBOUT", "wx", "WebDatData"};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(first(found[i]), 0) << found[i];
        EXPECT_EQ(tok().kw, 1000 + i) << found[i];
    }
    // A length the letter has not, a letter the length has not, one past a name.
    for (const char* name : {"webou", "zebout", "wxy", "zx", "z"}) {
        ASSERT_EQ(first(name), 0) << name;
        EXPECT_EQ(tok().type, kTokVariable) << name;
    }
    KeywordRecord b[3] = {};
    set(b[0], 0, "webout");
    set(b[1], 1, "yy");
    inst().host_table = b;
    ASSERT_EQ(first("webout"), 0);
    EXPECT_EQ(tok().kw, 1000);
    ASSERT_EQ(first("yy"), 0);
    EXPECT_EQ(tok().kw, 1001);
    ASSERT_EQ(first("zed"), 0);
    EXPECT_EQ(tok().type, kTokVariable);
    inst().host_table = nullptr;
}

// The pre-read of a line keeps, at each read position, the token the tokenizer reads
// there (a special form's names as read without creating a variable), and creates no
// variable: the same lines read token by token afterwards give the same tokens.
TEST_F(Tokenizer, PreReadKeepsWhatTheReadingFinds) {
    exec_state(inst());
    struct {
        const char* line;
        size_t names;  // tokens read as a special form's names
        std::vector<const char*> vars;  // the names it reads (none of them made yet)
    } cases[] = {
        {"x = a + 12 * (b - 3.5e2) : `s``q` ; note", 0, {"x", "a", "b"}},
        {"if n < 2 then return n", 0, {"n"}},
        {"strcat(&w, max(1, v))", 0, {"w", "v"}},
        {"r = isdefined(q) + vartype(*p) : drop(d1, d2) + objecttypeget(e)", 6, {"r", "q", "p", "d1", "d2", "e"}},
        {"*ptr += -7 mod 3", 0, {"ptr"}},
        {"z = strlen(1) + late : abs(-2) : after", 0, {"z", "late", "after"}},  // names after calls that run no script
    };
    auto any = [](const Instance&, uint8_t, int) { return true; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::string text = c.line;
        LineTokens lt;
        token_cache_line(inst(), &lt, text.c_str(), text.size());
        ASSERT_TRUE(token_preread(inst(), any));
        EXPECT_EQ(lt.name_args.size(), c.names);
        for (const char* name : c.vars) EXPECT_LE(var_lookup(inst(), name), 0) << name;
        // The same line read token by token, without the cache.
        inst().tok.cache = nullptr;
        token_begin(inst(), text.c_str());
        uint16_t at = 0;
        for (;;) {
            const CachedToken* k = nullptr;
            bool name = false;
            for (const CachedToken& t : lt.toks)
                if (t.at == at && !k) k = &t;
            for (const CachedToken& t : lt.name_args)
                if (t.at == at && !k) {
                    k = &t;
                    name = true;
                }
            ASSERT_NE(k, nullptr) << "no token at " << at;
            inst().tok.no_create = name;
            get_token(inst());
            ASSERT_EQ(inst().error(), 0);
            EXPECT_EQ(tok().type, k->type) << at;
            EXPECT_EQ(tok().kw, k->kw) << at;
            EXPECT_EQ(std::string(tok().text), lt.texts.substr(k->text_off, k->text_len)) << at;
            EXPECT_EQ(tok().start - text.c_str(), k->start) << at;
            EXPECT_EQ(tok().pos - text.c_str(), k->end) << at;
            if (k->type == kTokNone) break;
            at = k->end;
        }
    }
}

// What the pre-read cannot read as the text would it leaves to the text: the tokens
// before kept, those after it not, no variable made.
TEST_F(Tokenizer, PreReadDeclines) {
    exec_state(inst());
    ASSERT_GT(var_find_or_create(inst(), "num"), 0);
    struct {
        const char* line;
        size_t kept;  // tokens kept in the cache
    } cases[] = {
        {"x = 1..2", 2},            // a tokenizer error
        {"y = 3 + $\"", 4},          // a multi-line string
        {"o = obj.prop", 2},        // object access
        {"z = call(\"f.web\", \"\") + late", 9},  // a name after a call that may define a function
        {"z = strlen(call(\"f.web\", \"\")) + late", 12},  // ... inside another call
        {"z = dllcall(1, long:\"f\") + late", 11},  // ... or call back into the script
        {"b = num[1]", 2},          // a name before "[" that holds no array
        {"p = ptrglobal(g)", 3},    // a special form that makes names of its own
        {"i = isdefined(5)", 5},    // a special form's argument that is no name (kept as the text keeps it)
    };
    auto any = [](const Instance&, uint8_t, int) { return true; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::string text = c.line;
        LineTokens lt;
        token_cache_line(inst(), &lt, text.c_str(), text.size());
        EXPECT_FALSE(token_preread(inst(), any));
        EXPECT_EQ(lt.toks.size() + lt.name_args.size(), c.kept);
        EXPECT_EQ(inst().error(), 0);
        for (const char* name : {"x", "y", "o", "z", "late", "b", "p", "g", "i"}) EXPECT_LE(var_lookup(inst(), name), 0);
    }
    // A statement the caller does not want read further: nothing kept.
    std::string text = "for i = 1 to 3";
    LineTokens lt;
    token_cache_line(inst(), &lt, text.c_str(), text.size());
    EXPECT_FALSE(token_preread(inst(), [](const Instance&, uint8_t type, int) { return type == kTokVariable; }));
    EXPECT_TRUE(lt.toks.empty());
}

}  // namespace
