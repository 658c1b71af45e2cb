// Pieces of the expression evaluator that the compiled-line runner (interp/run/fastline.h)
// shares with the token-driven ladder, so that both give the same values and raise the
// same errors at the same points.
#pragma once
#include <cstdint>

#include "interp/data/heap.h"
#include "interp/run/eval.h"
#include "interp/base/instance.h"
#include "interp/base/keywords.h"
#include "interp/base/value.h"

namespace kel::interp {

// A whole number replaces what `v` held, tagged with no variable.
inline void eval_set_int(Instance& inst, Value& v, int32_t i) {
    release_value(inst, v);
    v.i = i;
    v.flags = kVtInt;
    untag_value(v);
}

// A float replaces what `v` held, tagged with no variable.
inline void eval_set_float(Instance& inst, Value& v, double f) {
    release_value(inst, v);
    v.f = f;
    v.flags = kVtFloat;
    untag_value(v);
}

// A text replaces what `v` held; false with 3096 (v left as it was) when the heap is full.
inline bool eval_set_str(Instance& inst, Value& v, std::string_view text) {
    HeapOff off = heap_strdup_or_fail(inst, text);
    if (!off) return false;
    release_value(inst, v);
    v.str = off;
    v.flags = kVtStr;
    return true;
}

// The value of variable record `idx` of the current table as a primary: 3051 for a bad
// index, 3052 (with its report) for an undefined variable. `out` is overwritten.
void eval_variable(Instance& inst, int32_t idx, Value& out);

// A keyword constant (@TRUE, @CRLF, ...) into `out`.
void eval_constant(Instance& inst, int kw, Value& out);

// What a call of keyword `id` needs: argument counts, parameter types, whether the
// keyword is disabled. False when `id` names no callable function.
struct CallInfo {
    int required = 0;
    int optional = 0;
    uint64_t ptypes = ~uint64_t{0};
    bool disabled = false;
};
bool eval_call_info(const Instance& inst, int id, CallInfo* info);
// The same for a call about to be made: false with 3472 "Function not available in this
// product" raised when the function is disabled.
inline bool eval_call_allowed(Instance& inst, int id, CallInfo* info) {
    eval_call_info(inst, id, info);
    if (!info->disabled) return true;
    inst.fail(Err::NotAvailable);
    return false;
}

// The value of a named constant of the host's table (3472 when the host disabled it).
inline void eval_host_constant(Instance& inst, const KeywordRecord& r, Value& out) {
    if (r.kind & kKindDisabled) {
        inst.fail(Err::NotAvailable);
        return;
    }
    eval_set_int(inst, out, r.u.value);
}

// Counts the nesting of the expression levels for as long as it lives: past
// kMaxEvalDepth, 3353.
class EvalDepth {
public:
    explicit EvalDepth(Instance& inst) : inst_(inst) {
        ok_ = ++inst_.eval_depth <= kMaxEvalDepth;
        if (!ok_) inst_.fail(Err::NestingTooDeep);
    }
    ~EvalDepth() { --inst_.eval_depth; }
    EvalDepth(const EvalDepth&) = delete;
    EvalDepth& operator=(const EvalDepth&) = delete;
    bool ok() const { return ok_; }

private:
    Instance& inst_;
    bool ok_;
};

// Calls `id` with evaluated arguments (released here, arrays pinned during the call).
// `from_compiled`: the call is made from a compiled line.
void eval_call_with_args(Instance& inst, int id, Value& out, Value* args, int argc, uint64_t ptypes,
                         bool from_compiled = false);

// `&variable`: the pointer to the variable `v` came from replaces it (3818 when `v` came
// from none).
void eval_pointer_of(Instance& inst, Value& v);

// `*ptr`: the value of the variable the pointer `v` names replaces it, tagged with that
// variable (3813 for a value that is no pointer, 3817 for a variable without a value).
// Subscripts after it are the caller's to read.
void eval_dereference(Instance& inst, Value& v);

// The numeric unary operators (! - + ~) applied to an evaluated operand.
void eval_unary_numeric(Instance& inst, int op, Value& out);

// A run of ":" operators: operands are converted as the pairwise joins would convert
// them, and the narrow texts are copied once at the end.
class ConcatChain {
public:
    ConcatChain();
    ~ConcatChain() = default;
    ConcatChain(const ConcatChain&) = delete;
    ConcatChain& operator=(const ConcatChain&) = delete;
    // Joins the next evaluated operand (taken over). False with the error raised.
    bool add(Instance& inst, Value& out, Value& rhs);
    // Writes the joined text into `out`; after an error only drops what is pending.
    void finish(Instance& inst, Value& out);

private:
    static constexpr int kParts = 16;
    Value parts_[kParts];
    int n_ = 0;
};

// The precedence level binary operator `kw` belongs to (1 && ||, 2 & | ^, 3 relations and
// "=", 4 ":", 5 shifts, 6 + -, 7 * / mod, 8 **), 0 for a keyword that is none.
int eval_op_level(int kw);

// The compound assignment operators: the binary operator of "+=" and the like, -1 else.
int eval_compound_op(int kw);
// Does an assignment operator start at `p` (blanks first)? Reads no tokens.
bool eval_assignment_op_at(const char* p);
// Past the bracketed list starting at `p` ("[" after blanks), its brackets and quotes
// matched in the text; null when it does not close.
const char* eval_skip_brackets(const char* p);

// The value an assignment stores: the right side `rhs` (taken over), or with a compound
// operator `bin` (eval_compound_op) the current value `cur` combined with it. False with
// the error raised and `cur` released.
bool eval_assign_value(Instance& inst, Value& cur, Value& rhs, int bin);

// The current value of a variable that is the target of a compound assignment.
bool eval_fetch_var(Instance& inst, uint16_t frame, int32_t index, Value& out);
// Stores an assignment's value into a variable. With `discard` a value that holds no
// array, variant or buffer is handed over; otherwise the variable gets a copy and `out`
// receives the value (tagged with the variable).
void eval_store_var(Instance& inst, uint16_t frame, int32_t index, Value& v, bool discard, Value& out);

}  // namespace kel::interp
