// Recorded outputs, compared byte for byte: every script test, every example page (local
// mode, fixed request texts) and a fixed set of random programs (tests/golden/programs/,
// made by program_gen.h) run through the real tarnhost with the line cache on and off,
// and what they write (output file, standard error, exit status) must equal the file
// recorded under tests/golden/. The clock is fixed (KEL_TEST_TIME, TZ) and the run
// directory's path is written as "@DIR@", so that the outputs do not depend on the day or
// the place of the run.
//
// KEL_GOLDEN_RECORD=1 writes the files instead of comparing them: for a new script, or
// after a change of output that is meant (review the diff of tests/golden/).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "program_gen.h"
#include "run_util.h"

namespace fs = std::filesystem;

namespace {

const fs::path kTests = KEL_TEST_DIR;
const fs::path kGolden = kTests / "golden";

// One run: what to copy, what to run, where its recorded output lives.
struct Case {
    std::string name;      // test name and path under tests/golden/, without ".out"
    fs::path script;       // the script; its directory's files (and sub/) are copied
    std::string request;   // the request text after /TarnwickLocal:out.txt
    std::string env;       // extra "NAME=value" words for env
    bool copy_tree = false;  // copy the script's whole directory tree (the example site)
    // A posted form: the run is a CGI request (POST, the request text as the query
    // string) with these bytes on standard input, and standard output is its output.
    std::string post, content_type;
};

// Test names and failure reports show the case by its name.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string shell_quote(const std::string& s) {
    std::string r = "'";
    for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return r + "'";
}

