// Random loop programs run by the real tarnhost twice, with the line cache (so that their
// repeated lines run compiled) and without it: output and report must be the same byte
// for byte. The programs mix the operators over numbers, numeric texts and floats,
// appends, single-line ifs, compound assignments, a function call and now and then an
// error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// Programs that mostly run all their passes: the whole-number variables a, b, t only meet
// operators that cannot fail on them, c holds a float, s a text, and n changes kind from
// pass to pass (a number, a numeric text, a float); a division by a variable or a dropped
// variable appears now and then, and ends the run as the text would.
class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    std::string program() {
        std::string p =
            "webout(\"Content-type: text/plain\", 1)\nwebout(\"\", 1)\n"
            "#DefineFunction f(v)\nif v == 3 then return \"7\"\nreturn v + 1\n#EndFunction\n"
            "a = 1\nb = 2\nc = 0.5\ns = \"\"\nt = 0\nn = 4\nfor i = 1 to 6\n"
            "  if i == 2 then n = \"12\"\n  if i == 3 then n = 2.5\n  if i == 4 then n = -7\n";
        int count = pick(2, 6);
        for (int k = 0; k < count; ++k) p += "  " + statement() + "\n";
        p += "  webout(i : \" \" : a : \" \" : b : \" \" : c : \" \" : strlen(s) : \" \" : t : \" \" : n, 1)\n";
        p += "next\n";
        return p;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    template <size_t N>
    const char* one_of(const char* const (&xs)[N]) {
        return xs[pick(0, static_cast<int>(N) - 1)];
    }

    // A whole-number operand.
    std::string atom() {
        static const char* const kInts[] = {"a", "b", "t", "i", "n"};
        int k = pick(0, 9);
        std::string x;
        if (k < 5) x = one_of(kInts);
        else if (k < 8) x = std::to_string(pick(-5, 20));
        else if (k < 9) x = "f(i)";
        else x = "\"" + std::to_string(pick(0, 9)) + "\"";
        if (pick(0, 9) == 0) x = "-" + x;
        if (pick(0, 9) == 0) x = "(" + x + ")";
        return x;
    }

    std::string num(int depth = 0) {
        static const char* const kOps[] = {"+", "-", "*", "<", "==", "!=", ">=", "&&", "||", "&", "|", "^"};
        if (depth > 2 || pick(0, 9) < 3) return atom();
        int k = pick(0, 19);
        if (k == 0) return num(depth + 1) + " / " + std::to_string(pick(1, 9));
        if (k == 1) return num(depth + 1) + " mod " + std::to_string(pick(1, 9));
        if (k == 2) return num(depth + 1) + " << " + std::to_string(pick(0, 3));
        if (k == 3) return "(" + num(depth + 1) + ") * 1.5";
        if (k == 4 && pick(0, 9) == 0) return num(depth + 1) + " / (i - 3)";
        return num(depth + 1) + " " + one_of(kOps) + " " + num(depth + 1);
    }

    std::string statement() {
        static const char* const kVars[] = {"a", "b", "t"};
        static const char* const kCompound[] = {"+=", "-=", "*="};
        std::string v = one_of(kVars);
        int k = pick(0, 19);
        if (k < 8) return v + " = (" + num() + ") mod 1000";
        if (k < 10) return "s = s : " + atom() + " : \",\"";
        if (k < 12) return "if " + num() + " then " + v + " = " + atom();
        if (k < 14) return v + " " + one_of(kCompound) + " " + std::to_string(pick(-3, 3));
        if (k < 15) return "c = c * 2 + " + atom();
        if (k < 16) return "t = t : \"\"";
        if (k < 17 && pick(0, 4) == 0) return "if i == " + std::to_string(pick(2, 6)) + " then drop(" + v + ")";
        if (k < 18) return "if strlen(s) > 40 then s = strsub(s, 1, 10)";
        return "webout(i : \"|\" : " + num() + ", 1)";
    }

    std::mt19937 rng_;
};

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Output file and standard error of one run.
std::string run(const fs::path& dir, bool cache) {
    std::string cmd = "cd '" + dir.string() + "' && " + (cache ? "env -u KEL_TOKEN_CACHE" : "env KEL_TOKEN_CACHE=0") +
                      " timeout 60 ./tarnhost /TarnwickLocal:'" + (dir / "out.txt").string() +
                      "' p.web 2>'" + (dir / "err.txt").string() + "' >/dev/null";
    fs::remove(dir / "out.txt");
    int rc = std::system(cmd.c_str());
    (void)rc;
    return read_file(dir / "out.txt") + "\n--- stderr ---\n" + read_file(dir / "err.txt");
}

TEST(CompiledLines, RandomProgramsMatchTheirText) {
    fs::path dir = fs::temp_directory_path() / ("kel_diff_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    for (const char* f : {"tarnhost", "libkelrun32.so", "libkelplatform.so"})
        fs::copy_file(fs::path(KEL_BIN_DIR) / f, dir / f, fs::copy_options::overwrite_existing);
    for (uint32_t seed = 1; seed <= 150; ++seed) {
        std::string prog = Generator(seed).program();
        std::ofstream(dir / "p.web", std::ios::binary) << prog;
        std::string fast = run(dir, true), slow = run(dir, false);
        ASSERT_EQ(fast, slow) << "seed " << seed << ":\n" << prog;
    }
    fs::remove_all(dir);
}

}  // namespace
