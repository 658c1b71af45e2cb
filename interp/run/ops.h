// The operators over whole numbers: what each one gives and which error it raises, in one
// place. The ladder (interp/run/eval.cpp) applies these when both operands are integers, and
// the compiled lines (interp/run/fastline.cpp) run the same functions in their integer
// programs and when they fold a constant operand into an opcode.
#pragma once
#include <cstdint>

#include "interp/base/keywords.h"

namespace kel::interp {

// kOpAdd..kOpPow are the arithmetic operators and kOpEq..kOpGe the relations, in one
// run each: the ladder tells an operator's class by its range.
enum OpKind : uint8_t {
    kOpNone, kOpInt, kOpVar, kOpFail,
    kOpNeg, kOpNot, kOpCompl,
    kOpAdd, kOpSub, kOpMul, kOpDiv, kOpMod, kOpShl, kOpShr, kOpAnd, kOpOr, kOpXor, kOpLAnd, kOpLOr, kOpPow,
    kOpEq, kOpNe, kOpLt, kOpLe, kOpGt, kOpGe,
    // The same with a constant right operand (a divisor that is neither 0 nor -1).
    kOpAddC, kOpSubC, kOpMulC, kOpDivC, kOpModC, kOpEqC, kOpNeC, kOpLtC, kOpLeC, kOpGtC, kOpGeC,
    // Steps of the compiled lines' integer programs that read a variable themselves:
    // `variable op constant` pushed in one step (in the order of the run above) ...
    kOpVarAddC, kOpVarSubC, kOpVarMulC, kOpVarDivC, kOpVarModC, kOpVarEqC, kOpVarNeC, kOpVarLtC, kOpVarLeC,
    kOpVarGtC, kOpVarGeC,
    // ... and `top op variable` (in the order of kOpAdd..kOpGe), `variable - top` last.
    kOpAddV, kOpSubV, kOpMulV, kOpDivV, kOpModV, kOpShlV, kOpShrV, kOpAndV, kOpOrV, kOpXorV, kOpLAndV, kOpLOrV,
    kOpPowV, kOpEqV, kOpNeV, kOpLtV, kOpLeV, kOpGtV, kOpGeV, kOpRSubV,
};

constexpr bool is_const_opcode(uint8_t op) { return op >= kOpAddC && op <= kOpGeC; }
constexpr bool is_var_const_opcode(uint8_t op) { return op >= kOpVarAddC && op <= kOpVarGeC; }
// kOpVarAddC..kOpVarGeC to kOpAddC..kOpGeC, and back.
constexpr uint8_t var_const_base(uint8_t op) { return static_cast<uint8_t>(op - kOpVarAddC + kOpAddC); }
constexpr uint8_t var_const_opcode(uint8_t op) { return static_cast<uint8_t>(op - kOpAddC + kOpVarAddC); }
// kOpAdd..kOpGe with a variable as the right operand.
constexpr uint8_t var_right_opcode(uint8_t op) { return static_cast<uint8_t>(op - kOpAdd + kOpAddV); }

inline uint32_t u32(int32_t v) { return static_cast<uint32_t>(v); }
inline int32_t s32(uint32_t v) { return static_cast<int32_t>(v); }

// The opcode of a binary operator keyword (kOpFail for one without an integer form).
constexpr uint8_t binary_opcode(int kw) {
    switch (kw) {
        case Kw::Plus: return kOpAdd;
        case Kw::Minus: return kOpSub;
        case Kw::Star: return kOpMul;
        case Kw::Slash: return kOpDiv;
        case Kw::Mod: return kOpMod;
        case Kw::Shl: return kOpShl;
        case Kw::Shr: return kOpShr;
        case Kw::Amp: return kOpAnd;
        case Kw::Bar: return kOpOr;
        case Kw::Caret: return kOpXor;
        case Kw::AndAnd: return kOpLAnd;
        case Kw::OrOr: return kOpLOr;
        case Kw::Power: return kOpPow;
        case Kw::Equal: return kOpEq;
        case Kw::NotEqual:
        case Kw::LessGreater: return kOpNe;
        case Kw::Less: return kOpLt;
        case Kw::LessEqual: return kOpLe;
        case Kw::Greater: return kOpGt;
        case Kw::GreaterEqual: return kOpGe;
        default: return kOpFail;
    }
}

// The opcode of a numeric unary operator keyword: `+` changes no whole number (kOpNone).
constexpr uint8_t unary_opcode(int kw) {
    switch (kw) {
        case Kw::Plus: return kOpNone;
        case Kw::Minus: return kOpNeg;
        case Kw::Bang: return kOpNot;
        case Kw::Tilde: return kOpCompl;
        default: return kOpFail;
    }
}

// The prefix operators: the numeric ones, `&` (the pointer to a variable) and `*` (the
// variable a pointer names).
constexpr bool is_prefix_op(int kw) { return unary_opcode(kw) != kOpFail || kw == Kw::Amp || kw == Kw::Star; }

// `**` over whole numbers for an exponent of 0 or more: squaring gives the same wrapped
// bits as repeated multiplication, in 31 steps at most.
inline int32_t int_power(int32_t base, int32_t exp) {
    uint32_t result = 1, b = u32(base);
    auto e = static_cast<uint32_t>(exp);
    while (e) {
        if (e & 1u) result *= b;
        b *= b;
        e >>= 1;
    }
    return s32(result);
}

// A binary integer opcode (plain or with its constant operand); results wrap at 32 bits.
// False when the operation fails (then int_op_error names the error) or the opcode is
// not one.
[[gnu::always_inline]] inline bool int_op(uint8_t op, int32_t x, int32_t y, int32_t* r) {
    switch (op) {
        case kOpAdd: case kOpAddC: *r = s32(u32(x) + u32(y)); return true;
        case kOpSub: case kOpSubC: *r = s32(u32(x) - u32(y)); return true;
        case kOpMul: case kOpMulC: *r = s32(u32(x) * u32(y)); return true;
        case kOpDiv:
        case kOpMod:
            if (y == 0) return false;
            if (y == -1)  // INT_MIN / -1 traps the CPU; the wrapped results are INT_MIN and 0
                *r = op == kOpDiv ? s32(0u - u32(x)) : 0;
            else
                *r = op == kOpDiv ? x / y : x % y;
            return true;
        // A constant divisor is neither 0 nor -1 (the constant forms are made only then).
        case kOpDivC: *r = x / y; return true;
        case kOpModC: *r = x % y; return true;
        case kOpShl: *r = s32(u32(x) << (u32(y) & 31u)); return true;
        case kOpShr: *r = x >> (u32(y) & 31u); return true;
        case kOpAnd: *r = x & y; return true;
        case kOpOr: *r = x | y; return true;
        case kOpXor: *r = x ^ y; return true;
        case kOpLAnd: *r = (x != 0 && y != 0) ? 1 : 0; return true;
        case kOpLOr: *r = (x != 0 || y != 0) ? 1 : 0; return true;
        case kOpPow:
            if (y < 0) return false;
            *r = int_power(x, y);
            return true;
        case kOpEq: case kOpEqC: *r = x == y; return true;
        case kOpNe: case kOpNeC: *r = x != y; return true;
        case kOpLt: case kOpLtC: *r = x < y; return true;
        case kOpLe: case kOpLeC: *r = x <= y; return true;
        case kOpGt: case kOpGtC: *r = x > y; return true;
        case kOpGe: case kOpGeC: *r = x >= y; return true;
        default: return false;
    }
}

// The error of an integer operation that int_op refused: 3062 "Attempt to divide by zero",
// 1351 for a negative exponent, 3061 "Illegal Syntax" for an operator without one.
constexpr Err int_op_error(uint8_t op) {
    switch (op) {
        case kOpDiv: case kOpDivC: case kOpMod: case kOpModC: return Err::DivideByZero;
        case kOpPow: return Err::MathFactArgs;
        default: return Err::IllegalSyntax;
    }
}

// A numeric unary opcode over a whole number (kOpNone leaves it).
[[gnu::always_inline]] inline int32_t int_unary(uint8_t op, int32_t x) {
    switch (op) {
        case kOpNeg: return s32(0u - u32(x));
        case kOpNot: return x == 0 ? 1 : 0;
        case kOpCompl: return ~x;
        default: return x;
    }
}

}  // namespace kel::interp
