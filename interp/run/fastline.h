// Compiled lines. A line without %substitution% that has run once has its token stream
// in the line cache; the common statement forms over it (assignments, calls, if/while
// conditions, return, the loop keywords) are turned into a small tree that runs without
// the tokenizer. Every node does what the token-driven ladder does at the same point:
// variables are found (or created) when their token would have been read, values are
// converted and errors raised by the same shared routines, so a compiled line behaves
// exactly like the text it came from. Whole-integer subtrees without calls first try a
// pure integer evaluation that touches nothing; when a value is anything else, the exact
// path runs from the start.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "interp/base/instance.h"
#include "interp/base/token_state.h"
#include "interp/base/value.h"

namespace kel::interp {

enum class FastKind : uint8_t {
    kAssign,     // name = expr, name op= expr
    kAssignPointer,  // *name = expr, *name op= expr: the target is the variable name points to
    kAssignElem,  // name[s1, ...] = expr, name[s1, ...] op= expr (the element node `target`)
    kExpr,       // an expression statement (a call)
    kIf,         // if cond then <tail>
    kIfBlock,    // if cond [then]
    kWhile,      // while cond
    kReturn,     // return [expr]
    kTo,         // to limit [by step]: a for line's test, where next comes back to
    kNext,       // next / endfor
    kEndWhile,
    kEndIf,
    kElse,       // block form
    kEndSwitch,  // endswitch / endselect
    kBreak,
    kContinue,
    kRaiseAfter,  // an assignment or expression statement (`raise_of`) that goes on past its
                  // expression: it runs up to the end of the expression, then raises 3074
    kBranchTail,  // then <tail> / else <tail> on a line of its own: the tail runs when the
                  // last one-line if gave `run_on`
    kFor,         // for name = expr <to line>: the `to` part compiled on its own (`tail`,
                  // starting at `tail_at`)
    kSwitch,      // switch expr / select expr
    kCase,        // case expr
};

struct FastNode {
    uint8_t kind = 0;
    bool pure = true;  // no calls below: the integer evaluation may try it
    int16_t op = -1;
    int32_t id = -1;  // keyword of a constant or a call
    int32_t ival = 0;
    double fval = 0;
    int32_t a = -1, b = -1;          // operands
    uint32_t first = 0, count = 0;   // argument / chain part list, or a string's text
    uint32_t depth = 0;              // nesting of the ladder's innermost level below
    uint32_t code = 0, code_end = 0; // the node's integer program in FastLine::code
    uint32_t stack = 0;              // the most values that program holds at once
};

// One step of the integer program of a node (postfix over a small stack).
struct FastOp {
    uint8_t op = 0;
    int32_t v = 0;  // constant, or variable slot
    int32_t c = 0;  // the constant of a step that reads a variable too
};

struct FastVar {
    char key[kMaxVarName + 1] = {};
    uint8_t len = 0;
    int32_t hint = -1;  // record index in the table last seen
    // The Instance::var_epoch at which the hint was last found to name this variable,
    // and its record then (valid as long as the epoch holds).
    mutable uint64_t epoch = 0;
    mutable VarRecord* rec = nullptr;
    // A name of up to 7 characters with its zero as one word, and which bytes count.
    uint64_t key8 = 0, mask8 = 0;
};

// What the main expression is, for the statements that try a shortcut first.
enum class FastForm : uint8_t {
    kOther,  // calls, strings, ...: the exact evaluation only
    kVar,    // a variable, in parentheses or not (its value carries the variable)
    kInt,    // a whole-number constant or pure integer operators: the integer program first
};

// A name argument of a special form, as its tokens were read: a variable, a pointer
// ("*name") or an element (the kNElem node `elem`); kNone for no name at all.
struct FastNameArg {
    uint8_t kind = 0;  // NameArg::Kind
    std::string name;
    int32_t elem = -1;
};

// An array of a compiled line, in the block the line was allocated with.
template <class T>
struct FastArray {
    T* p = nullptr;
    uint32_t n = 0;
    T& operator[](size_t i) const { return p[i]; }
    T* data() const { return p; }
    size_t size() const { return n; }
    bool empty() const { return n == 0; }
    T* begin() const { return p; }
    T* end() const { return p + n; }
};

// A compiled line is one allocation: the record, then its nodes, variables, integer
// program, lists and texts (made by fast_compile, freed by FastLineFree).
struct FastLine {
    FastKind kind = FastKind::kExpr;
    FastForm expr_form = FastForm::kOther;
    // The main expression as `variable` (small_op 0) or `variable op constant`, when it is
    // one of those over whole numbers (interp/run/fast_ops.h); small_var is -1 otherwise.
    uint8_t small_op = 0;
    int32_t small_var = -1;
    int32_t small_c = 0;
    uint32_t small_depth = 0;
    // Otherwise, a pure integer program (fast_eval_program): its steps in `code` and the
    // nesting of the expression.
    bool expr_program = false;
    const FastOp* prog = nullptr;
    const FastOp* prog_end = nullptr;
    uint32_t prog_depth = 0;
    // Or a whole-number constant.
    bool expr_const = false;
    int32_t const_value = 0;
    bool skip_ok = false;       // runs while a block is skipped (reads no token there)
    bool has_elems = false;     // elem_names is not empty
    FastKind raise_of = FastKind::kExpr;  // kRaiseAfter: the statement's own kind
    bool raise_bracket = false;           // ... and the token after its expression is "["
    int16_t bin = -1;           // binary operator of a compound assignment
    int32_t target = -1;        // variable slot of an assignment (kAssignElem: its node)
    int32_t expr = -1;          // main expression
    int32_t expr2 = -1;         // step of a `to` line
    FastLinePtr tail;  // the statement after `then`, when compiled
    uint16_t tail_at = 0;       // where that statement starts in the line
    int8_t run_on = 0;          // kBranchTail: 1 after then, 0 after else
    // Appending to the target in place: `s = s : a : b` with a narrow string in s.
    bool self_append = false;
    // A plain assignment whose expression has an integer form (fast_main_int) to try.
    bool int_store = false;
    // ... whose program ends by adding the target itself (fast_assign_whole).
    bool self_add = false;
    FastArray<FastNode> nodes;
    FastArray<FastOp> code;
    FastArray<int32_t> lists;
    FastArray<FastVar> vars;
    std::string_view texts;
    std::vector<std::string> elem_names;  // names read as arrays' (folded)
    std::vector<FastNameArg> name_args;
    // Keyword lookup depends on the functions defined so far and on the host table.
    size_t udf_count = 0;
    const void* host_table = nullptr;
    // The appended length of the target seen last, valid while the heap is unchanged.
    HeapOff append_off = 0;
    uint32_t append_len = 0;
    uint64_t append_epoch = 0;
};

// Compiles the statement starting at `at` in the cached line `lt` (its prepared text is
// lt.line). Null when the statement is not of a compiled form or its tokens are not all
// cached yet.
FastLinePtr fast_compile(const Instance& inst, const LineTokens& lt, uint16_t at);

// Can a statement starting with a token of `type` (keyword `kw`) be of a compiled form?
// False for the ones fast_compile never compiles.
bool fast_may_compile(const Instance& inst, uint8_t type, int kw);

// The statement after `then` at `at`: only assignments, calls, return, break and continue
// run compiled there.
FastLinePtr fast_compile_tail(const Instance& inst, const LineTokens& lt, uint16_t at);

// An expression of a compiled line, as eval_expression evaluates it without assignment.
void fast_eval_expression(Instance& inst, FastLine& f, int32_t e, Value& out);
// The same with `out` receiving a whole integer and nothing touched; false when the
// expression is not of that kind (then nothing happened).
bool fast_eval_int(Instance& inst, FastLine& f, int32_t e, int32_t* out);

// The main expression's integer program, for a line with expr_program set: the same
// as fast_eval_int without its checks of the expression's kind.
bool fast_eval_program(const Instance& inst, const FastLine& f, int32_t* out);

// The record of variable slot `slot` in the current table, found or created as the
// tokenizer finds or creates it where its token is read; -1 with the error raised.
int32_t fast_var_index(Instance& inst, FastLine& f, int32_t slot);

// True when the expression is a variable (in parentheses or not): its value carries the
// variable it came from, which the integer evaluation does not give.
bool fast_var_rooted(const FastLine& f, int32_t e);

// A variable holding a number, read as the ladder reads it; false (nothing touched) for
// any other expression or value.
bool fast_var_number(Instance& inst, FastLine& f, int32_t e, Value& out);

// The assignment and expression statements (not while skipping).
// Do the names the line reads as arrays' hold arrays now, as when it was compiled? When
// not, the line runs as text.
bool fast_elems_check(Instance& inst, const FastLine& f);
inline bool fast_elems_ok(Instance& inst, const FastLine& f) {
    return !f.has_elems || fast_elems_check(inst, f);
}

void fast_assign(Instance& inst, FastLine& f);
// fast_assign for a line with int_store set.
void fast_assign_whole(Instance& inst, FastLine& f);
void fast_assign_pointer(Instance& inst, FastLine& f);
void fast_assign_elem(Instance& inst, FastLine& f);
void fast_expr_statement(Instance& inst, FastLine& f);
void fast_raise_after(Instance& inst, FastLine& f);

}  // namespace kel::interp
