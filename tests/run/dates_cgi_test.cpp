// The date and time functions behind a CGI request: the clock in a half-hour zone with a
// foreign locale, and a delay that the host's time-out ends with its page.
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

class DatesCgi : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = stage_binaries("kel_dates_cgi_");
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs `script` as t.web for a GET request, with `extra_env` ("NAME=value ..." already
    // quoted) added to a clean environment; returns standard output.
    std::string get(const std::string& script, const std::string& extra_env) {
        std::ofstream(dir_ / "t.web", std::ios::binary) << script;
        std::string cmd = "cd '" + dir_.string() +
                          "' && env -i REQUEST_METHOD=GET QUERY_STRING=t.web SERVER_NAME=test.example "
                          "SERVER_PORT=80 SCRIPT_NAME=/cgi-bin/tarnhost " +
                          extra_env + " timeout 30 ./tarnhost </dev/null >out.txt 2>err.txt";
        rc_ = std::system(cmd.c_str());
        return read_all(dir_ / "out.txt");
    }
    fs::path dir_;
    int rc_ = 0;
};

const char* kHeader = "webout(\"Content-type: text/plain\", 1)\nwebout(\"\", 1)\n";

TEST_F(DatesCgi, ClockTextsAreTheSameInAnyLocale) {
    // 2024-01-02 09:34:05 UTC is 15:04:05 five and a half hours east.
    std::string script = std::string(kHeader) +
                         "webout(strsub(timeymdhms(), 1, 17), 1)\n"
                         "webout(strsub(timedate(), 1, 18), 1)\n"
                         "webout(timeformat(timeymdhms(), \"ddd MMMM d yyyy h tt\"), 1)\n";
    for (const char* locale : {"C", "de_DE.UTF-8", "ja_JP.eucJP"}) {
        std::string out = get(script, std::string("KEL_TEST_TIME=1704188045 TZ=IST-5:30 LANG=") + locale +
                                          " LC_ALL=" + locale);
        EXPECT_EQ(out, "Content-type: text/plain\r\n\r\n2024:01:02:15:04:\r\nTue 1/2/2024 3:04:\r\n"
                       "Tue January 2 2024 3 PM\r\n")
            << locale;
    }
}

TEST_F(DatesCgi, LongDelayEndsWithTheTimeOutPage) {
    std::string out = get(std::string(kHeader) +
                              "webout(\"before\", 1)\n"
                              "WebSetTimeout(1)\n"
                              "x = timedelay(100)\n"
                              "webout(\"after\", 1)\n",
                          "");
    EXPECT_EQ(rc_, 0);
    size_t before = out.find("before\r\n");
    size_t page = out.find("Script timed out");
    ASSERT_NE(before, std::string::npos) << out;
    ASSERT_NE(page, std::string::npos) << out;
    EXPECT_LT(before, page);
    EXPECT_EQ(out.find("after"), std::string::npos) << out;
    EXPECT_EQ(out.find("Script timed out"), out.rfind("Script timed out")) << "time-out page written twice";
}

}  // namespace