// The "; env: NAME=value" lines of a script.
std::string script_env(const std::string& text) {
    std::string env;
    size_t at = 0;
    while ((at = text.find("; env: ", at)) != std::string::npos) {
        at += 7;
        size_t end = text.find_first_of("\r\n", at);
        env += " " + shell_quote(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    }
    return env;
}

std::vector<Case> all_cases() {
    std::vector<Case> out;
    fs::path scripts = kTests / "scripts";
    for (auto& ent : fs::recursive_directory_iterator(scripts)) {
        std::string file = ent.path().filename().string();
        if (!ent.is_regular_file() || ent.path().extension() != ".web" || file.rfind("inc_", 0) == 0) continue;
        // Files under a sub/ directory are fixtures of the script above it.
        bool in_sub = false;
        for (auto& part : fs::relative(ent.path(), scripts)) in_sub |= part == "sub";
        if (in_sub) continue;
        Case c;
        c.name = "scripts/" + fs::relative(ent.path(), scripts).replace_extension().string();
        c.script = ent.path();
        c.request = file;
        c.env = script_env(kel_run::read_all(ent.path()));
        out.push_back(c);
    }
    // The example site's pages with the request texts its links use.
    fs::path site = kTests.parent_path() / "examples" / "site";
    const std::pair<const char*, const char*> kPages[] = {
        {"clock", "clock.web"},         {"counter", "counter.web"},       {"download", "download.web"},
        {"error", "error.web"},         {"form", "form.web"},             {"form_post", "form_post.web"},
        {"guestbook", "guestbook.web"}, {"hello", "hello.web"},           {"hello_data", "hello.web+with+command+data"},
        {"index", "index.web"},         {"logs", "logs.web"},             {"settings", "settings.web"},
        {"timeout", "timeout.web"},     {"upload", "upload.web"},         {"upload_save", "upload_save.web"},
    };
    for (auto& [name, request] : kPages) {
        Case c;
        c.name = std::string("examples/") + name;
        c.script = site / (std::string(request).substr(0, std::string(request).find(".web")) + ".web");
        c.request = request;
        c.copy_tree = true;
        out.push_back(c);
    }
    Case post;
    post.name = "examples/form_post_cgi";
    post.script = site / "form_post.web";
    post.request = "form_post.web";
    post.copy_tree = true;
    post.content_type = "application/x-www-form-urlencoded";
    post.post = "name=Ann+%3Cb%3E&comment=two+lines%0D%0Aand+%26+more&extra=1";
    out.push_back(post);
    post.name = "examples/upload_save_cgi";
    post.script = site / "upload_save.web";
    post.request = "upload_save.web";
    post.content_type = "multipart/form-data; boundary=XyZ";
    static const char kUpload[] =
        "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\nbytes\0\x01\xff\r\n--XyZ\r\n"
        "Content-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n--XyZ--\r\n";
    post.post.assign(kUpload, sizeof kUpload - 1);
    out.push_back(post);
    // The random programs, kept as files so that a change to the generator leaves them be.
    fs::path programs = kGolden / "programs";
    if (fs::exists(programs))
        for (auto& ent : fs::directory_iterator(programs))
            if (ent.path().extension() == ".web") {
                Case c;
                c.name = "programs/" + ent.path().stem().string();
                c.script = ent.path();
                c.request = ent.path().filename().string();
                out.push_back(c);
            }
    std::sort(out.begin(), out.end(), [](const Case& a, const Case& b) { return a.name < b.name; });
    return out;
}

// Everything a run writes, with the run directory's path replaced.
std::string run(const Case& c, const fs::path& dir, bool cache) {
    fs::remove(dir / "out.txt");
    std::string fixed = "TZ=UTC KEL_TEST_TIME=1718454600 TMP=" + shell_quote((dir / "tmp").string()) +
                        (cache ? "" : " KEL_TOKEN_CACHE=0") + c.env;
    std::string cmd = "cd " + shell_quote(dir.string()) + " && ";
    if (c.post.empty()) {
        cmd += "env -u KEL_DIALOG_ANSWER -u KEL_TOKEN_CACHE " + fixed + " timeout 60 ./tarnhost " +
               shell_quote("/TarnwickLocal:" + (dir / "out.txt").string()) + " " + shell_quote(c.request) +
               " >/dev/null";
    } else {
        std::ofstream(dir / "in.txt", std::ios::binary) << c.post;
        cmd += "env -i PATH=\"$PATH\" REQUEST_METHOD=POST SERVER_NAME=localhost SCRIPT_NAME=/cgi-bin/tarnhost " +
               shell_quote("CONTENT_TYPE=" + c.content_type) + " CONTENT_LENGTH=" + std::to_string(c.post.size()) +
               " QUERY_STRING=" + shell_quote(c.request) + " " + fixed + " timeout 60 ./tarnhost <in.txt >out.txt";
    }
    cmd += " 2>" + shell_quote((dir / "err.txt").string());
    int rc = std::system(cmd.c_str());
    std::string all = kel_run::read_all(dir / "out.txt") + "\n--- stderr ---\n" + kel_run::read_all(dir / "err.txt") +
                      "\n--- exit " + std::to_string(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1) + " ---\n";
    std::string from = dir.string();
    for (size_t at = 0; (at = all.find(from, at)) != std::string::npos;) {
        all.replace(at, from.size(), "@DIR@");
        at += 5;
    }
    return all;
}

// A fresh run directory holding the binaries and the case's files.
fs::path stage(const Case& c) {
    fs::path dir = kel_run::stage_binaries("kel_golden_");
    fs::create_directories(dir / "tmp");
#ifdef KEL_TESTLIB
    fs::copy_file(KEL_TESTLIB, dir / "libkeltest.so", fs::copy_options::overwrite_existing);
#endif
    fs::path from = c.script.parent_path();
    if (c.copy_tree) {
        fs::copy(from, dir, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        fs::copy_file(from.parent_path() / "TARNWICK.INI", dir / "TARNWICK.INI", fs::copy_options::overwrite_existing);
    } else {
        for (auto& ent : fs::directory_iterator(from))
            if (ent.is_regular_file()) fs::copy_file(ent.path(), dir / ent.path().filename(), fs::copy_options::overwrite_existing);
        if (fs::exists(from / "sub")) fs::copy(from / "sub", dir / "sub", fs::copy_options::recursive);
    }
    return dir;
}

class Golden : public ::testing::TestWithParam<Case> {};

TEST_P(Golden, OutputIsTheRecordedOne) {
    const Case& c = GetParam();
    fs::path want_file = kGolden / (c.name + ".out");
    const char* rec = std::getenv("KEL_GOLDEN_RECORD");
    bool record = rec && std::string(rec) == "1";
    // Each mode gets a directory of its own: scripts change the files beside them. With
    // KEL_GOLDEN_SPLIT set (the slow sanitizer build) each case runs in one of the two
    // modes, half the cases each way, chosen by its name.
    const char* split = std::getenv("KEL_GOLDEN_SPLIT");
    bool one_mode = split && *split && !record;
    size_t name_sum = 0;
    for (char ch : c.name) name_sum += static_cast<unsigned char>(ch);
    std::string got[2];
    bool ran[2] = {false, false};
    for (int mode = 0; mode < 2; ++mode) {
        if (one_mode && static_cast<size_t>(mode) != name_sum % 2) continue;
        fs::path dir = stage(c);
        got[mode] = run(c, dir, mode == 0);
        ran[mode] = true;
        fs::remove_all(dir);
    }
    if (record) {
        fs::create_directories(want_file.parent_path());
        std::ofstream(want_file, std::ios::binary) << got[0];
    }
    ASSERT_TRUE(fs::exists(want_file)) << "no recorded output " << want_file << " (record with KEL_GOLDEN_RECORD=1)";
    std::string want = kel_run::read_all(want_file);
    if (ran[0]) {
        EXPECT_EQ(want, got[0]) << "with the line cache: " << c.name;
    }
    if (ran[1]) {
        EXPECT_EQ(want, got[1]) << "without the line cache: " << c.name;
    }
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    std::string n;
    for (char ch : info.param.name) n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Recorded, Golden, ::testing::ValuesIn(all_cases()), case_name);

// The random programs under tests/golden/programs/ are the generator's first seeds (the
// last 30 with variable pointers); the generator itself may grow, the recorded programs
// stay. Record them anew with
// KEL_GOLDEN_RECORD=1 (then record the outputs as above).
TEST(GoldenPrograms, AreOnFile) {
    fs::path programs = kGolden / "programs";
    const char* rec = std::getenv("KEL_GOLDEN_RECORD");
    if (rec && std::string(rec) == "programs") {
        fs::create_directories(programs);
        for (uint32_t seed = 1; seed <= 120; ++seed) {
            char name[32];
            std::snprintf(name, sizeof name, "seed_%03u.web", seed);
            std::ofstream(programs / name, std::ios::binary) << kel_run::ProgramGenerator(seed).program();
        }
        // Then programs with variable pointers.
        for (uint32_t seed = 121; seed <= 150; ++seed) {
            char name[32];
            std::snprintf(name, sizeof name, "seed_%03u.web", seed);
            std::ofstream(programs / name, std::ios::binary) << kel_run::ProgramGenerator(seed, true).program();
        }
    }
    size_t n = 0;
    for (auto& ent : fs::directory_iterator(programs)) n += ent.path().extension() == ".web";
    EXPECT_EQ(n, 150u);
}

}  // namespace
