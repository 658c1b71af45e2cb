// Expression evaluation: the precedence ladder, operators, assignment, calls and the
// special forms that take a variable name. The current token protocol: a routine starts
// at the current token (already read) and leaves the token after what it consumed current.
#pragma once
#include <cstdint>
#include <string>

#include "interp/base/instance.h"
#include "interp/base/value.h"
#include "interp/api/services.h"

namespace kel::interp {

// An expression nests at most 256 levels (parentheses, arguments, subscripts, unary
// operators) below its outermost operand; one more is error 3353 rather than a C++ stack
// overflow. The count includes the outermost operand.
constexpr int kMaxEvalDepth = 257;

// Applies a binary operator (keyword index) to `a` and `b`: the result replaces `a`, `b`
// is released.
void binary_op(Instance& inst, Value& a, Value& b, int op_kw);

// Elements of arrays and maps (the steps reading "name[s1, s2, ...]" takes): the array a
// name (folded) holds or points to, 0 when none; one subscript taken (releases it); the
// element the subscripts select (-1 with the error raised); the element fetched or
// stored. `index`, when given, receives the name's own record (-1 when none).
uint32_t array_of_name(Instance& inst, const std::string& name, int32_t* index = nullptr);
bool subscript_take(Instance& inst, uint32_t handle, int n, Value& s, std::string& key, int32_t* subs);
int64_t subscripts_index(Instance& inst, uint32_t handle, const int32_t* subs, int n);
bool element_fetch(Instance& inst, uint32_t handle, int64_t index, const std::string& key, ValueCore& out);
bool element_store(Instance& inst, uint32_t handle, int64_t index, const std::string& key, const ValueCore& v);

// A statement goes on after its expression (3074); `bracket` when the token there is "[".
void eval_raise_extra(Instance& inst, bool bracket);

// One argument of a special form that names a variable (isdefined, vartype,
// objecttypeget, drop), as it was read.
struct NameArg {
    enum Kind { kNone, kVar, kElem, kPtr } kind = kNone;
    uint16_t frame = 0;
    int32_t index = -1;      // variable record, -1 when missing
    uint32_t handle = 0;     // kElem
    int64_t elem = -1;       // kElem
    std::string key;         // kElem of a map
    bool resolved = true;    // kPtr: false when the pointer could not be resolved
    std::string name;
};

// A name argument `a.name` (folded) looked up as a variable of the current frame; or,
// read after "*", as a pointer whose variable is resolved (a.resolved false when none).
void name_arg_var(Instance& inst, NameArg& a);
void name_arg_ptr(Instance& inst, NameArg& a);
// What isdefined / vartype (`id`) give for a name argument; false with the error raised.
bool form_name_info(Instance& inst, int id, const NameArg& a, int32_t* r);
// drop of one name argument (a variable or a pointer's); false with the error raised.
bool form_drop_name(Instance& inst, const NameArg& a);

}  // namespace kel::interp
