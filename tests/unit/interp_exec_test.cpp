// The statement loop run in-process: structure-stack errors and limits, the errors every
// statement can raise, and the edge cases of if/else, for, switch, goto and gosub.
#include <gtest/gtest.h>

#include <string>

#include "interp_run_fixture.h"

using namespace kel;

namespace {

struct ErrorCase {
    const char* name;
    const char* script;
    uint16_t error;
    const char* out;  // what out() printed before the error
};

const ErrorCase kErrorCases[] = {
    {"GotoLabelNotFound", "out(`a`)\ngoto nowhere\nout(`b`)\n", 3033, "a\n"},
    {"GotoWithoutLabel", "goto\n", 3073, ""},
    {"GosubWithoutLabel", "gosub\n", 3073, ""},
    {"GosubLabelNotFound", "gosub nowhere\n", 3033, ""},
    {"GosubExtraAfterLabel", "gosub there x\n:there\nreturn\n", 3074, ""},
    {"ThenWithoutIf", "then out(`x`)\n", 3050, ""},
    {"ElseAfterWhileResetsIfResult", "if 0 then x = 1\nwhile 0\nendwhile\nelse out(`x`)\n", 3050, ""},
    {"ThenMissing", "if 1 out(`x`)\n", 3072, ""},
    {"ElseIfThenMissing", "if 0\nelseif 1 2\nendif\n", 3072, ""},
    {"ExpressionContinues", "x = 1 2\n", 3074, ""},
    {"ExpressionContinuesBracket", "out(`a`) [1]\n", 3074, "a\n"},
    {"ReturnValueFromGosub", "gosub sub\nexit\n:sub\nreturn 5\n", 1760, ""},
    {"NestingTooDeep",
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "while 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\nwhile 1\n"
     "out(`depth 100`)\nwhile 1\nout(`never`)\n",
     3353, "depth 100\n"},
    {"EndWithoutMatch", "while 0\nendif\n", 3357, ""},
    {"EndwhileWithoutWhile", "endwhile\n", 3357, ""},
    {"NextWithoutFor", "next\n", 3357, ""},
    {"EndswitchWithoutSwitch", "endswitch\n", 3357, ""},
    {"BreakAtTopLevel", "break\n", 3355, ""},
    {"ContinueAtTopLevel", "continue\n", 3356, ""},
    {"BreakInGosubNotInLoop", "while 1\ngosub sub\nendwhile\n:sub\nbreak\n", 3355, ""},
    {"ElseWithEmptyStack", "else\n", 3354, ""},
    {"ElseInsideWhile", "while 0\nelse\nendwhile\n", 3358, ""},
    {"ElseIfWithoutIf", "elseif 1\n", 3368, ""},
    {"ForBadSyntax", "for 1 to 3\nnext\n", 3360, ""},
    {"ForWithoutTo", "for i = 1\nnext\n", 3360, ""},
    {"ForStringCounter", "for i = `abc` to 3\nnext\n", 3361, ""},
    {"ForStringLimit", "for i = 1 to `abc`\nnext\n", 3361, ""},
    {"ForBadBy", "for i = 1 to 3 x 2\nnext\n", 3074, ""},
    {"MisplacedTo", "to 5\n", 3362, ""},
    {"EndAlone", "end\n", 3363, ""},
    {"EndFollowedByOther", "end foo\n", 3363, ""},
    {"SwitchFloat", "switch 1.5\nendswitch\n", 3364, ""},
    {"SwitchString", "switch `abc`\nendswitch\n", 3364, ""},
    {"CaseWithoutSwitch", "case 1\n", 3365, ""},
    {"WhileExtra", "while 0 1\nendwhile\n", 3074, ""},
    {"ForeachBadSyntax", "foreach x y\nnext\n", 3729, ""},
    {"ConditionNotNumber", "if `abc` then out(`x`)\n", 3057, ""},
    {"DefineWithoutEnd", "out(`a`)\n#DefineFunction f()\nx = 1\n", 3723, "a\n"},
    {"EndFunctionWithoutDefine", "#EndFunction\n", 3625, ""},
    {"EndSubroutineWithoutDefine", "#EndSubroutine\n", 3693, ""},
    {"LineTooLong", nullptr, 3722, ""},
    {"DivideByZero", "x = 1 / 0\n", 3062, ""},
    {"MultilineStringSingleColon", "x = $\"a:b\n$\"\n", 3605, ""},
    {"MultilineStringSingleHash", "x = $\"a#b\n$\"\n", 3605, ""},
    {"MultilineStringUnclosed", "x = $\"abc\nmore\n", 3059, ""},
};

class StatementError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(StatementError, RaisesItsNumber) {
    const ErrorCase& c = GetParam();
    test::RunHost h;
    ASSERT_TRUE(h.start());
    std::string script = c.script ? c.script : "x = `" + std::string(2100, 'a') + "`\n";
    h.run(script);
    EXPECT_EQ(h.error(), c.error) << h.stderr_text;
    EXPECT_EQ(h.out, c.out);
    std::string line = std::to_string(c.error) + ":  ";
    EXPECT_NE(h.stderr_text.find(line), std::string::npos) << h.stderr_text;
}

INSTANTIATE_TEST_SUITE_P(Statements, StatementError, ::testing::ValuesIn(kErrorCases),
                         [](const ::testing::TestParamInfo<ErrorCase>& i) { return std::string(i.param.name); });

class StatementRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(h_.start()); }
    test::RunHost h_;
};

