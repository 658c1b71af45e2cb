// What a builtin function sees: its arguments, already converted by the router to the
// types its keyword-table row demands, and its result slot. Each family file ends with a
// table of {name, implementation}; every name must have a function row in keywords.inc.
// The interpreter owns this registry and reaches the families in lib/ only through it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/data/heap.h"
#include "interp/base/instance.h"
#include "interp/base/value.h"

namespace kel::lib {

using interp::Instance;
using interp::Value;

class Call {
public:
    Call(Instance& inst, int32_t id, Value* args, int argc, Value& result, bool wide_pref)
        : inst(inst), id(id), wide_pref(wide_pref), args_(args), argc_(argc), result_(result) {}

    Instance& inst;
    const int32_t id;  // keyword index of the function being called

    const bool wide_pref;  // the call's wide-string preference (parameter codes 6 and 8)

    int argc() const { return argc_; }
    bool has(int n) const { return n >= 1 && n <= argc_; }
    // Argument n, counted from 1. Only valid for 1 <= n <= argc().
    Value& arg(int n) { return args_[n - 1]; }

    // Forms the router converted to (integer code 0, string 1/6/7/8, float 2, wide 5).
    int32_t integer(int n) { return arg(n).i; }
    double flt(int n) { return arg(n).f; }
    // The narrow string of argument n (with its length: strings may hold NUL bytes only
    // where a function says so; otherwise the length is strlen).
    std::string_view str(int n) { return interp::heap_str(inst, arg(n).str); }
    const char* cstr(int n) { return interp::heap_str(inst, arg(n).str); }
    std::u16string_view wstr(int n) {
        auto p = reinterpret_cast<const char16_t*>(interp::heap_ptr(inst, arg(n).wstr));
        return p ? std::u16string_view(p) : std::u16string_view();
    }
    bool is_wide(int n) { return (arg(n).flags & kVtWide) != 0; }

    // Optional arguments: the default when the call left them out.
    int32_t opt_integer(int n, int32_t def) { return has(n) ? integer(n) : def; }
    double opt_flt(int n, double def) { return has(n) ? flt(n) : def; }
    std::string_view opt_str(int n, std::string_view def) { return has(n) ? str(n) : def; }

    // Results. ret_str raises 3096 when the heap is exhausted.
    void ret_int(int32_t v);
    void ret_float(double v);
    void ret_str(std::string_view s);
    void ret_wide(std::u16string_view s);
    Value& result() { return result_; }

    // Failure: set the error number (and optionally add information); return at once.
    Call& fail(Err e) {
        inst.fail(e);
        return *this;
    }
    Call& fail(uint16_t number) {
        inst.fail(number);
        return *this;
    }
    Call& fail(int) = delete;
    Call& info(std::string_view text) {
        inst.info(text);
        return *this;
    }
    bool failed() const { return inst.error() != 0; }

private:
    Value* args_;
    int argc_;
    Value& result_;
};

using BuiltinFn = void (*)(Call& c);

struct Builtin {
    const char* name;
    BuiltinFn fn;
};

// One per family file (lib/str.cpp, lib/items.cpp, ...); the router collects them.
struct BuiltinFamily {
    const Builtin* rows;
    int count;
};

// The router's side: the implementation registered for a builtin keyword, or nullptr.
BuiltinFn builtin_for(int id);

// Every family's table, named by the family files with KEL_BUILTIN_FAMILY(table): a
// constant record that the linker gathers with the others into one section, in link order,
// so that nothing runs or is written when the library loads. Each builtin's name is
// matched to its row on that builtin's first call; a later family's row overrides an
// earlier one of the same name.
#define KEL_BUILTIN_FAMILY(table)                                                                   \
    namespace {                                                                                     \
    [[gnu::used, gnu::section("kel_builtin_families")]] const ::kel::lib::BuiltinFamily              \
        kel_family_##table = {table, static_cast<int>(sizeof(table) / sizeof(table[0]))};           \
    }

}  // namespace kel::lib
