// The builtin keyword table and its lookups. The records are built from keywords.inc at
// compile time; the tokenizer and the router that use them live elsewhere.
#include "interp/base/keywords.h"

#include <array>
#include "platform/process.h"

namespace kel::interp {

// Never defined: a bad row of keywords.inc reaches it during constant evaluation and stops the build.
void bad_keyword_row();

namespace {

struct Row {
    std::string_view name;
    int32_t kind;
    int required;
    int optional;
    std::string_view types;
    uint32_t value;
};

consteval int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    bad_keyword_row();
    return 0;
}

consteval std::array<KeywordRecord, kKeywordCount> build_table() {
    constexpr Row rows[] = {
#define KW(name, kind, req, opt, types) {name, kind, req, opt, types, 0},
#define KN(name, kind, req, opt, types, id) {name, kind, req, opt, types, 0},
#define KC(name, value) {name, kConst, 0, 0, "", static_cast<uint32_t>(value)},
#include "interp/base/keywords.inc"
#undef KW
#undef KN
#undef KC
    };
    static_assert(sizeof(rows) / sizeof(rows[0]) == kKeywordCount);
    std::array<KeywordRecord, kKeywordCount> t{};
    for (int i = 0; i < kKeywordCount; ++i) {
        const Row& row = rows[i];
        KeywordRecord& r = t[i];
        r.id = i;
        r.kind = row.kind;
        if (row.name.empty() || row.name.size() >= sizeof(r.name)) bad_keyword_row();
        r.name_len = static_cast<uint16_t>(row.name.size());
        for (size_t k = 0; k < row.name.size(); ++k) r.name[k] = row.name[k];
        if (row.kind == kConst) {
            r.u.value = static_cast<int32_t>(row.value);
            continue;
        }
        if (row.required == kOwnArgList) {
            if (row.optional != 0 || !row.types.empty()) bad_keyword_row();
        } else if (row.types.size() != static_cast<size_t>(row.required + row.optional) ||
                   row.types.size() > static_cast<size_t>(kMaxCallArgs)) {
            bad_keyword_row();
        }
        for (size_t k = 0; k < row.types.size(); ++k)
            r.ptypes[k / 2] |= static_cast<uint8_t>(hex_digit(row.types[k]) << (k % 2 ? 4 : 0));
        r.u.args.required = static_cast<uint8_t>(row.required);
        r.u.args.optional = static_cast<uint8_t>(row.optional);
        r.u.args.zero = 0;
    }
    t[Kw::Reserved].kind |= kKindDisabled;  // no script can ever call it
    return t;
}

constexpr std::string_view name_of(const KeywordRecord& r) { return {r.name, r.name_len}; }

using Table = std::array<KeywordRecord, kKeywordCount>;

consteval bool sorted_and_numbered(const Table& t) {
    for (int i = 0; i < kKeywordCount; ++i) {
        if (t[i].id != i) return false;
        if (i > 0 && !(name_of(t[i - 1]) < name_of(t[i]))) return false;
    }
    return true;
}

consteval int count_kind(const Table& t, int32_t kind) {
    int n = 0;
    for (const auto& r : t) n += (r.kind & ~kKindDisabled) == kind;
    return n;
}

consteval bool kinds_counted(const Table& t) {
    return count_kind(t, kOp) == 29 && count_kind(t, kUnary) == 6 && count_kind(t, kFunc) == 495 + 1 &&
           count_kind(t, kConst) == 205 && count_kind(t, kCommand) == 5 && count_kind(t, kRelOp) == 7 &&
           count_kind(t, kSpecial) == 9 && count_kind(t, kStruct) == 22;
}

consteval size_t longest_name(const Table& t) {
    size_t n = 0;
    for (const auto& r : t) n = r.name_len > n ? r.name_len : n;
    return n;
}

consteval bool table_ok() {
    Table t = build_table();
    return sorted_and_numbered(t) && kinds_counted(t) && longest_name(t) == 24 && name_of(t[0]) == "!" &&
           name_of(t[kKeywordCount - 1]) == "~";
}
static_assert(table_ok(), "keywords.inc: sorted by name in byte order, unique, 779 rows, kinds 29/6/496/205/5/7/9/22");

struct FirstCharIndex {
    uint16_t first[128];
    uint16_t last[128];
};

consteval FirstCharIndex build_index() {
    Table t = build_table();
    FirstCharIndex x{};
    int pos = 0;
    for (int c = 0; c < 128; ++c) {
        while (pos < kKeywordCount && static_cast<unsigned char>(t[pos].name[0]) < c) ++pos;
        x.first[c] = static_cast<uint16_t>(pos);
        int end = pos;
        while (end < kKeywordCount && static_cast<unsigned char>(t[end].name[0]) == c) ++end;
        x.last[c] = static_cast<uint16_t>(end);
    }
    return x;
}

constexpr FirstCharIndex kFirstChar = build_index();
static_assert(kFirstChar.first['!'] == 0 && kFirstChar.last['~'] == kKeywordCount);
static_assert(kFirstChar.first[127] == kKeywordCount && kFirstChar.last[127] == kKeywordCount);

// The table itself is read-only and holds no pointers, so it needs no relocation and sits
// in the file-backed read-only segment: no start-up work and no page written.
constexpr Table kTable = build_table();

// The same records with the disabled bit set, and one bit per record: set while the record
// reads from this twin (service 24 disabled it). Marking the host's 64 web-forbidden names
// writes these 98 bytes instead of copying most of the table's eleven pages, and the twin
// is read only when a script names a disabled function.
consteval Table build_disabled_table() {
    Table t = build_table();
    for (KeywordRecord& r : t) r.kind |= kKindDisabled;
    return t;
}
constexpr Table kDisabledTable = build_disabled_table();
uint64_t g_disabled[(kKeywordCount + 63) / 64];

inline char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

#ifndef NDEBUG
// The table is checked at compile time; debug builds repeat the run-time check once.
void check_once() {
    static bool done = false;
    if (done) return;
    done = true;
    check_keyword_order(kTable.data(), kKeywordCount);
}
#else
inline void check_once() {}
#endif

bool is_operator_kind(int32_t kind) {
    int32_t k = kind & ~kKindDisabled;
    return k == kOp || k == kUnary || k == kRelOp;
}

// `at(j)` gives the j-th source character or '\0' past the end.
template <typename At>
int longest_operator(At at) {
    char c0 = lower_ascii(at(0));
    auto c = static_cast<unsigned char>(c0);
    if (c == 0 || c >= 128) return -1;
    check_once();
    int best = -1;
    size_t best_len = 0;
    for (int i = kFirstChar.first[c]; i < kFirstChar.last[c]; ++i) {
        const KeywordRecord& r = kTable[i];
        if (!is_operator_kind(r.kind) || r.name_len <= best_len) continue;
        size_t j = 0;
        while (j < r.name_len && lower_ascii(at(j)) == r.name[j]) ++j;
        if (j == r.name_len) {
            best = i;
            best_len = j;
        }
    }
    return best;
}

constexpr double kFloatConstants[32] = {
    3.141592653589793,   // @pi
    2.718281828459045,   // @e
    0.017453292519943,   // @deg2rad
    57.29577951308232,   // @rad2deg
    6.6256e-34,          // @planckjoules
    6.6252e-27,          // @planckergs
    32.174,              // @gftsec
    9.80665,             // @gmtsec
    1.66043e-27,         // @amc
    6.02252e+23,         // @avogadro
    1.38054e-23,         // @boltzmann
    8.8541853e-12,       // @electric
    0.5772156649015339,  // @eulers
    96487.0,             // @faraday
    1.618033988749895,   // @goldenratio
    6.67e-11,            // @gravitation
    299792500.0,         // @lightmtps
    1.256637,            // @magfield
    206.265,             // @parsec
    186272.0,            // @lightmps
};

}  // namespace

