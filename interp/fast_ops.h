// Pieces of the compiled-line evaluator that the statement side uses inline too: the
// integer opcodes, the variable-slot check and the integer operations.
#pragma once
#include <cstdint>
#include <cstring>

#include "interp/eval.h"
#include "interp/fastline.h"

namespace kel::interp {

enum OpKind : uint8_t {
    kOpNone, kOpInt, kOpVar, kOpFail,
    kOpNeg, kOpNot, kOpCompl,
    kOpAdd, kOpSub, kOpMul, kOpDiv, kOpMod, kOpShl, kOpShr, kOpAnd, kOpOr, kOpXor, kOpLAnd, kOpLOr,
    kOpEq, kOpNe, kOpLt, kOpLe, kOpGt, kOpGe,
    // The same with a constant right operand (a divisor that is neither 0 nor -1).
    kOpAddC, kOpSubC, kOpMulC, kOpDivC, kOpModC, kOpEqC, kOpNeC, kOpLtC, kOpLeC, kOpGtC, kOpGeC,
};

constexpr uint32_t kPureIntMask = kVtInt | kVtStr | kVtFloat | kVtBinBuf | kVtWide | kVtArray | kVtVariant;

inline uint32_t u32(int32_t v) { return static_cast<uint32_t>(v); }
inline int32_t s32(uint32_t v) { return static_cast<int32_t>(v); }

// Out of line, so that the evaluators calling var_hit keep their registers.
bool long_name_is(const char* name, const FastVar& v);

// The record the slot names in the current table, or -1 when the hint is stale.
inline int32_t var_hit(const Instance& inst, const FastVar& v) {
    int32_t idx = v.hint;
    if (!inst.vars || idx <= 0 || static_cast<uint32_t>(idx) >= inst.cur_count) return -1;
    const VarRecord& r = inst.vars[idx];
    if (r.flags == kVtFree) return -1;
    // Names are compared with their terminating zero; short ones in one word.
    if (v.mask8) {
        uint64_t x;
        std::memcpy(&x, r.name, 8);
        return ((x ^ v.key8) & v.mask8) == 0 ? idx : -1;
    }
    return long_name_is(r.name, v) ? idx : -1;
}

// A binary integer opcode (plain or with its constant operand). False for a division by
// zero or an opcode that is not one: the exact path raises what the text raises.
[[gnu::always_inline]] inline bool int_op(uint8_t op, int32_t x, int32_t y, int32_t* r) {
    switch (op) {
        case kOpAdd: case kOpAddC: *r = s32(u32(x) + u32(y)); return true;
        case kOpSub: case kOpSubC: *r = s32(u32(x) - u32(y)); return true;
        case kOpMul: case kOpMulC: *r = s32(u32(x) * u32(y)); return true;
        case kOpDiv: case kOpDivC:
        case kOpMod: case kOpModC:
            if (y == 0) return false;
            if (y == -1)  // INT_MIN / -1 traps the CPU; the wrapped results are INT_MIN and 0
                *r = (op == kOpDiv || op == kOpDivC) ? s32(0u - u32(x)) : 0;
            else
                *r = (op == kOpDiv || op == kOpDivC) ? x / y : x % y;
            return true;
        case kOpShl: *r = s32(u32(x) << (u32(y) & 31u)); return true;
        case kOpShr: *r = x >> (u32(y) & 31u); return true;
        case kOpAnd: *r = x & y; return true;
        case kOpOr: *r = x | y; return true;
        case kOpXor: *r = x ^ y; return true;
        case kOpLAnd: *r = (x != 0 && y != 0) ? 1 : 0; return true;
        case kOpLOr: *r = (x != 0 || y != 0) ? 1 : 0; return true;
        case kOpEq: case kOpEqC: *r = x == y; return true;
        case kOpNe: case kOpNeC: *r = x != y; return true;
        case kOpLt: case kOpLtC: *r = x < y; return true;
        case kOpLe: case kOpLeC: *r = x <= y; return true;
        case kOpGt: case kOpGtC: *r = x > y; return true;
        case kOpGe: case kOpGeC: *r = x >= y; return true;
        default: return false;
    }
}

// `variable` (op kOpNone) or `variable op constant` (a constant-operand opcode) over a
// whole number: false, with nothing touched, when the variable does not hold one.
[[gnu::always_inline]] inline bool var_op_const(const Instance& inst, const FastLine& f, int32_t slot, uint8_t op,
                                                int32_t c, int32_t* out) {
    int32_t idx = var_hit(inst, f.vars[static_cast<size_t>(slot)]);
    if (idx <= 0) return false;
    const VarRecord& r = inst.vars[idx];
    if ((r.flags & kPureIntMask) != kVtInt) return false;
    if (op == kOpNone) {
        *out = r.i;
        return true;
    }
    return int_op(op, r.i, c, out);
}

// The main expression in its short form, when it has one (FastLine::small_var), as the
// integer evaluation of the expression gives it.
[[gnu::always_inline]] inline bool fast_small_int(const Instance& inst, const FastLine& f, int32_t* out) {
    if (inst.eval_depth + static_cast<int>(f.small_depth) > kMaxEvalDepth) return false;
    return var_op_const(inst, f, f.small_var, f.small_op, f.small_c, out);
}

// The main expression as a whole number: the short form inline, else the integer program.
[[gnu::always_inline]] inline bool fast_main_int(Instance& inst, FastLine& f, int32_t* out) {
    if (f.small_var >= 0) return fast_small_int(inst, f, out);
    if (f.expr_program) return fast_eval_program(inst, f, out);
    if (f.expr_const) {
        *out = f.const_value;
        return true;
    }
    return fast_eval_int(inst, f, f.expr, out);
}

}  // namespace kel::interp
