// The family registry and the result helpers builtins use.
#include "interp/api/builtin.h"

#include "interp/data/convert.h"
#include "interp/base/keywords.h"

#include <cstring>

namespace kel::lib {

namespace {

// Registration runs during static initialisation and only records the table pointers.
// A builtin's function is looked up by its keyword's name on its first call: a request
// pays for the few builtins it calls, not for resolving all of them.
constexpr int kMaxFamilies = 64;
BuiltinFamily g_families[kMaxFamilies];
int g_family_count = 0;

BuiltinFn g_by_id[interp::kKeywordCount];
bool g_looked_up[interp::kKeywordCount];  // searched once, whether found or not
bool g_any_looked_up = false;

// The last registered row of that name wins, as a later family overrides an earlier one.
BuiltinFn resolve_one(int id) {
    g_looked_up[id] = g_any_looked_up = true;
    const KeywordRecord& r = interp::keyword(id);
    if ((r.kind & ~kKindDisabled) != interp::kFunc) return nullptr;
    std::string_view name(r.name, r.name_len);
    for (int f = g_family_count; f-- > 0;) {
        for (int k = g_families[f].count; k-- > 0;) {
            const Builtin& b = g_families[f].rows[k];
            if (!b.name || !b.fn || b.name[0] != name[0]) continue;
            if (name == b.name) return g_by_id[id] = b.fn;
        }
    }
    return nullptr;
}

}  // namespace

void register_family(const Builtin* rows, int count) {
    if (!rows || count <= 0 || g_family_count >= kMaxFamilies) return;
    g_families[g_family_count++] = {rows, count};
    // A new family may override what was found before, or provide what was missing. (At
    // static initialisation nothing has been looked up, and the tables stay untouched.)
    if (g_any_looked_up) {
        std::memset(g_by_id, 0, sizeof g_by_id);
        std::memset(g_looked_up, 0, sizeof g_looked_up);
        g_any_looked_up = false;
    }
}

BuiltinFn builtin_for(int id) {
    if (id < 0 || id >= interp::kKeywordCount) return nullptr;
    if (BuiltinFn fn = g_by_id[id]) return fn;
    return g_looked_up[id] ? nullptr : resolve_one(id);
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
    interp::HeapOff off = interp::heap_alloc(inst, s.size() + 1);
    if (!off) {
        inst.fail(3096);
        return;
    }
    char* p = interp::heap_ptr(inst, off);
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    result_.str = off;
    result_.flags = kVtStr;
}

void Call::ret_wide(std::u16string_view s) {
    interp::release_value(inst, result_);
    result_.flags = 0;
    interp::HeapOff off = interp::heap_wstrdup(inst, s);
    if (!off) {
        inst.fail(3096);
        return;
    }
    result_.wstr = off;
    result_.flags = kVtWide;
}

}  // namespace kel::lib
