// Starting programs, splitting command lines, low memory.
#include <gtest/gtest.h>

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

TEST(LowMemory, BelowTwoGiB) {
    void* p = vm_alloc_low(1 << 16);
    ASSERT_NE(p, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(p) + (1 << 16), uintptr_t{1} << 31);
    static_cast<char*>(p)[0] = 1;
    EXPECT_TRUE(vm_free_low(p, 1 << 16));
    EXPECT_EQ(vm_alloc_low(0), nullptr);
}

TEST(HostName, NotEmpty) { EXPECT_FALSE(host_name().empty()); }
