// Errors go by name: the message table holds each number once, every name stands for its
// own row, and no raise site in the interpreter, the builtins or the host names an error
// by a bare number.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include "interp/base/messages.h"
#include "shared/err.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSource = KEL_SOURCE_DIR;

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Row {
    std::string name;
    long number = 0;
    int line = 0;
};

// The rows of a table text, and a line for every fault: a line that is not a row, a
// number out of order or given twice, a name given twice.
std::vector<Row> check_table(const std::string& text, std::vector<std::string>* faults) {
    std::vector<Row> rows;
    std::set<std::string> names;
    std::set<long> numbers;
    std::istringstream in(text);
    std::string l;
    for (int line = 1; std::getline(in, l); ++line) {
        if (l.empty() || l.rfind("//", 0) == 0) continue;
        Row r;
        r.line = line;
        size_t open = l.find('('), c1 = l.find(", "), c2 = c1 == std::string::npos ? c1 : l.find(", ", c1 + 2);
        if (l.rfind("MSG(", 0) != 0 || c2 == std::string::npos || l.size() < 2 || l.substr(l.size() - 2) != "\")" ||
            l[c2 + 2] != '"') {
            faults->push_back("line " + std::to_string(line) + " is not a row: " + l);
            continue;
        }
        r.name = l.substr(open + 1, c1 - open - 1);
        std::string num = l.substr(c1 + 2, c2 - c1 - 2);
        if (num.empty() || !std::all_of(num.begin(), num.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
            faults->push_back("line " + std::to_string(line) + " has no number: " + l);
            continue;
        }
        r.number = std::stol(num);
        if (!numbers.insert(r.number).second)
            faults->push_back("number " + num + " is given twice (line " + std::to_string(line) + ")");
        else if (!rows.empty() && r.number < rows.back().number)
            faults->push_back("number " + num + " is out of order (line " + std::to_string(line) + ")");
        if (!names.insert(r.name).second) faults->push_back("name " + r.name + " is given twice");
        rows.push_back(r);
    }
    return rows;
}

// Comments, string and character literals blanked out, line breaks kept.
std::string code_only(const std::string& s) {
    std::string out(s.size(), ' ');
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n') {
            out[i] = '\n';
        } else if (s.compare(i, 2, "//") == 0) {
            while (i + 1 < s.size() && s[i + 1] != '\n') ++i;
        } else if (s.compare(i, 2, "/*") == 0) {
            size_t end = s.find("*/", i + 2);
            end = end == std::string::npos ? s.size() : end + 2;
            for (; i < end; ++i)
                if (s[i] == '\n') out[i] = '\n';
            --i;
        } else if (s[i] == '"' || (s[i] == '\'' && !(i > 0 && std::isxdigit(static_cast<unsigned char>(s[i - 1]))))) {
            char q = s[i];
            for (++i; i < s.size() && s[i] != q && s[i] != '\n'; ++i)
                if (s[i] == '\\') ++i;
        } else {
            out[i] = s[i];
        }
    }
    return out;
}

// Calls whose argument is an error or message number.
const char* const kRaiseCalls[] = {"fail(", "message_text(", "builtin_message(", "host_message(", "fill_message(",
                                   "fp_pending_set(", "display_error(inst, ", "load_failed(inst, "};

// Numbers that look like message numbers but are not: the host keyword ids end at 1998
// and the host's function table closes with id 9999.
bool allowed(const std::string& file, long n) {
    return (file == "keywords.h" && n == 1998) || (file == "callback.cpp" && n == 9999);
}

// One line per bare message number in `source` (named `file` for the allowances): a
// number given to a raise call, or any number of 1000 and up that is a row of the table,
// unless it bounds a range (after <, <=, > or >=).
std::vector<std::string> bare_numbers(const std::string& file, const std::string& source, const std::set<long>& table) {
    std::vector<std::string> found;
    std::string code = code_only(source);
    std::istringstream in(code);
    std::string l;
    for (int line = 1; std::getline(in, l); ++line) {
        for (size_t i = 0; i < l.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(l[i]))) continue;
            if (i > 0 && (std::isalnum(static_cast<unsigned char>(l[i - 1])) || l[i - 1] == '_' || l[i - 1] == '.')) {
                while (i < l.size() && std::isalnum(static_cast<unsigned char>(l[i]))) ++i;
                continue;
            }
            size_t j = i;
            while (j < l.size() && std::isalnum(static_cast<unsigned char>(l[j]))) ++j;
            std::string lit = l.substr(i, j - i);
            size_t k = i;
            while (k > 0 && l[k - 1] == ' ') --k;
            std::string before = l.substr(0, k);
            bool in_call = false;
            for (const char* call : kRaiseCalls) {
                std::string c = call;
                if (before.size() >= c.size() && before.compare(before.size() - c.size(), c.size(), c) == 0)
                    in_call = true;
            }
            bool all_digits = std::all_of(lit.begin(), lit.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
            long n = all_digits && lit.size() <= 6 ? std::stol(lit) : -1;
            bool bound = !before.empty() && (before.back() == '<' || before.back() == '>' ||
                                             (before.size() >= 2 && (before.compare(before.size() - 2, 2, "<=") == 0 ||
                                                                     before.compare(before.size() - 2, 2, ">=") == 0)));
            bool message = n >= 1000 && table.count(n) && !bound && !allowed(file, n);
            if (in_call || message) found.push_back(file + ":" + std::to_string(line) + ": " + lit);
            i = j;
        }
    }
    return found;
}