TEST_F(StatementRun, AddedLinesOfExpressionErrors) {
    h_.run("IntControl(73, 1, 0, 0, 0)\nx = 1 2\nexit\n:tkerrorhandler\nout(tkerroradditionalinfo)\n");
    EXPECT_NE(h_.out.find("Check for extra ) on end"), std::string::npos) << h_.out;
    h_.out.clear();
    h_.run("IntControl(73, 1, 0, 0, 0)\nout(`a`) [1]\nexit\n:tkerrorhandler\nout(tkerroradditionalinfo)\n");
    EXPECT_NE(h_.out.find("Check for subscripts enclosed in square brackets"), std::string::npos) << h_.out;
    h_.out.clear();
    h_.run("IntControl(73, 1, 0, 0, 0)\nx = $\"a:b\n$\"\nexit\n:tkerrorhandler\nout(tkerroradditionalinfo)\n");
    EXPECT_NE(h_.out.find("':'\nCheck for colons (:) and number signs (#) in multiline strings (Use :: and ##)"),
              std::string::npos)
        << h_.out;
}

TEST_F(StatementRun, MultilineStringDoubledMarks) {
    h_.run("x = $\"a::b##c\nsecond line\n$\"\nout(x)\n");
    EXPECT_EQ(h_.out, "a:b#c\nsecond line\n\n");
    EXPECT_EQ(h_.error(), 0);
}

TEST_F(StatementRun, NestingLimitCountsFunctionFrames) {
    // A function recursing from the main script: depth 99 works, 100 fails.
    h_.run(
        "#DefineFunction r(n)\n"
        "if n <= 1 then return 1\n"
        "return 1 + r(n - 1)\n"
        "#EndFunction\n"
        "out(r(100))\n");
    EXPECT_EQ(h_.out, "100\n");
    h_.out.clear();
    h_.run(
        "#DefineFunction r(n)\n"
        "if n <= 1 then return 1\n"
        "return 1 + r(n - 1)\n"
        "#EndFunction\n"
        "out(r(101))\n");
    EXPECT_EQ(h_.out, "");
    EXPECT_NE(h_.stderr_text.find("3353:"), std::string::npos) << h_.stderr_text;
}

TEST_F(StatementRun, EndlessRecursionEndsWithError) {
    h_.run("#DefineFunction r(n)\nreturn r(n + 1)\n#EndFunction\nx = r(1)\nout(`never`)\n");
    EXPECT_EQ(h_.out, "");
    EXPECT_NE(h_.error(), 0);
}

TEST_F(StatementRun, SingleLineElseRelatesToLastIf) {
    h_.run("if 0 then x = 1\ny = 5\nelse x = 2\nout(x)\n");
    EXPECT_EQ(h_.out, "2\n");
}

TEST_F(StatementRun, ForEdges) {
    h_.run(
        "for i = 1 to 3\nnext\nout(i)\n"
        "for i = 3 to 1\nnext\nout(i)\n"
        "s = ``\nfor i = 5 to 1 by -2\ns = s : i\nnext\nout(s)\n");
    EXPECT_EQ(h_.out, "4\n3\n531\n");
}

TEST_F(StatementRun, SwitchFallsThroughAndMatchesFloatCase) {
    h_.run(
        "switch 2\ncase 1\nout(`one`)\ncase 2\nout(`two`)\ncase 3\nout(`three`)\nbreak\ncase 4\nout(`four`)\n"
        "endswitch\n"
        "switch 2\ncase 2.0\nout(`float case`)\nendswitch\n");
    EXPECT_EQ(h_.out, "two\nthree\nfloat case\n");
}

