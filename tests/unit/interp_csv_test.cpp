// The CSV line scanner and writer shared by ItemCountCsv/ItemExtractCsv and the arrays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/csv.h"

namespace kel::lib {
namespace {

int64_t count(std::string_view s, char d = ',') { return csv_count<char>(s, d); }

std::string field(std::string_view s, int64_t i, bool keep = false, char d = ',') {
    std::string out;
    if (!csv_field<char>(s, d, i, keep, out)) return "<bad>";
    return out;
}

TEST(CsvScanner, CountsFieldsOutsideQuotes) {
    EXPECT_EQ(count(""), 0);
    EXPECT_EQ(count("a"), 1);
    EXPECT_EQ(count("a,b,c"), 3);
    EXPECT_EQ(count(","), 2);
    EXPECT_EQ(count("a,"), 2);
    EXPECT_EQ(count("\"a,b\",c"), 2);
    EXPECT_EQ(count("\"a\"\"b\",c"), 2);
    EXPECT_EQ(count("a;b", ';'), 2);
}

TEST(CsvScanner, RejectsBadQuoting) {
    EXPECT_EQ(count("a\"b\",c"), -1);      // quote after text
    EXPECT_EQ(count("\"ab\"x,c"), -1);     // text after closing quote
    EXPECT_EQ(count("\"ab,c"), -1);        // open quote at the end
    EXPECT_EQ(count("\"ab\"  ,c"), 2);     // blanks after a closing quote are fine
    EXPECT_EQ(count("  \"ab\",c"), 2);     // and before an opening one
    EXPECT_EQ(field("x,\"a\"b", 1), "<bad>");  // the whole line is checked
}

TEST(CsvScanner, ExtractsUnquotedFields) {
    EXPECT_EQ(field("a,\"b,c\",d", 2), "b,c");
    EXPECT_EQ(field("a,\"say \"\"hi\"\"\",d", 2), "say \"hi\"");
    EXPECT_EQ(field("a,b,c", -1), "c");
    EXPECT_EQ(field("a,b,c", 4), "");
    EXPECT_EQ(field("a,b,c", 0), "");
    EXPECT_EQ(field("a,b,", 3), "");
}

TEST(CsvScanner, BlanksTrimmedUnlessKept) {
    EXPECT_EQ(field(" a ,\tb\t", 1), "a");
    EXPECT_EQ(field(" a ,\tb\t", 2), "b");
    EXPECT_EQ(field(" a ,b", 1, true), " a ");
    EXPECT_EQ(field("  \"q\" ,b", 1), "q");
    EXPECT_EQ(field("  \"q\" ,b", 1, true), "  q ");
    // With a tab delimiter only the space is a blank.
    EXPECT_EQ(field(" a \tb", 1, false, '\t'), "a");
    EXPECT_EQ(csv_count<char>("a\t\tb", '\t'), 3);
}

TEST(CsvScanner, DelimiterRules) {
    EXPECT_TRUE(csv_delimiter_ok<char>(","));
    EXPECT_TRUE(csv_delimiter_ok<char>("\t"));
    EXPECT_FALSE(csv_delimiter_ok<char>(""));
    EXPECT_FALSE(csv_delimiter_ok<char>(",,"));
    EXPECT_FALSE(csv_delimiter_ok<char>(" "));
    EXPECT_FALSE(csv_delimiter_ok<char>("\""));
    EXPECT_FALSE(csv_delimiter_ok<char>("\r"));
    EXPECT_FALSE(csv_delimiter_ok<char>("\n"));
}

TEST(CsvScanner, WideTextScansAlike) {
    std::u16string out;
    ASSERT_TRUE(csv_field<char16_t>(u"x,\"\u00e9,1\"", u',', 2, false, out));
    EXPECT_EQ(out, u"\u00e9,1");
    EXPECT_EQ(csv_count<char16_t>(u"a\"", u','), -1);
}

TEST(CsvWriter, QuotesOnlyWhenNeeded) {
    std::vector<std::string> f = {"plain", "a,b", "say \"x\"", " lead", "", "line\nbreak"};
    std::string line = csv_join(f, ',');
    EXPECT_EQ(line, "plain,\"a,b\",\"say \"\"x\"\"\",\" lead\",,\"line\nbreak\"");
    std::vector<std::string> back;
    ASSERT_TRUE(csv_split<char>(line, ',', false, back));
    EXPECT_EQ(back, f);
}

}  // namespace
}  // namespace kel::lib
