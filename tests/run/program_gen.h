// Random KEL programs for the tests that compare runs byte for byte: a loop of six passes
// over whole numbers, numeric texts, floats and texts, with user-defined functions (one
// recursive), builtin calls, blocks (if/else, while, switch), appends, compound
// assignments and now and then an error, met by one of the error-handling set-ups: none
// (the run ends), ErrorMode(@OFF), a handler label called as a subroutine, a handler
// label jumped to, or a handler function. With `pointers`, variable pointers too: targets
// and reads through them, a function that changes its caller's variable through one, and
// pointers moved to other variables or spoilt on some passes.
#pragma once
#include <cstdint>
#include <random>
#include <string>

namespace kel_run {

class ProgramGenerator {
public:
    explicit ProgramGenerator(uint32_t seed, bool pointers = false) : rng_(seed), pointers_(pointers) {}

    std::string program() {
        handling_ = pick(0, 4);
        std::string p =
            "webout(\"Content-type: text/plain\", 1)\nwebout(\"\", 1)\n"
            "#DefineFunction f(v)\nif v == 3 then return \"7\"\nreturn v + 1\n#EndFunction\n"
            "#DefineFunction g(x, y)\nif x > y then return x : \"/\" : y\nreturn x * 2 + y\n#EndFunction\n"
            "#DefineFunction h(x)\nif x <= 0 then return 0\nreturn x + h(x - 1)\n#EndFunction\n"
            "#DefineFunction onerr(e)\n"
            "webout(\"handler \" : e[0] : \" [\" : e[1] : \"] \" : e[3] : \" \" : e[7] : \" \" : e[8] : \" \" : e[9], 1)\n"
            "return 1\n#EndFunction\n";
        if (pointers_) p += "#DefineFunction bump(q)\n*q = *q + 1\nreturn *q\n#EndFunction\n";
        switch (handling_) {
        case 1: p += "ErrorMode(@OFF)\n"; break;
        case 2: p += "IntControl(73, 2, 0, 0, 0)\n"; break;
        case 3: p += "IntControl(73, 1, 0, 0, 0)\n"; break;
        case 4: p += "IntControl(73, 3, 0, \"onerr\", 0)\n"; break;
        default: break;
        }
        p += "a = 1\nb = 2\nc = 0.5\nd = 1.25\ns = \"\"\nu = \"Ab\"\nt = 0\nn = 4\nw = arrdimension(4)\n";
        if (pointers_) p += "pa = &a\npt = &t\n";
        p += "for i = 1 to 6\n"
             "  if i == 2 then n = \"12\"\n  if i == 3 then n = 2.5\n  if i == 4 then n = -7\n"
             "  if i == 5 then n = \"x\"\n  if i == 6 then n = 3\n";
        int count = pick(2, 7);
        for (int k = 0; k < count; ++k) p += statement("  ", 0);
        p += "  webout(i : \" \" : a : \" \" : b : \" \" : c : \" \" : d : \" \" : strlen(s) : \" \" : u : \" \" : t : \" \" : n";
        if (handling_ == 1) p += " : \" e\" : LastError()";
        p += ", 1)\n";
        p += "next\n";
        p += "webout(\"end \" : s, 1)\n";
        if (handling_ == 2 || handling_ == 3) {
            p += "exit\n:TKERRORHANDLER\n"
                 "webout(\"caught \" : tkerrortextstring : \" [\" : tkerrorhandlerline : \"] \" : "
                 "tkerrorhandlerassignment : \" \" : tkerrorhandlerlinenumber : \" \" : tkerrorinsegment, 1)\n";
            if (handling_ == 2) p += "IntControl(73, 2, 0, 0, 0)\nreturn\n";
            else p += "exit\n";
        }
        return p;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    template <size_t N>
    const char* one_of(const char* const (&xs)[N]) {
        return xs[pick(0, static_cast<int>(N) - 1)];
    }

    // An operand that is mostly a whole number; n may be a text or a float by now.
    std::string atom() {
        static const char* const kInts[] = {"a", "b", "t", "i", "n"};
        int k = pick(0, 13);
        std::string x;
        if (k < 5) x = one_of(kInts);
        else if (k < 8) x = std::to_string(pick(-5, 20));
        else if (k < 9) x = "f(i)";
        else if (k < 10) x = "h(i mod 4)";
        else if (k < 11) x = "abs(" + std::string(one_of(kInts)) + ")";
        else if (k < 12) x = "max(a, b, " + std::to_string(pick(0, 9)) + ")";
        else if (k < 13) x = "strlen(u)";
        else x = "\"" + std::to_string(pick(0, 9)) + "\"";
        if (pointers_) {
            // A builtin reading its own arguments stops at one it refuses (n may be a
            // text): the calls after it must not run.
            int q = pick(0, 11);
            if (q == 0) x = "*pa";
            else if (q == 1) x = "bump(pa)";
            else if (q == 2) x = "*pt";
            else if (q == 3) x = "max(*pa, n, bump(pt))";
            else if (q == 4) x = "strlen(strcat(u, bump(pa)))";
        }
        if (pick(0, 9) == 0) x = "-" + x;
        if (pick(0, 14) == 0) x = "!" + x;
        if (pick(0, 9) == 0) x = "(" + x + ")";
        return x;
    }

    std::string num(int depth = 0) {
        static const char* const kOps[] = {"+", "-", "*", "<", "==", "!=", ">=", "<=", ">", "<>",
                                           "&&", "||", "&", "|", "^"};
        if (depth > 2 || pick(0, 9) < 3) return atom();
        int k = pick(0, 21);
        if (k == 0) return num(depth + 1) + " / " + std::to_string(pick(1, 9));
        if (k == 1) return num(depth + 1) + " mod " + std::to_string(pick(1, 9));
        if (k == 2) return num(depth + 1) + " << " + std::to_string(pick(0, 3));
        if (k == 3) return "(" + num(depth + 1) + ") * 1.5";
        if (k == 4 && pick(0, 5) == 0) return num(depth + 1) + " / (i - 3)";
        if (k == 5) return "(" + num(depth + 1) + ") >> " + std::to_string(pick(0, 3));
        if (k == 6) return "~" + atom();
        return num(depth + 1) + " " + one_of(kOps) + " " + num(depth + 1);
    }

    // A float expression.
    std::string flt(int depth = 0) {
        static const char* const kFloats[] = {"c", "d", "0.25", "3.0", "1.5e1", "@pi"};
        static const char* const kOps[] = {"+", "-", "*", "/", "**", "mod"};
        if (depth > 1 || pick(0, 9) < 4) return pick(0, 3) == 0 ? atom() : one_of(kFloats);
        int k = pick(0, 9);
        if (k == 0) return "int(" + flt(depth + 1) + ")";
        if (k == 1) return "-" + flt(depth + 1);
        if (k == 2) return "(" + flt(depth + 1) + " < " + flt(depth + 1) + ")";
        std::string op = one_of(kOps);
        if (op == "**") return flt(depth + 1) + " ** 2";
        if (op == "/" || op == "mod") return flt(depth + 1) + " " + op + " " + one_of(kFloats);
        return flt(depth + 1) + " " + op + " " + flt(depth + 1);
    }

    // A text expression.
    std::string str(int depth = 0) {
        static const char* const kTexts[] = {"u", "\"xy\"", "\"\"", "\"3\"", "strupper(u)", "strsub(\"kelvin\", i, 3)"};
        if (depth > 1 || pick(0, 9) < 4) return one_of(kTexts);
        int k = pick(0, 7);
        if (k == 0) return str(depth + 1) + " : " + atom();
        if (k == 1) return "strcat(" + str(depth + 1) + ", " + str(depth + 1) + ")";
        if (k == 2) return "strreplace(" + str(depth + 1) + ", \"b\", \"-\")";
        if (k == 3) return "strlower(" + str(depth + 1) + ")";
        if (k == 4) return "g(" + atom() + ", " + atom() + ")";
        if (k == 5) return "strfill(\"z\", i)";
        return str(depth + 1) + " : " + flt(depth + 1);
    }

    // One line (or block) of the loop's body, with `ind` in front.
    std::string statement(const std::string& ind, int depth) {
        static const char* const kVars[] = {"a", "b", "t"};
        static const char* const kCompound[] = {"+=", "-=", "*="};
        static const char* const kCmp[] = {"==", "!=", "<", ">=", "<>"};
        if (pointers_ && pick(0, 3) == 0) return pointer_statement(ind);
        std::string v = one_of(kVars);
        int k = pick(0, 31);
        if (depth > 0 && k >= 24) k = pick(0, 23);
        if (k < 7) return ind + v + " = (" + num() + ") mod 1000\n";
        if (k < 9) return ind + "s = s : " + atom() + " : \",\"\n";
        if (k < 11) return ind + "if " + num() + " then " + v + " = " + atom() + "\n";
        if (k < 13) return ind + v + " " + one_of(kCompound) + " " + std::to_string(pick(-3, 3)) + "\n";
        if (k < 14) return ind + "c = c * 2 + " + atom() + "\n";
        if (k < 15) return ind + "d = " + flt() + "\n";
        if (k < 16) return ind + "t = t : \"\"\n";
        if (k < 17) return ind + "u = strsub(" + str() + " : \"Ab\", 1, 6)\n";
        if (k < 18) return ind + "s = s : (" + str() + " " + one_of(kCmp) + " " + str() + ") : \";\"\n";
        if (k < 19 && pick(0, 4) == 0)
            return ind + "if i == " + std::to_string(pick(2, 6)) + " then drop(" + v + ")\n";
        if (k < 20) return ind + "if strlen(s) > 40 then s = strsub(s, 1, 10)\n";
        if (k < 21) return ind + "w[" + std::to_string(pick(0, 3)) + "] = " + atom() + "\n";
        if (k < 22) return ind + "s = s : w[(i + " + std::to_string(pick(0, 3)) + ") mod " + std::to_string(pick(4, 6)) + "]\n";
        if (k < 23 && pick(0, 2) == 0)
            return ind + "if i == " + std::to_string(pick(1, 6)) + " then ErrorEvent(" + one_of(kSeverity) +
                   ", " + std::to_string(pick(7000, 7999)) + ", \"from pass \" : i)\n";
        if (k < 24) return ind + "webout(i : \"|\" : " + num() + " : \"|\" : " + str() + ", 1)\n";
        std::string in2 = ind + "  ";
        if (k < 27) {
            std::string b = ind + "if " + num() + " " + one_of(kCmp) + " " + atom() + "\n" + statement(in2, depth + 1);
            if (pick(0, 1)) b += ind + "else\n" + statement(in2, depth + 1);
            return b + ind + "endif\n";
        }
        if (k < 29)
            return ind + "j = 0\n" + ind + "while j < i mod " + std::to_string(pick(2, 4)) + "\n" + in2 + "j = j + 1\n" +
                   statement(in2, depth + 1) + ind + "endwhile\n";
        if (k < 31) {
            std::string b = ind + "switch i mod 3\n";
            for (int c = 0; c < 2; ++c)
                b += ind + "case " + std::to_string(c) + "\n" + statement(in2, depth + 1) + in2 + "break\n";
            return b + ind + "case 2\n" + statement(in2, depth + 1) + ind + "endswitch\n";
        }
        return ind + "for q = 1 to " + std::to_string(pick(1, 3)) + "\n" + statement(in2, depth + 1) + ind + "next\n";
    }

    // A line that reads or writes through a pointer, or moves one.
    std::string pointer_statement(const std::string& ind) {
        static const char* const kCompound[] = {"+=", "-=", "*="};
        int k = pick(0, 9);
        if (k < 2) return ind + "*pa = (" + num() + ") mod 1000\n";
        if (k < 3) return ind + "*pt " + one_of(kCompound) + " " + std::to_string(pick(-3, 3)) + "\n";
        if (k < 4) return ind + "b = *pa + " + atom() + "\n";
        if (k < 5) return ind + "s = s : *pa : \",\"\n";
        if (k < 6) return ind + "if " + num() + " then *pa = " + atom() + "\n";
        if (k < 7) return ind + "t = " + atom() + " + bump(pt)\n";
        if (k < 8) return ind + "if i == " + std::to_string(pick(2, 6)) + " then pa = &" + (pick(0, 1) ? "b" : "t") + "\n";
        if (k < 9 && pick(0, 2) == 0) return ind + "if i == " + std::to_string(pick(3, 6)) + " then pt = " + atom() + "\n";
        return ind + "a = bump(pa) * 2 - a\n";
    }

    static constexpr const char* kSeverity[] = {"-1", "-1", "-2", "-3"};
    std::mt19937 rng_;
    bool pointers_ = false;
    int handling_ = 0;
};

}  // namespace kel_run
