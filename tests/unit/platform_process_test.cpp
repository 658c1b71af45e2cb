// The process: command line, directories, environment, search path, exit codes, dialogs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/server.h"

extern char** environ;

using namespace kel::platform;
namespace fs = std::filesystem;

namespace {

// Environment variables set for one test and restored afterwards.
class EnvGuard {
public:
    explicit EnvGuard(std::initializer_list<const char*> names) {
        for (const char* n : names) {
            const char* v = std::getenv(n);
            saved_.push_back({n, v ? std::optional<std::string>(v) : std::nullopt});
            unsetenv(n);
        }
    }
    ~EnvGuard() {
        for (auto& [n, v] : saved_) {
            if (v)
                setenv(n.c_str(), v->c_str(), 1);
            else
                unsetenv(n.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

fs::path make_scratch(const char* name) {
    fs::path p = fs::temp_directory_path() / (std::string("kelplat_") + name + "_" + std::to_string(getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

void init_args(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    process_init(static_cast<int>(args.size()), argv.data());
}

}  // namespace

TEST(CommandLine, JoinsPlainArguments) {
    init_args({"tarnhost", "/TarnwickLocal", "form.web", "a=b"});
    EXPECT_EQ(command_line(), "tarnhost /TarnwickLocal form.web a=b");
    EXPECT_EQ(arg_count(), 4);
    EXPECT_STREQ(arg(2), "form.web");
    EXPECT_EQ(arg(4), nullptr);
    EXPECT_EQ(arg(-1), nullptr);
    EXPECT_EQ(arg_offset(0), 0u);
    EXPECT_EQ(arg_offset(1), 9u);
    EXPECT_EQ(arg_offset(2), 24u);
    EXPECT_EQ(command_line().substr(arg_offset(3)), "a=b");
    EXPECT_EQ(arg_offset(9), command_line().size());
}

TEST(CommandLine, QuotesBlanksTabsAndQuotes) {
    init_args({"prog", "two words", "tab\there", "say \"hi\"", "", "plain"});
    EXPECT_EQ(command_line(), "prog \"two words\" \"tab\there\" \"say \\\"hi\\\"\" \"\" plain");
    EXPECT_EQ(arg_offset(1), 6u);  // after the opening quote
    EXPECT_EQ(command_line().compare(arg_offset(1), 9, "two words"), 0);
    EXPECT_EQ(command_line().compare(arg_offset(2), 8, "tab\there"), 0);
    EXPECT_EQ(command_line().substr(arg_offset(5)), "plain");
}

TEST(CommandLine, BackslashesBeforeQuotesDoubled) {
    init_args({"prog", "a\\\"b c", "dir\\ x\\"});
    // a\"b c -> "a\\\"b c" ; dir\ x\ -> "dir\ x\\"
    EXPECT_EQ(command_line(), "prog \"a\\\\\\\"b c\" \"dir\\ x\\\\\"");
}

TEST(CommandLine, BackslashesAloneStayLiteral) {
    init_args({"prog", "C:\\dir\\file.web"});
    EXPECT_EQ(command_line(), "prog C:\\dir\\file.web");
}

TEST(CommandLine, StartDirIsCwdAtInit) {
    init_args({"prog"});
    EXPECT_EQ(start_dir(), fs::current_path().string());
    EXPECT_EQ(current_dir(), fs::current_path().string());
}

TEST(ProgramDir, FromProcSelfExe) {
    fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(program_dir(), exe.parent_path().string());
    EXPECT_EQ(program_file_name(), exe.filename().string());
}

TEST(TempDir, FirstNonEmptyInOrder) {
    EnvGuard g({"TMP", "tmp", "TEMP", "temp", "HOMEPATH", "TMPDIR"});
    EXPECT_EQ(temp_dir(), "/tmp/");
    setenv("TMPDIR", "/var/tmpdir", 1);
    EXPECT_EQ(temp_dir(), "/var/tmpdir/");
    setenv("HOMEPATH", "/home/x/", 1);
    EXPECT_EQ(temp_dir(), "/home/x/");
    setenv("temp", "/t4", 1);
    EXPECT_EQ(temp_dir(), "/t4/");
    setenv("TEMP", "/t3", 1);
    EXPECT_EQ(temp_dir(), "/t3/");
    setenv("tmp", "/t2", 1);
    EXPECT_EQ(temp_dir(), "/t2/");
    setenv("TMP", "", 1);  // empty counts as absent
    EXPECT_EQ(temp_dir(), "/t2/");
    setenv("TMP", "/t1", 1);
    EXPECT_EQ(temp_dir(), "/t1/");
}

TEST(Environment, ExactThenWithoutCase) {
    EnvGuard g({"KEL_TEST_VAR", "kel_test_var", "Kel_Test_Var"});
    std::string v;
    EXPECT_FALSE(env_get("KEL_TEST_VAR", &v));
    setenv("Kel_Test_Var", "mixed", 1);
    ASSERT_TRUE(env_get("KEL_TEST_VAR", &v));
    EXPECT_EQ(v, "mixed");
    setenv("KEL_TEST_VAR", "upper", 1);
    ASSERT_TRUE(env_get("KEL_TEST_VAR", &v));
    EXPECT_EQ(v, "upper");
    EXPECT_FALSE(env_get("", &v));
    EXPECT_FALSE(env_get("A=B", &v));
}

// A FastCGI worker's environment is replaced whole for each request, whatever the request
// before did to it with setenv and unsetenv.
TEST(Environment, ReplacedWholeAcrossSetAndUnset) {
    std::vector<std::string> saved;
    for (char** e = environ; e && *e; ++e) saved.emplace_back(*e);
    auto count = [] {
        size_t n = 0;
        for (char** e = environ; e && *e; ++e) ++n;
        return n;
    };
    replace_environment({"KEL_R_A=1", "KEL_R_B=two"});
    EXPECT_EQ(count(), 2u);
    EXPECT_STREQ(std::getenv("KEL_R_A"), "1");
    EXPECT_STREQ(std::getenv("KEL_R_B"), "two");
    EXPECT_EQ(std::getenv("PATH"), nullptr);
    ASSERT_TRUE(env_set("KEL_R_C", "3"));
    unsetenv("KEL_R_A");
    EXPECT_STREQ(std::getenv("KEL_R_C"), "3");
    EXPECT_EQ(std::getenv("KEL_R_A"), nullptr);
    EXPECT_STREQ(std::getenv("KEL_R_B"), "two");
    replace_environment({"KEL_R_D=4"});
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(std::getenv("KEL_R_B"), nullptr);
    EXPECT_EQ(std::getenv("KEL_R_C"), nullptr);
    EXPECT_STREQ(std::getenv("KEL_R_D"), "4");
    replace_environment({});
    EXPECT_EQ(count(), 0u);
    ASSERT_TRUE(env_set("KEL_R_E", "5"));  // setenv on an empty environment
    EXPECT_STREQ(std::getenv("KEL_R_E"), "5");
    replace_environment(saved);
    EXPECT_EQ(count(), saved.size());
    EXPECT_EQ(std::getenv("KEL_R_E"), nullptr);
}

TEST(Environment, SetChangesExistingSpelling) {
    EnvGuard g({"KEL_TEST_SET", "kel_test_set"});
    ASSERT_TRUE(env_set("KEL_TEST_SET", "1"));
    ASSERT_TRUE(env_set("kel_test_set", "2"));
    EXPECT_STREQ(std::getenv("KEL_TEST_SET"), "2");
    EXPECT_EQ(std::getenv("kel_test_set"), nullptr);
    ASSERT_TRUE(env_set("kel_test_set", nullptr));
    EXPECT_EQ(std::getenv("KEL_TEST_SET"), nullptr);
    EXPECT_FALSE(env_set("", "x"));
    EXPECT_FALSE(env_set("a=b", "x"));
    EXPECT_EQ(last_error(), 87u);
}

TEST(SearchPath, ExplicitDirCurrentDirAndPath) {
    fs::path d = make_scratch("search");
    fs::create_directories(d / "bin");
    fs::create_directories(d / "cwd");
    std::ofstream(d / "bin" / "Tool.exe") << "x";
    std::ofstream(d / "cwd" / "local.txt") << "x";
    EnvGuard g({"PATH"});
    setenv("PATH", (":relative::" + (d / "bin").string()).c_str(), 1);
    fs::path old = fs::current_path();
    fs::current_path(d / "cwd");
    EXPECT_EQ(search_path("Tool.exe"), (d / "bin" / "Tool.exe").string());
    EXPECT_EQ(search_path("tool.EXE"), (d / "bin" / "Tool.exe").string());
    EXPECT_EQ(search_path("local.txt"), (d / "cwd" / "local.txt").string());
    EXPECT_EQ(search_path("local.txt", (d / "bin").c_str()), "");
    EXPECT_EQ(search_path("Tool.exe", (d / "bin").c_str()), (d / "bin" / "Tool.exe").string());
    EXPECT_EQ(search_path("missing.txt"), "");
    EXPECT_EQ(last_error(), 2u);
    EXPECT_EQ(search_path("bin"), "");  // directories are not found
    EXPECT_EQ(search_path(""), "");
    fs::current_path(old);
    fs::remove_all(d);
}

TEST(SearchPath, ProgramDirFirst) {
    fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(search_path(exe.filename().c_str()), exe.string());
}

TEST(ExitStatus, LowByteAndNonZeroNeverSuccess) {
    EXPECT_EQ(exit_status(0), 0);
    EXPECT_EQ(exit_status(1), 1);
    EXPECT_EQ(exit_status(255), 255);
    EXPECT_EQ(exit_status(256), 255);
    EXPECT_EQ(exit_status(257), 1);
    EXPECT_EQ(exit_status(-1), 255);
    EXPECT_EQ(exit_status(-256), 255);
    EXPECT_EQ(exit_status(0x12345600), 255);
    EXPECT_EQ(exit_status(INT32_MIN), 255);
}

TEST(ExitStatus, ProcessExitFlushesAndExits) {
    EXPECT_EXIT(
        {
            std::printf("buffered");
            process_exit(512);
        },
        ::testing::ExitedWithCode(255), "");
    EXPECT_EXIT(process_exit(7), ::testing::ExitedWithCode(7), "");
}

TEST(CrtRand, ClassicSequence) {
    crt_srand(1);
    EXPECT_EQ(crt_rand(), 41);
    EXPECT_EQ(crt_rand(), 18467);
    EXPECT_EQ(crt_rand(), 6334);
    EXPECT_EQ(crt_rand(), 26500);
    crt_srand(1);
    EXPECT_EQ(crt_rand(), 41);
    for (int i = 0; i < 1000; ++i) {
        int r = crt_rand();
        ASSERT_GE(r, 0);
        ASSERT_LE(r, 32767);
    }
}

TEST(MessageBox, FixedAnswers) {
    EnvGuard g({"KEL_DIALOG_ANSWER"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(message_box("text", "Caption", kMbOk), kIdOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Caption: text\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(message_box("two\r\nlines", "C", kMbOkCancel), kIdOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "C: two  lines\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(message_box("q", "C", kMbYesNo), kIdYes);
    EXPECT_EQ(message_box("q", "C", kMbYesNo | kMbDefButton2), kIdNo);
    EXPECT_EQ(message_box("e", "C", kMbKelErrorDialog), kIdExit);
    setenv("KEL_DIALOG_ANSWER", "continue", 1);
    EXPECT_EQ(message_box("e", "C", kMbKelErrorDialog), kIdContinue);
    EXPECT_EQ(message_box(nullptr, nullptr, 0xF), kIdOk);
    testing::internal::GetCapturedStderr();
}

TEST(Clock, TicksAndLocalTime) {
    uint64_t a = tick_count64();
    uint64_t b = tick_count64();
    EXPECT_LE(a, b);
    LocalTime t = local_time();
    EXPECT_GE(t.year, 2020);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_LE(t.weekday, 6);
    EXPECT_LT(t.millisecond, 1000);
    EXPECT_GT(unix_time(), 1600000000);
}
