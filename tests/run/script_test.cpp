// Runs every tests/scripts/**/*.web through the real tarnhost in local mode and compares
// the output with the expectations written in the script (see tests/scripts/README.md).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string shell_quote(const std::string& s);

struct Expectations {
    std::vector<std::string> lines;     // "; expect: " — the output, line by line, exactly
    std::vector<std::string> contains;  // "; expect-contains: " — somewhere in output or stderr
    std::vector<std::string> absent;    // "; expect-absent: " — nowhere in output or stderr
    bool has_lines = false;
    std::string env;                    // "; env: NAME=value", one line per variable
    std::string output_file;            // "; expect-output-file: " — the output, byte for byte
};

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string trim_cr(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
    return s;
}

Expectations parse_expectations(const std::string& text) {
    Expectations e;
    std::istringstream in(text);
    std::string line;
    // A key either opens the line or follows the statement it belongs to.
    auto take = [](const std::string& l, const std::string& key, std::string* out) {
        size_t p = l.find(key);
        if (p == std::string::npos) {
            std::string bare = key.substr(0, key.size() - 1);
            if (trim_cr(l).size() >= bare.size() && trim_cr(l).compare(trim_cr(l).size() - bare.size(), bare.size(), bare) == 0) {
                *out = "";
                return true;
            }
            return false;
        }
        *out = trim_cr(l.substr(p + key.size()));
        return true;
    };
    while (std::getline(in, line)) {
        std::string v;
        if (take(line, "; expect error: ", &v)) {
            e.contains.push_back(v + ":");
        } else if (take(line, "; expect: ", &v)) {
            e.lines.push_back(v);
            e.has_lines = true;
        } else if (take(line, "; expect-contains: ", &v)) {
            e.contains.push_back(v);
        } else if (take(line, "; expect-absent: ", &v)) {
            e.absent.push_back(v);
        } else if (take(line, "; expect-output-file: ", &v)) {
            e.output_file = v;
        } else if (take(line, "; env: ", &v)) {
            e.env += (e.env.empty() ? "" : " ") + shell_quote(v);
        }
    }
    return e;
}

std::vector<std::string> all_scripts() {
    std::vector<std::string> out;
    fs::path root = fs::path(KEL_TEST_DIR) / "scripts";
    if (!fs::exists(root)) return out;
    for (auto& ent : fs::recursive_directory_iterator(root)) {
        if (!ent.is_regular_file()) continue;
        std::string name = ent.path().filename().string();
        if (ent.path().extension() == ".web" && name.rfind("inc_", 0) != 0)
            out.push_back(fs::relative(ent.path(), root).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string shell_quote(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'') r += "'\\''";
        else r += c;
    }
    return r + "'";
}

class ScriptTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ScriptTest, OutputMatches) {
    fs::path root = fs::path(KEL_TEST_DIR) / "scripts";
    fs::path script = root / GetParam();
    std::string text = read_file(script);
    Expectations ex = parse_expectations(text);
    ASSERT_TRUE(ex.has_lines || !ex.contains.empty() || !ex.output_file.empty()) << "no expectations in " << script;

    fs::path tmp = fs::temp_directory_path() / ("kel_script_" + std::to_string(std::random_device{}()) + "_" +
                                                std::to_string(std::hash<std::string>()(GetParam())));
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    for (const char* f : {"tarnhost", "libkelrun32.so", "libkelplatform.so"})
        fs::copy_file(fs::path(KEL_BIN_DIR) / f, tmp / f, fs::copy_options::overwrite_existing);
#ifdef KEL_TESTLIB
    fs::copy_file(KEL_TESTLIB, tmp / "libkeltest.so", fs::copy_options::overwrite_existing);
#endif
    // The script's own directory holds its fixture files (included files, called scripts).
    for (auto& ent : fs::directory_iterator(script.parent_path()))
        if (ent.is_regular_file()) fs::copy_file(ent.path(), tmp / ent.path().filename(), fs::copy_options::overwrite_existing);
    if (fs::exists(script.parent_path() / "sub"))
        fs::copy(script.parent_path() / "sub", tmp / "sub", fs::copy_options::recursive);

    std::string cmd = "cd " + shell_quote(tmp.string()) + " && env -u KEL_DIALOG_ANSWER " +
                      (ex.env.empty() ? std::string() : ex.env + " ") + "timeout 60 ./tarnhost " +
                      shell_quote("/TarnwickLocal:" + (tmp / "out.txt").string()) + " " +
                      shell_quote(script.filename().string()) + " 2>" + shell_quote((tmp / "err.txt").string()) +
                      " >/dev/null";
    int rc = std::system(cmd.c_str());
    (void)rc;
    std::string out = read_file(tmp / "out.txt");
    std::string err = read_file(tmp / "err.txt");

    if (ex.has_lines) {
        // An error page ends what the script wrote.
        std::string body = out;
        size_t page = body.find("<HR>\n<H1>");
        if (page == std::string::npos) page = body.find("<HR>\r\n<H1>");
        if (page != std::string::npos) {
            // The page opens with one line break of its own before "<HR>".
            body.resize(page);
            if (!body.empty() && body.back() == '\n') body.pop_back();
            if (!body.empty() && body.back() == '\r') body.pop_back();
        }
        std::vector<std::string> got;
        std::istringstream in(body);
        std::string l;
        while (std::getline(in, l)) got.push_back(trim_cr(l));
        std::string want_all, got_all;
        for (auto& w : ex.lines) want_all += w + "\n";
        for (auto& g : got) got_all += g + "\n";
        EXPECT_EQ(want_all, got_all) << "stderr:\n" << err;
    }
    if (!ex.output_file.empty()) {
        fs::path want = script.parent_path() / ex.output_file;
        ASSERT_TRUE(fs::exists(want)) << want;
        EXPECT_EQ(read_file(want), out) << "stderr:\n" << err;
    }
    for (auto& c : ex.contains)
        EXPECT_TRUE(out.find(c) != std::string::npos || err.find(c) != std::string::npos)
            << "missing \"" << c << "\"\noutput:\n" << out << "\nstderr:\n" << err;
    for (auto& c : ex.absent)
        EXPECT_TRUE(out.find(c) == std::string::npos && err.find(c) == std::string::npos)
            << "unexpected \"" << c << "\"\noutput:\n" << out << "\nstderr:\n" << err;
    if (!::testing::Test::HasFailure()) fs::remove_all(tmp);
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
    std::string n;
    for (char c : info.param) n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptTest, ::testing::ValuesIn(all_scripts()), test_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ScriptTest);

}  // namespace
