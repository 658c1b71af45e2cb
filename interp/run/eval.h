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

}  // namespace kel::interp
