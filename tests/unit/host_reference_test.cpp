// The builtin reference in docs/reference/ against the two tables a script can call:
// every function and statement of the keyword table and every web function of the host
// table has exactly one "### `name`" entry, every entry names one of them, and every
// named constant is in constants.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/callback.h"

namespace fs = std::filesystem;

namespace {

struct TableName {
    const char* name;
    char row;  // 'W' function row, 'N' interpreter-indexed row, 'C' named constant
};

#define KW(name, ...) {name, 'W'},
#define KN(name, ...) {name, 'N'},
#define KC(name, ...) {name, 'C'},
constexpr TableName kKeywordTable[] = {
#include "interp/base/keywords.inc"
};
#undef KW
#undef KN
#undef KC

constexpr int32_t kHostConst = 3;

const fs::path kReferenceDir = fs::path(KEL_SOURCE_DIR) / "docs" / "reference";

// Every name that needs an entry: the keyword table's function rows, its statements and
// keyword functions (the rows that start with a letter; the others are operators,
// documented in a table), and the host's functions and statements.
std::set<std::string> documented_names() {
    std::set<std::string> names;
    for (const TableName& t : kKeywordTable) {
        if (t.row == 'W' || (t.row == 'N' && t.name[0] >= 'a' && t.name[0] <= 'z')) names.insert(t.name);
    }
    const kel::KeywordRecord* host = kel::host::host_function_table();
    for (size_t i = 0; i < kel::host::host_function_count(); ++i) {
        if (host[i].kind != kHostConst) names.insert(std::string(host[i].name, host[i].name_len));
    }
    return names;
}

std::set<std::string> constant_names() {
    std::set<std::string> names;
    for (const TableName& t : kKeywordTable) {
        if (t.row == 'C') names.insert(t.name);
    }
    const kel::KeywordRecord* host = kel::host::host_function_table();
    for (size_t i = 0; i < kel::host::host_function_count(); ++i) {
        if (host[i].kind == kHostConst) names.insert(std::string(host[i].name, host[i].name_len));
    }
    return names;
}

struct Entry {
    std::string file;
    std::string body;  // the text up to the next heading of level 3 or less
};

// Every "### `name`" heading of every reference file, with the entry that follows it;
// a level-3 heading of any other form is kept under its whole text so that it is reported.
std::multimap<std::string, Entry> reference_entries() {
    std::multimap<std::string, Entry> entries;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(kReferenceDir)) {
        if (e.path().extension() == ".md") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& p : files) {
        std::ifstream in(p);
        std::string line, name;
        Entry cur;
        bool open = false, fence = false;
        auto close = [&] {
            if (open) entries.emplace(name, cur);
            open = false;
        };
        while (std::getline(in, line)) {
            if (line.rfind("```", 0) == 0) fence = !fence;
            if (!fence && line.rfind("#", 0) == 0 && line.find_first_not_of('#') <= 3) {
                close();
                if (line.rfind("### ", 0) == 0) {
                    std::string h = line.substr(4);
                    bool plain = h.size() > 2 && h.front() == '`' && h.back() == '`' &&
                                 h.find('`', 1) == h.size() - 1;
                    name = plain ? h.substr(1, h.size() - 2) : h;
                    cur = Entry{p.filename().string(), ""};
                    open = true;
                }
                continue;
            }
            if (open) cur.body += line + "\n";
        }
        close();
    }
    return entries;
}

std::string list(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& n : v) s += (s.empty() ? "" : " ") + n;
    return s;
}

TEST(Reference, EveryNameHasOneEntryAndEveryEntryNamesOne) {
    ASSERT_TRUE(fs::is_directory(kReferenceDir)) << kReferenceDir;
    const std::set<std::string> names = documented_names();
    const auto entries = reference_entries();

    std::vector<std::string> missing, unknown, twice;
    for (const auto& n : names) {
        size_t k = entries.count(n);
        if (k == 0) missing.push_back(n);
        if (k > 1) {
            std::string where;
            for (auto [a, b] = entries.equal_range(n); a != b; ++a) where += " " + a->second.file;
            twice.push_back(n + " (" + where.substr(1) + ")");
        }
    }
    for (auto it = entries.begin(); it != entries.end(); it = entries.upper_bound(it->first)) {
        if (!names.count(it->first)) unknown.push_back(it->first + " (" + it->second.file + ")");
    }
    EXPECT_TRUE(missing.empty()) << missing.size() << " names without an entry: " << list(missing);
    EXPECT_TRUE(unknown.empty()) << "entries that name no keyword or web function: " << list(unknown);
    EXPECT_TRUE(twice.empty()) << "names with more than one entry: " << list(twice);
}

TEST(Reference, EveryEntryHasItsParts) {
    std::vector<std::string> incomplete;
    for (const auto& [name, e] : reference_entries()) {
        std::string lack;
        for (const char* part : {"Arguments:", "Result:", "Errors:", "Example:", "```kel"}) {
            if (e.body.find(part) == std::string::npos) lack += std::string(" ") + part;
        }
        if (!lack.empty()) incomplete.push_back(name + " (" + e.file + ":" + lack + ")");
    }
    EXPECT_TRUE(incomplete.empty()) << "entries without all their parts: " << list(incomplete);
}

TEST(Reference, EveryConstantIsInTheConstantsTable) {
    std::ifstream in(kReferenceDir / "constants.md");
    ASSERT_TRUE(in) << "docs/reference/constants.md is missing";
    std::set<std::string> listed;
    std::string line;
    while (std::getline(in, line)) {
        // A table row: "| `@name` | value | ..."
        if (line.rfind("| `", 0) != 0) continue;
        size_t end = line.find('`', 3);
        if (end != std::string::npos) listed.insert(line.substr(3, end - 3));
    }
    std::vector<std::string> missing, unknown;
    const std::set<std::string> names = constant_names();
    for (const auto& n : names) {
        if (!listed.count(n)) missing.push_back(n);
    }
    for (const auto& n : listed) {
        if (!names.count(n)) unknown.push_back(n);
    }
    EXPECT_TRUE(missing.empty()) << missing.size() << " constants missing from constants.md: " << list(missing);
    EXPECT_TRUE(unknown.empty()) << "constants.md rows that name no constant: " << list(unknown);
}

}  // namespace
