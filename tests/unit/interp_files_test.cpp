// The file family's shared rules (list splitting, destination masks, the walker) and the
// byte-level results of its builtins, run in-process in a scratch directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "interp_run_fixture.h"
#include "lib/files.h"

using namespace kel;
namespace fs = std::filesystem;
namespace lf = kel::lib::files;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

// Each test runs in a directory of its own, made current for the script.
class FileFamily : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = fs::current_path();
        dir_ = fs::temp_directory_path() / ("kel_files_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
        ASSERT_TRUE(h_.start());
    }
    void TearDown() override {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    // Runs the script; returns what out() printed.
    std::string run(const std::string& text) {
        h_.out.clear();
        h_.run(text);
        return h_.out;
    }
    test::RunHost h_;
    fs::path dir_, old_;
};

}  // namespace

TEST(FileMasks, NameAndExtensionMapSeparately) {
    EXPECT_EQ(lf::map_name("a.txt", "*.bak"), "a.bak");
    EXPECT_EQ(lf::map_name("abc.txt", "x?.*"), "xb.txt");
    EXPECT_EQ(lf::map_name("a.txt", "*.*"), "a.txt");
    EXPECT_EQ(lf::map_name("readme", "*.*"), "readme");
    EXPECT_EQ(lf::map_name("readme", "*.bak"), "readme.bak");
    EXPECT_EQ(lf::map_name("a.txt", "*"), "a.txt");
    EXPECT_EQ(lf::map_name("a.txt", "b.log"), "b.log");
    EXPECT_EQ(lf::map_name("a.b.c", "*.x"), "a.b.x");
    EXPECT_EQ(lf::map_name("ab.txt", "????.*"), "ab.txt");  // "?" past the source adds nothing
    EXPECT_EQ(lf::map_name("a.txt", "*."), "a");
}

TEST(FileMasks, DirectoryPartEndsAfterTheLastSeparatorOrDrive) {
    EXPECT_EQ(lf::dir_part_end("a/b/c.txt"), 4u);
    EXPECT_EQ(lf::dir_part_end("a\\b\\c.txt"), 4u);
    EXPECT_EQ(lf::dir_part_end("C:c.txt"), 2u);
    EXPECT_EQ(lf::dir_part_end("C:\\x\\c.txt"), 5u);
    EXPECT_EQ(lf::dir_part_end("\\\\?\\C:\\x"), 7u);
    EXPECT_EQ(lf::dir_part_end("plain"), 0u);
}

TEST_F(FileFamily, DestinationOfAnExistingDirectoryGetsAMask) {
    fs::create_directories("d");
    lf::Destination a = lf::destination("d");
    EXPECT_EQ(a.dir, "d/");
    EXPECT_EQ(a.mask, "*.*");
    lf::Destination b = lf::destination("e\\");
    EXPECT_EQ(b.dir, "e\\");
    EXPECT_EQ(b.mask, "*.*");
    lf::Destination c = lf::destination("d/x.txt");
    EXPECT_EQ(c.dir, "d/");
    EXPECT_EQ(c.mask, "x.txt");
}