const KeywordRecord* keyword_table() { return kTable.data(); }

const KeywordRecord& keyword(int index) {
    bool disabled = (g_disabled[index / 64] >> (index % 64)) & 1;
    return disabled ? kDisabledTable[index] : kTable[index];
}

KeywordRange first_char_range(unsigned char c) {
    if (c >= 128) return {kKeywordCount, kKeywordCount};
    return {kFirstChar.first[c], kFirstChar.last[c]};
}

int find_builtin(std::string_view name) {
    if (name.empty() || name.size() > static_cast<size_t>(kMaxKeywordSearch)) return -1;
    auto c = static_cast<unsigned char>(name[0]);
    if (c >= 128) return -1;
    check_once();
    return sorted_name_search([](int i) { return name_of(kTable[i]); }, kFirstChar.first[c], kFirstChar.last[c], name);
}

int match_operator(std::string_view src) {
    return longest_operator([src](size_t j) { return j < src.size() ? src[j] : '\0'; });
}

int match_operator(const char* p) {
    if (!p) return -1;
    // Comparison stops at the first mismatch, and the terminating NUL mismatches every
    // name character, so p is never read past its end.
    return longest_operator([p](size_t j) { return p[j]; });
}

ConstantValue decode_constant(int32_t raw) {
    auto u = static_cast<uint32_t>(raw);
    ConstantValue v{ConstantValue::kInt, raw, 0.0, {}};
    if ((u & 0xFFFFFF00u) == 0xF0F0F000u) {
        v.type = ConstantValue::kFloat;
        v.i = 0;
        v.f = kFloatConstants[(u & 0xFF) % 32];
    } else if ((u & 0xFFFFFF00u) == 0xFFF0F000u) {
        v.type = ConstantValue::kString;
        v.i = 0;
        switch ((u & 0xFF) % 32) {
            case 0: v.s = "\r\n"; break;
            case 1: v.s = "\t"; break;
            case 2: v.s = "\r"; break;
            case 3: v.s = "\n"; break;
            default: break;
        }
    }
    return v;
}