std::set<long> table_numbers() {
    std::set<long> out;
#define MSG(name, number, text) out.insert(number);
#include "shared/messages.inc"
#undef MSG
    return out;
}

TEST(ErrorNames, TableHasEachNumberAndNameOnce) {
    std::vector<std::string> faults;
    std::vector<Row> rows = check_table(read_file(kSource / "shared" / "messages.inc"), &faults);
    EXPECT_TRUE(faults.empty()) << ::testing::PrintToString(faults);
    EXPECT_EQ(rows.size(), table_numbers().size());
    // Each name is the number of its own row.
    struct Named {
        const char* name;
        long number;
        uint16_t value;
    };
    const Named named[] = {
#define MSG(name, number, text) {#name, number, kel::err_number(kel::Err::name)},
#include "shared/messages.inc"
#undef MSG
    };
    ASSERT_EQ(std::size(named), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].name, named[i].name);
        EXPECT_EQ(named[i].value, named[i].number) << named[i].name;
    }
}

TEST(ErrorNames, TableCheckFindsSharedNumbersAndNames) {
    std::vector<std::string> faults;
    check_table("// head\nMSG(A, 100, \"a\")\nMSG(B, 100, \"b\")\nMSG(C, 99, \"c\")\nMSG(A, 200, \"\")\n"
                "MSG(D 300 \"d\")\nMSG(E, x1, \"e\")\n",
                &faults);
    ASSERT_EQ(faults.size(), 5u) << ::testing::PrintToString(faults);
    EXPECT_EQ(faults[0], "number 100 is given twice (line 3)");
    EXPECT_EQ(faults[1], "number 99 is out of order (line 4)");
    EXPECT_EQ(faults[2], "name A is given twice");
    EXPECT_NE(faults[3].find("is not a row"), std::string::npos);
    EXPECT_NE(faults[4].find("has no number"), std::string::npos);
}

TEST(ErrorNames, ScannerFindsBareNumbersOnly) {
    std::set<long> table = {194, 1636, 1644, 1998, 3051, 3062, 9000, 9999};
    const std::string src =
        "inst.fail(3051);\n"                                 // 1
        "c.fail(x ? 1636 : 1644);\n"                         // 2: both
        "return 3062;\n"                                     // 3
        "message_text(194);\n"                               // 4
        "inst.fail(4242);\n"                                 // 5: not a row, still a raise
        "// inst.fail(3051) in a comment\n"                  // 6
        "write(\"3052\", \"fail(3051)\");\n"                 // 7
        "if (code >= 9000 || c < 9000) return;\n"            // 8: range bounds
        "inst.fail(Err::NotAString); x = 0x3051; y = 13051;\n"  // 9
        "/* 3051\n 3062 */ int k = 1'000;\n"                 // 10-11
        "constexpr int kHostIdLast = 1998;\n";               // 12: allowed in keywords.h only
    std::vector<std::string> got = bare_numbers("x.cpp", src, table);
    std::vector<std::string> want = {"x.cpp:1: 3051", "x.cpp:2: 1636", "x.cpp:2: 1644", "x.cpp:3: 3062",
                                     "x.cpp:4: 194",  "x.cpp:5: 4242", "x.cpp:12: 1998"};
    EXPECT_EQ(got, want);
    EXPECT_TRUE(bare_numbers("keywords.h", "constexpr int kHostIdLast = 1998;\n", table).empty());
}

TEST(ErrorNames, NoRaiseSiteUsesABareNumber) {
    std::set<long> table = table_numbers();
    std::vector<std::string> found;
    size_t files = 0;
    for (const char* dir : {"interp", "lib", "host"}) {
        for (const auto& e : fs::recursive_directory_iterator(kSource / dir)) {
            std::string ext = e.path().extension().string();
            if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
            ++files;
            for (std::string& f : bare_numbers(e.path().filename().string(), read_file(e.path()), table))
                found.push_back(std::string(dir) + "/" + f);
        }
    }
    EXPECT_GT(files, 50u);
    EXPECT_TRUE(found.empty()) << "use kel::Err names:\n" << ::testing::PrintToString(found);
}

TEST(ErrorNames, AddedTextsAreFilledFromTheTable) {
    using kel::Err;
    EXPECT_EQ(kel::interp::fill_message(Err::InfoBadDataLine, 12LL), "Invalid data found at or near line 12");
    EXPECT_EQ(kel::interp::fill_message(Err::InfoAppendToItself, "a%d.txt"), "A file cannot be appended to itself: a%d.txt");
    EXPECT_EQ(kel::interp::fill_message(Err::InfoWinExec, "gone"), "WinExec Error:\n\n    gone");
    EXPECT_TRUE(kel::interp::builtin_message(Err::Exit).empty());  // pseudo-codes have no text
}

}  // namespace
