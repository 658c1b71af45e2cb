// Compiled lines against the text they came from: each script runs once with the line
// cache (so that its repeated lines run compiled) and once without, in-process, and
// everything observable must be the same: output, error, its real code, the report.
#include <gtest/gtest.h>

#include <cstdlib>

#include "interp_run_fixture.h"

namespace kel {
namespace {

struct Outcome {
    std::string out, report;
    uint16_t error = 0, real = 0;
    uint64_t compiled = 0, tails = 0;
};

Outcome run_once(const std::string& text, bool cache) {
    if (cache)
        ::unsetenv("KEL_TOKEN_CACHE");
    else
        ::setenv("KEL_TOKEN_CACHE", "0", 1);
    Outcome o;
    {
        test::RunHost h;
        EXPECT_TRUE(h.start());
        h.run(text);
        o.out = h.out;
        o.report = h.stderr_text;
        o.error = h.error();
        o.real = h.real_code();
        test::Entered e(h.host.inst_block);
        if (e.inst().exec) {
            o.compiled = e.inst().exec->compiled_runs;
            o.tails = e.inst().exec->compiled_tails;
        }
    }
    ::unsetenv("KEL_TOKEN_CACHE");
    return o;
}

struct Case {
    const char* name;
    const char* text;
    uint64_t min_compiled;  // how many line runs at least must have been compiled ones
};

const Case kCases[] = {
    {"ArithmeticOfEveryOperator",
     "t = 0\nfor i = -6 to 6\n"
     "t = t + i * 3 - (i mod 4) + (i / 2) + (i << 2) + (i >> 1) + (i & 5) + (i | 2) + (i ^ 7) + !i + ~i - -i\n"
     "u = (i < 2) + (i <= 2) * 2 + (i > 2) * 4 + (i >= 2) * 8 + (i == 2) * 16 + (i != 2) * 32 + (i <> 3) * 64\n"
     "v = (i && 2) + (i || 0) * 2 + i ** 2 + i * 2147483647\n"
     "out(t : ` ` : u : ` ` : v)\nnext\n",
     30},
    {"DivisionByZeroOnALaterPass",
     "for i = 1 to 5\nx = 10 / (3 - i)\nout(x)\nnext\n", 1},
    {"ModuloOfMinusOneAndTheSmallestInteger",
     "m = -2147483647 - 1\nfor i = 1 to 3\nout(m / -1 : ` ` : m mod -1 : ` ` : m / i)\nnext\n", 2},
    {"TypesChangeBetweenPasses",
     "for i = 1 to 6\nx = i\nif i == 2 then x = `12`\nif i == 3 then x = 1.25\nif i == 4 then x = `0x10`\n"
     "if i == 5 then x = `-7`\ny = x * 2 + 1\nz = x < 10\nout(y : ` ` : z : ` ` : -x)\nnext\n",
     12},
    {"UndefinedVariableOnALaterPass",
     "t = 5\nfor i = 1 to 3\nif i == 3 then drop(t)\nu = t + i\nout(u)\nnext\n", 2},
    {"VariablesFirstSeenInAFunctionFrame",
     "#DefineFunction g(a)\nb = a + 1\nc = b * 2\nreturn c - a\n#EndFunction\n"
     "s = 0\nfor i = 1 to 20\ns = s + g(i)\nnext\nout(s)\n",
     40},
    {"ErrorHandlerGoesOnAfterACompiledLine",
     "IntControl(73, 2, 0, 0, 0)\nn = 0\nfor i = 1 to 6\nx = 6 / (i - 2)\nn = n + 1\nnext\nout(n)\nexit\n"
     ":tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nreturn\n",
     2},
    {"SkippedBlocksInsideLoops",
     "s = ``\nfor i = 1 to 8\nif i mod 3 == 0\ns = s : `a` : i\nif i == 6\ns = s : `!`\nendif\nelse\n"
     "s = s : `b`\nendif\nwhile i > 100\ns = s : `never`\nendwhile\nnext\nout(s)\n",
     30},
    {"BreakContinueAndNestedLoops",
     "s = ``\nfor i = 1 to 5\nj = 0\nwhile 1\nj = j + 1\nif j > i then break\nif j == 2 then continue\n"
     "s = s : i : j : ` `\nendwhile\nif i == 4 then break\nnext\nout(s)\n",
     30},
    {"ConcatenationInEveryShape",
     "s = ``\nw = `x`\nfor i = 1 to 40\ns = s : i : `,`\nw = w : w : i\nif i == 10 then s = s : 2.5 : s\n"
     "if strlen(w) > 200 then w = `y`\nnext\nout(strlen(s) : ` ` : w)\nout(strsub(s, 1, 80))\n",
     60},
    {"ReturnValuesKeepTheirKinds",
     "#DefineFunction k(n)\nif n == 1 then return 5\nif n == 2 then return `five`\nif n == 3 then return 5.5\n"
     "x = n\nreturn x\n#EndFunction\nfor i = 1 to 5\nr = k(i)\nout(r : ` ` : vartype(r))\nnext\n",
     10},
    {"RecursionThroughNestedParentheses",
     "#DefineFunction r(n)\nif n <= 0 then return 0\nreturn ((((((1 + r(n - 1)))))))\n#EndFunction\n"
     "out(r(30))\nout(r(60))\n",
     30},
    {"NameBecomesAFunctionLater",
     "n = 0\nfoo = 1\n:again\nn = n + 1\nx = foo + 1\nout(x)\nif n < 3 then goto again\n"
     "#DefineFunction foo()\nreturn 10\n#EndFunction\nif n < 6 then goto again\n",
     2},
    {"HostFunctionsInLoops",
     "for i = 1 to 4\nout(`line ` : i)\nnext\n", 3},
    {"CallersKeepTheirPersistentVariables",
     "#DefineFunction c()\np = ptrpersistent(count, 0)\n*p = *p + 1\nreturn *p\n#EndFunction\n"
     "#DefineFunction o(n)\nt = 0\nfor j = 1 to n\nt = t + c()\nnext\np = ptrpersistent(count, 0)\n"
     "*p = *p + t\nreturn *p\n#EndFunction\nfor i = 1 to 4\nout(o(i))\nnext\nout(c())\n",
     20},
    {"ReturnsOfVariablesFromBlocksAndSubroutines",
     "#DefineFunction f(n)\nx = n * 2\nwhile 1\nif x > 4 then return x\nx = x + 1\nendwhile\n#EndFunction\n"
     "#DefineFunction g(n)\ny = n\ngosub sub\nreturn y\n:sub\ny = y : `!`\nreturn\n#EndFunction\n"
     "#DefineFunction h(n)\ngosub sub2\nreturn 0\n:sub2\nreturn n\n#EndFunction\n"
     "for i = 1 to 4\nv = `s` : i\nout(f(i) : ` ` : g(i) : ` ` : g(v))\nnext\nfor i = 1 to 3\nout(h(i))\nnext\n",
     20},
    {"ErrorsInsideFunctionsCalledFromCompiledLines",
     "#DefineFunction d(n)\nq = 10 / n\nreturn q\n#EndFunction\nfor i = 3 to 0 by -1\nout(d(i))\nnext\n", 2},
    {"PrefixOperatorsOverEveryKind",
     "IntControl(73, 2, 0, 0, 0)\nfor i = 1 to 6\nx = i\nif i == 2 then x = 2.5\nif i == 3 then x = `-4`\n"
     "if i == 4 then x = 0.0\nif i == 5 then x = `abc`\ny = -x : ` ` : +x : ` ` : !x\nout(y)\nz = ~x\nout(z)\nnext\n"
     "exit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nreturn\n",
     8},
    {"CompoundAssignmentsThatFail",
     "IntControl(73, 2, 0, 0, 0)\nx = 100\nfor i = 1 to 4\nx /= 3 - i\nx += 1\ns = `a`\ns := i\nout(x : ` ` : s)\nnext\n"
     "exit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : x)\nreturn\n",
     6},
    {"ConditionsOfEveryKind",
     "for i = 1 to 6\nc = i\nif i == 2 then c = 0.4\nif i == 3 then c = `7`\nif i == 4 then c = 3e300 * 1e10\n"
     "if i == 5 then c = ``\nif c\nout(`yes ` : i)\nelseif i > 3\nout(`elseif ` : i)\nelse\nout(`no ` : i)\nendif\n"
     "while c\nout(`while ` : i)\nbreak\nendwhile\nnext\n",
     12},
    {"SwitchValuesOfEveryKind",
     "IntControl(73, 2, 0, 0, 0)\nfor i = 1 to 5\nv = i\nif i == 2 then v = `3`\nif i == 4 then v = 2.0\n"
     "if i == 5 then v = 1.5\nswitch v\ncase 1\nout(`one`)\nbreak\ncase `3`\nout(`three ` : i)\nbreak\ncase 2.0\n"
     "out(`two`)\nbreak\nendswitch\nnext\nexit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring)\nreturn\n",
     8},
    {"ForLimitsFromStrings",
     "IntControl(73, 2, 0, 0, 0)\nn = `3`\nfor k = 1 to 3\nfor i = `1` to n\nout(k : i)\nnext\nif k == 2 then n = `x`\nnext\n"
     "exit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring)\nreturn\n",
     4},
    {"SingleLineThenAndElseTails",
     "for i = 1 to 4\nif i mod 2 then out(`odd ` : i)\nelse out(`even ` : i)\nif i > 2 then i2 = i * 2\nelse i2 = 0\nout(i2)\nnext\n",
     8},
    {"LabelsFoundInTheTextOutsideDefinitions",
     "n = 0\ngoto start\n#DefineFunction f(a)\n:start\nreturn a * 2\n#EndFunction\n  :start ; indented\n"
     "n = n + 1\nif n < 4 then goto start\nout(n : ` ` : f(n))\ngosub twice\nout(n)\nexit\n\t:twice\nn = n * 2\nreturn\n",
     4},
    {"StructureKeywordsOutOfPlace",
     "IntControl(73, 2, 0, 0, 0)\nfor i = 1 to 3\ncase i\nendswitch\nendwhile\nelseif i\nthen out(i)\nendif\nout(`pass ` : i)\n"
     "next\nexit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     3},
    {"ExitInsideAFunction",
     "#DefineFunction f(n)\nif n == 4 then exit\nreturn n * 2\n#EndFunction\n"
     "for i = 1 to 6\nout(`f ` : f(i))\nnext\nout(`not reached`)\n",
     4},
    {"ErrorInsideAFunctionOnALaterPass",
     "#DefineFunction f(n)\nif n == 4 then q = 1 / 0\nreturn n * 2\n#EndFunction\n"
     "for i = 1 to 6\nout(`f ` : f(i))\nnext\nout(`not reached`)\n",
     4},
    // Variable operands read by the operator's own step, on either side (the left one of a
    // subtraction or a relation too), at the edges of whole numbers and with values that
    // are not whole numbers on some passes; `:` parts are programs of their own.
    {"VariableOperandsOnEitherSide",
     "IntControl(73, 2, 0, 0, 0)\nm = -2147483647 - 1\nk = 2147483647\nacc = k - 20\nneg = m + 20\nfor i = -3 to 3\nd = i\n"
     "if i == 1 then d = `4`\nif i == 2 then d = 1.5\n"
     "r = (k - (i * 2)) : ` ` : (m - (i + 1)) : ` ` : (k < (i + 1)) : (k <= (i * 0)) : (d > (i - 1)) : (d >= (i + 0))\n"
     "out(r)\ns = ((i * 5) + k) : ` ` : ((i * 7) - d) : ` ` : ((i + 1) * d) : ` ` : ((i + 1) & d) : ((i + 1) | d) : "
     "((i + 1) ^ d)\nout(s)\nt = ((i * 5) << d) : ` ` : ((i * 5) >> d) : ` ` : ((i - 1) && d) : ((i - 1) || d) : "
     "((i + 0) == d) : ((i + 0) != d)\nout(t)\nu = m / d\n"
     "out(u : ` ` : (m mod d) : ` ` : (d mod 7 * 3 + k) : ` ` : ((i + 1) / d) : ` ` : ((i + 1) mod d))\n"
     "v = (i + 2) ** d\nout(v)\nw = k + (i mod 7) * 3\nx = m - i\nout(w : ` ` : x)\n"
     "acc = (i * 3 + 5) + acc\nneg = neg + (i * 4 - 9)\nout(acc : ` ` : neg)\nnext\nexit\n"
     ":tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     40},
    // Slots remembered by a compiled line while the table changes under the loop: a record
    // dropped and its place taken by another name, a type changed, a function frame with
    // the same names, the loop variable set in the body, a goto out of the loop.
    {"VariableTablesChangeUnderALoop",
     "#DefineFunction g(t)\ntotal = t * 2\ni = 99\nreturn total + 1\n#EndFunction\n"
     "a = 1\ntotal = 0\nfor i = 1 to 14\ntotal = total + (i mod 7) * 3\na = a + i * 2\n"
     "if i == 3 then drop(a)\nif i == 3 then b = 100\nif i == 3 then a = 1\nif i == 4 then total = `5`\n"
     "if i == 5 then total = 2.5\nif i == 6 then total = g(total)\nif i == 7 then drop(total)\n"
     "if i == 7 then total = i\nif i == 9 then i = i + 2\nif i > 3 then out(b + a)\n"
     "out(i : ` ` : a : ` ` : total)\nif i == 13 then goto done\nnext\nout(`not reached`)\n:done\n"
     "out(`done ` : i : ` ` : total)\n",
     40},
    // The `to` test with a constant limit and step 1 runs inline; any other shape, or a
    // loop variable the body left holding another kind, takes the general test.
    {"ForTestsOfEveryShape",
     "for k = 1 to 3\nn = 4\nif k == 2 then n = `4`\nif k == 3 then n = 2.5\nfor i = 1 to n\n"
     "if i == 2 then i = `3`\nout(k : ` ` : i)\nnext\nfor j = 10 to 1 by -3\nout(j)\nnext\n"
     "for j = 1 to 3\nj = j + 0.5\nout(j)\nnext\nfor j = 5 to 4\nout(`never`)\nnext\nout(`after ` : j)\nnext\n",
     30},
    {"ArrayElementsAsTargetsAndArguments",
     "a = arrdimension(5)\nfor i = 0 to 4\na[i] = i * i\na[i] += 1\nout(a[i] : ` ` : vartype(a[i]) : ` ` : isdefined(a[i]))\nnext\n",
     6},
    // Pointer targets and reads: the target is found (or made again) before the right side
    // runs; a dropped variable, a value that is no pointer and a pointer changed to
    // another variable on later passes; `*` before "[" subscripts the array it names.
    {"PointerTargetsAndReads",
     "IntControl(73, 2, 0, 0, 0)\na = 1\np = &a\nc = 0\nq = &c\nw = arrdimension(3)\nw[1] = 7\npw = &w\n"
     "for i = 1 to 7\n*q = i * 2\n*p = *p + i\n*p += 2\nb = *p * 2 : ` ` : -*p : ` ` : (*p)\nout(i : ` ` : b : ` ` : *(pw)[1])\n"
     "if i == 3 then drop(a)\nif i == 4 then p = 5\nif i == 5 then p = &b\nif i == 6 then p = `nothing`\nnext\n"
     "out(a : ` ` : b : ` ` : c)\nexit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\n"
     "IntControl(73, 2, 0, 0, 0)\nreturn\n",
     70},
    // Builtins that read their own argument list: each argument is evaluated only when
    // the builtin asks for it, so one it refuses stops the rest (k is not called then).
    {"BuiltinsReadingTheirOwnArguments",
     "#DefineFunction k(n)\nout(`k ` : n)\nreturn n\n#EndFunction\n#DefineFunction d(n)\nreturn 10 / (n - 6)\n"
     "#EndFunction\nIntControl(73, 2, 0, 0, 0)\ns = ``\nfor i = 1 to 6\nx = i\nif i == 3 then x = `abc`\n"
     "if i == 4 then x = 2.5\nm = max(i, x, k(i)) : ` ` : min(x, i * 2) : ` ` : average(i, 4) : ` ` : max()\n"
     "out(m)\ns = strcat(s, x, `,`, strcat(), max(i, d(i)))\nout(strcat(`[`, x, `]`) : min(i, -1.5))\nnext\n"
     "out(s)\nexit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\n"
     "return\n",
     36},
    // Elements read by repeated lines: arrays of one and two dimensions, a map by keys of
    // several kinds, a subscript out of range or of the wrong kind on a later pass, a map
    // key missing, and a name that holds no array any more (the line then runs as text).
    {"ElementReadsOfArraysAndMaps",
     "IntControl(73, 2, 0, 0, 0)\na = arrdimension(4)\ng = arrdimension(3, 2)\nm = mapcreate()\n"
     "for i = 0 to 3\na[i] = i * 5\nm[i] = `v` : i\nnext\ng[2, 1] = 9\nm[`k`] = 1.5\n"
     "for i = 0 to 6\nj = i\nif i == 4 then j = `2`\nif i == 5 then j = 1.75\n"
     "x = a[j] + g[2, 1] * 2 - a[(j + 1) mod 4]\ny = m[j] : ` ` : m[`k`] : ` ` : (a[0] < a[1])\nout(x : ` ` : y)\n"
     "if i == 3 then m[`k`] = `changed`\nif i == 5 then a = 7\nnext\nout(g[3, 2])\nexit\n"
     ":tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     56},
    // Elements assigned by repeated lines, plainly and by compound operators, in arrays of
    // one and two dimensions (one through a pointer's name) and maps: a subscript out of
    // range or of another kind on a later pass, a compound operator on an entry that
    // became a string, a missing key, and a name that holds no array any more.
    {"ElementTargetsOfArraysAndMaps",
     "IntControl(73, 2, 0, 0, 0)\na = arrdimension(4)\ng = arrdimension(3, 2)\nm = mapcreate()\np = &g\n"
     "m[`k`] = 0\ng[0, 0] = ``\nfor i = 0 to 7\nj = i\nif i == 5 then j = `1`\nif i == 6 then j = 1.5\n"
     "a[j mod 4] = i * 3\na[j mod 4] += i\ng[j mod 3, 1] = a[j mod 4] : `x`\ng[0, 0] := j\np[j mod 3, 0] = i\n"
     "m[j] = i\nm[`k`] += 2\nm[j : `n`] = m[j] * 2\nif i < 5 then m[i + 100] = i\na[j] = -i\n"
     "out(a[0] : ` ` : a[1] : ` ` : g[0, 0] : ` ` : g[1, 1] : ` ` : m[j] : ` ` : m[`k`] : ` ` : m[j : `n`])\n"
     "if i == 3 then m[`k`] = `word`\nif i == 6 then a = 7\nnext\nm[`gone`] += 1\nout(m[104] : m[`k`])\nexit\n"
     ":tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     120},
    // Elements in lines that call, the calls after the elements: a function that changes
    // the map entry being assigned, one that replaces the array through a pointer (while
    // an element of it is being assigned, and before the next pass reads it), and a
    // subscript out of range on a later pass.
    {"ElementsBeforeCalls",
     "IntControl(73, 2, 0, 0, 0)\n#DefineFunction setk(mp, k, v)\nmp[k] = v\nreturn v\n#EndFunction\n"
     "#DefineFunction swap(p, n)\nif n == 4 then *p = 7\nreturn n * 2\n#EndFunction\n"
     "a = arrdimension(4)\nm = mapcreate()\nm[`k`] = 1\npa = &a\nfor i = 0 to 3\na[i] = i\nnext\n"
     "for i = 0 to 6\na[i mod 4] = strlen(`abc` : i) + i\nm[`k`] += setk(m, `k`, i * 10)\n"
     "x = a[i mod 4] * 2 + setk(m, i, a[(i + 1) mod 4])\ny = m[`k`] : ` ` : max(m[i], strlen(x), m[i])\n"
     "out(x : ` ` : y)\nz = a[i] + swap(pa, i)\nout(z)\nif i == 5 then a[3] = swap(pa, 4)\nnext\nexit\n"
     ":tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     80},
    // The forms that name variables, on names that come and go: isdefined and vartype of
    // a variable, of a pointer's variable (resolved or not), of a name never created (it
    // stays so), of elements and map entries (one subscript out of range on a later
    // pass); objecttypeget with and without a name; drop of variables and pointers, as a
    // statement and inside an expression.
    {"FormsThatNameVariables",
     "IntControl(73, 2, 0, 0, 0)\na = arrdimension(3)\na[0] = 1\nm = mapcreate()\nm[`k`] = `v`\n"
     "for i = 0 to 6\nif i mod 2 then x = i\nif i == 4 then x = `s`\nif i == 5 then x = 2.5\np = &x\n"
     "if i == 3 then p = `nonsense`\n"
     "r = isdefined(x) : vartype(x) : ` ` : isdefined(*p) : vartype(*p) : ` ` : isdefined(never) : vartype(never)\n"
     "out(r : ` ` : objecttypeget(x) : `|` : objecttypeget(a[0]) : `|` : objecttypeget())\n"
     "e = isdefined(a[i mod 4]) + vartype(a[0]) * 10 + isdefined(m[`k`]) * 100 + vartype(m[i])\nout(e)\n"
     "q = i * 2\nif i == 2 then drop(q)\ndrop(x, *p)\nd = drop(q) + isdefined(x) + isdefined(q)\n"
     "out(d : ` ` : isdefined(q) : vartype(p))\nnext\nout(isdefined(never))\nexit\n:tkerrorhandler\n"
     "out(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     70},
    // The forms inside assignments: a target the right side drops, a target read by the
    // form before it is assigned, a name created by neither isdefined nor drop, an
    // element out of range.
    {"FormsInsideAssignments",
     "IntControl(73, 2, 0, 0, 0)\na = arrdimension(3)\nfor i = 0 to 5\nq = i\nq = drop(q)\n"
     "out(isdefined(q) : ` ` : vartype(q))\ny = isdefined(y)\nout(y)\n"
     "z = vartype(a[i]) + isdefined(zz) + drop(zz)\nout(z)\nw = objecttypeget(a[i]) : isdefined(a[2])\n"
     "out(w)\nnext\nexit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\n"
     "IntControl(73, 2, 0, 0, 0)\nreturn\n",
     20},
    // A form's name that is an array, a plain variable and a map in turn: read as an
    // element or as a variable (then the text refuses the "[") by what it holds each time.
    {"FormNamesThatChangeKind",
     "IntControl(73, 2, 0, 0, 0)\nfor i = 0 to 7\nif i mod 3 == 0 then a = arrdimension(2)\n"
     "if i mod 3 == 1 then a = 5\nif i mod 3 == 2 then a = mapcreate()\n"
     "r = isdefined(a[0]) : vartype(a[1]) : objecttypeget(a[0]) : `.`\nout(i : ` ` : r)\nnext\nexit\n"
     ":tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     40},
    // Statements that go on past their expression, repeated under a handler: assignments
    // to a variable, through a pointer (a compound operator) and to an element, and calls,
    // each evaluated up to there and nothing stored; "[" and other tokens after it; an
    // error inside the expression on one pass comes first.
    {"StatementsThatGoOnPastTheirExpression",
     "IntControl(73, 2, 0, 0, 0)\na = arrdimension(3)\np = &y\nx = 0\nm = 0\na[0] = 0\nfor i = 0 to 4\n"
     "x = i * 2 5\ny = 7\n*p += i [1]\na[i mod 3] = i `s`\na[1] = i\nm = strlen(`ab` : i) x\n"
     "x = 10 / (i - 2) 4\nstrlen(i) 3\nout(i : ` ` : x : ` ` : y : ` ` : m : ` ` : a[0] : a[1])\nnext\n"
     "exit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\n"
     "return\n",
     110},
    // "&" in front of a new variable creates it defined, in front of anything else not;
    // `&` of a value that came from no variable fails. (A pointer's text differs from run to
// run: only its length is printed.)
    {"AddressOfNewAndOldVariables",
     "IntControl(73, 2, 0, 0, 0)\nfor i = 1 to 5\np = &fresh\n*p = i * 3\nout(i : ` ` : fresh : ` ` : vartype(fresh))\n"
     "if i mod 2 then drop(fresh)\nr = strlen(strcat(`<`, &i, `>`)) : (&p == p)\nout(r)\nq = &(other)\ns = &5\n"
     "t = max(1, i) & 3\nout(t)\nnext\nexit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\n"
     "IntControl(73, 2, 0, 0, 0)\nreturn\n",
     48},
    // `to` tests whose limit or step calls: a function called each time the test runs, a
    // builtin, a limit that raises on a later pass under a handler.
    {"ForTestsThatCall",
     "#DefineFunction lim(n)\nout(`lim ` : n)\nreturn n\n#EndFunction\nIntControl(73, 2, 0, 0, 0)\n"
     "for i = 1 to lim(3)\nout(i)\nnext\nfor j = 10 to strlen(`abcd`) by -abs(-3)\nout(j)\nnext\n"
     "k = 0\nfor i = 1 to 10 / (3 - k)\nk = k + 1\nout(i : ` ` : k)\nnext\nout(`end ` : i : ` ` : k)\nexit\n"
     ":tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     12},
    // Lines in a loop run compiled from their first run (a body run once is all compiled
    // runs): an error there under a handler, the target created before the right side
    // runs and a name after the error not created at all.
    {"FirstRunRaisesUnderAHandler",
     "IntControl(73, 2, 0, 0, 0)\nfor i = 1 to 1\nx = 10 / (i - 1) + fresh\nout(`after ` : x)\nnext\n"
     "out(isdefined(x) : vartype(x) : ` ` : isdefined(fresh) : vartype(fresh))\nexit\n:tkerrorhandler\n"
     "out(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     3},
    // Variables the line creates exist from where their names are read: the target when
    // the right side looks at it (undefined), a name after "&" defined, and one read in
    // neither way not at all.
    {"FirstRunCreatesWhereItReads",
     "#DefineFunction peek(p)\nreturn vartype(*p)\n#EndFunction\nfor i = 1 to 1\n"
     "r = vartype(r) : ` ` : vartype(made) : ` ` : strlen(&made)\nt = vartype(t) : ` ` : peek(&fresh)\n"
     "out(r : ` ` : t : ` ` : vartype(made) : vartype(fresh) : vartype(never))\nnext\n",
     4},
    // A name before "[" that holds an array on the line's first run and a number later
    // (the line then runs as text and raises), and one that holds a number first and an
    // array later.
    {"FirstRunArrayNameChangesKind",
     "IntControl(73, 2, 0, 0, 0)\na = arrdimension(2)\na[0] = 4\nb = 5\nfor i = 1 to 3\n"
     "x = a[0] * 2 + i\ny = b[0] + i\nout(i : ` ` : x : ` ` : y)\nif i == 1 then a = 7\n"
     "if i == 1 then b = arrdimension(1)\nif i == 1 then b[0] = 9\nnext\nexit\n:tkerrorhandler\n"
     "out(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     4},
    // A tokenizer error late in a line whose call has run by then; a string that is too
    // long and a number with two dots, after the call.
    {"FirstRunTokenizerErrorAfterACall",
     "#DefineFunction k(n)\nout(`k ` : n)\nreturn n\n#EndFunction\nIntControl(73, 2, 0, 0, 0)\n"
     "for i = 1 to 2\nx = k(i) + 1..2\ny = k(i) : 1.5.5\nz = k(i) + w\nout(i : ` ` : isdefined(x) : isdefined(y) : "
     "isdefined(z) : isdefined(w))\nnext\nexit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\n"
     "IntControl(73, 2, 0, 0, 0)\nreturn\n",
     2},
};

class CompiledLine : public ::testing::TestWithParam<Case> {};

TEST_P(CompiledLine, BehavesLikeItsText) {
    const Case& c = GetParam();
    Outcome slow = run_once(c.text, false);
    Outcome fast = run_once(c.text, true);
    EXPECT_EQ(slow.compiled, 0u);
    EXPECT_GE(fast.compiled, c.min_compiled);
    EXPECT_EQ(fast.out, slow.out);
    EXPECT_EQ(fast.error, slow.error);
    EXPECT_EQ(fast.real, slow.real);
    EXPECT_EQ(fast.report, slow.report);
}

// Statements after `then`: element targets (one going on past its expression), forms that
// name variables, assignments and calls that raise 3074, each compiled on its own and run
// only when the condition holds, under a handler.
const Case kTailCases[] = {
    {"StatementsAfterThen",
     "IntControl(73, 2, 0, 0, 0)\na = arrdimension(3)\na[0] = 0\na[1] = 0\na[2] = 0\nm = mapcreate()\nx = 0\n"
     "for i = 0 to 6\nif i mod 2 then x = i * 2 5\nif i > 0 then a[i mod 3] = i `s`\nif 1 then a[i mod 3] += i\n"
     "if i then m[`k` : i] = isdefined(x) : vartype(x) : objecttypeget(a[1])\nif i == 3 then drop(x)\n"
     "if i != 3 then y = isdefined(x) + vartype(a[0]) + isdefined(m[`k` : i])\nif i then strlen(i) [3]\n"
     "if i == 5 then a = 7\nif i < 6 then z = 10 / (i - 4) 1\n"
     "out(i : ` ` : x : ` ` : y : ` ` : z : ` ` : m[`k` : i])\nnext\nexit\n:tkerrorhandler\n"
     "out(`handled ` : tkerrortextstring : ` ` : i)\nIntControl(73, 2, 0, 0, 0)\nreturn\n",
     24},
    // `then` and `else` on lines of their own: each runs its statement after the last
    // one-line if (compiled, raising on a later pass, or a multi-line string passed over),
    // and without any if before it raises.
    {"ThenAndElseOnLinesOfTheirOwn",
     "i = -1\nIntControl(73, 2, 0, 0, 0)\nthen out(`no if`)\nfor i = 0 to 5\nif i mod 2 then x = i\nelse x = 10 / (i - 2)\n"
     "then y = i * 2\nelse y = -i\nelse strlen(i) 4\nif i == 3 then z = 1\nelse z = $\"\nline $\"\n"
     "out(i : ` ` : x : ` ` : y : ` ` : z)\nnext\nexit\n:tkerrorhandler\nout(`handled ` : tkerrortextstring : ` ` : i)\n"
     "IntControl(73, 2, 0, 0, 0)\nreturn\n",
     8},
};

class CompiledTail : public ::testing::TestWithParam<Case> {};

TEST_P(CompiledTail, BehavesLikeItsText) {
    const Case& c = GetParam();
    Outcome slow = run_once(c.text, false);
    Outcome fast = run_once(c.text, true);
    EXPECT_EQ(slow.tails, 0u);
    EXPECT_GE(fast.tails, c.min_compiled);
    EXPECT_EQ(fast.out, slow.out);
    EXPECT_EQ(fast.error, slow.error);
    EXPECT_EQ(fast.real, slow.real);
    EXPECT_EQ(fast.report, slow.report);
}

INSTANTIATE_TEST_SUITE_P(Scripts, CompiledTail, ::testing::ValuesIn(kTailCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(Scripts, CompiledLine, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace kel