bool set_keyword_disabled(int index, bool disabled) {
    if (index < 0 || index >= kKeywordCount) return false;
    // The reserved record is disabled in both tables.
    uint64_t bit = uint64_t{1} << (index % 64);
    if (disabled)
        g_disabled[index / 64] |= bit;
    else
        g_disabled[index / 64] &= ~bit;
    return true;
}

int find_keyword_from(std::string_view name, int start) {
    if (start < 0) start = 0;
    if (name.empty() || name.size() >= sizeof(KeywordRecord::name)) return -1;
    for (int i = start; i < kKeywordCount; ++i) {
        const KeywordRecord& r = kTable[i];
        if (r.name_len != name.size()) continue;
        size_t j = 0;
        while (j < name.size() && lower_ascii(name[j]) == r.name[j]) ++j;
        if (j == name.size()) return i;
    }
    return -1;
}

int set_keywords_disabled(std::string_view list, char separator, bool disable) {
    int result = 1;
    int from = 0;
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find(separator, pos);
        if (end == std::string_view::npos) end = list.size();
        std::string_view name = list.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty()) continue;
        int k = find_keyword_from(name, from);
        if (k < 0) {
            result = 0;
            continue;
        }
        set_keyword_disabled(k, disable);
        from = k + 1;
    }
    return result;
}

int check_keyword_order(const KeywordRecord* table, int count) {
    int bad = 0;
    int prev = -1;
    for (int i = 0; i < count; ++i) {
        const KeywordRecord& r = table[i];
        int c = static_cast<unsigned char>(r.name[0]);
        char name[sizeof(r.name) + 1] = {};
        for (size_t k = 0; k < sizeof(r.name) && r.name[k]; ++k) name[k] = r.name[k];
        if (c < prev) {
            platform::message_box(name, "FSOP782", 0);
            ++bad;
        } else if (c != prev && r.id != i) {
            platform::message_box(name, "FNP983", 0);
            ++bad;
        }
        prev = c;
    }
    return bad;
}

}  // namespace kel::interp
