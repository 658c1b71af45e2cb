// The INI engine: reading rules, writes that keep layout and encoding.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/request_reset.h"

using namespace kel::platform;
namespace fs = std::filesystem;

namespace {

class IniTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kelini_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "test.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void put(const std::string& text) {
        std::ofstream(path_, std::ios::binary) << text;
    }
    std::string contents() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string get(const char* section, const char* key, const char* def = "DEF") {
        return profile_get_string(path_.c_str(), section, key, def);
    }

    fs::path dir_;
    std::string path_;
};

std::string utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

}  // namespace

TEST_F(IniTest, SectionsAndKeysIgnoreCase) {
    put("[Main]\r\nName=value\r\n");
    EXPECT_EQ(get("main", "NAME"), "value");
    EXPECT_EQ(get("MAIN", "name"), "value");
    EXPECT_EQ(get("Other", "name"), "DEF");
    EXPECT_EQ(get("Main", "missing"), "DEF");
}

TEST_F(IniTest, FirstMatchWins) {
    put("[s]\nk=1\nk=2\n[S]\nk=3\nj=4\n");
    EXPECT_EQ(get("s", "k"), "1");
    EXPECT_EQ(get("s", "j"), "DEF");  // only the first section of that name counts
}

TEST_F(IniTest, ValueTrimmedAndOnePairOfQuotesRemoved) {
    put("[s]\n  a  =  spaced value  \nb=\"quoted\"\nc=\"\"twice\"\"\nd='single'\ne=\"unbalanced\nf=x=y\ng=\n");
    EXPECT_EQ(get("s", "a"), "spaced value");
    EXPECT_EQ(get("s", "b"), "quoted");
    EXPECT_EQ(get("s", "c"), "\"twice\"");
    EXPECT_EQ(get("s", "d"), "single");
    EXPECT_EQ(get("s", "e"), "\"unbalanced");
    EXPECT_EQ(get("s", "f"), "x=y");
    EXPECT_EQ(get("s", "g"), "");
}

TEST_F(IniTest, CommentsAndLinesWithoutEqualsIgnored) {
    put("; [s]\n[s]\n;k=comment\nno equals here\n k = v \n");
    EXPECT_EQ(get("s", "k"), "v");
    EXPECT_EQ(get("s", ";k"), "DEF");
    EXPECT_EQ(profile_section(path_.c_str(), "s"), "k=v\n");
}

TEST_F(IniTest, MissingFileReadsAsEmpty) {
    EXPECT_EQ(get("s", "k"), "DEF");
    EXPECT_EQ(profile_get_int(path_.c_str(), "s", "k", 17), 17);
    EXPECT_EQ(profile_section(path_.c_str(), "s"), "");
}

