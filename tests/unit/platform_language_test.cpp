// The one choice of the language file that the host and the interpreter share.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include "tests/unit/scratch_program_dir.h"
#include "platform/language.h"
#include "platform/process.h"

namespace kel::platform {
namespace {

namespace fs = std::filesystem;

class LanguageChoice : public ::testing::Test {
protected:
    void SetUp() override {
        prog_ = std::make_unique<ScratchProgramDir>();
        path_dir_ = fs::path(prog_->path() + "_path");
        fs::create_directories(path_dir_);
        had_path_ = env_get("PATH", &old_path_);
        env_set("PATH", path_dir_.c_str());
        reset_language_file();
    }
    void TearDown() override {
        env_set("PATH", had_path_ ? old_path_.c_str() : nullptr);
        reset_language_file();
        std::error_code ec;
        fs::remove_all(path_dir_, ec);
        prog_.reset();
    }
    std::string in_prog(const std::string& name, const std::string& text = "[MAIN]\r\n") {
        std::string p = prog_->path() + "/" + name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    std::string on_path(const std::string& name) {
        std::string p = (path_dir_ / name).string();
        std::ofstream(p, std::ios::binary) << "[MAIN]\r\n";
        return p;
    }
    void language(const std::string& line) { in_prog("FENSCRPT.INI", "[MAIN]\r\n" + line + "\r\n"); }
    std::unique_ptr<ScratchProgramDir> prog_;
    fs::path path_dir_;
    bool had_path_ = false;
    std::string old_path_;
};

TEST_F(LanguageChoice, NoFileAnywhereIsNone) {
    language("Language=deu");
    EXPECT_EQ(language_file(), "");
}

TEST_F(LanguageChoice, CodeFromTheSettingElseTheSystemElseEnu) {
    std::string deu = in_prog("FENDLANG.deu"), fra = in_prog("FENDLANG.fra"), enu = in_prog("FENDLANG.enu");
    language("Language=deu");
    EXPECT_EQ(language_file(), deu);
    in_prog("win.ini", "[intl]\r\nsLanguage=fra\r\n");
    // Missing, empty and "XXX" (any case) all mean the system's language.
    for (const char* line : {"Other=1", "Language=", "Language=XXX", "Language=xXx"}) {
        language(line);
        reset_language_file();
        EXPECT_EQ(language_file(), fra) << line;
    }
    fs::remove(prog_->path() + "/win.ini");
    reset_language_file();
    EXPECT_EQ(language_file(), enu);
}

TEST_F(LanguageChoice, ProgramDirectoryThenSearchPathThenPlainName) {
    language("Language=deu");
    std::string plain = on_path("FENDLANG");
    EXPECT_EQ(language_file(), plain);
    std::string coded = on_path("FENDLANG.deu");
    reset_language_file();
    EXPECT_EQ(language_file(), coded);
    std::string local = in_prog("FENDLANG.deu");
    reset_language_file();
    EXPECT_EQ(language_file(), local);
}

TEST_F(LanguageChoice, ChosenOnceUntilReset) {
    language("Language=deu");
    EXPECT_EQ(language_file(), "");
    std::string deu = in_prog("FENDLANG.deu");
    EXPECT_EQ(language_file(), "");  // the first choice holds
    reset_language_file();
    EXPECT_EQ(language_file(), deu);
}

// A code that would lead out of the program directory names no file of its own; only
// the plain FENDLANG on the search path is left.
TEST_F(LanguageChoice, HostileCodesNameNoFile) {
    // Files that the codes below would reach if they were taken as they are.
    fs::create_directories(prog_->path() + "/FENDLANG.sub");
    fs::create_directories(prog_->path() + "/FENDLANG..");
    in_prog("FENDLANG.sub/x");
    in_prog("FENDLANG../x");
    in_prog("FENDLANG.c:x");
    in_prog("FENDLANG.a\\b");
    for (const char* code : {"../x", "sub/x", "c:x", "a\\b", "..", "sub/../sub/x"}) {
        language(std::string("Language=") + code);
        reset_language_file();
        EXPECT_EQ(language_file(), "") << code;
    }
    std::string plain = on_path("FENDLANG");
    language("Language=../../etc/passwd");
    reset_language_file();
    EXPECT_EQ(language_file(), plain);
}

}  // namespace
}  // namespace kel::platform
