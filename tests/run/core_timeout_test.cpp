// The host's time-out stops a script that never ends: the time-out page follows the
// script's own output, written once, and the process ends.
#include <gtest/gtest.h>

#include "tests/run/run_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace fs = std::filesystem;
using kel_run::read_all;
using kel_run::stage_binaries;

namespace {

class TimeoutRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = stage_binaries("kel_timeout_");
    }
    void TearDown() override {
        if (!::testing::Test::HasFailure()) fs::remove_all(dir_);
    }
    // Runs `script` in local mode; returns the output file.
    std::string run(const std::string& script) {
        std::ofstream(dir_ / "t.web", std::ios::binary) << script;
        std::string cmd = "cd '" + dir_.string() + "' && timeout 30 ./tarnhost '/TarnwickLocal:" +
                          (dir_ / "out.txt").string() + "' t.web >/dev/null 2>'" + (dir_ / "err.txt").string() + "'";
        rc_ = std::system(cmd.c_str());
        return read_all(dir_ / "out.txt");
    }
    fs::path dir_;
    int rc_ = 0;
};

TEST_F(TimeoutRun, EndlessLoopEndsWithPageAfterOutput) {
    std::string out = run(
        "webout(\"Content-type: text/plain\", 1)\n"
        "webout(\"\", 1)\n"
        "webout(\"own output\", 1)\n"
        "WebSetTimeout(1)\n"
        "while 1\n"
        "endwhile\n"
        "webout(\"never\", 1)\n");
    EXPECT_EQ(rc_, 0);
    size_t own = out.find("own output\r\n");
    size_t page = out.find("Script timed out");
    ASSERT_NE(own, std::string::npos) << out;
    ASSERT_NE(page, std::string::npos) << out;
    EXPECT_LT(own, page);
    EXPECT_NE(out.find("own output\r\n\r\n<HR>\r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Script timed out"), out.rfind("Script timed out")) << "time-out page written twice";
    EXPECT_EQ(out.find("never"), std::string::npos);
}

TEST_F(TimeoutRun, EndlessGotoLoopAndRecursionStop) {
    std::string out = run(
        "webout(\"Content-type: text/plain\", 1)\n"
        "webout(\"\", 1)\n"
        "WebSetTimeout(1)\n"
        ":top\n"
        "x = 1\n"
        "goto top\n");
    EXPECT_NE(out.find("Script timed out"), std::string::npos) << out;
}

TEST_F(TimeoutRun, EndlessLoopOfCompiledWholeNumberLinesStops) {
    // Every line of the loop runs compiled from its second pass.
    std::string out = run(
        "webout(\"Content-type: text/plain\", 1)\n"
        "webout(\"\", 1)\n"
        "WebSetTimeout(1)\n"
        "total = 0\n"
        "for i = 1 to 2147483647\n"
        "total = total + (i mod 7) * 3\n"
        "i = i mod 1000\n"
        "next\n"
        "webout(\"never\", 1)\n");
    EXPECT_NE(out.find("Script timed out"), std::string::npos) << out;
    EXPECT_EQ(out.find("never"), std::string::npos) << out;
}

TEST_F(TimeoutRun, ZeroTimeoutRemovesTimer) {
    // The script ends by itself after a few loops; with the timer removed no page appears.
    std::string out = run(
        "webout(\"Content-type: text/plain\", 1)\n"
        "webout(\"\", 1)\n"
        "WebSetTimeout(0)\n"
        "for i = 1 to 1000\n"
        "next\n"
        "webout(\"done \" : i, 1)\n");
    EXPECT_NE(out.find("done 1001"), std::string::npos) << out;
    EXPECT_EQ(out.find("Script timed out"), std::string::npos);
}

}  // namespace
