// The family registry and the result helpers builtins use.
#include "interp/api/builtin.h"

#include "interp/data/convert.h"
#include "interp/base/keywords.h"

#include <cstring>

namespace kel::lib {

namespace {

// The family records of every family file, laid side by side by the linker. Alignment
// padding between them, were there any, reads as a family of no rows.
extern "C" {
[[gnu::visibility("hidden")]] extern const BuiltinFamily __start_kel_builtin_families[];
[[gnu::visibility("hidden")]] extern const BuiltinFamily __stop_kel_builtin_families[];
}

// A builtin's function is looked up by its keyword's name on its first call: a request
// pays for the few builtins it calls, not for resolving all of them. What was found is
// kept as family and row, 1.5 KB of which a request writes a page or so.
constexpr uint32_t kNotLookedUp = 0;
constexpr uint32_t kNotFound = 0xFFFFFFFFu;
uint32_t g_found[interp::kKeywordCount];  // (family << 16 | row) + 1

// The last row of that name wins, as a later family overrides an earlier one.
uint32_t resolve_one(int id) {
    const KeywordRecord& r = interp::keyword(id);
    if ((r.kind & ~kKindDisabled) != interp::kFunc) return kNotFound;
    std::string_view name(r.name, r.name_len);
    const BuiltinFamily* first = __start_kel_builtin_families;
    for (auto f = static_cast<uint32_t>(__stop_kel_builtin_families - first); f-- > 0;) {
        for (int k = first[f].count; k-- > 0;) {
            const Builtin& b = first[f].rows[k];
            if (!b.name || !b.fn || b.name[0] != name[0]) continue;
            if (name == b.name) return (f << 16 | static_cast<uint32_t>(k)) + 1;
        }
    }
    return kNotFound;
}

}  // namespace

BuiltinFn builtin_for(int id) {
    if (id < 0 || id >= interp::kKeywordCount) return nullptr;
    uint32_t& found = g_found[id];
    if (found == kNotLookedUp) found = resolve_one(id);
    if (found == kNotFound) return nullptr;
    uint32_t at = found - 1;
    return __start_kel_builtin_families[at >> 16].rows[at & 0xFFFF].fn;
}

void Call::ret_int(int32_t v) {
    interp::release_value(inst, result_);
    result_.i = v;
    result_.flags = kVtInt;
}

void Call::ret_float(double v) {
    interp::release_value(inst, result_);
    result_.f = v;
    result_.flags = kVtFloat;
}

void Call::ret_str(std::string_view s) {
    interp::release_value(inst, result_);
    result_.flags = 0;
    interp::HeapOff off = interp::heap_alloc_or_fail(inst, s.size() + 1);
    if (!off) return;
    char* p = interp::heap_ptr(inst, off);
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    result_.str = off;
    result_.flags = kVtStr;
}

void Call::ret_wide(std::u16string_view s) {
    interp::release_value(inst, result_);
    result_.flags = 0;
    interp::HeapOff off = interp::heap_wstrdup_or_fail(inst, s);
    if (!off) return;
    result_.wstr = off;
    result_.flags = kVtWide;
}

}  // namespace kel::lib
