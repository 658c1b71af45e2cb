// The builtin keyword table: its records, name and operator lookup, constant values and
// the disabled bits. Reading tokens out of a line is the tokenizer's job, not this file's.
#pragma once
#include <cstdint>
#include <string_view>
#include "shared/abi.h"

namespace kel::interp {

// Kinds are compared as whole 32-bit values, so a record with kKindDisabled set matches none.
enum KeywordKind : int32_t {
    kOp = 0,       // operator or punctuation that is never unary, and word operators
    kUnary = 1,    // operator that may also be unary
    kFunc = 2,     // builtin function
    kConst = 3,    // named constant
    kCommand = 4,  // command statement
    kRelOp = 5,    // relational operator
    kSpecial = 6,  // special form that takes a variable name
    kStruct = 8,   // structure keyword
};

constexpr int kKeywordCount = 779;

// Keyword index ranges beside the builtin table: the host's functions, user-defined
// functions and extension functions.
constexpr int kHostIdFirst = 1000;
constexpr int kHostIdLast = 1998;
constexpr int kUdfIdFirst = 4000;
constexpr int kUdfIdLast = 4998;
constexpr int kExtIdFirst = 10000;
constexpr int kExtIdLast = 10750;

constexpr uint8_t kOwnArgList = 255;  // required count of a function that reads its own arguments
constexpr int kMaxKeywordSearch = 30;  // longer names are never looked up

namespace keyword_detail {
// Names only, for compile-time index constants; never read at run time.
inline constexpr std::string_view kNames[] = {
#define KW(name, kind, req, opt, types) name,
#define KN(name, kind, req, opt, types, id) name,
#define KC(name, value) name,
#include "interp/base/keywords.inc"
#undef KW
#undef KN
#undef KC
};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == kKeywordCount);
}  // namespace keyword_detail

// The index in [lo, hi) whose name (`name_at(index)`, sorted ascending) is exactly
// `name`, or -1: the one search of the table, at compile time and at run time.
template <typename NameAt>
constexpr int sorted_name_search(NameAt name_at, int lo, int hi, std::string_view name) {
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        int c = name_at(mid).compare(name);
        if (c == 0) return mid;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return -1;
}

// Index of a builtin record by exact name, at compile time only:
//   constexpr int kStrLen = keyword_index("strlen");
consteval int keyword_index(std::string_view name) {
    return sorted_name_search([](int i) { return keyword_detail::kNames[i]; }, 0, kKeywordCount, name);
}

// Indexes of the records the core refers to directly: Kw::If, Kw::Comma, Kw::OleObject ...
struct Kw {
    enum : int16_t {
#define KW(name, kind, req, opt, types)
#define KN(name, kind, req, opt, types, id) id = keyword_index(name),
#define KC(name, value)
#include "interp/base/keywords.inc"
#undef KW
#undef KN
#undef KC
    };
};

constexpr int kKwOleObject = Kw::OleObject;  // object access: dotted names and array subscripts
constexpr int kKwModAssign = Kw::ModAssign;
static_assert(kKwOleObject == 34 && kKwModAssign == 553);
static_assert(Kw::About == 245 && Kw::Yields == 774);

// The table as built, disabled bits as they stand before any change at run time.
const KeywordRecord* keyword_table();
// Record `index` (0 to kKeywordCount - 1) as it stands now: only the disabled bit of `kind`
// ever changes at run time.
const KeywordRecord& keyword(int index);

// First and one-past-last record whose name starts with `c`; empty for unused characters,
// [779, 779) for characters above the last one used and for bytes of 128 and up.
struct KeywordRange {
    uint16_t first;
    uint16_t last;
};
KeywordRange first_char_range(unsigned char c);

// Exact lookup of a lower-case name; -1 when it is not a builtin record. Disabled records
// are found too: the caller reports them as unavailable.
int find_builtin(std::string_view lowercase_name);

// Longest operator or punctuation record that the source text starts with (compared
// lower-cased); ties keep the earlier record. -1 when none matches. Only operator kinds
// are candidates: names such as "?oleobject" are reachable by index only, never by text.
int match_operator(std::string_view src);
int match_operator(const char* p);  // p NUL-terminated

// Signature of a function record.
inline uint64_t param_type_word(const KeywordRecord& r) {
    uint64_t w = 0;
    for (int i = 7; i >= 0; --i) w = (w << 8) | r.ptypes[i];
    return w;
}
// Code of argument n, counted from 1; 15 (any) outside 1..16.
inline int param_type(const KeywordRecord& r, int n) {
    if (n < 1 || n > kMaxCallArgs) return kPtAny;
    uint8_t b = r.ptypes[(n - 1) / 2];
    return (n - 1) % 2 ? b >> 4 : b & 0x0F;
}
inline int required_args(const KeywordRecord& r) { return r.u.args.required; }
inline int optional_args(const KeywordRecord& r) { return r.u.args.optional; }
inline bool reads_own_args(const KeywordRecord& r) { return r.u.args.required == kOwnArgList; }
inline bool is_disabled(const KeywordRecord& r) { return (r.kind & kKindDisabled) != 0; }
inline std::string_view keyword_name(const KeywordRecord& r) {
    return {r.name, r.name_len < sizeof(r.name) ? r.name_len : sizeof(r.name)};
}

// The value of a named constant, decoded from its 32-bit field.
struct ConstantValue {
    enum Type : uint8_t { kInt, kFloat, kString } type;
    int32_t i;         // kInt
    double f;          // kFloat
    std::string_view s;  // kString: static text, to be copied onto the string heap
};
ConstantValue decode_constant(int32_t raw);
inline ConstantValue constant_value(const KeywordRecord& r) { return decode_constant(r.u.value); }

// Disabling (DLLServices code 24). The reserved record stays disabled whatever is asked.
// Returns false for an index outside the table.
bool set_keyword_disabled(int index, bool disabled);
// First record at or after `start` whose name equals `name` without regard to ASCII case;
// -1 when there is none.
int find_keyword_from(std::string_view name, int start);
// Service 24: each name of the list (split at `separator`, empty names skipped) is searched
// from just after the previous match; a name that is not found leaves that position alone.
// Returns 1 when every name was found, else 0; the names found are changed either way.
int set_keywords_disabled(std::string_view list, char separator, bool disable);

// The order and id check of the first-character index: first characters never decrease,
// and each record that starts a new character has id == position. Each violation shows a
// message box (caption "FSOP782" for order, "FNP983" for id) and the check goes on.
// Returns the number of violations.
int check_keyword_order(const KeywordRecord* table, int count);

}  // namespace kel::interp
