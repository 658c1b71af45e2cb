// Starting programs, splitting command lines, low memory.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/msgq.h"
#include "platform/process.h"
#include "platform/vmem.h"

using namespace kel::platform;
namespace fs = std::filesystem;

namespace {
using Words = std::vector<std::string>;

int32_t wait_child(int32_t pid) {
    int32_t code = -2;
    while (!child_finished(pid, &code)) wait_for_event(50);
    return code;
}
}  // namespace

TEST(SplitCommandLine, WindowsRules) {
    EXPECT_EQ(split_command_line(""), Words{});
    EXPECT_EQ(split_command_line("  a  b\tc "), (Words{"a", "b", "c"}));
    EXPECT_EQ(split_command_line("\"two words\" x"), (Words{"two words", "x"}));
    EXPECT_EQ(split_command_line("a\\\\b"), (Words{"a\\\\b"}));          // lone backslashes literal
    EXPECT_EQ(split_command_line("a\\\"b"), (Words{"a\"b"}));            // \" is a quote
    EXPECT_EQ(split_command_line("\"a\\\\\" b"), (Words{"a\\", "b"}));    // \\" halves, then closes
    EXPECT_EQ(split_command_line("\"say \"\"hi\"\"\""), (Words{"say \"hi\""}));
    EXPECT_EQ(split_command_line("ab\"c d\"e"), (Words{"abc de"}));
    EXPECT_EQ(split_command_line("\"\" x"), (Words{"", "x"}));
    EXPECT_EQ(split_command_line("\"unterminated arg"), (Words{"unterminated arg"}));
}

TEST(SplitCommandLine, ProgramNameRule) {
    EXPECT_EQ(split_command_line("\"C:\\Program Files\\x.exe\" a\\\"b", true),
              (Words{"C:\\Program Files\\x.exe", "a\"b"}));
    EXPECT_EQ(split_command_line("C:\\dir\\x.exe\\\" y", true), (Words{"C:\\dir\\x.exe\\\"", "y"}));
}

