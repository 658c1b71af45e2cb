// Expression evaluation: the precedence ladder, operators, assignment, calls and the
// special forms that take a variable name. The current token protocol: a routine starts
// at the current token (already read) and leaves the token after what it consumed current.
#pragma once
#include <cstdint>

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

}  // namespace kel::interp
