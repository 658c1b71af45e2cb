// The message table and the language-file override.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include "tests/unit/scratch_program_dir.h"
#include "interp/base/messages.h"
#include "platform/process.h"

namespace kel::interp {
namespace {

namespace fs = std::filesystem;

TEST(MessageTable, KnownTextsAreByteExact) {
    EXPECT_EQ(builtin_message(3096), "Memory allocation failure.  Out of memory for strings");
    EXPECT_EQ(builtin_message(3053), "Character string too long (>2048 chars?\?)");
    EXPECT_EQ(builtin_message(3357), "End Error: No match  found");
    EXPECT_EQ(builtin_message(111), "Execution Error");
    EXPECT_EQ(builtin_message(207), "SunMonTueWedThuFriSat");
    EXPECT_EQ(builtin_message(1425), "Trailing spaces in numeric string");
    EXPECT_EQ(builtin_message(1565), "BinaryClip: Error storing data in the clipboard");
    EXPECT_EQ(builtin_message(9503), "Argument number %d could not be converted");
    EXPECT_EQ(builtin_message(9517), "Check for colons (:) and number signs (#) in multiline strings (Use :: and ##)");
    EXPECT_EQ(builtin_message(9999), "User requested Cancel");
    std::string_view enc = builtin_message(211);
    EXPECT_EQ(enc.substr(0, 40), "Encrypted/Encoded verification failed.  ");
    EXPECT_EQ(enc.substr(40, 2), "\n\n");
}

TEST(MessageTable, UnknownNumbersAreEmpty) {
    EXPECT_TRUE(builtin_message(0).empty());
    EXPECT_TRUE(builtin_message(-1).empty());
    EXPECT_TRUE(builtin_message(9012).empty());  // its wording belongs to the code that raises it
    EXPECT_TRUE(builtin_message(99999).empty());
    EXPECT_TRUE(builtin_message(3058).empty());
}

TEST(MessageTable, CoversEveryCoreError) {
    for (int n : {1342, 1351, 1599, 1632, 1640, 1666, 1667, 1668, 1672, 1725, 1760, 2669, 3033, 3050, 3051, 3052,
                  3054, 3055, 3056, 3057, 3059, 3061, 3062, 3063, 3064, 3065, 3066, 3067, 3068, 3069, 3070, 3071,
                  3072, 3073, 3074, 3097, 3102, 3338, 3339, 3340, 3352, 3353, 3354, 3355, 3356, 3357, 3358, 3359,
                  3360, 3361, 3362, 3363, 3364, 3365, 3368, 3472, 3605, 3618, 3619, 3627, 3647, 3650, 3670, 3673,
                  3722, 3729, 3732, 3761, 3813, 3814, 3815, 3816, 3817, 3818, 3820, 3821, 192, 193, 194, 226, 231,
                  849, 879, 880})
        EXPECT_FALSE(builtin_message(n).empty()) << n;
    for (int n = 9500; n <= 9518; ++n) EXPECT_FALSE(builtin_message(n).empty()) << n;
}

TEST(MessageTable, LoadCopiesAndCuts) {
    char buf[16];
    EXPECT_EQ(load_message(3062, buf, sizeof buf), 15u);
    EXPECT_STREQ(buf, "Attempt to divi");
    EXPECT_EQ(load_message(111, buf, sizeof buf), 15u);
    EXPECT_STREQ(buf, "Execution Error");
    EXPECT_EQ(load_message(9012, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(load_message(111, buf, 0), 0u);
    EXPECT_EQ(load_message(111, nullptr, 10), 0u);
}

TEST(MessageFormat, FillsOnlyTheExpectedSpecifier) {
    EXPECT_EQ(fill_message(builtin_message(9503), 'd', "2"), "Argument number 2 could not be converted");
    EXPECT_EQ(fill_message("%s %d %n %d", 'd', "7"), "%s 7 %n %d");
    EXPECT_EQ(fill_message("100%", 'd', "1"), "100%");
    EXPECT_EQ(fill_message("Misuse of %substitution%", 'd', "1"), "Misuse of %substitution%");
    EXPECT_EQ(fill_message("%s", 's', "%d%n"), "%d%n");
}

// A language file found through PATH: FENDLANG (no extension).
class LanguageFile : public ::testing::Test {
protected:
    void SetUp() override {
        // An empty program directory: the language file is found through PATH only.
        prog_ = std::make_unique<ScratchProgramDir>();
        tmp_ = fs::temp_directory_path() / ("kel_lang_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                            "_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(tmp_);
        std::ofstream f(tmp_ / "FENDLANG", std::ios::binary);
        f << "[MAIN]\r\nX3062=Division durch Null~Zeile 2|Ende\r\nX111=Ausfuehrungsfehler\r\nX50=never\r\n"
             "X1213=XXX\r\nX9503=Argument %d %s\r\n";
        f.close();
        std::string old;
        had_path_ = platform::env_get("PATH", &old);
        old_path_ = old;
        platform::env_set("PATH", tmp_.c_str());
        reset_message_language();
    }
    void TearDown() override {
        if (tmp_.empty()) return;
        platform::env_set("PATH", had_path_ ? old_path_.c_str() : nullptr);
        reset_message_language();
        message_text(0);
        std::error_code ec;
        fs::remove_all(tmp_, ec);
        prog_.reset();
    }
    std::unique_ptr<ScratchProgramDir> prog_;
    fs::path tmp_;
    bool had_path_ = false;
    std::string old_path_;
};

TEST_F(LanguageFile, ReplacesTextsFromOneHundredUp) {
    EXPECT_EQ(message_text(3062), "Division durch Null\nZeile 2\tEnde");
    EXPECT_EQ(message_text(111), "Ausfuehrungsfehler");
    EXPECT_EQ(message_text(9503), "Argument %d %s");
    EXPECT_EQ(fill_message(message_text(9503), 'd', "3"), "Argument 3 %s");
}

TEST_F(LanguageFile, MissingKeysFallBack) {
    EXPECT_EQ(message_text(3096), "Memory allocation failure.  Out of memory for strings");
    EXPECT_EQ(message_text(1213), "Cmd Extender: Minor error occurred");  // "XXX" counts as missing
    EXPECT_TRUE(message_text(9012).empty());
}

TEST_F(LanguageFile, NumbersBelowOneHundredStayBuiltIn) { EXPECT_TRUE(message_text(50).empty()); }

TEST_F(LanguageFile, ViewsStayValidAcrossReselection) {
    std::string_view t = message_text(3062);
    message_text(0);  // chooses the language again
    EXPECT_EQ(t, "Division durch Null\nZeile 2\tEnde");
    EXPECT_EQ(message_text(3062), t);
}

TEST(MessageText, WithoutLanguageFileUsesBuiltIn) {
    ScratchProgramDir prog;
    std::string old;
    bool had = platform::env_get("PATH", &old);
    platform::env_set("PATH", "/nonexistent-kel-dir");
    message_text(0);
    EXPECT_EQ(message_text(3062), "Attempt to divide by zero");
    EXPECT_EQ(message_text(207), "SunMonTueWedThuFriSat");
    platform::env_set("PATH", had ? old.c_str() : nullptr);
    reset_message_language();
}

}  // namespace
}  // namespace kel::interp