TEST(CommandLine, RebuildThenSplitRoundTrips) {
    Words args = {"prog", "plain", "two words", "q\"uote", "tr\\ail\\", "", "back\\\\\"x"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    process_init(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(split_command_line(command_line()), args);
}

TEST(Spawn, ExitCodesAndSignals) {
    install_signal_handlers();
    int32_t pid = spawn_process("/bin/sh", {"sh", "-c", "exit 3"}, nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_child(pid), 3);
    pid = spawn_process("sh", {"sh", "-c", "kill -TERM $$"}, nullptr);  // found along PATH
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_child(pid), 128 + 15);
    // SIGPIPE is ignored here but must be at its default in the child.
    pid = spawn_process("/bin/sh", {"sh", "-c", "trap - PIPE; yes | head -c1 >/dev/null; exit 0"}, nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_child(pid), 0);
}

TEST(Spawn, WorkingDirectoryAndNullOutput) {
    fs::path d = fs::temp_directory_path() / ("kelspawn_" + std::to_string(getpid()));
    fs::create_directories(d);
    int32_t pid = spawn_process("/bin/sh", {"sh", "-c", "pwd > where.txt; echo noise; echo err >&2"}, d.c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_child(pid), 0);
    std::ifstream in(d / "where.txt");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(fs::canonical(line), fs::canonical(d));
    fs::remove_all(d);
}

TEST(Spawn, Failures) {
    EXPECT_EQ(spawn_process("no-such-program-kel", {}, nullptr), 0);
    EXPECT_EQ(last_error(), 2u);
    EXPECT_EQ(spawn_process("/no/such/dir/prog", {}, nullptr), 0);
    EXPECT_EQ(spawn_process("/bin/sh", {}, "/no/such/dir"), 0);
    EXPECT_EQ(last_error(), 267u);
    EXPECT_EQ(spawn_process("/tmp", {}, nullptr), 0);
    EXPECT_EQ(last_error(), 5u);
    fs::path f = fs::temp_directory_path() / ("kelnotexe_" + std::to_string(getpid()));
    std::ofstream(f) << "\x7f" "ELF garbage";
    fs::permissions(f, fs::perms::owner_all);
    EXPECT_EQ(spawn_process(f.c_str(), {}, nullptr), 0);
    EXPECT_EQ(last_error(), 193u);
    fs::remove(f);
    int32_t code = 0;
    EXPECT_TRUE(child_finished(0, &code));
    EXPECT_EQ(code, -1);
}

namespace {
// A temporary directory of the test's own, removed afterwards.
struct TempDir {
    fs::path path = fs::temp_directory_path() / ("kelspawn2_" + std::to_string(getpid()));
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
    std::string read(const char* name) const {
        std::ifstream in(path / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};
}  // namespace

TEST(Spawn, ChildInheritsNoDescriptorAndHoldsNoPipeOpen) {
    install_signal_handlers();
    TempDir d;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // deliberately without close-on-exec, like a CGI pipe
    std::string probe = "test -e /proc/$$/fd/" + std::to_string(fds[1]) + " && echo leaked > r.txt || echo closed > r.txt";
    int32_t pid = spawn_process("/bin/sh", {"sh", "-c", probe}, d.path.c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_child(pid), 0);
    EXPECT_EQ(d.read("r.txt"), "closed\n");
    // A child that goes on running does not keep the write end open: the reader sees the end.
    pid = spawn_process("/bin/sleep", {"sleep", "30"}, nullptr);
    ASSERT_GT(pid, 0);
    close(fds[1]);
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), 0);
    close(fds[0]);
    kill(pid, SIGKILL);
    EXPECT_EQ(wait_child(pid), 128 + SIGKILL);
}

TEST(Spawn, OwnSessionAndNoHttpProxy) {
    TempDir d;
    setenv("HTTP_PROXY", "http://evil.test:1/", 1);
    setenv("HTTP_X_KEL", "() { :;}; echo pwned > pwned.txt", 1);
    int32_t pid = spawn_process("/bin/sh", {"sh", "-c", "env > env.txt; cut -d' ' -f6 /proc/$$/stat > sid.txt; echo $$ > pid.txt"},
                                d.path.c_str());
    unsetenv("HTTP_PROXY");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_child(pid), 0);
    std::string env = d.read("env.txt");
    EXPECT_EQ(env.find("HTTP_PROXY="), std::string::npos);
    EXPECT_NE(env.find("HTTP_X_KEL=() { :;}; echo pwned > pwned.txt\n"), std::string::npos);  // plain data
    EXPECT_EQ(d.read("sid.txt"), d.read("pid.txt"));
    if (fs::exists("/bin/bash")) {
        pid = spawn_process("/bin/bash", {"bash", "-c", "true"}, d.path.c_str());
        ASSERT_GT(pid, 0);
        EXPECT_EQ(wait_child(pid), 0);
        EXPECT_FALSE(fs::exists(d.path / "pwned.txt"));
    }
    unsetenv("HTTP_X_KEL");
}

TEST(Spawn, ParametersReachTheProgramVerbatim) {
    TempDir d;
    // Shell syntax in the parameters is data: no shell sees it.
    std::string hostile = "a;b|c$(touch pwned)`touch pwned2`\nline2 \"q\" \\";
    std::string long_arg(100000, 'z');
    int32_t pid = spawn_process("/bin/sh", {"sh", "-c", "printf %s \"$1\" > a1.txt; printf %s \"$2\" > a2.txt", "sh", hostile, long_arg},
                                d.path.c_str());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_child(pid), 0);
    EXPECT_EQ(d.read("a1.txt"), hostile);
    EXPECT_EQ(d.read("a2.txt"), long_arg);
    EXPECT_FALSE(fs::exists(d.path / "pwned"));
    EXPECT_FALSE(fs::exists(d.path / "pwned2"));
}

TEST(Spawn, ScriptWithExecuteBitRunsAndWithoutItIsRefused) {
    TempDir d;
    fs::path script = d.path / "hello.sh";
    std::ofstream(script) << "#!/bin/sh\nexit 7\n";
    fs::permissions(script, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(spawn_process(script.c_str(), {}, nullptr), 0);
    EXPECT_EQ(last_error(), 5u);
    fs::permissions(script, fs::perms::owner_all);
    int32_t pid = spawn_process(script.c_str(), {}, nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_child(pid), 7);
}

TEST(LowMemory, BelowTwoGiB) {
    void* p = vm_alloc_low(1 << 16);
    ASSERT_NE(p, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(p) + (1 << 16), uintptr_t{1} << 31);
    static_cast<char*>(p)[0] = 1;
    EXPECT_TRUE(vm_free_low(p, 1 << 16));
    EXPECT_EQ(vm_alloc_low(0), nullptr);
}

TEST(HostName, NotEmpty) { EXPECT_FALSE(host_name().empty()); }
