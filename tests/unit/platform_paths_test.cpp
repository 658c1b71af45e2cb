// The path layer under the file family: the Windows wildcard rules at a name's end, one
// file under two names (links, spellings) for move and copy, reading at an offset of an
// append descriptor, local times, and moves that fail leaving the target whole.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/fileio.h"

using namespace kel::platform;
namespace fs = std::filesystem;

namespace {

fs::path scratch(const char* name) {
    fs::path p = fs::temp_directory_path() / (std::string("kelpaths_") + name + "_" + std::to_string(getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(WildcardEnds, QuestionMarksMayMatchNothingAtAPointOrTheEnd) {
    EXPECT_TRUE(wildcard_match("???.txt", "a.txt"));
    EXPECT_TRUE(wildcard_match("???.txt", "abc.txt"));
    EXPECT_FALSE(wildcard_match("???.txt", "abcd.txt"));
    EXPECT_TRUE(wildcard_match("a??", "a"));
    EXPECT_TRUE(wildcard_match("a?c", "a.c"));  // "?" takes the point itself
    EXPECT_FALSE(wildcard_match("a?c", "ac"));
    EXPECT_TRUE(wildcard_match("???", "ab"));
    EXPECT_FALSE(wildcard_match("???", "abcd"));
}

TEST(WildcardEnds, APointMatchesTheEndWhenTheRestCanBeEmpty) {
    EXPECT_TRUE(wildcard_match("*.*.*", "a.txt"));
    EXPECT_TRUE(wildcard_match("*.*.*", "a.b.c"));
    EXPECT_TRUE(wildcard_match("*.*.*", "plain"));
    EXPECT_TRUE(wildcard_match("read*.*", "readme"));
    EXPECT_FALSE(wildcard_match("*.txt", "readme"));
    EXPECT_FALSE(wildcard_match("a.b", "a"));
    EXPECT_TRUE(wildcard_match("A*.?", "abc"));
}

TEST(WildcardEnds, LongPatternsStayCheap) {
    std::string name(255, 'a');
    std::string pat;
    for (int i = 0; i < 2000; ++i) pat += "*a";
    pat += "b";
    EXPECT_FALSE(wildcard_match(pat, name));
    EXPECT_TRUE(wildcard_match(std::string(4000, '*'), name));
}

TEST(SameFile, SpellingsAndHardLinks) {
    fs::path d = scratch("same");
    std::string a = (d / "a.txt").string(), link = (d / "link.txt").string(), other = (d / "o.txt").string();
    std::ofstream(a) << "data";
    std::ofstream(other) << "other";
    ASSERT_EQ(::link(a.c_str(), link.c_str()), 0);
    EXPECT_TRUE(same_file(a.c_str(), link.c_str()));
    EXPECT_TRUE(same_file(a.c_str(), (d.string() + "/A.TXT").c_str()));
    EXPECT_FALSE(same_file(a.c_str(), other.c_str()));
    EXPECT_FALSE(same_file(a.c_str(), (d / "none").c_str()));
    // A move between two names of one file does nothing, and loses nothing.
    EXPECT_TRUE(file_move(a.c_str(), link.c_str()));
    EXPECT_EQ(slurp(a), "data");
    EXPECT_EQ(slurp(link), "data");
    // A copy between them is refused before anything is truncated.
    EXPECT_FALSE(file_copy(link.c_str(), a.c_str()));
    EXPECT_EQ(last_error(), 32u);
    EXPECT_EQ(slurp(a), "data");
    fs::remove_all(d);
}

TEST(SameFile, FailedMoveKeepsTheOldTarget) {
    fs::path d = scratch("failmove");
    std::string target = (d / "t.txt").string();
    std::ofstream(target) << "keep";
    fs::create_directories(d / "dir");
    // A directory cannot replace a file: the target must survive the failure.
    EXPECT_FALSE(file_move((d / "dir").c_str(), target.c_str()));
    EXPECT_EQ(slurp(target), "keep");
    EXPECT_FALSE(file_move((d / "missing").c_str(), target.c_str()));
    EXPECT_EQ(slurp(target), "keep");
    fs::remove_all(d);
}

TEST(SameFile, CopyLeavesNoTemporaryBehind) {
    fs::path d = scratch("copytmp");
    std::string a = (d / "a.txt").string();
    std::ofstream(a) << std::string(100000, 'x');
    ASSERT_TRUE(file_copy(a.c_str(), (d / "b.txt").c_str()));
    ASSERT_TRUE(file_copy(a.c_str(), (d / "b.txt").c_str()));  // over an existing target
    int n = 0;
    for (auto& e : fs::directory_iterator(d)) (void)e, ++n;
    EXPECT_EQ(n, 2);
    EXPECT_EQ(slurp(d / "b.txt").size(), 100000u);
    fs::remove_all(d);
}

TEST(AppendDescriptor, ReadsItsFirstBytesWithoutMoving) {
    fs::path d = scratch("readat");
    std::string p = (d / "u.txt").string();
    std::ofstream(p, std::ios::binary) << "\xFF\xFE" "a";
    File f = file_open_shared(p.c_str(), Open::Append, kShareRead);
    ASSERT_TRUE(f.valid());
    unsigned char mark[2] = {};
    ASSERT_EQ(file_read_at(f, mark, 2, 0), 2);
    EXPECT_EQ(mark[0], 0xFF);
    EXPECT_EQ(mark[1], 0xFE);
    ASSERT_TRUE(file_write(f, "b", 1));
    file_close(f);
    EXPECT_EQ(slurp(p), "\xFF\xFE" "ab");
    // Close-on-exec on every descriptor.
    File g = file_open(p.c_str(), Open::Read);
    ASSERT_TRUE(g.valid());
    EXPECT_TRUE(fcntl(g.fd, F_GETFD) & FD_CLOEXEC);
    file_close(g);
    fs::remove_all(d);
}

TEST(LocalTimes, FieldsToUnixAndBack) {
    setenv("TZ", "UTC", 1);
    tzset();
    int64_t t = 0;
    ASSERT_TRUE(local_fields_to_unix(2024, 3, 5, 14, 7, 9, &t));
    EXPECT_EQ(t, 1709647629);
    EXPECT_FALSE(local_fields_to_unix(2024, 2, 30, 0, 0, 0, &t));
    EXPECT_FALSE(local_fields_to_unix(2024, 13, 1, 0, 0, 0, &t));
    EXPECT_FALSE(local_fields_to_unix(1600, 1, 1, 0, 0, 0, &t));
    EXPECT_TRUE(local_fields_to_unix(2024, 2, 29, 23, 59, 59, &t));
}

TEST(ResolvePath, CaseOfTheLastNameOrOfAnyDirectoryOnTheWay) {
    fs::path d = scratch("resolve");
    fs::create_directories(d / "Sub" / "Inner");
    std::ofstream(d / "Sub" / "Settings.INI") << "x";
    std::ofstream(d / "Sub" / "Inner" / "Deep.txt") << "y";
    const std::string base = d.string();
    // Only the last name differs: found in its directory.
    EXPECT_EQ(resolve_path(base + "/Sub/settings.ini"), base + "/Sub/Settings.INI");
    // Missing in a directory that is there: the path as given.
    EXPECT_EQ(resolve_path(base + "/Sub/missing.ini"), base + "/Sub/missing.ini");
    // A directory on the way differs in case as well.
    EXPECT_EQ(resolve_path(base + "/sub/inner/DEEP.TXT"), base + "/Sub/Inner/Deep.txt");
    // Missing directory: the rest stays as given.
    EXPECT_EQ(resolve_path(base + "/sub/none/deep.txt"), base + "/Sub/none/deep.txt");
    // A directory named with a trailing slash keeps it.
    EXPECT_EQ(resolve_path(base + "/sub/inner/"), base + "/Sub/Inner/");
    fs::remove_all(d);
}

TEST(ResolvePath, AFileAddedOrRemovedAfterAScanIsSeen) {
    fs::path d = scratch("rescan");
    std::ofstream(d / "Alpha.txt") << "a";
    // Only a directory unchanged for two seconds has its names kept between lookups.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    const std::string base = d.string();
    EXPECT_EQ(resolve_path(base + "/ALPHA.TXT"), base + "/Alpha.txt");
    EXPECT_EQ(resolve_path(base + "/beta.txt"), base + "/beta.txt");  // from the kept names
    std::ofstream(d / "Beta.TXT") << "b";
    EXPECT_EQ(resolve_path(base + "/beta.txt"), base + "/Beta.TXT");
    fs::rename(d / "Alpha.txt", d / "gamma.txt");
    EXPECT_EQ(resolve_path(base + "/alpha.txt"), base + "/alpha.txt");
    EXPECT_EQ(resolve_path(base + "/GAMMA.txt"), base + "/gamma.txt");
    fs::remove_all(d);
}
