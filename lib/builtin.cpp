// The family registry and the result helpers builtins use.
#include "lib/builtin.h"

#include "interp/convert.h"
#include "interp/keywords.h"

#include <cstring>

namespace kel::lib {

namespace {

// Registration runs during static initialisation and only records the table pointers:
// names are resolved to ids on the first builtin call, not at start-up.
constexpr int kMaxFamilies = 64;
BuiltinFamily g_families[kMaxFamilies];
int g_family_count = 0;

BuiltinFn g_by_id[interp::kKeywordCount];
bool g_resolved = false;

void resolve_families() {
    for (int f = 0; f < g_family_count; ++f) {
        for (int k = 0; k < g_families[f].count; ++k) {
            const Builtin& b = g_families[f].rows[k];
            if (!b.name || !b.fn) continue;
            int id = interp::find_builtin(b.name);
            if (id < 0) continue;
            if ((interp::keyword(id).kind & ~kKindDisabled) != interp::kFunc) continue;
            g_by_id[id] = b.fn;
        }
    }
    g_resolved = true;
}

}  // namespace

void register_family(const Builtin* rows, int count) {
    if (!rows || count <= 0 || g_family_count >= kMaxFamilies) return;
    g_families[g_family_count++] = {rows, count};
    g_resolved = false;
}

BuiltinFn builtin_for(int id) {
    if (id < 0 || id >= interp::kKeywordCount) return nullptr;
    if (!g_resolved) resolve_families();
    return g_by_id[id];
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