TEST_F(FileFamily, ListsSplitAtTabBarAndDelimiter) {
    test::Entered e(h_.host.inst_block);
    auto inst = [&]() -> interp::Instance& { return e.inst(); };
    std::vector<std::string> items;
    ASSERT_TRUE(lf::split_list(inst(), "a\t\tb|c||", &items));
    EXPECT_EQ(items, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_TRUE(lf::split_list(inst(), std::string(32765, 'x'), &items));
    EXPECT_FALSE(lf::split_list(inst(), std::string(32766, 'x'), &items));
    EXPECT_EQ(inst().err_code, 3054);
    inst().clear_error();
}

TEST_F(FileFamily, WalkerCollectsAndSortsBeforeActing) {
    for (const char* n : {"b.txt", "C.txt", "a.txt"}) spit(n, n);
    fs::create_directories("dir.txt");
    test::Entered e(h_.host.inst_block);
    auto inst = [&]() -> interp::Instance& { return e.inst(); };
    std::vector<std::string> seen;
    bool ok = lf::walk_files(inst(), "*.txt", true, false, lf::Missing::Report, [&](const std::string& p) {
        seen.push_back(p);
        spit("z" + p, "new");  // files the step makes are not walked
        return true;
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(seen, (std::vector<std::string>{"a.txt", "b.txt", "C.txt"}));
    seen.clear();
    EXPECT_TRUE(lf::walk_files(inst(), "none.txt|a.txt", true, true, lf::Missing::Skip, [&](const std::string& p) {
        seen.push_back(p);
        return true;
    }));
    EXPECT_EQ(seen, (std::vector<std::string>{"a.txt"}));
    EXPECT_FALSE(lf::walk_files(inst(), "*.none", true, false, lf::Missing::Report, [](const std::string&) { return true; }));
    EXPECT_EQ(inst().err_code, 1002);
    inst().clear_error();
}

TEST_F(FileFamily, Utf16MarkOnlyAtTheStartOfAnEmptyFile) {
    run("h = fileopen(`u.txt`, `write`, 1)\nfilewrite(h, `ab`)\nfileclose(h)\n"
        "h = fileopen(`u.txt`, `append`)\nfilewrite(h, `c`)\nfileclose(h)\n"
        "h = fileopen(`e.txt`, `append`)\nfileclose(h)\n");
    EXPECT_EQ(slurp("u.txt"), std::string("\xFF\xFE" "a\0b\0\r\0\n\0c\0\r\0\n\0", 16));
    EXPECT_EQ(slurp("e.txt"), "");
}

TEST_F(FileFamily, BigEndianAndOddTrailingByte) {
    spit("be.txt", std::string("\xFE\xFF\0x\0y\0\n\0z\x41", 11));
    std::string out = run("h = fileopen(`be.txt`, `read`)\nout(fileread(h))\nout(fileread(h))\nout(fileread(h))\n"
                          "fileclose(h)\nout(fileget(`be.txt`))\nout(filegetw(`be.txt`))\n");
    EXPECT_EQ(h_.error(), 0);
    EXPECT_EQ(out, "xy\nz\n*EOF*\nxy\nz\nxy\nz\n");
}

TEST_F(FileFamily, NulBytesAndBinaryText) {
    spit("n.txt", std::string("a\0b", 3));
    std::string bin;
    for (int i = 1; i < 256; ++i) bin.push_back(static_cast<char>(i));
    spit("bin.dat", bin);
    std::string out = run("out(fileget(`n.txt`))\nout(fileget(`n.txt`, `*`))\nout(strlen(fileget(`bin.dat`)))\n"
                          "h = fileopen(`n.txt`, `read`)\nout(fileread(h))\nfileclose(h)\n"
                          "out(fileput(`copy.dat`, fileget(`bin.dat`)))\n");
    EXPECT_EQ(h_.error(), 0);
    EXPECT_EQ(out, "ab\na*b\n255\nab\n255\n");
    EXPECT_EQ(slurp("copy.dat"), bin);
}

TEST_F(FileFamily, AMillionLinesReadOneByOne) {
    {
        std::ofstream f("m.txt", std::ios::binary);
        for (int i = 0; i < 1000000; ++i) f << i << "\r\n";
    }
    std::string out = run("h = fileopen(`m.txt`, `read`)\nn = 0\nx = fileread(h)\nwhile x != `*EOF*`\n"
                          "  n = n + 1\n  last = x\n  x = fileread(h)\nendwhile\nfileclose(h)\n"
                          "out(n)\nout(last)\n");
    EXPECT_EQ(h_.error(), 0);
    EXPECT_EQ(out, "1000000\n999999\n");
}

TEST_F(FileFamily, OpenFilesAreNotInherited) {
    spit("x.txt", "x");
    std::string out = run("h = fileopen(`x.txt`, `read`)\nout(h)\n");
    int fd = std::stoi(out);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    run("fileclose(" + std::to_string(fd) + ")\n");
}

TEST_F(FileFamily, FullDiskIsAWriteFailure) {
    if (!fs::exists("/dev/full")) GTEST_SKIP();
    run("h = fileopen(`/dev/full`, `append`)\nout(h > 0)\nfilewrite(h, `x`)\nout(`not reached`)\n");
    EXPECT_EQ(h_.out, "1\n");
    EXPECT_EQ(h_.error(), 3467);
    run("ErrorMode(@OFF)\nx = fileput(`/dev/full`, `abc`)\nout(LastError())\n");
    EXPECT_EQ(h_.out, "1802\n");
}
