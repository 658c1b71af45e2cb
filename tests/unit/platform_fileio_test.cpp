// The path normaliser, case-insensitive resolution and the File calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

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
    std::string ini = program_dir() + "/FENSCRPT.INI";
    fs::remove(ini);
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

TEST(FileOpen, NulIsTheNullDevice) {
    File f = file_open("NUL", Open::WriteTruncate);
    ASSERT_TRUE(f.valid());
    EXPECT_TRUE(file_write(f, "gone", 4));
    file_close(f);
}

TEST(FileLock, ExclusiveLockTimesOut) {
    fs::path d = make_scratch("lock");
    std::string p = (d / "l.txt").string();
    File a = file_open(p.c_str(), Open::WriteCreate);
    File b = file_open(p.c_str(), Open::WriteCreate);
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
