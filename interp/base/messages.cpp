// The message table and its language-file override. Texts are packed at compile time into
// one character array indexed by offsets, so the library carries no relocations for them
// and start-up pays nothing; the language file is only looked at when a text is wanted.
#include "interp/base/messages.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include "platform/fileio.h"
#include "platform/process.h"
#include "platform/profile.h"

namespace kel::interp {

// Never defined: a bad row of messages.inc reaches it during constant evaluation and stops the build.
void bad_message_row();

namespace {

struct Row {
    int number;
    std::string_view text;
};

consteval auto rows() {
    return std::to_array<Row>({
#define MSG(number, text) {number, text},
#include "interp/base/messages.inc"
#undef MSG
    });
}

constexpr size_t kMessageCount = rows().size();

consteval size_t total_length() {
    size_t n = 0;
    for (const Row& r : rows()) n += r.text.size();
    return n;
}

struct Entry {
    uint16_t number;
    uint16_t offset;
    uint16_t length;
};

struct Packed {
    std::array<char, total_length() + 1> text;
    std::array<Entry, kMessageCount> entries;
};

consteval Packed pack() {
    Packed p{};
    size_t at = 0;
    int prev = 0;
    const auto all = rows();  // one array that outlives the loop
    for (size_t i = 0; i < kMessageCount; ++i) {
        const Row& r = all[i];
        if (r.number <= prev || r.number > 0xFFFF || at > 0xFFFF || r.text.size() > 0xFFFF) bad_message_row();
        // A built-in text must read the same before and after the "~" and "|" rewriting.
        for (char c : r.text)
            if (c == '~' || c == '|') bad_message_row();
        p.entries[i] = {static_cast<uint16_t>(r.number), static_cast<uint16_t>(at),
                        static_cast<uint16_t>(r.text.size())};
        for (char c : r.text) p.text[at++] = c;
        prev = r.number;
    }
    return p;
}

constexpr Packed kPacked = pack();

// Process-wide language state; made on first use and never freed, so that every view
// handed out stays valid.
struct Language {
    bool chosen = false;
    std::string file;  // empty: no language file, the built-in table applies
    std::map<int, std::string_view> texts;
    std::deque<std::string> store;
};

Language& language() {
    static Language* l = new Language;
    return *l;
}

bool equals_no_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

void choose_language(Language& l) {
    l.chosen = true;
    l.file.clear();
    l.texts.clear();  // old views stay alive in l.store
    std::string name = platform::profile_get_string("FENSCRPT.INI", "MAIN", "Language", "XXX");
    if (equals_no_case(name, "XXX")) name = platform::profile_get_string("win.ini", "INTL", "sLanguage", "enu");
    // The language only ever names a file beside the program.
    if (!name.empty() && name.find('/') == std::string::npos) {
        std::string path = platform::program_dir() + "/FENDLANG." + name;
        if (platform::file_exists(path.c_str())) {
            l.file = std::move(path);
            return;
        }
    }
    std::string found = platform::search_path("FENDLANG");
    if (!found.empty() && platform::file_exists(found.c_str())) l.file = std::move(found);
}

std::string unescape(std::string s) {
    for (char& c : s) {
        if (c == '~')
            c = '\n';
        else if (c == '|')
            c = '\t';
    }
    return s;
}

}  // namespace

std::string_view builtin_message(int number) {
    size_t lo = 0, hi = kMessageCount;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        const Entry& e = kPacked.entries[mid];
        if (e.number == number) return {kPacked.text.data() + e.offset, e.length};
        if (e.number < number)
            lo = mid + 1;
        else
            hi = mid;
    }
    return {};
}

std::string_view message_text(int number) {
    Language& l = language();
    if (!l.chosen || number == 0) choose_language(l);
    if (l.file.empty() || number < 100) return builtin_message(number);
    auto it = l.texts.find(number);
    if (it != l.texts.end()) return it->second;
    std::string key = "X" + std::to_string(number);
    std::string v = platform::profile_get_string(l.file.c_str(), "MAIN", key.c_str(), "XXX");
    std::string_view text;
    if (v == "XXX") {
        text = builtin_message(number);
    } else {
        l.store.push_back(unescape(std::move(v)));
        text = l.store.back();
    }
    l.texts.emplace(number, text);
    return text;
}

size_t load_message(int number, char* buf, size_t size) {
    std::string_view t = message_text(number);
    if (!buf || size == 0) return 0;
    size_t n = t.size() < size - 1 ? t.size() : size - 1;
    for (size_t i = 0; i < n; ++i) buf[i] = t[i];
    buf[n] = '\0';
    return n;
}

void reset_message_language() { language().chosen = false; }

std::string fill_message(std::string_view text, char spec, std::string_view value) {
    std::string out;
    out.reserve(text.size() + value.size());
    bool filled = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!filled && text[i] == '%' && i + 1 < text.size() && text[i + 1] == spec) {
            out.append(value);
            filled = true;
            ++i;
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace kel::interp
