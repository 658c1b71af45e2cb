// The path normaliser, case-insensitive resolution and the File calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/unit/scratch_program_dir.h"
#include "platform/errors.h"
#include "platform/fileio.h"
#include "platform/process.h"
#include "platform/profile.h"

using namespace kel::platform;
namespace fs = std::filesystem;

namespace {

fs::path make_scratch(const char* name) {
    fs::path p = fs::temp_directory_path() / (std::string("kelfile_") + name + "_" + std::to_string(getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(PathNormaliser, Table) {
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        {"", ""},
        {"a.txt", "a.txt"},
        {"dir\\sub\\a.txt", "dir/sub/a.txt"},
        {"C:\\x\\y", "/x/y"},
        {"c:/x/y", "/x/y"},
        {"C:x", "/x"},
        {"C:", "/"},
        {"C:\\", "/"},
        {"\\\\?\\C:\\long\\path", "/long/path"},
        {"\\\\?\\UNC\\server\\share\\f", "server/share/f"},
        {"name. . ", "name"},
        {"dir. \\file.txt ", "dir/file.txt"},
        {"a\\.\\..\\b", "a/./../b"},
        {"..\\x", "../x"},
        {"a\\\\b", "a/b"},
        {"/abs//path/", "/abs/path/"},
        {"dir\\", "dir/"},
        {"NUL", "/dev/null"},
        {"nul", "/dev/null"},
        {"C:\\some\\dir\\Nul", "/dev/null"},
        {"null", "null"},
        {"nul.txt", "nul.txt"},
    };
    for (const Row& r : rows) EXPECT_EQ(normalize_path(r.in), r.out) << "input: " << r.in;
}

TEST(PathNormaliser, DriveMapFromSettings) {
    ScratchProgramDir prog;
    std::string ini = program_dir() + "/FENSCRPT.INI";
    ASSERT_TRUE(profile_write(ini.c_str(), "Drives", "D", "/srv/data"));
    EXPECT_EQ(normalize_path("D:\\x\\y.txt"), "/srv/data/x/y.txt");
    EXPECT_EQ(normalize_path("d:y.txt"), "/srv/data/y.txt");
    EXPECT_EQ(normalize_path("C:\\x"), "/x");
    ASSERT_TRUE(profile_write(ini.c_str(), "Drives", "D", "\\other\\"));
    EXPECT_EQ(normalize_path("D:\\x"), "/other/x");
    fs::remove(ini);
    ASSERT_TRUE(profile_write(ini.c_str(), "Drives", nullptr, nullptr));  // resets the cached map
    EXPECT_EQ(normalize_path("D:\\x"), "/x");
}

TEST(FileOpen, ExactThenWithoutCase) {
    fs::path d = make_scratch("open");
    fs::create_directories(d / "SubDir");
    std::ofstream(d / "SubDir" / "Data.TXT") << "hello";
    std::string loose = d.string() + "\\subdir\\data.txt";
    File f = file_open(loose.c_str(), Open::Read);
    ASSERT_TRUE(f.valid());
    char buf[16] = {};
    EXPECT_EQ(file_read(f, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(file_read(f, buf, sizeof buf), 0);
    EXPECT_EQ(file_size(f), 5);
    EXPECT_TRUE(file_seek(f, 1));
    EXPECT_EQ(file_read(f, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "el");
    EXPECT_FALSE(file_is_pipe(f));
    EXPECT_TRUE(file_close(f));
    EXPECT_FALSE(f.valid());
    EXPECT_TRUE(file_exists(loose.c_str()));
    EXPECT_TRUE(dir_exists((d.string() + "/SUBDIR").c_str()));
    EXPECT_FALSE(dir_exists(loose.c_str()));
    EXPECT_FALSE(file_exists((d.string() + "/subdir").c_str()));
    fs::remove_all(d);
}

TEST(FileOpen, MissingFileAndPathErrors) {
    fs::path d = make_scratch("missing");
    File f = file_open((d / "none.txt").c_str(), Open::Read);
    EXPECT_FALSE(f.valid());
    EXPECT_EQ(last_error(), 2u);
    f = file_open((d / "nodir" / "none.txt").c_str(), Open::Read);
    EXPECT_EQ(last_error(), 3u);
    f = file_open((d / "nodir" / "new.txt").c_str(), Open::WriteTruncate);
    EXPECT_FALSE(f.valid());
    EXPECT_EQ(last_error(), 3u);
    f = file_open(d.c_str(), Open::Read);  // a directory is not a file
    EXPECT_FALSE(f.valid());
    EXPECT_EQ(last_error(), 5u);
    f = file_open("", Open::Read);
    EXPECT_FALSE(f.valid());
    f = file_open(nullptr, Open::Read);
    EXPECT_FALSE(f.valid());
    fs::remove_all(d);
}

TEST(FileOpen, CreateReusesExistingCaseMatch) {
    fs::path d = make_scratch("create");
    std::ofstream(d / "Counter.DAT") << "old";
    File f = file_open((d.string() + "/counter.dat").c_str(), Open::WriteTruncate);
    ASSERT_TRUE(f.valid());
    EXPECT_TRUE(file_write(f, "new", 3));
    file_close(f);
    EXPECT_EQ(slurp(d / "Counter.DAT"), "new");
    int entries = 0;
    for (auto& e : fs::directory_iterator(d)) (void)e, ++entries;
    EXPECT_EQ(entries, 1);
    fs::remove_all(d);
}

TEST(FileOpen, WriteModes) {
    fs::path d = make_scratch("modes");
    std::string p = (d / "f.txt").string();
    File f = file_open(p.c_str(), Open::WriteTruncate);
    ASSERT_TRUE(file_write(f, "abcdef", 6));
    file_close(f);
    f = file_open(p.c_str(), Open::WriteCreate);
    ASSERT_TRUE(file_write(f, "XY", 2));
    file_close(f);
    EXPECT_EQ(slurp(p), "XYcdef");
    f = file_open(p.c_str(), Open::Append);
    ASSERT_TRUE(file_write(f, "!", 1));
    file_close(f);
    EXPECT_EQ(slurp(p), "XYcdef!");
    std::string all;
    ASSERT_TRUE(file_read_all(p.c_str(), &all));
    EXPECT_EQ(all, "XYcdef!");
    EXPECT_FALSE(file_read_all((d / "nope").c_str(), &all));
    EXPECT_TRUE(file_delete(p.c_str()));
    EXPECT_FALSE(file_delete(p.c_str()));
    EXPECT_EQ(last_error(), 2u);
    EXPECT_FALSE(file_delete(d.c_str()));
    EXPECT_EQ(last_error(), 5u);
    fs::remove_all(d);
}

// The size an open records is the file's as every mode leaves it: a truncating open
// empties the file, the others keep what is there; a failed open reports none.
TEST(FileOpen, SizeAtOpenInEveryMode) {
    fs::path d = make_scratch("opensize");
    std::string p = (d / "f.txt").string();
    { std::ofstream(p, std::ios::binary) << "abcdefgh"; }
    for (Open how : {Open::Read, Open::WriteCreate, Open::Append, Open::WriteTruncate}) {
        SCOPED_TRACE(static_cast<int>(how));
        File f = file_open_shared(p.c_str(), how, kShareReadWrite);
        ASSERT_TRUE(f.valid());
        EXPECT_EQ(f.size_at_open, file_size(f));
        EXPECT_EQ(f.size_at_open, how == Open::WriteTruncate ? 0 : 8);
        file_close(f);
    }
    File bad = file_open_shared((d / "missing").c_str(), Open::Read, kShareRead);
    EXPECT_FALSE(bad.valid());
    EXPECT_EQ(bad.size_at_open, -1);
    bad = file_open_shared(d.c_str(), Open::Read, kShareRead);
    EXPECT_FALSE(bad.valid());
    EXPECT_EQ(bad.size_at_open, -1);
    fs::remove_all(d);
}

TEST(FileOpen, NulIsTheNullDevice) {
    File f = file_open("NUL", Open::WriteTruncate);
    ASSERT_TRUE(f.valid());
    EXPECT_TRUE(file_write(f, "gone", 4));
    file_close(f);
}

TEST(FileLock, ExclusiveLockTimesOut) {
    fs::path d = make_scratch("lock");
    std::string p = (d / "l.txt").string();
    File a = file_open_shared(p.c_str(), Open::WriteCreate, kShareReadWrite);
    File b = file_open_shared(p.c_str(), Open::WriteCreate, kShareReadWrite);
    ASSERT_TRUE(a.valid());
    ASSERT_TRUE(b.valid());
    EXPECT_TRUE(file_lock_exclusive(a, 0));
    EXPECT_FALSE(file_lock_exclusive(b, 20));  // separate open file: flock conflicts
    file_unlock(a);
    EXPECT_TRUE(file_lock_exclusive(b, 0));
    file_unlock(b);
    file_close(a);
    file_close(b);
    fs::remove_all(d);
}

TEST(FileHandles, StandardHandlesNeverClosed) {
    File in = std_input();
    EXPECT_EQ(in.fd, 0);
    EXPECT_TRUE(file_close(in));
    File out = std_output();
    EXPECT_EQ(out.fd, 1);
    EXPECT_TRUE(std_output().valid());
    File bad;
    EXPECT_FALSE(file_close(bad));
    EXPECT_EQ(file_read(bad, nullptr, 0), -1);
    EXPECT_FALSE(file_write(bad, "x", 1));
    EXPECT_EQ(file_size(bad), -1);
}

TEST(Errors, MapAndTexts) {
    EXPECT_EQ(error_from_errno(ENOENT), 2u);
    EXPECT_EQ(error_from_errno(ENOTDIR), 3u);
    EXPECT_EQ(error_from_errno(EACCES), 5u);
    EXPECT_EQ(error_from_errno(EPERM), 5u);
    EXPECT_EQ(error_from_errno(EROFS), 5u);
    EXPECT_EQ(error_from_errno(EEXIST), 80u);
    EXPECT_EQ(error_from_errno(EINVAL), 87u);
    EXPECT_EQ(error_from_errno(ENOSPC), 112u);
    EXPECT_EQ(error_from_errno(ENOTEMPTY), 145u);
    EXPECT_EQ(error_from_errno(ENAMETOOLONG), 206u);
    EXPECT_EQ(error_from_errno(ENOEXEC), 193u);
    EXPECT_EQ(error_from_errno(ENOMEM), 8u);
    EXPECT_STREQ(error_text(2), "The system cannot find the file specified.");
    EXPECT_STREQ(error_text(32), "The process cannot access the file because it is being used by another process.");
    EXPECT_NE(error_text(123456), nullptr);
    set_last_error(42);
    EXPECT_EQ(last_error(), 42u);
}

TEST(ShareModes, DefaultsLetReadersShareAndKeepOneWriter) {
    fs::path d = make_scratch("share");
    std::string p = (d / "counter.dat").string();
    File w = file_open(p.c_str(), Open::WriteTruncate);  // write share 1: others may read
    ASSERT_TRUE(w.valid());
    File r1 = file_open(p.c_str(), Open::Read);
    File r2 = file_open(p.c_str(), Open::Read);
    EXPECT_TRUE(r1.valid());
    EXPECT_TRUE(r2.valid());
    File w2 = file_open(p.c_str(), Open::Append);
    EXPECT_FALSE(w2.valid());
    EXPECT_EQ(last_error(), 32u);
    file_close(w);
    w2 = file_open(p.c_str(), Open::Append);  // readers allow writing (read share 3)
    EXPECT_TRUE(w2.valid());
    file_close(w2);
    file_close(r1);
    file_close(r2);
    fs::remove_all(d);
}

TEST(ShareModes, DenyingOpenRefusesOthers) {
    fs::path d = make_scratch("deny");
    std::string p = (d / "f.txt").string();
    std::ofstream(p) << "keep me";
    File x = file_open_shared(p.c_str(), Open::Read, kShareNone);
    ASSERT_TRUE(x.valid());
    EXPECT_FALSE(file_open(p.c_str(), Open::Read).valid());
    EXPECT_EQ(last_error(), 32u);
    // A refused truncating open must not have truncated anything.
    EXPECT_FALSE(file_open(p.c_str(), Open::WriteTruncate).valid());
    EXPECT_EQ(slurp(p), "keep me");
    file_close(x);
    File y = file_open_shared(p.c_str(), Open::Read, kShareRead);
    EXPECT_TRUE(file_open(p.c_str(), Open::Read).valid());  // leaks a descriptor; fine in a test
    EXPECT_FALSE(file_open(p.c_str(), Open::WriteCreate).valid());
    file_close(y);
    EXPECT_TRUE(file_open(p.c_str(), Open::WriteCreate).valid());
    fs::remove_all(d);
}

// Every pair of opens against the rule: the second is refused (32) exactly when one of
// the two denies an access the other has; refused or not, the file keeps its bytes.
TEST(ShareModes, EveryPairOfOpensFollowsTheRule) {
    fs::path d = make_scratch("pairs");
    std::string p = (d / "f.txt").string();
    std::ofstream(p) << "data";
    const Open hows[] = {Open::Read, Open::WriteCreate, Open::WriteTruncate, Open::Append};
    auto reads = [](Open o) { return o == Open::Read; };
    for (Open h1 : hows)
        for (int s1 = 0; s1 < 4; ++s1)
            for (Open h2 : hows)
                for (int s2 = 0; s2 < 4; ++s2) {
                    File a = file_open_shared(p.c_str(), h1, s1);
                    ASSERT_TRUE(a.valid());
                    if (h1 == Open::WriteTruncate) {
                        file_write(a, "data", 4);
                        file_seek(a, 0);
                    }
                    bool r1 = reads(h1), w1 = !r1, r2 = reads(h2), w2 = !r2;
                    bool refused = (r2 && !(s1 & kShareRead)) || (w2 && !(s1 & kShareWrite)) ||
                                   (r1 && !(s2 & kShareRead)) || (w1 && !(s2 & kShareWrite));
                    File b = file_open_shared(p.c_str(), h2, s2);
                    std::string what = "open " + std::to_string(static_cast<int>(h1)) + "/" + std::to_string(s1) +
                                       " then " + std::to_string(static_cast<int>(h2)) + "/" + std::to_string(s2);
                    EXPECT_EQ(b.valid(), !refused) << what;
                    if (!b.valid()) {
                        EXPECT_EQ(last_error(), 32u) << what;
                    } else {
                        if (h2 == Open::WriteTruncate) file_write(b, "data", 4);
                        file_close(b);
                    }
                    file_close(a);
                    EXPECT_EQ(slurp(p), "data") << what;
                }
    fs::remove_all(d);
}

TEST(Wildcards, WindowsRules) {
    EXPECT_TRUE(wildcard_match("*", "abc"));
    EXPECT_TRUE(wildcard_match("*.*", "noext"));
    EXPECT_TRUE(wildcard_match("*.*", "a.b.c"));
    EXPECT_TRUE(wildcard_match("*.TXT", "readme.txt"));
    EXPECT_FALSE(wildcard_match("*.txt", "readme.txt.bak"));
    EXPECT_TRUE(wildcard_match("a?c", "ABC"));
    EXPECT_FALSE(wildcard_match("a?c", "ac"));
    EXPECT_TRUE(wildcard_match("*.", "makefile"));
    EXPECT_FALSE(wildcard_match("*.", "make.file"));
    EXPECT_TRUE(wildcard_match("data*.", "data1"));
    EXPECT_TRUE(wildcard_match("*a*b*c*", "xxaxxbxxcxx"));
    EXPECT_FALSE(wildcard_match("*a*b*c*d", std::string(200, 'a') + "bc"));
    EXPECT_TRUE(wildcard_match("", "anything"));
}

TEST(DirList, SortedFilteredHiddenOnRequest) {
    fs::path d = make_scratch("list");
    for (const char* n : {"b.txt", "A.txt", "c.log", ".hidden.txt"}) std::ofstream(d / n) << n;
    fs::create_directories(d / "Sub");
    std::vector<FileInfo> out;
    ASSERT_TRUE(dir_list(d.c_str(), "*.txt", false, &out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].name, "A.txt");
    EXPECT_EQ(out[1].name, "b.txt");
    EXPECT_EQ(out[0].size, 5u);
    EXPECT_EQ(out[0].attributes & kAttrArchive, kAttrArchive);
    ASSERT_TRUE(dir_list(d.c_str(), "*", true, &out));
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].name, ".hidden.txt");
    EXPECT_TRUE(out[0].attributes & kAttrHidden);
    EXPECT_EQ(out[4].name, "Sub");
    EXPECT_TRUE(out[4].is_dir);
    EXPECT_EQ(out[4].attributes & kAttrDirectory, kAttrDirectory);
    EXPECT_FALSE(dir_list((d / "none").c_str(), "*", false, &out));
    EXPECT_EQ(last_error(), 3u);
    fs::remove_all(d);
}

TEST(FileOps, CopyKeepsTimeAndNeverTruncatesItself) {
    fs::path d = make_scratch("copy");
    std::string a = (d / "a.txt").string(), b = (d / "b.txt").string();
    std::ofstream(a) << "payload";
    FileTime t{1000000000, 0};
    ASSERT_TRUE(file_set_times(a.c_str(), &t, nullptr));
    ASSERT_TRUE(file_copy(a.c_str(), b.c_str()));
    EXPECT_EQ(slurp(b), "payload");
    FileInfo info;
    ASSERT_TRUE(file_info(b.c_str(), &info));
    EXPECT_EQ(info.write_time.sec, 1000000000);
    EXPECT_FALSE(file_copy(a.c_str(), a.c_str()));
    EXPECT_FALSE(file_copy(a.c_str(), (d.string() + "/A.TXT").c_str()));  // the same file by another spelling
    EXPECT_EQ(slurp(a), "payload");
    EXPECT_FALSE(file_copy((d / "none").c_str(), b.c_str()));
    EXPECT_EQ(last_error(), 2u);
    int entries = 0;
    for (auto& e : fs::directory_iterator(d)) (void)e, ++entries;
    EXPECT_EQ(entries, 2);
    fs::remove_all(d);
}

TEST(FileOps, MoveReplacesAndOntoItselfIsHarmless) {
    fs::path d = make_scratch("move");
    std::string a = (d / "a.txt").string(), b = (d / "b.txt").string();
    std::ofstream(a) << "one";
    std::ofstream(b) << "two";
    ASSERT_TRUE(file_move(a.c_str(), b.c_str()));
    EXPECT_FALSE(fs::exists(a));
    EXPECT_EQ(slurp(b), "one");
    EXPECT_TRUE(file_move(b.c_str(), b.c_str()));
    EXPECT_EQ(slurp(b), "one");
    EXPECT_FALSE(file_move(a.c_str(), b.c_str()));
    EXPECT_EQ(last_error(), 2u);
    fs::remove_all(d);
}

TEST(FileOps, DirectoriesMakeRemoveRename) {
    fs::path d = make_scratch("dirs");
    std::string x = (d / "x").string();
    ASSERT_TRUE(dir_make(x.c_str()));
    EXPECT_FALSE(dir_make(x.c_str()));
    EXPECT_EQ(last_error(), 183u);
    EXPECT_FALSE(dir_make((d / "no" / "deeper").c_str()));
    EXPECT_EQ(last_error(), 3u);
    std::ofstream(d / "x" / "f") << "f";
    EXPECT_FALSE(dir_remove(x.c_str()));
    EXPECT_EQ(last_error(), 145u);
    ASSERT_TRUE(dir_rename(x.c_str(), (d / "y").c_str()));
    EXPECT_TRUE(dir_exists((d / "Y").c_str()));
    fs::remove(d / "y" / "f");
    EXPECT_TRUE(dir_remove((d.string() + "\\Y\\").c_str()));
    EXPECT_FALSE(dir_exists((d / "y").c_str()));
    fs::remove_all(d);
}

TEST(FileOps, AttributesAndInfo) {
    fs::path d = make_scratch("attr");
    std::string f = (d / "f.txt").string();
    std::ofstream(f) << "12345";
    FileInfo info;
    ASSERT_TRUE(file_info(f.c_str(), &info));
    EXPECT_EQ(info.size, 5u);
    EXPECT_EQ(info.attributes, kAttrArchive);
    ASSERT_TRUE(file_set_attributes(f.c_str(), kAttrReadOnly));
    ASSERT_TRUE(file_info(f.c_str(), &info));
    EXPECT_EQ(info.attributes, kAttrArchive | kAttrReadOnly);
    ASSERT_TRUE(file_set_attributes(f.c_str(), 0));
    ASSERT_TRUE(file_info(f.c_str(), &info));
    EXPECT_EQ(info.attributes, kAttrArchive);
    EXPECT_FALSE(file_info((d / "none").c_str(), &info));
    EXPECT_EQ(last_error(), 2u);
    uint64_t free_bytes = 0, total = 0;
    EXPECT_TRUE(disk_space(d.c_str(), &free_bytes, &total));
    EXPECT_GT(total, 0u);
    fs::remove_all(d);
}

TEST(FullPath, FoldsDotsAgainstCwd) {
    std::string cwd = fs::current_path().string();
    EXPECT_EQ(full_path("/a/b/../c/./d"), "/a/c/d");
    EXPECT_EQ(full_path("C:\\x\\..\\y"), "/y");
    EXPECT_EQ(full_path("/.."), "/");
    EXPECT_EQ(full_path("rel"), cwd == "/" ? "/rel" : cwd + "/rel");
}
