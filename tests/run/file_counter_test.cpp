// Many tarnhost processes at once updating one counter file under a lock file opened with
// write share mode 0: every hit counts. And while the lock is held, fileexist reports the
// lock file as in use from every other process.
#include <gtest/gtest.h>

#include "tests/run/run_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using kel_run::read_all;
using kel_run::stage_binaries;

namespace {

class CounterRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = stage_binaries("kel_counter_");
        fs::create_directories(dir_ / "out");
    }
    void TearDown() override {
        if (!::testing::Test::HasFailure()) fs::remove_all(dir_);
    }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    // Starts tarnhost on `script` with its output in out/<n>.txt; returns the process id.
    pid_t start(const std::string& script, int n) {
        std::string exe = (dir_ / "tarnhost").string();
        std::string out = "/TarnwickLocal:" + (dir_ / "out" / (std::to_string(n) + ".txt")).string();
        std::string path = script;  // relative: the child starts in dir_
        char* argv[] = {exe.data(), out.data(), path.data(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addchdir_np(&fa, dir_.c_str());
        pid_t pid = 0;
        int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        EXPECT_EQ(rc, 0);
        return rc == 0 ? pid : 0;
    }
    static bool ended_well(pid_t pid) {
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::string output(int n) { return read_all(dir_ / "out" / (std::to_string(n) + ".txt")); }
    fs::path dir_;
};

// Each hit: the lock (write share 0; FileOpen retries a sharing violation once a second
// for up to two minutes), read the count, write it plus one, release.
constexpr const char* kHit =
    "IntControl(40, 0, 0, 0, 0)\n"
    "lock = fileopen(\"counter.lck\", \"write\", 0, 120)\n"
    "lines = arrayfileget(\"counter.txt\")\n"
    "lines[0] = lines[0] + 1\n"
    "arrayfileput(\"counter.txt\", lines)\n"
    "fileclose(lock)\n"
    "webout(\"counted\", 1)\n";

TEST_F(CounterRun, ThreeHundredConcurrentHitsAllCount) {
    write("counter.txt", "0\r\n");
    write("hit.web", kHit);
    constexpr int kHits = 300;
    std::vector<pid_t> pids;
    for (int i = 0; i < kHits; ++i) pids.push_back(start("hit.web", i));
    int good = 0;
    for (pid_t p : pids) good += ended_well(p) ? 1 : 0;
    EXPECT_EQ(good, kHits);
    int counted = 0;
    for (int i = 0; i < kHits; ++i) counted += output(i).find("counted") != std::string::npos ? 1 : 0;
    EXPECT_EQ(counted, kHits);
    std::string count = read_all(dir_ / "counter.txt");
    EXPECT_EQ(count, std::to_string(kHits) + "\r\n");
}

TEST_F(CounterRun, FileExistSeesTheHeldLockAsInUse) {
    // The holder takes the lock, says so, and keeps it until told to let go.
    write("hold.web",
          "IntControl(40, 0, 0, 0, 0)\n"
          "lock = fileopen(\"counter.lck\", \"write\")\n"
          "fileput(\"held.txt\", \"1\")\n"
          "while !fileexist(\"release.txt\")\n"
          "   timedelay(0.05)\n"
          "endwhile\n"
          "fileclose(lock)\n"
          "webout(\"released\", 1)\n");
    write("probe.web", "webout(fileexist(\"counter.lck\"), 1)\n");
    pid_t holder = start("hold.web", 0);
    for (int i = 0; i < 600 && !fs::exists(dir_ / "held.txt"); ++i) usleep(50000);
    ASSERT_TRUE(fs::exists(dir_ / "held.txt"));
    constexpr int kProbes = 20;
    std::vector<pid_t> pids;
    for (int i = 1; i <= kProbes; ++i) pids.push_back(start("probe.web", i));
    for (pid_t p : pids) EXPECT_TRUE(ended_well(p));
    for (int i = 1; i <= kProbes; ++i) EXPECT_EQ(output(i), "2\r\n") << i;
    write("release.txt", "1");
    EXPECT_TRUE(ended_well(holder));
    EXPECT_NE(output(0).find("released"), std::string::npos);
    // Free again: found, not in use.
    pid_t after = start("probe.web", kProbes + 1);
    EXPECT_TRUE(ended_well(after));
    EXPECT_EQ(output(kProbes + 1), "1\r\n");
}

}  // namespace
