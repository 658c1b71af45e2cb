// Many requests writing one INI file at once lose nothing: 200 tarnhost processes, each
// writing its own key with iniwritepvt, leave a file that parses and holds all 200.
#include <gtest/gtest.h>

#include "tests/run/run_util.h"
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using kel_run::read_all;
using kel_run::stage_binaries;

namespace {

TEST(IniConcurrency, TwoHundredWritersLoseNoKey) {
    fs::path dir = stage_binaries("kel_iniconc_");
    std::ofstream(dir / "w.web") << "r = iniwritepvt(\"Keys\", \"k\" : environment(\"KEL_N\"), environment(\"KEL_N\"), \"shared.ini\")\n"
                                    "webout(r, 1)\n";
    std::ofstream(dir / "shared.ini", std::ios::binary) << "; written by many\r\n[Other]\r\nx=1\r\n";
    constexpr int kWriters = 200;
    std::vector<pid_t> pids;
    // All are started before any is waited for; a pipe holds them until the last is there.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    for (int i = 0; i < kWriters; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char c;
            (void)!read(gate[0], &c, 1);  // returns 0 once the parent closes its end
            if (chdir(dir.c_str()) != 0) _exit(90);
            std::string n = std::to_string(i);
            setenv("KEL_N", n.c_str(), 1);
            std::string out = "/TarnwickLocal:out" + n + ".txt";
            execl("./tarnhost", "tarnhost", out.c_str(), "w.web", static_cast<char*>(nullptr));
            _exit(91);
        }
        pids.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    int failed = 0;
    for (pid_t p : pids) {
        int st = 0;
        waitpid(p, &st, 0);
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) ++failed;
    }
    EXPECT_EQ(failed, 0);
    for (int i = 0; i < kWriters; ++i)
        EXPECT_EQ(read_all(dir / ("out" + std::to_string(i) + ".txt")), "1\r\n") << "writer " << i;

    // The file parses: one [Keys] section, every line "kN=N", each N once; the rest kept.
    std::istringstream in(read_all(dir / "shared.ini"));
    std::string line;
    std::set<int> seen;
    int keys_headers = 0;
    bool other_kept = false;
    while (std::getline(in, line)) {
        ASSERT_FALSE(line.empty()) << "blank line";
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        if (line == "[Keys]") {
            ++keys_headers;
        } else if (line == "x=1") {
            other_kept = true;
        } else if (line[0] == 'k') {
            size_t eq = line.find('=');
            ASSERT_NE(eq, std::string::npos) << line;
            EXPECT_EQ(line.substr(1, eq - 1), line.substr(eq + 1)) << line;
            EXPECT_TRUE(seen.insert(std::stoi(line.substr(eq + 1))).second) << "twice: " << line;
        } else {
            EXPECT_TRUE(line == "; written by many" || line == "[Other]") << line;
        }
    }
    EXPECT_EQ(keys_headers, 1);
    EXPECT_TRUE(other_kept);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters));
    // No temporary file of a replacement is left behind.
    for (auto& e : fs::directory_iterator(dir))
        EXPECT_NE(e.path().filename().string().rfind(".shared.ini", 0), 0u) << e.path();
    if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

}  // namespace
