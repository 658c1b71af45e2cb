// The evaluator and the router through a real instance: operators, conversions in
// context, comparison modes, assignment, calls and their argument errors, pointers,
// special forms, arrays and the nesting bound.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "interp/data/convert.h"
#include "interp/run/eval.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/run/router.h"
#include "interp/run/tokenizer.h"
#include "interp_eval_fixture.h"

using namespace kel;
using namespace kel::interp;

namespace {

class Eval : public test::EvalFixture {};

TEST_F(Eval, StringOperandsConvert) {
    EXPECT_EQ(run("\"10\" + 5"), "i:15");
    EXPECT_EQ(run("\"1.5\" + 1"), "f:2.5");
    EXPECT_EQ(run("\"abc\" + 1"), "E3057");
    EXPECT_EQ(run("\" 12\" + 0"), "i:12");
    EXPECT_EQ(run("\"12 \" + 0"), "E3057");
    EXPECT_EQ(run("\"1d3\" + 0"), "E3057");
}

TEST_F(Eval, IntegerArithmetic) {
    EXPECT_EQ(run("7 / 2"), "i:3");
    EXPECT_EQ(run("-7 mod 2"), "i:-1");
    EXPECT_EQ(run("5 / 0"), "E3062");
    EXPECT_EQ(run("5 mod 0"), "E3062");
    EXPECT_EQ(run("2 + 3 * 4"), "i:14");
    EXPECT_EQ(run("(2 + 3) * 4"), "i:20");
    EXPECT_EQ(run("1 << 33"), "i:2");
    EXPECT_EQ(run("-8 >> 1"), "i:-4");
    EXPECT_EQ(run("6 & 3 | 8 ^ 1"), "i:11");
    EXPECT_EQ(run("1 && 0"), "i:0");
    EXPECT_EQ(run("0 || 2"), "i:1");
}

TEST_F(Eval, IntegerWrapping) {
    EXPECT_EQ(run("2147483647 + 1"), "i:-2147483648");
    EXPECT_EQ(run("(-2147483647 - 1) / -1"), "i:-2147483648");
    EXPECT_EQ(run("(-2147483647 - 1) mod -1"), "i:0");
    EXPECT_EQ(run("65536 * 65536"), "i:0");
    EXPECT_EQ(run("4294967297"), "i:1");
}

TEST_F(Eval, Power) {
    EXPECT_EQ(run("2 ** -1"), "E1351");
    EXPECT_EQ(run("2.0 ** -1"), "f:0.5");
    EXPECT_EQ(run("0 ** 0"), "i:1");
    EXPECT_EQ(run("2 ** 3 ** 2"), "i:64");
    EXPECT_EQ(run("3 ** 5"), "i:243");
    // Squaring keeps a huge exponent inside one statement cheap.
    EXPECT_EQ(run("2 ** 2000000000"), "i:0");
    EXPECT_EQ(run("-1 ** 2000000001"), "i:-1");
}

TEST_F(Eval, FloatArithmeticAndRange) {
    EXPECT_EQ(run("7.0 / 2"), "f:3.5");
    EXPECT_EQ(run("5.0 / 0"), "E3062");
    EXPECT_EQ(run("7.5 mod 2"), "f:1.5");
    EXPECT_EQ(run("1e301 * 10"), "E1342");
    EXPECT_EQ(run("1e-301 / 10"), "f:0.0");
    EXPECT_EQ(run("1 & 2.0"), "E3063");
    EXPECT_EQ(run("1.5 << 1"), "E3063");
    EXPECT_EQ(run("1.5 && 2"), "i:1");
    EXPECT_EQ(run("1e400"), "E1342");
}

TEST_F(Eval, UnaryOperators) {
    EXPECT_EQ(run("!0"), "i:1");
    EXPECT_EQ(run("!2.5"), "i:0");
    EXPECT_EQ(run("-\"5\""), "i:-5");
    EXPECT_EQ(run("+\"2.5\""), "f:2.5");
    EXPECT_EQ(run("~0"), "i:-1");
    EXPECT_EQ(run("~1.5"), "E3064");
    EXPECT_EQ(run("-\"x\""), "E3057");
    EXPECT_EQ(run("- - 3"), "i:3");
}

TEST_F(Eval, Comparison) {
    EXPECT_EQ(run("\"abc\" == \"ABC\""), "i:0");
    EXPECT_EQ(run("\"10\" == 10"), "i:1");
    EXPECT_EQ(run("\"010\" == \"10\""), "i:1");
    EXPECT_EQ(run("\"12345678901\" > \"9\""), "i:1");
    EXPECT_EQ(run("0.1 + 0.2 == 0.3"), "i:1");
    EXPECT_EQ(run("\"1.5\" == 1.5"), "i:1");
    EXPECT_EQ(run("\"a\" < \"b\""), "i:1");
    EXPECT_EQ(run("2 <> 3"), "i:1");
    EXPECT_EQ(run("2 >= 3"), "i:0");
    EXPECT_EQ(run("\"abc\" != \"abc\""), "i:0");
}

TEST_F(Eval, ComparisonFollowsDecimals) {
    inst().decimals = 2;
    EXPECT_EQ(run("1.001 == 1.002"), "i:1");
    inst().decimals = -1;
    EXPECT_EQ(run("1.001 == 1.002"), "i:0");
}

TEST_F(Eval, Concatenation) {
    EXPECT_EQ(run("\"ab\" : 12"), "s:ab12");
    EXPECT_EQ(run("1.5 : \"x\""), "s:1.5x");
    EXPECT_EQ(run("1 : 2 + 3"), "s:15");
}

TEST_F(Eval, Constants) {
    EXPECT_EQ(run("@crlf"), "s:\r\n");
    EXPECT_EQ(run("@tab : @lf"), "s:\t\n");
    EXPECT_EQ(run("@true + @false"), "i:1");
    line = "@pi";
    token_begin(inst(), line.c_str());
    get_token(inst());
    Value v = empty_value();
    eval_expression(inst(), v, false, false, line.c_str());
    ASSERT_EQ(inst().error(), 0);
    EXPECT_EQ(v.f, 3.141592653589793);
}

TEST_F(Eval, SyntaxErrors) {
    EXPECT_EQ(run("(1 + 2"), "E3065");
    EXPECT_EQ(run("1 +"), "E3061");
    EXPECT_EQ(let("x = 2"), "i:2");
    EXPECT_EQ(run("x = 1"), "E3069");
    EXPECT_EQ(inst().add_info, "To compare two values, use == instead");
}

TEST_F(Eval, NestingIsBounded) {
    std::string deep = std::string(100, '(') + "1" + std::string(100, ')');
    EXPECT_EQ(run(deep), "i:1");
    EXPECT_EQ(run(std::string(2000, '(') + "1"), "E3353");
    std::string minus;
    for (int i = 0; i < 1000; ++i) minus += "- ";
    EXPECT_EQ(run(minus + "1"), "E3353");
    EXPECT_EQ(inst().eval_depth, 0);
}

TEST_F(Eval, AssignmentAndCompound) {
    EXPECT_EQ(let("x = 1 == 1"), "i:1");
    EXPECT_EQ(run("x"), "i:1");
    EXPECT_EQ(let("x = 5"), "i:5");
    EXPECT_EQ(let("x += 2"), "i:7");
    EXPECT_EQ(let("x *= 3"), "i:21");
    EXPECT_EQ(let("x mod= 4"), "i:1");
    EXPECT_EQ(let("x <<= 4"), "i:16");
    EXPECT_EQ(let("s = \"a\""), "s:a");
    EXPECT_EQ(let("s := \"b\""), "s:ab");
    EXPECT_EQ(run("s"), "s:ab");
    EXPECT_EQ(let("a = 1 2"), "E3074");
    EXPECT_EQ(let("nothing += 1"), "E3052");
    EXPECT_EQ(run("undefinedvar"), "E3052");
}

TEST_F(Eval, AssignmentLineThatIsAnExpression) {
    EXPECT_EQ(let("x = 3"), "i:3");
    EXPECT_EQ(let("x == 3"), "i:1");
}

TEST_F(Eval, LongStringsAssignAndConcatenate) {
    std::string big(2000, 'q');
    EXPECT_EQ(let("s = \"" + big + "\""), "s:" + big);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(let("s = s : s").substr(0, 2), "s:") << i;
    EXPECT_EQ(run("s").size(), 2 + (big.size() << 6));
    // Doubling until the reservation is used up ends in 3096, not a crash.
    std::string r;
    for (int i = 0; i < 20 && r.substr(0, 1) != "E"; ++i) r = let("s = s : s");
    EXPECT_EQ(r, "E3096");
    EXPECT_EQ(let("s = 1"), "i:1");
}

TEST_F(Eval, PointersAndDereference) {
    EXPECT_EQ(let("x = 5"), "i:5");
    std::string p = let("p = &x");
    ASSERT_EQ(p.substr(0, 11), "s:#VAR$PTR#");
    EXPECT_EQ(run("*p"), "i:5");
    EXPECT_EQ(run("*p + 1"), "i:6");
    EXPECT_EQ(run("&5"), "E3818");
    EXPECT_EQ(run("*\"abc\""), "E3813");
    EXPECT_EQ(run("* p = 7", false, true), "i:7");
    EXPECT_EQ(run("x"), "i:7");
    EXPECT_EQ(run("* p", false, true), "i:7");
}

TEST_F(Eval, SpecialForms) {
    EXPECT_EQ(let("x = 5"), "i:5");
    EXPECT_EQ(run("IsDefined(x)"), "i:1");
    EXPECT_EQ(run("isdefined(neverseen)"), "i:0");
    EXPECT_EQ(var_lookup(inst(), "neverseen"), -1);
    EXPECT_EQ(run("vartype(x)"), "i:1");
    EXPECT_EQ(run("vartype(neverseen)"), "i:0");
    EXPECT_EQ(let("s = \"a\""), "s:a");
    EXPECT_EQ(run("vartype(s)"), "i:2");
    EXPECT_EQ(run("objecttypeget(x)"), "s:");
    EXPECT_EQ(run("Drop(x, s)"), "i:1");
    EXPECT_EQ(run("IsDefined(x)"), "i:0");
    EXPECT_EQ(run("Drop(5)"), "E3102");
    EXPECT_EQ(run("isdefined x"), "E3067");
    EXPECT_EQ(run("vartype(x"), "E3066");
}

TEST_F(Eval, GlobalPointerForms) {
    std::string p = run("PtrGlobalDefine(g)");
    ASSERT_EQ(p.substr(0, 15), "s:#VAR$PTR#0000");
    EXPECT_EQ(run("ptrglobaltest(g)"), "i:1");
    EXPECT_EQ(run("ptrglobaltest(other)"), "i:0");
    EXPECT_EQ(run("ptrglobal(g)"), p);
    EXPECT_EQ(let("h = 1"), "i:1");
    EXPECT_EQ(run("ptrglobal(h)"), "E3821");
    EXPECT_EQ(inst().add_info, "Not a global variable");
    EXPECT_EQ(run("ptrglobal(nosuch)"), "E3821");
    EXPECT_EQ(run("ptrglobal(5)"), "E3821");
    EXPECT_EQ(inst().add_info, "Not a variable name");
}

TEST_F(Eval, Calls) {
    EXPECT_EQ(run("decimals(2)"), "i:-1");
    EXPECT_EQ(inst().decimals, 2);
    EXPECT_EQ(run("1.5 : \"\""), "s:1.50");
    EXPECT_EQ(run("Decimals(\"3.5\")"), "i:2");
    EXPECT_EQ(inst().decimals, 4);
    EXPECT_EQ(run("decimals(-9)"), "i:4");
    EXPECT_EQ(inst().decimals, -1);
}

TEST_F(Eval, CallArgumentErrors) {
    EXPECT_EQ(run("decimals 1"), "E3067");
    EXPECT_EQ(inst().add_info, "decimals not followed by open parenthesis");
    EXPECT_EQ(run("decimals()"), "E3068");
    EXPECT_EQ(run("decimals(1, 2)"), "E3066");
    EXPECT_EQ(inst().add_info, "or missing parenthesis");
    EXPECT_EQ(run("decimals(1"), "E3066");
    EXPECT_EQ(run("decimals(\"abc\")"), "E3057");
    EXPECT_EQ(inst().add_info, "Argument number 1 could not be converted");
    EXPECT_EQ(run("decimals(\"12 \")"), "E3057");
    EXPECT_EQ(run("decimals(\"1d3\")"), "E3057");
    EXPECT_EQ(run("decimals(2147483646.0)"), "E3057");
}

TEST_F(Eval, DisabledFunction) {
    int k = keyword_index("decimals");
    set_keyword_disabled(k, true);
    EXPECT_EQ(run("decimals(1)"), "E3472");
    set_keyword_disabled(k, false);
    EXPECT_EQ(run("decimals(-1)"), "i:-1");
}

TEST_F(Eval, ObjectAccessIsRefused) { EXPECT_EQ(run("obj.method(1)"), "E3046"); }

TEST_F(Eval, RouterConversions) {
    int k = keyword_index("decimals");
    uint64_t types = param_type_word(keyword(k));
    Value args[1] = {empty_value()};
    Value result = empty_value();
    args[0].str = heap_strdup(inst(), "  -2");
    args[0].flags = kVtStr;
    EXPECT_EQ(call_builtin(inst(), k, result, args, 1, false, types), 0);
    EXPECT_EQ(inst().decimals, -2);
    EXPECT_EQ(args[0].flags & kVtStr, kVtStr);  // the string form is kept
    release_value(inst(), args[0]);
    args[0] = empty_value();
    args[0].str = heap_strdup(inst(), "-2.5");
    args[0].flags = kVtStr;
    EXPECT_EQ(call_builtin(inst(), k, result, args, 1, false, types), 0);
    EXPECT_EQ(inst().decimals, -3);
    release_value(inst(), args[0]);
    release_value(inst(), result);
}

TEST_F(Eval, RouterUnknownIds) {
    Value result = empty_value();
    EXPECT_EQ(call_builtin(inst(), 9000, result, nullptr, 0, false, 0), 3046);
    inst().clear_error();
    EXPECT_EQ(call_builtin(inst(), 10001, result, nullptr, 0, false, 0), 3046);
    inst().clear_error();
    // A host id with no parent callback does nothing and succeeds with 0.
    EXPECT_EQ(call_builtin(inst(), 1005, result, nullptr, 0, false, 0), 0);
    EXPECT_EQ(result.flags, kVtInt);
    EXPECT_EQ(result.i, 0);
}

TEST_F(Eval, RouterPendingFloatError) {
    Value result = empty_value();
    fp_pending_set(kel::Err::MathDomain);
    int k = keyword_index("decimals");
    Value args[1] = {empty_value()};
    args[0].i = -1;
    args[0].flags = kVtInt;
    EXPECT_EQ(call_builtin(inst(), k, result, args, 1, false, param_type_word(keyword(k))), 1341);
    EXPECT_EQ(fp_pending_peek(), 0);
}

// The host callback answers with the text of its first argument.
int32_t echo_parent(Hwnd, uintptr_t, uint32_t magic, int32_t code, ResultCallback answer, RequestRecord* req,
                    uintptr_t, ExchangeValue* args, int32_t argc, ExchangeValue*) {
    ExchangeValue r{};
    std::string text = "code" + std::to_string(code) + ":" + (argc > 0 && args[0].str ? args[0].str : "");
    r.flags = kVtStr;
    r.str = text.data();
    answer(0, magic, req, &r);
    return 0;
}

TEST_F(Eval, HostFunctionCall) {
    KeywordRecord table[3] = {};
    table[1].id = 1;
    table[1].kind = kFunc;
    table[1].ptypes[0] = kPtStr;
    table[1].u.args.required = 1;
    table[1].name_len = 7;
    std::memcpy(table[1].name, "webecho", 7);
    table[0].id = 0;
    table[0].kind = kFunc;
    table[0].name_len = 5;
    std::memcpy(table[0].name, "webno", 5);
    inst().host_table = table;
    EXPECT_EQ(run("webecho(12)"), "i:0");  // no parent: nothing happens
    inst().parent = &echo_parent;
    EXPECT_EQ(run("webecho(12)"), "s:code1:12");
    EXPECT_EQ(run("webecho()"), "E3068");
    inst().parent = nullptr;
    inst().host_table = nullptr;
}

TEST_F(Eval, UnimplementedBuiltinIsAnError) {
    // No family implements the media functions in this build.
    EXPECT_EQ(run("playmidi(\"a\", 1)"), "E3046");
    EXPECT_NE(inst().add_info.find("playmidi"), std::string::npos);
}

TEST_F(Eval, Arrays) {
    ASSERT_EQ(let("a = arrdimension(3)"), "a");
    EXPECT_EQ(let("a[1] = 5"), "i:5");
    EXPECT_EQ(run("a[1]"), "i:5");
    EXPECT_EQ(run("a[1] + a[1]"), "i:10");
    EXPECT_EQ(let("a[1] += 2"), "i:7");
    EXPECT_EQ(run("a[3]"), "E1636");
    EXPECT_EQ(run("a[-1]"), "E1636");
    EXPECT_EQ(run("a[0]"), "E1640");
    EXPECT_EQ(run("a[1, 2]"), "E1635");
    EXPECT_EQ(run("a[\"x\"]"), "E1634");
    EXPECT_EQ(run("a[1 2]"), "E1633");
    EXPECT_EQ(run("a[1.4]"), "i:7");
    EXPECT_EQ(let("a[2] = a"), "E3647");
    EXPECT_EQ(let("b = a"), "a");
    EXPECT_EQ(let("b[2] = \"s\""), "s:s");
    EXPECT_EQ(run("a[2]"), "s:s");  // arrays are assigned by reference
    EXPECT_EQ(run("vartype(a)"), "i:256");
    EXPECT_EQ(run("isdefined(a[2])"), "i:1");
    EXPECT_EQ(run("isdefined(a[0])"), "i:0");
    EXPECT_EQ(let("p = &a"), let("p = &a"));
    EXPECT_EQ(run("p[1]"), "i:7");  // a pointer to an array subscripts like the array
    EXPECT_EQ(let("a = 1"), "i:1");
    EXPECT_EQ(run("b[1]"), "i:7");
}

// Random lines built from the language's pieces: whatever they say, evaluation ends with
// a value or an error number, and leaves no nesting count behind.
TEST_F(Eval, RandomLinesNeverCrash) {
    static const char* const kPieces[] = {
        "(", ")", "[", "]", ",", "+", "-", "*", "/", "**", "mod", "mod=", ":", "::", "=", "==", "<>", "<<", "&",
        "&&", "|", "~", "!", "1", "0", "2147483647", "1.5e3", ".", "1e", "\"s\"", "'q''", "x", "a", "p", "@pi",
        "@crlf", "decimals", "isdefined", "drop", "vartype", "ptrglobal", "strlen", "obj.m", "$\"", "*p", "&x",
        " ", ";", "\x01", "\xE9", "arrdimension(2)", "a[1]", "a[", "+=", ":=",
    };
    ASSERT_EQ(let("a = arrdimension(3)"), "a");
    ASSERT_EQ(let("x = 1"), "i:1");
    ASSERT_EQ(let("p = &x").substr(0, 2), "s:");
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    const size_t n = sizeof kPieces / sizeof kPieces[0];
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        int len = 1 + static_cast<int>(next() % 12);
        for (int k = 0; k < len; ++k) text += kPieces[next() % n];
        run(text, (i & 1) != 0, (i % 7) == 0);
        ASSERT_EQ(inst().eval_depth, 0) << text;
    }
}

}  // namespace
