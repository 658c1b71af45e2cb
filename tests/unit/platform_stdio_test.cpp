// Standard descriptors closed at start, the host's own address, and the locked appender
// that several processes share for the error log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fileio.h"
#include "platform/msgq.h"
#include "platform/process.h"

using namespace kel::platform;
namespace fs = std::filesystem;

namespace {

fs::path make_scratch(const char* name) {
    fs::path p = fs::temp_directory_path() / (std::string("kelstdio_") + name + "_" + std::to_string(getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int32_t wait_child(int32_t pid) {
    int32_t code = -2;
    while (!child_finished(pid, &code)) wait_for_event(50);
    return code;
}

// One appender's entry: a tag letter repeated, long enough that a torn write would show.
std::string entry(char tag, int n) {
    std::string e = std::string(1, tag) + std::to_string(n) + ":";
    e.append(3000, tag);
    e += "\r\n";
    return e;
}

constexpr int kEntriesPerChild = 200;

}  // namespace

// Runs in a death-test child: closes standard input and output, starts the process state
// and exits 0 when the descriptors were replaced as promised.
[[noreturn]] void closed_std_child() {
    close(0);
    close(1);
    char prog[] = "prog";
    char* argv[] = {prog, nullptr};
    process_init(1, argv);
    bool ok = std_fd_was_closed(0) && std_fd_was_closed(1) && !std_fd_was_closed(2);
    ok = ok && !std_input().valid() && !std_output().valid();
    // A file opened now must not land on a standard descriptor.
    File f = file_open("/dev/null", Open::Read);
    ok = ok && f.fd > 2;
    char c;
    ok = ok && file_read(File{0}, &c, 1) == 0;  // fd 0 reads the null device
    std::exit(ok ? 0 : 1);
}

TEST(StdDescriptors, ClosedAtStartGetNullDevice) {
    EXPECT_EXIT(closed_std_child(), testing::ExitedWithCode(0), "");
}

TEST(StdDescriptors, OpenAtStartAreReportedOpen) {
    char prog[] = "prog";
    char* argv[] = {prog, nullptr};
    process_init(1, argv);
    EXPECT_FALSE(std_fd_was_closed(0));
    EXPECT_FALSE(std_fd_was_closed(1));
    EXPECT_FALSE(std_fd_was_closed(2));
    EXPECT_FALSE(std_fd_was_closed(-1));
    EXPECT_FALSE(std_fd_was_closed(3));
    EXPECT_TRUE(std_output().valid());
}

TEST(HostAddress, DottedIpv4) {
    std::string a = host_address();
    int parts[4] = {-1, -1, -1, -1};
    char tail = 0;
    ASSERT_EQ(std::sscanf(a.c_str(), "%d.%d.%d.%d%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail), 4) << a;
    for (int p : parts) {
        EXPECT_GE(p, 0);
        EXPECT_LE(p, 255);
    }
}

// Runs only as a child of AppendLocked.ConcurrentProcessesNeverInterleave.
TEST(AppendLockedChild, Appends) {
    std::string path, tag;
    if (!env_get("KEL_APPEND_CHILD_PATH", &path) || !env_get("KEL_APPEND_CHILD_TAG", &tag) || tag.empty())
        GTEST_SKIP() << "helper for the concurrent appender test";
    for (int i = 0; i < kEntriesPerChild; ++i)
        ASSERT_TRUE(file_append_locked(path.c_str(), entry(tag[0], i), 5000));
}

TEST(AppendLocked, ConcurrentProcessesNeverInterleave) {
    install_signal_handlers();
    fs::path d = make_scratch("append");
    std::string log = (d / "errors.log").string();
    std::string self = program_dir() + "/" + program_file_name();
    std::vector<int32_t> pids;
    ASSERT_TRUE(env_set("KEL_APPEND_CHILD_PATH", log.c_str()));
    for (const char* tag : {"A", "B"}) {
        ASSERT_TRUE(env_set("KEL_APPEND_CHILD_TAG", tag));
        int32_t pid = spawn_process(self.c_str(), {self, "--gtest_filter=AppendLockedChild.Appends"}, nullptr);
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    env_set("KEL_APPEND_CHILD_PATH", nullptr);
    env_set("KEL_APPEND_CHILD_TAG", nullptr);
    for (int32_t pid : pids) EXPECT_EQ(wait_child(pid), 0);

    std::string all = slurp(log);
    std::map<char, int> next;
    size_t at = 0;
    int lines = 0;
    while (at < all.size()) {
        size_t end = all.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string line = all.substr(at, end + 2 - at);
        char tag = line[0];
        ASSERT_TRUE(tag == 'A' || tag == 'B') << "torn entry at byte " << at;
        // Each child's entries arrive whole and in its own order.
        EXPECT_EQ(line, entry(tag, next[tag]++)) << "torn entry at byte " << at;
        at = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, 2 * kEntriesPerChild);
    EXPECT_EQ(next['A'], kEntriesPerChild);
    EXPECT_EQ(next['B'], kEntriesPerChild);
    fs::remove_all(d);
}

TEST(AppendLocked, LockWaitIsBounded) {
    fs::path d = make_scratch("bounded");
    std::string log = (d / "errors.log").string();
    ASSERT_TRUE(file_append_locked(log.c_str(), "first\r\n", 0));
    File holder = file_open_shared(log.c_str(), Open::WriteCreate, kShareReadWrite);
    ASSERT_TRUE(holder.valid());
    ASSERT_TRUE(file_lock_exclusive(holder, 0));
    // Gives up after the wait instead of blocking for as long as another writer holds it.
    EXPECT_FALSE(file_append_locked(log.c_str(), "second\r\n", 30));
    EXPECT_EQ(slurp(log), "first\r\n");
    file_unlock(holder);
    file_close(holder);
    EXPECT_TRUE(file_append_locked(log.c_str(), "third\r\n", 30));
    EXPECT_EQ(slurp(log), "first\r\nthird\r\n");
    fs::remove_all(d);
}

TEST(AppendLocked, CreatesFileAndRefusesBadPaths) {
    fs::path d = make_scratch("create");
    std::string log = (d / "new.log").string();
    EXPECT_TRUE(file_append_locked(log.c_str(), "x", 0));
    EXPECT_EQ(slurp(log), "x");
    EXPECT_FALSE(file_append_locked(nullptr, "x", 0));
    EXPECT_FALSE(file_append_locked("", "x", 0));
    EXPECT_FALSE(file_append_locked((d / "no/such/dir/x.log").c_str(), "x", 0));
    fs::remove_all(d);
}
