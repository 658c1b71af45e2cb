// The message table and its language-file override. Texts are packed at compile time into
// one character array indexed by offsets, so the library carries no relocations for them
// and start-up pays nothing; the language file is only looked at when a text is wanted.
#include "interp/base/messages.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include "platform/language.h"
#include "platform/profile.h"
#include "shared/err.h"

namespace kel::interp {

// Never defined: a bad row of shared/messages.inc reaches it during constant evaluation and stops the build.
void bad_message_row();

namespace {

struct Row {
    int number;
    std::string_view text;
};

consteval auto all_rows() {
    return std::to_array<Row>({
#define MSG(name, number, text) {number, text},
#include "shared/messages.inc"
#undef MSG
    });
}

// The interpreter's texts: rows below the host's, pseudo-codes (empty texts) left out.
consteval bool ours(const Row& r) { return r.number < kFirstHostMessage && !r.text.empty(); }

consteval size_t our_count() {
    size_t n = 0;
    for (const Row& r : all_rows()) n += ours(r) ? 1 : 0;
    return n;
}

constexpr size_t kMessageCount = our_count();

consteval std::array<Row, kMessageCount> rows() {
    std::array<Row, kMessageCount> out{};
    size_t i = 0;
    int prev = 0;
    for (const Row& r : all_rows()) {
        if (r.number <= prev) bad_message_row();  // sorted, each number once
        prev = r.number;
        if (ours(r)) out[i++] = r;
    }
    return out;
}

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

void choose_language(Language& l, bool again) {
    l.chosen = true;
    l.texts.clear();  // old views stay alive in l.store
    if (again) platform::reset_language_file();
    l.file = platform::language_file();
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
    if (!l.chosen || number == 0) choose_language(l, number == 0);
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

void reset_message_language() {
    language().chosen = false;
    platform::reset_language_file();
}

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

std::string fill_message(Err e, std::string_view text) { return fill_message(message_text(e), 's', text); }

std::string fill_message(Err e, long long number) { return fill_message(message_text(e), 'd', std::to_string(number)); }

}  // namespace kel::interp