TEST_F(IniTest, GetCutsToBuffer) {
    put("[s]\nk=abcdef\n");
    char buf[4];
    EXPECT_EQ(profile_get(path_.c_str(), "s", "k", "", buf, sizeof buf), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(profile_get(path_.c_str(), "s", "k", "", buf, 0), 0u);
    EXPECT_EQ(profile_get(path_.c_str(), "s", "x", nullptr, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
}

TEST_F(IniTest, Integers) {
    put("[s]\na= 42\nb=-7x\nc=abc\nd=+5\ne=4294967297\n");
    EXPECT_EQ(profile_get_int(path_.c_str(), "s", "a", 0), 42);
    EXPECT_EQ(profile_get_int(path_.c_str(), "s", "b", 0), -7);
    EXPECT_EQ(profile_get_int(path_.c_str(), "s", "c", 9), 0);
    EXPECT_EQ(profile_get_int(path_.c_str(), "s", "d", 0), 5);
    EXPECT_EQ(profile_get_int(path_.c_str(), "s", "e", 0), 1);
    EXPECT_EQ(profile_get_int(path_.c_str(), "s", "none", -3), -3);
}

TEST_F(IniTest, WriteNewKeyAppendsToItsSection) {
    put("[a]\r\nx=1\r\n\r\n[b]\r\ny=2\r\n");
    ASSERT_TRUE(profile_write(path_.c_str(), "A", "z", "3"));
    EXPECT_EQ(contents(), "[a]\r\nx=1\r\nz=3\r\n\r\n[b]\r\ny=2\r\n");
    EXPECT_EQ(get("a", "z"), "3");
}

TEST_F(IniTest, WriteReplacesFirstMatch) {
    put("[a]\nX = 1\nx=2\n");
    ASSERT_TRUE(profile_write(path_.c_str(), "a", "x", "new"));
    EXPECT_EQ(contents(), "[a]\r\nx=new\r\nx=2\r\n");
}

TEST_F(IniTest, WriteNewSectionAndNewFile) {
    ASSERT_TRUE(profile_write(path_.c_str(), "First", "k", "v"));
    EXPECT_EQ(contents(), "[First]\r\nk=v\r\n");
    ASSERT_TRUE(profile_write(path_.c_str(), "Second", "k2", "v2"));
    EXPECT_EQ(contents(), "[First]\r\nk=v\r\n[Second]\r\nk2=v2\r\n");
    EXPECT_EQ(get("second", "K2"), "v2");
}

TEST_F(IniTest, DeleteKeyAndSection) {
    put("[a]\r\nx=1\r\ny=2\r\n[b]\r\nz=3\r\n");
    ASSERT_TRUE(profile_write(path_.c_str(), "a", "x", nullptr));
    EXPECT_EQ(contents(), "[a]\r\ny=2\r\n[b]\r\nz=3\r\n");
    ASSERT_TRUE(profile_write(path_.c_str(), "A", nullptr, nullptr));
    EXPECT_EQ(contents(), "[b]\r\nz=3\r\n");
    ASSERT_TRUE(profile_write(path_.c_str(), "none", "k", nullptr));
    EXPECT_EQ(contents(), "[b]\r\nz=3\r\n");
}

TEST_F(IniTest, LineBreaksCannotInjectLines) {
    ASSERT_TRUE(profile_write(path_.c_str(), "s", "k", "v"));
    EXPECT_FALSE(profile_write(path_.c_str(), "s", "k", "w\r\n[evil]\r\nx=1"));  // refused, not cut
    EXPECT_FALSE(profile_write(path_.c_str(), "s", "k2", "w\n"));
    EXPECT_EQ(contents(), "[s]\r\nk=v\r\n");
    EXPECT_FALSE(profile_write(path_.c_str(), "s", "a\nb", "v"));
    EXPECT_FALSE(profile_write(path_.c_str(), "s", "a=b", "v"));
    EXPECT_FALSE(profile_write(path_.c_str(), "s]x", "a", "v"));
    EXPECT_EQ(last_error(), 87u);
}

TEST_F(IniTest, ReadsSeeEarlierWrites) {
    put("[s]\nk=1\n");
    EXPECT_EQ(get("s", "k"), "1");
    ASSERT_TRUE(profile_write(path_.c_str(), "s", "k", "2"));
    EXPECT_EQ(get("s", "k"), "2");
    put("[s]\nk=3\n");  // changed behind our back: different size or inode
    EXPECT_EQ(get("s", "k"), "3");
}

TEST_F(IniTest, Utf16FileStaysUtf16) {
    put(utf16("[s]\r\nk=v\r\n"));
    EXPECT_EQ(get("s", "k"), "v");
    ASSERT_TRUE(profile_write(path_.c_str(), "s", "n", "caf\xC3\xA9"));
    std::string want = utf16("[s]\r\nk=v\r\nn=caf");
    want += "\xE9";
    want += '\0';
    want += utf16("\r\n").substr(2);
    EXPECT_EQ(contents(), want);
    EXPECT_EQ(get("s", "n"), "caf\xC3\xA9");
}

TEST_F(IniTest, Utf16SurrogatesRoundTrip) {
    std::string text = "\xFF\xFE";
    for (char c : std::string("[s]\r\nk=")) text += std::string{c, '\0'};
    text += std::string("\x3D\xD8\x00\xDE", 4);  // U+1F600
    for (char c : std::string("\r\n")) text += std::string{c, '\0'};
    put(text);
    EXPECT_EQ(get("s", "k"), "\xF0\x9F\x98\x80");
    ASSERT_TRUE(profile_write(path_.c_str(), "s", "j", "1"));
    std::string after = contents();
    EXPECT_NE(after.find(std::string("\x3D\xD8\x00\xDE", 4)), std::string::npos);
}

TEST_F(IniTest, Utf8BomKept) {
    put("\xEF\xBB\xBF[s]\r\nk=v\r\n");
    EXPECT_EQ(get("s", "k"), "v");
    ASSERT_TRUE(profile_write(path_.c_str(), "s", "k", "w"));
    EXPECT_EQ(contents(), "\xEF\xBB\xBF[s]\r\nk=w\r\n");
}

TEST_F(IniTest, WriteKeepsFileMode) {
    put("[s]\nk=1\n");
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(profile_write(path_.c_str(), "s", "k", "2"));
    EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    int entries = 0;
    for (auto& e : fs::directory_iterator(dir_)) (void)e, ++entries;
    EXPECT_EQ(entries, 1);  // no temporary file left behind
}

TEST_F(IniTest, BareNameResolvesToProgramDir) {
    std::string name = "kel_unit_" + std::to_string(getpid()) + ".ini";
    std::string full = program_dir() + "/" + name;
    ASSERT_TRUE(profile_write(name.c_str(), "s", "k", "here"));
    EXPECT_TRUE(fs::exists(full));
    EXPECT_EQ(profile_get_string(full.c_str(), "s", "k"), "here");
    EXPECT_EQ(profile_get_string(name.c_str(), "S", "K"), "here");
    fs::remove(full);
}

TEST_F(IniTest, HostileLinesDoNotBreakParsing) {
    std::string junk = "[\n]\n[]\n=\n==\n[unterminated\nk=v\n";
    junk += std::string("\0\0[s]\nz=\0y\n", 12);
    put(junk);
    EXPECT_EQ(get("unterminated", "k"), "v");
    EXPECT_EQ(get("", ""), "DEF");  // the first section named "" is "[", which has no "=" line
}

TEST_F(IniTest, ListsSectionAndKeyNames) {
    put("[a]\nx=1\n;c=2\nY = 3\nX=4\n[B]\n[A]\nz=5\n");
    EXPECT_EQ(profile_section_names(path_.c_str()), (std::vector<std::string>{"a", "B"}));
    EXPECT_EQ(profile_key_names(path_.c_str(), "A"), (std::vector<std::string>{"x", "Y"}));
    EXPECT_TRUE(profile_key_names(path_.c_str(), "b").empty());
    EXPECT_TRUE(profile_key_names(path_.c_str(), "none").empty());
}

TEST_F(IniTest, FlushWritesNothing) {
    EXPECT_TRUE(profile_write(path_.c_str(), nullptr, nullptr, nullptr));
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_FALSE(profile_write(path_.c_str(), nullptr, "k", "v"));
}

TEST_F(IniTest, WriteCreateMakesMissingDirectories) {
    fs::path nested = dir_ / "config" / "Pellmoor" / "Settings" / "FENSCRPT.INI";
    ASSERT_TRUE(profile_write_create(nested.c_str(), "Error Reporting", "3052", "name"));
    EXPECT_EQ(profile_get_string(nested.c_str(), "error reporting", "3052"), "name");
    auto perms = fs::status(dir_ / "config" / "Pellmoor").permissions();
    EXPECT_EQ(perms & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    // Existing directories are used as they are; a second key lands in the same file.
    ASSERT_TRUE(profile_write_create(nested.c_str(), "Error Reporting", "3052", "other"));
    EXPECT_EQ(profile_get_string(nested.c_str(), "Error Reporting", "3052"), "other");
}

TEST_F(IniTest, PlainWriteDoesNotMakeDirectories) {
    fs::path nested = dir_ / "missing" / "x.ini";
    EXPECT_FALSE(profile_write(nested.c_str(), "s", "k", "v"));
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(IniTest, WriteCreateFailsWhereAFileBlocksThePath) {
    put("[s]\r\n");
    fs::path under_file = fs::path(path_) / "sub" / "x.ini";
    EXPECT_FALSE(profile_write_create(under_file.c_str(), "s", "k", "v"));
}

TEST_F(IniTest, DeleteFromMissingFileCreatesNothing) {
    EXPECT_TRUE(profile_write(path_.c_str(), "s", "k", nullptr));
    EXPECT_TRUE(profile_write(path_.c_str(), "s", nullptr, nullptr));
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(IniTest, PipesAndDirectoriesAreNoIniFiles) {
    fs::path fifo = dir_ / "fifo.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Neither read nor write may block on a pipe nobody writes to.
    EXPECT_EQ(profile_get_string(fifo.c_str(), "s", "k", "DEF"), "DEF");
    EXPECT_FALSE(profile_write(fifo.c_str(), "s", "k", "v"));
    EXPECT_TRUE(profile_section_names(fifo.c_str()).empty());
    fs::create_directories(dir_ / "sub.ini");
    EXPECT_EQ(profile_get_string((dir_ / "sub.ini").c_str(), "s", "k", "DEF"), "DEF");
    EXPECT_FALSE(profile_write((dir_ / "sub.ini").c_str(), "s", "k", "v"));
    EXPECT_TRUE(fs::is_directory(dir_ / "sub.ini"));
}

TEST_F(IniTest, LastLineWithoutLineEnd) {
    put("[s]\r\nk=v");
    EXPECT_EQ(get("s", "k"), "v");
    ASSERT_TRUE(profile_write(path_.c_str(), "s", "j", "w"));
    EXPECT_EQ(contents(), "[s]\r\nk=v\r\nj=w\r\n");
}

TEST_F(IniTest, DuplicateSectionsFirstWinsAndWritesGoThere) {
    put("[s]\r\nk=1\r\n[t]\r\nx=0\r\n[S]\r\nk=2\r\nm=3\r\n");
    EXPECT_EQ(get("s", "k"), "1");
    EXPECT_EQ(profile_section_names(path_.c_str()), (std::vector<std::string>{"s", "t"}));
    ASSERT_TRUE(profile_write(path_.c_str(), "S", "k", "9"));
    EXPECT_EQ(contents(), "[s]\r\nk=9\r\n[t]\r\nx=0\r\n[S]\r\nk=2\r\nm=3\r\n");
}

TEST_F(IniTest, LargeFileReadAndUpdatedWhole) {
    // 50 MB of keys: the last one is found, and a write keeps every line.
    std::string big = "[s]\r\n";
    const std::string pad(60, 'x');
    int n = 0;
    std::string last;
    while (big.size() < 50u * 1024 * 1024) {
        last = 'k';
        last += std::to_string(n++);
        big += last;
        big += '=';
        big += pad;
        big += "\r\n";
    }
    put(big);
    EXPECT_EQ(get("s", last.c_str()), pad);
    ASSERT_TRUE(profile_write(path_.c_str(), "s", "new", "1"));
    EXPECT_EQ(fs::file_size(path_), big.size() + 7);

}

TEST_F(IniTest, ReplacementLeavesNoTemporaryFiles) {
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(profile_write(path_.c_str(), "s", "k", std::to_string(i).c_str()));
    size_t entries = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir_)) ++entries;
    EXPECT_EQ(entries, 1u);
    EXPECT_EQ(get("s", "k"), "4");
}

TEST_F(IniTest, ReadOnlyFileIsNotReplaced) {
    put("[s]\r\nk=1\r\n");
    fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_FALSE(profile_write(path_.c_str(), "s", "k", "2"));
    EXPECT_EQ(last_error(), 5u);
    EXPECT_EQ(get("s", "k"), "1");
}

// A reused worker keeps a file it read while stat() shows it unchanged, and only once its
// change time is two seconds old: every edit, replacement, rename and deletion after
// that is seen by the next read, however soon it follows and whatever size the file
// keeps. A worker is for good, so the case runs in a process of its own.
void kept_copy_case(const fs::path& dir) {
    auto check = [](bool ok, const std::string& what) {
        if (ok) return;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
        std::_Exit(1);
    };
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream((dir / name).string(), std::ios::binary | std::ios::trunc) << text;
    };
    auto read = [&](const std::string& name) {
        return profile_get_string((dir / name).string().c_str(), "s", "k", "DEF");
    };
    auto expect = [&](const std::string& name, const std::string& want, const std::string& what) {
        std::string got = read(name);
        check(got == want, what + ": " + name + " read \"" + got + "\", not \"" + want + "\"");
    };
    request_baseline();
    const char* names[] = {"inplace.ini", "replaced.ini", "deleted.ini", "case.ini", "mode.ini", "e1.ini",
                           "e2.ini", "e3.ini", "e4.ini", "e5.ini"};
    for (const char* n : names) write(n, std::string("[s]\r\nk=old-") + n + "\r\n");
    // A file read within two seconds of its change is not kept: an edit in the same
    // tick that keeps size and times would otherwise go unseen.
    expect("inplace.ini", "old-inplace.ini", "first read");
    write("inplace.ini", "[s]\r\nk=new-inplace.ini\r\n");
    expect("inplace.ini", "new-inplace.ini", "edited in the same second");
    write("inplace.ini", "[s]\r\nk=old-inplace.ini\r\n");
    sleep(3);
    // Read twice just before each change: kept, then read from the copy.
    auto prime = [&](const char* n) {
        for (int i = 0; i < 2; ++i) expect(n, std::string("old-") + n, "settled");
    };
    prime("inplace.ini");
    write("inplace.ini", "[s]\r\nk=NEW-inplace.ini\r\n");  // same size, same second
    expect("inplace.ini", "NEW-inplace.ini", "edited in place");
    prime("replaced.ini");
    write("tmp", "[s]\r\nk=new\r\n");
    fs::rename(dir / "tmp", dir / "replaced.ini");
    expect("replaced.ini", "new", "replaced");
    prime("deleted.ini");
    fs::remove(dir / "deleted.ini");
    expect("deleted.ini", "DEF", "deleted");
    prime("case.ini");
    fs::rename(dir / "case.ini", dir / "CASE.INI");
    write("CASE.INI", "[s]\r\nk=NEW-case.ini\r\n");
    expect("case.ini", "NEW-case.ini", "renamed to another case");
    std::string found;
    profile_get_strings((dir / "case.ini").string().c_str(), "s", {"k"}, &found);
    check(found == (dir / "CASE.INI").string(), "the name found: " + found);
    profile_get_strings((dir / "deleted.ini").string().c_str(), "s", {"k"}, &found);
    check(found.empty(), "a missing file found as " + found);
    prime("mode.ini");
    fs::permissions(dir / "mode.ini", fs::perms::none);  // only the change time says so
    if (geteuid() != 0) expect("mode.ini", "DEF", "made unreadable");
    fs::permissions(dir / "mode.ini", fs::perms::owner_all);
    expect("mode.ini", "old-mode.ini", "readable again");
    // More files than copies kept: each still reads as it is.
    for (int round = 0; round < 2; ++round)
        for (const char* n : {"e1.ini", "e2.ini", "e3.ini", "e4.ini", "e5.ini"})
            expect(n, std::string("old-") + n, "more files than copies");
    write("e1.ini", "[s]\r\nk=NEW-e1.ini\r\n");
    expect("e1.ini", "NEW-e1.ini", "edited after its copy was dropped");
    prime("e5.ini");
    write("e5.ini", "[s]\r\nk=NEW-e5.ini\r\n");
    expect("e5.ini", "NEW-e5.ini", "edited while kept");
    check(profile_write((dir / "e2.ini").string().c_str(), "s", "k", "written"), "profile_write");
    expect("e2.ini", "written", "written through the profile");
    std::exit(0);
}

TEST_F(IniTest, KeptCopyNeverHidesAChange) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(kept_copy_case(dir_), ::testing::ExitedWithCode(0), "");
}