TEST_F(StatementRun, BreakInsideIfEndsLoop) {
    h_.run("n = 0\nwhile 1\nn = n + 1\nif n == 3\nbreak\nendif\nendwhile\nout(n)\n");
    EXPECT_EQ(h_.out, "3\n");
}

TEST_F(StatementRun, LabelWithStatement) {
    // The statement after the label runs when execution flows into the line; a jump to
    // the label continues at the line after it.
    h_.run("x = 0\n:top x = x + 1\nx = x + 10\nif x < 30 then goto top\nout(x)\n");
    EXPECT_EQ(h_.out, "31\n");
}

TEST_F(StatementRun, GotoToComputedLabelIsNotFrozen) {
    h_.run(
        "n = 0\n"
        ":again\n"
        "n = n + 1\n"
        "if n == 1 then dest = `one`\n"
        "if n == 2 then dest = `two`\n"
        "if n == 3 then dest = `done`\n"
        "goto %dest%\n"
        ":one\nout(`one`)\ngoto again\n"
        ":two\nout(`two`)\ngoto again\n"
        ":done\nout(`done`)\n");
    EXPECT_EQ(h_.out, "one\ntwo\ndone\n");
}

TEST_F(StatementRun, ExecuteCatchesErrors) {
    h_.run("IntControl(87, 2, 0, 0, 0)\nexecute x = 1 / 0\nout(`went on`)\nexecute y = 5\nout(y)\n");
    EXPECT_EQ(h_.out, "went on\n5\n");
    EXPECT_EQ(h_.error(), 0);
}

TEST_F(StatementRun, YieldAndBeepRun) {
    h_.run("yield\nout(`after yield`)\n");
    EXPECT_EQ(h_.out, "after yield\n");
}

TEST_F(StatementRun, PtrGlobalAcrossFrames) {
    h_.run(
        "#DefineFunction bump()\n"
        "p = PtrGlobal(counter)\n"
        "*p = *p + 1\n"
        "return *p\n"
        "#EndFunction\n"
        "counter = 10\n"
        "PtrGlobalDefine(counter)\n"
        "out(bump())\n"
        "out(bump())\n"
        "out(counter)\n");
    EXPECT_EQ(h_.out, "11\n12\n12\n");
}

TEST_F(StatementRun, PtrGlobalDefineOnlyFromMainScript) {
    h_.run(
        "#DefineFunction f()\n"
        "x = 1\n"
        "PtrGlobalDefine(x)\n"
        "return 1\n"
        "#EndFunction\n"
        "IntControl(73, 1, 0, 0, 0)\n"
        "r = f()\n"
        "exit\n"
        ":tkerrorhandler\n"
        "out(tkerrorarray[0])\n");
    EXPECT_NE(h_.stderr_text.find("PtrGlobalDefine may only be called from the main script"), std::string::npos)
        << h_.stderr_text << h_.out;
}

TEST_F(StatementRun, SubroutineSharesCallersFrame) {
    h_.run(
        "#DefineSubroutine s(a)\n"
        "shared = a * 2\n"
        "#EndSubroutine\n"
        "#DefineFunction f(a)\n"
        "shared = a * 3\n"
        "return shared\n"
        "#EndFunction\n"
        "s(4)\n"
        "out(shared)\n"
        "out(f(5))\n"
        "out(shared)\n");
    EXPECT_EQ(h_.out, "8\n15\n8\n");
}

TEST_F(StatementRun, ExitInsideFunctionEndsScript) {
    h_.run("#DefineFunction f()\nout(`in f`)\nexit\n#EndFunction\nf()\nout(`never`)\n");
    EXPECT_EQ(h_.out, "in f\n");
    EXPECT_EQ(h_.stderr_text, "");
}

TEST_F(StatementRun, HostStopBreaksEndlessLoopWithoutReportingTwice) {
    h_.run("n = 0\n:loop\nn = n + 1\nif n == 5 then hoststop()\ngoto loop\n");
    EXPECT_EQ(h_.error(), 9013);
    size_t first = h_.stderr_text.find("194:");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(h_.stderr_text.find("194:", first + 1), std::string::npos);
}

TEST_F(StatementRun, RerunOnSameInstanceStartsClean) {
    h_.run("x = 1 / 0\n");
    EXPECT_EQ(h_.error(), 3062);
    h_.run("out(`second run`)\n");
    EXPECT_EQ(h_.out, "second run\n");
    EXPECT_EQ(h_.error(), 0);
}

}  // namespace
