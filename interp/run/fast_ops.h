// Pieces of the compiled-line evaluator that the statement side uses inline too: the
// variable-slot check and the short integer forms (the operators are interp/run/ops.h).
#pragma once
#include <cstdint>
#include <cstring>

#include "interp/run/eval.h"
#include "interp/run/fastline.h"
#include "interp/run/ops.h"

namespace kel::interp {

constexpr uint32_t kPureIntMask = kVtInt | kVtStr | kVtFloat | kVtBinBuf | kVtWide | kVtArray | kVtVariant;

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

// var_hit for the integer programs and assignments: a hint found good stays good,
// without its name compared, while the table keeps its epoch (records are renamed or
// freed by var_drop, or another table made current, only where the epoch moves). A
// record whose flags a stored value left at kVtFree may still come back: the callers
// refuse it by its flags, as var_hit would.
[[gnu::always_inline]] inline int32_t var_hit_cached(const Instance& inst, const FastVar& v) {
    if (v.epoch == inst.var_epoch) return v.hint;
    int32_t idx = var_hit(inst, v);
    if (idx > 0) {
        v.epoch = inst.var_epoch;
        v.rec = &inst.vars[idx];  // while the epoch holds
    }
    return idx;
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
