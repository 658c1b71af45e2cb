// The statement loop, line classification and every structure keyword.
#include "interp/run/exec.h"

#include <cstring>

#include "interp/data/convert.h"
#include "interp/run/errors.h"
#include "interp/run/eval.h"
#include "interp/run/fast_ops.h"
#include "interp/run/fastline.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/base/messages.h"
#include "interp/run/router.h"
#include "interp/front/textprep.h"
#include "interp/run/tokenizer.h"
#include "interp/run/udf.h"
#include "interp/data/vars.h"
#include "platform/fileio.h"
#include "platform/msgq.h"
#include "platform/process.h"

namespace kel::interp {

namespace {

constexpr uint8_t kFastTries = 8;  // compiling a line is tried this often, then left

// A compiled line that raises where the text stopped reading: it may be kept after the
// error its first run raised.
bool fast_raises(const FastLine& f) {
    return f.kind == FastKind::kRaiseAfter || ((f.kind == FastKind::kIf || f.kind == FastKind::kBranchTail) && f.tail &&
                                               f.tail->kind == FastKind::kRaiseAfter);
}

// One more try at compiling the line, when it has any left.
inline bool compile_try(LineTokens& lt) {
    if (lt.fast_tries >= kFastTries) return false;
    ++lt.fast_tries;
    return true;
}

// The form a statement has, for the count of text runs: its first word when that is a
// keyword, else what kind of statement a name starts.
std::string statement_form(const char* line) {
    const char* p = line;
    if (*p == '*') return "*pointer";
    size_t n = 0;
    while (is_name_char(static_cast<unsigned char>(p[n]))) ++n;
    std::string word(p, n);
    fold_name(word);
    if (n > 0 && find_builtin(word) >= 0) return word;
    return "(name statement)";
}

// Counts a statement run by the text evaluator under `reason`, when counting is on.
[[gnu::noinline]] void count_text_run(ExecState& ex, const char* reason, const char* line) {
    std::string key = reason;
    if (line) key += " " + statement_form(line);
    ++ex.text_runs->by_reason[key];
}

// A line starts: where it is, where the next one is, its text.
[[gnu::always_inline]] inline void begin_line(ExecState& ex, size_t first, size_t next, const char* text) {
    ex.line_pos = first;
    ex.next_pos = next;
    ex.jumped = false;
    ex.line_text = text;
}

// A return ends frame entry `e` (a function's or a called script's) at depth `i`: the
// entries from it on go, and that frame's statement loop stops.
[[gnu::always_inline]] inline void end_frame(ExecState& ex, const StructEntry& e, int i) {
    ex.breakable = e.saved_breakable;
    ex.depth = i;
    ex.return_pending = true;
}

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

inline StructEntry* top(ExecState& ex) { return ex.depth > 0 ? &ex.stack[ex.depth - 1] : nullptr; }

inline bool skipping(const ExecState& ex) { return ex.depth > 0 && ex.stack[ex.depth - 1].state != kStRun; }

inline bool at_end(const Instance& inst) { return inst.tok.type == kTokNone; }

// The rest of the line after the current token, its leading blanks passed over.
const char* rest_start(const Instance& inst) {
    const char* p = inst.tok.pos ? inst.tok.pos : "";
    while (is_blank(*p)) ++p;
    return p;
}

// Nothing but blanks or a comment left on the line (read position after the current token).
bool rest_is_empty(const Instance& inst) {
    const char* p = rest_start(inst);
    return *p == '\0' || *p == ';';
}

// The statement must end here: 3074 with the advice line.
bool expect_end(Instance& inst) {
    if (inst.error()) return false;
    if (at_end(inst)) return true;
    eval_raise_extra(inst, inst.tok.type == kTokKeyword && inst.tok.kw == Kw::LBracket);
    return false;
}

// Reads one expression starting with the next token.
bool eval_next(Instance& inst, Value& v, bool allow_assign, const char* line) {
    get_token(inst);
    if (inst.error()) return false;
    v = empty_value();
    eval_expression(inst, v, allow_assign, false, line);
    return inst.error() == 0;
}

// The rest of the statement is one expression and nothing else (while, switch, case).
bool eval_whole_rest(Instance& inst, Value& v, const char* line) {
    if (!eval_next(inst, v, false, line)) return false;
    if (at_end(inst)) return true;
    release_value(inst, v);
    expect_end(inst);
    return false;
}

// The condition of `if` and `elseif`, up to `then` or the end of the line (anything else
// after it is 3063); *then tells whether `then` follows.
bool eval_condition_to_then(Instance& inst, Value& v, const char* line, bool* then) {
    if (!eval_next(inst, v, false, line)) return false;
    *then = inst.tok.type == kTokKeyword && inst.tok.kw == Kw::Then;
    if (*then || at_end(inst)) return true;
    release_value(inst, v);
    inst.fail(Err::ThenNotFound).info(message_text(Err::InfoExtraPunct));
    return false;
}

// The value as a whole number (a float rounded) into *out, the value released; `error`
// when it is none.
bool take_int(Instance& inst, Value& v, Err error, int32_t* out) {
    bool ok = to_int(inst, v, true);
    if (ok) *out = v.i;
    release_value(inst, v);
    if (!ok && !inst.error()) inst.fail(error);
    return ok;
}

// A condition: integer (floats rounded), a float too large counts as true, anything
// else that does not convert is 3057.
bool condition_value(Instance& inst, Value& v, bool* truth) {
    if ((v.flags & kVtFloat) && !(v.flags & kVtInt)) {
        int32_t r;
        if (!round_to_int(v.f, &r)) {
            *truth = v.f != v.f ? false : true;
            release_value(inst, v);
            return true;
        }
    }
    int32_t i;
    if (!take_int(inst, v, Err::NotANumber, &i)) return false;
    *truth = i != 0;
    return true;
}

// Leaves an integer or a float form only; false when the value is not a number.
bool numeric_only(Instance& inst, Value& v) {
    if (v.flags & (kVtInt | kVtFloat)) {
        Value n = empty_value();
        if (v.flags & kVtInt) {
            n.flags = kVtInt;
            n.i = v.i;
        } else {
            n.flags = kVtFloat;
            n.f = v.f;
        }
        release_value(inst, v);
        v = n;
        return true;
    }
    if (v.flags & (kVtStr | kVtWide)) {
        std::string s = value_narrow_text(inst, v);
        int32_t i;
        double d;
        release_value(inst, v);
        v = empty_value();
        if (parse_int_string(s, &i)) {
            v.flags = kVtInt;
            v.i = i;
            return true;
        }
        if (parse_float_string(s, &d) == FloatParse::kOk) {
            v.flags = kVtFloat;
            v.f = d;
            return true;
        }
        return false;
    }
    release_value(inst, v);
    return false;
}

// The switch/case value: integers, floats only when whole for a case.
bool switch_value(Instance& inst, Value& v, bool allow_float, int32_t* out) {
    if (!allow_float && (v.flags & kVtFloat) && !(v.flags & kVtInt)) {
        release_value(inst, v);
        inst.fail(Err::SwitchNotInteger);
        return false;
    }
    if ((v.flags & (kVtStr | kVtWide)) && !(v.flags & (kVtInt | kVtFloat))) {
        std::string s = value_narrow_text(inst, v);
        int32_t i;
        release_value(inst, v);
        if (!parse_int_string(s, &i)) {
            inst.fail(Err::SwitchNotInteger);
            return false;
        }
        *out = i;
        return true;
    }
    return take_int(inst, v, Err::SwitchNotInteger, out);
}

// A start, limit or step of a `for` loop: 3361 when the value is not a number.
bool loop_number(Instance& inst, Value& v) {
    if (numeric_only(inst, v)) return true;
    inst.fail(Err::ForNotNumber);
    return false;
}

// The step of a `for` loop without `by`.
inline Value unit_step() {
    Value step = empty_value();
    step.flags = kVtInt;
    step.i = 1;
    return step;
}

void set_var_number(Instance& inst, int32_t idx, const Value& v) {
    if (idx < 0 || idx >= inst.cur_count || !inst.vars) return;
    VarRecord& r = inst.vars[idx];
    release_value(inst, r);
    r.flags = v.flags & (kVtInt | kVtFloat);
    r.i = v.i;
    r.f = v.f;
}

void exec_line(Instance& inst, const char* text, bool tail);

// The rest of a line that is not run, from `p`: a multi-line string constant that starts
// on it is read past (and checked) too, so that its lines are not taken for statements.
void discard_rest(Instance& inst, const char* p) {
    while (p && *p) {
        char c = *p;
        if (c == ';') return;
        if (c == '"' || c == '\'' || c == '`') {
            ++p;
            while (*p && !(*p == c && p[1] != c)) p += (*p == c) ? 2 : 1;
            if (*p) ++p;
            continue;
        }
        if (c == '$' && p[1] == '"') {
            inst.tok.pos = p + 2;
            read_multiline_string(inst, nullptr);
            if (inst.error()) return;
            p = inst.tok.pos;  // the rest of the closing line
            continue;
        }
        ++p;
    }
}

void expression_statement(Instance& inst, const char* line, bool deref) {
    Value v = empty_value();
    eval_expression(inst, v, true, deref, line, true);
    release_value(inst, v);
    expect_end(inst);
}

// The `to` part of a for line: limit, optional step, test. `from_next` adds the step.
// False when the `to` part has nothing to evaluate: no for loop (3362), or skipping.
bool for_to_begin(Instance& inst) {
    StructEntry* e = top(exec_state(inst));
    if (!e || e->kind != Kw::For) {
        inst.fail(Err::MisplacedTo);
        return false;
    }
    return !(e->state & (kStSkipAll | kStSkipBranch | kStBreak));
}

void for_to_finish(Instance& inst, Value& limit, Value& step, bool from_next);

void for_to(Instance& inst, const char* line, bool from_next) {
    if (!for_to_begin(inst)) return;
    Value limit;
    if (!eval_next(inst, limit, false, line) || !loop_number(inst, limit)) return;
    Value step = unit_step();
    if (!at_end(inst)) {
        if (!(inst.tok.type == kTokKeyword && inst.tok.kw == Kw::By)) {
            expect_end(inst);
            return;
        }
        if (!eval_next(inst, step, false, line) || !loop_number(inst, step) || !expect_end(inst)) return;
    }
    for_to_finish(inst, limit, step, from_next);
}

// Limit and step are numbers: steps the loop variable (from next) and tests it.
// The `to` test over whole numbers: coming from `next` the loop variable takes its step
// (wrapping at 32 bits); the loop goes on while the variable has not passed the limit.
[[gnu::always_inline]] inline bool int_loop_step(VarRecord& r, int32_t limit, int32_t step, bool from_next) {
    if (from_next) {
        r.i = s32(u32(r.i) + u32(step));
        r.flags = kVtInt;
        std::memset(r.variant, 0, sizeof r.variant);
    }
    return step < 0 ? limit <= r.i : limit >= r.i;
}

void for_to_finish(Instance& inst, Value& limit, Value& step, bool from_next) {
    ExecState& ex = exec_state(inst);
    StructEntry* e = top(ex);
    int32_t idx = e->value;
    if (limit.flags == kVtInt && step.flags == kVtInt && idx > 0 && idx < inst.cur_count &&
        (inst.vars[idx].flags & kPureIntMask) == kVtInt) {
        // Whole numbers throughout: the same steps without the general conversions.
        e->state = int_loop_step(inst.vars[idx], limit.i, step.i, from_next) ? kStRun : kStSkipBranch;
        return;
    }
    if (idx < 0 || idx >= inst.cur_count) {
        inst.fail(Err::ForNotNumber);
        return;
    }
    Value v = empty_value();
    const VarRecord& r = inst.vars[idx];
    if (r.flags & kVtInt) {
        v.flags = kVtInt;
        v.i = r.i;
    } else if (r.flags & kVtFloat) {
        v.flags = kVtFloat;
        v.f = r.f;
    } else {
        copy_value(inst, r, v);
        if (!loop_number(inst, v)) return;
    }
    bool negative = (step.flags & kVtInt) ? step.i < 0 : step.f < 0.0;
    if (from_next) {
        Value s2 = step;
        binary_op(inst, v, s2, Kw::Plus);
        if (inst.error()) return;
        set_var_number(inst, idx, v);
    }
    Value l2 = limit;
    int c = compare_values(inst, l2, v, negative ? Kw::LessEqual : Kw::GreaterEqual, false);
    release_value(inst, l2);
    release_value(inst, v);
    if (c < 0) return;
    e = top(ex);
    if (e) e->state = c ? kStRun : kStSkipBranch;
}

// The innermost structure, which must be of `kind`: nullptr with `error` raised else.
// A structure keyword forgets the last single-line `if` first.
StructEntry* innermost(Instance& inst, ExecState& ex, int32_t kind, Err error) {
    ex.last_if = -1;
    StructEntry* e = top(ex);
    if (e && e->kind == kind) return e;
    inst.fail(error);
    return nullptr;
}

// The statement after a single-line `then` or `else`: it runs when the last single-line
// `if` gave `run_on` (1 true, 0 false), else it is read past.
void branch_tail(Instance& inst, ExecState& ex, bool skip, int8_t run_on) {
    const char* tail = rest_start(inst);
    if (skip) return discard_rest(inst, tail);
    if (ex.last_if < 0) {
        inst.fail(Err::NoIfForThen);
        return;
    }
    if (rest_is_empty(inst)) return;
    if (ex.last_if == run_on)
        exec_line(inst, tail, true);
    else
        discard_rest(inst, tail);
}

// Opens the block of a block `if` whose condition gave `truth` (none while skipping).
void open_if_block(Instance& inst, bool skip, bool truth) {
    StructEntry* e = struct_push(inst, kKindIfThen);
    if (!e) return;
    e->state = skip ? kStSkipAll : (truth ? kStRun : kStSkipBranch);
}

// Opens a `while` block whose condition gave `truth`; `endwhile` comes back to this line.
void open_while(Instance& inst, ExecState& ex, bool skip, bool truth) {
    StructEntry* e = struct_push(inst, Kw::While);
    if (!e) return;
    e->state = skip ? kStSkipAll : (truth ? kStRun : kStSkipBranch);
    e->resume = static_cast<uint32_t>(ex.line_pos);
    ex.breakable = 1;
}

void do_if(Instance& inst, const char* line, bool skip) {
    ExecState& ex = exec_state(inst);
    ex.last_if = -1;
    bool truth = false;
    if (skip) {
        for (;;) {
            get_token(inst);
            if (inst.error()) return;
            if (at_end(inst) || (inst.tok.type == kTokKeyword && inst.tok.kw == Kw::Then)) break;
        }
    } else {
        Value v;
        bool then;
        if (!eval_condition_to_then(inst, v, line, &then) || !condition_value(inst, v, &truth)) return;
    }
    if (at_end(inst) || rest_is_empty(inst)) {
        open_if_block(inst, skip, truth);
        return;
    }
    const char* tail = rest_start(inst);
    if (skip || !truth) {
        discard_rest(inst, tail);
        if (skip) return;
    } else {
        exec_line(inst, tail, true);
    }
    exec_state(inst).last_if = truth ? 1 : 0;
}

void do_elseif(Instance& inst, const char* line) {
    ExecState& ex = exec_state(inst);
    StructEntry* e = innermost(inst, ex, kKindIfThen, Err::ElseIfNoIf);
    if (!e) return;
    if (e->state != kStSkipBranch) {
        if (e->state == kStRun) e->state = kStSkipAll;
        else e->state |= kStSkipAll;
        return;
    }
    Value v;
    bool then;
    if (!eval_condition_to_then(inst, v, line, &then)) return;
    if (then && !rest_is_empty(inst)) {
        release_value(inst, v);
        eval_raise_extra(inst, false);
        return;
    }
    bool truth;
    if (!condition_value(inst, v, &truth)) return;
    e = top(ex);
    if (truth && e) e->state = kStRun;
}

void do_else_block(Instance& inst);

void do_else(Instance& inst, bool skip) {
    ExecState& ex = exec_state(inst);
    // The single-line form relates to the last single-line `if`.
    if (!rest_is_empty(inst)) return branch_tail(inst, ex, skip, 0);
    do_else_block(inst);
}

void do_else_block(Instance& inst) {
    ExecState& ex = exec_state(inst);
    ex.last_if = -1;
    StructEntry* e = top(ex);
    if (!e) {
        inst.fail(Err::NoMatchingEnd);
        return;
    }
    if (e->kind != kKindIfThen) {
        inst.fail(Err::ElseNoIf);
        return;
    }
    if (e->state == kStRun) e->state = kStSkipBranch;
    else if (e->state == kStSkipBranch) e->state = kStRun;
    e->kind = kKindIfElse;
}

void do_then(Instance& inst, bool skip) { branch_tail(inst, exec_state(inst), skip, 1); }

void do_endif(Instance& inst) {
    ExecState& ex = exec_state(inst);
    ex.last_if = -1;
    StructEntry* e = top(ex);
    if (!e || (e->kind != kKindIfThen && e->kind != kKindIfElse)) {
        inst.fail(Err::EndNoMatch);
        return;
    }
    uint8_t bits = e->state & (kStContinue | kStBreak);
    struct_pop(inst);
    if (bits) {
        StructEntry* t = top(ex);
        if (!t) {
            inst.fail(Err::BreakContinueOutside);
            return;
        }
        t->state |= bits;
    }
}

void do_while(Instance& inst, const char* line, bool skip) {
    ExecState& ex = exec_state(inst);
    ex.last_if = -1;
    bool truth = false;
    if (!skip) {
        Value v;
        if (!eval_whole_rest(inst, v, line) || !condition_value(inst, v, &truth)) return;
    }
    open_while(inst, ex, skip, truth);
}

void do_endwhile(Instance& inst) {
    ExecState& ex = exec_state(inst);
    StructEntry* e = innermost(inst, ex, Kw::While, Err::EndNoMatch);
    if (!e) return;
    if (!(e->state & (kStSkipBranch | kStSkipAll | kStBreak))) {
        ex.next_pos = e->resume;
        ex.jumped = true;
    }
    struct_pop(inst);
}

// A loop met while skipping: pushed only to keep its `next` matched.
void push_skipped_loop(Instance& inst, int32_t kind) {
    StructEntry* e = struct_push(inst, kind);
    if (!e) return;
    e->state = kStSkipAll;
    exec_state(inst).breakable = 1;
}

// The loop variable after `for` or `foreach` into *idx; false with `syntax_error` (or the
// tokenizer's error) when there is none, and false when skipping (the loop is pushed).
bool read_loop_variable(Instance& inst, bool skip, int32_t kind, Err syntax_error, int32_t* idx) {
    if (skip) {
        push_skipped_loop(inst, kind);
        return false;
    }
    get_token(inst);
    if (inst.error()) return false;
    if (inst.tok.type != kTokVariable) {
        inst.fail(syntax_error);
        return false;
    }
    *idx = inst.tok.var_index;
    return true;
}

bool open_for(Instance& inst, ExecState& ex, int32_t idx, size_t to_off);

void do_for(Instance& inst, const char* line, bool skip) {
    ExecState& ex = exec_state(inst);
    ex.last_if = -1;
    int32_t idx = -1;
    if (!read_loop_variable(inst, skip, Kw::For, Err::ForSyntax, &idx)) return;
    get_token(inst);
    if (inst.error()) return;
    if (!(inst.tok.type == kTokKeyword && inst.tok.kw == Kw::Assign)) {
        inst.fail(Err::ForSyntax);
        return;
    }
    Value start;
    if (!eval_next(inst, start, false, line) || !loop_number(inst, start)) return;
    set_var_number(inst, idx, start);
    if (!(inst.tok.type == kTokKeyword && inst.tok.kw == Kw::To)) {
        inst.fail(Err::ForSyntax);
        return;
    }
    if (!open_for(inst, ex, idx, static_cast<size_t>(inst.tok.start - line))) return;
    for_to(inst, line, false);
}

// The loop of a `for` line opens on variable record `idx`, its `to` at `to_off` in the
// prepared line: next comes back to where `to` stands in the script text.
bool open_for(Instance& inst, ExecState& ex, int32_t idx, size_t to_off) {
    size_t resume = ex.line_pos + to_off;
    if (ex.line_substituted || resume >= ex.script->text.size() ||
        !starts_with_ci(std::string_view(ex.script->text).substr(resume), "to")) {
        // The prepared line differs from the script text: find the word in the raw line.
        std::string_view raw(ex.script->text);
        size_t eol = raw.find('\n', ex.line_pos);
        if (eol == std::string_view::npos) eol = raw.size();
        resume = eol;
        for (size_t p = ex.line_pos; p + 2 <= eol; ++p) {
            if (starts_with_ci(raw.substr(p), "to") && p > ex.line_pos && is_blank(raw[p - 1]) &&
                (p + 2 == eol || is_blank(raw[p + 2]))) {
                resume = p;
                break;
            }
        }
    }
    StructEntry* e = struct_push(inst, Kw::For);
    if (!e) return false;
    e->value = idx;
    e->resume = static_cast<uint32_t>(resume);
    ex.breakable = 1;
    return true;
}

void next_end(Instance& inst, ExecState& ex);

// `next`: a loop that runs goes back to its test (inline in the compiled lane), any other
// ends (next_end).
[[gnu::always_inline]] inline void next_step(Instance& inst, ExecState& ex) {
    ex.last_if = -1;
    StructEntry* e = top(ex);
    if (e && (e->kind == Kw::For || e->kind == Kw::ForEach) && !(e->state & (kStSkipBranch | kStSkipAll | kStBreak))) {
        e->state = kStRun;
        ex.next_pos = e->resume;
        ex.jumped = true;
        ex.for_resume = e->kind == Kw::For;
        return;
    }
    next_end(inst, ex);
}

[[gnu::noinline]] void next_end(Instance& inst, ExecState& ex) {
    StructEntry* e = top(ex);
    if (!e || (e->kind != Kw::For && e->kind != Kw::ForEach)) {
        inst.fail(Err::EndNoMatch);
        return;
    }
    struct_pop(inst);
}

void do_next(Instance& inst) { next_step(inst, exec_state(inst)); }

void do_foreach(Instance& inst, const char* line, bool skip) {
    ExecState& ex = exec_state(inst);
    ex.last_if = -1;
    StructEntry* t = top(ex);
    if (t && t->kind == Kw::ForEach && t->line_pos == ex.line_pos && t->script == ex.script) {
        // A further pass: there is no enumerator to advance without the object layer.
        t->state = kStSkipBranch;
        return;
    }
    int32_t idx = -1;
    if (!read_loop_variable(inst, skip, Kw::ForEach, Err::ForEachSyntax, &idx)) return;
    get_string_token(inst);
    if (inst.error()) return;
    if (!(inst.tok.text[0] && (inst.tok.text[0] | 0x20) == 'i' && (inst.tok.text[1] | 0x20) == 'n' &&
          inst.tok.text[2] == '\0')) {
        inst.fail(Err::ForEachSyntax);
        return;
    }
    StructEntry* e = struct_push(inst, Kw::ForEach);
    if (!e) return;
    e->value = idx;
    e->resume = static_cast<uint32_t>(ex.line_pos);
    ex.breakable = 1;
    Value v;
    if (!eval_next(inst, v, false, line)) return;
    if (!expect_end(inst)) {
        release_value(inst, v);
        return;
    }
    bool object = (v.flags & kVtVariant) != 0;
    release_value(inst, v);
    // Collections are automation objects, and there is no automation layer here.
    inst.fail(Err::ForEachSyntax).info(message_text(object ? Err::InfoNoCollections : Err::InfoNotCollection));
}

// A switch opens with its value (none while skipping).
void open_switch(Instance& inst, ExecState& ex, bool skip, int32_t value) {
    StructEntry* e = struct_push(inst, Kw::Switch);
    if (!e) return;
    e->state = skip ? kStSkipAll : kStSkipBranch;
    e->value = value;
    ex.breakable = 1;
}

void do_switch(Instance& inst, const char* line, bool skip) {
    ExecState& ex = exec_state(inst);
    ex.last_if = -1;
    int32_t value = 0;
    if (!skip) {
        Value v;
        if (!eval_whole_rest(inst, v, line) || !switch_value(inst, v, false, &value)) return;
    }
    open_switch(inst, ex, skip, value);
}

// Does a case line evaluate its value: is its switch looking for a branch? CaseNoSwitch
// when there is no switch.
bool case_wanted(Instance& inst, ExecState& ex) {
    StructEntry* e = innermost(inst, ex, Kw::Switch, Err::CaseNoSwitch);
    return e && (e->state == kStSkipBranch || e->state == kStContinue);
}

// A case's value that matches the switch's runs its branch.
void case_matched(ExecState& ex, int32_t value) {
    StructEntry* e = top(ex);
    if (e && value == e->value) e->state = kStRun;
}

void do_case(Instance& inst, const char* line) {
    ExecState& ex = exec_state(inst);
    if (!case_wanted(inst, ex)) return;
    Value v;
    int32_t value;
    if (!eval_whole_rest(inst, v, line) || !switch_value(inst, v, true, &value)) return;
    case_matched(ex, value);
}

void do_endswitch(Instance& inst) {
    if (innermost(inst, exec_state(inst), Kw::Switch, Err::EndNoMatch)) struct_pop(inst);
}

void do_break(Instance& inst, bool cont, bool skip) {
    ExecState& ex = exec_state(inst);
    ex.last_if = -1;
    if (skip) return;
    if (!ex.breakable) {
        inst.fail(cont ? Err::ContinueOutside : Err::BreakOutside);
        return;
    }
    StructEntry* e = top(ex);
    if (e) e->state = cont ? kStContinue : kStBreak;
}

// The label word of goto/gosub: the rest of the line up to a blank or comment.
std::string read_label(Instance& inst) {
    const char* p = rest_start(inst);
    const char* s = p;
    while (*p && !is_blank(*p) && *p != ';') ++p;
    std::string label(s, static_cast<size_t>(p - s));
    inst.tok.pos = p;
    return label;
}

bool in_foreach(const ExecState& ex, uint16_t frame) {
    for (int i = ex.depth - 1; i >= 0; --i) {
        const StructEntry& e = ex.stack[i];
        if (e.kind == kKindFunction || e.kind == kKindCalledScript) break;
        if (e.kind == Kw::ForEach && e.frame == frame) return true;
    }
    return false;
}

void do_goto(Instance& inst) {
    ExecState& ex = exec_state(inst);
    ex.last_if = -1;
    if (in_foreach(ex, inst.cur_frame)) {
        inst.fail(Err::GotoInForEach);
        return;
    }
    std::string label = read_label(inst);
    if (label.empty()) {
        inst.fail(Err::LabelNotSpecified);
        return;
    }
    int64_t target = find_label(inst, *ex.script, label);
    if (target < 0) return;
    ex.next_pos = static_cast<size_t>(target);
    ex.jumped = true;
}

void do_gosub(Instance& inst, bool skip) {
    ExecState& ex = exec_state(inst);
    int8_t saved_if = ex.last_if;
    ex.last_if = -1;
    if (skip) return;
    std::string label = read_label(inst);
    if (label.empty()) {
        inst.fail(Err::LabelNotSpecified);
        return;
    }
    get_token(inst);
    if (!expect_end(inst)) return;
    StructEntry* e = struct_push(
        inst, saved_if == 0 ? kKindGosubFalse : saved_if == 1 ? kKindGosubTrue : kKindGosubNone);
    if (!e) return;
    e->resume = static_cast<uint32_t>(ex.next_pos);
    e->saved_if = saved_if;
    ex.breakable = 0;
    int64_t target = find_label(inst, *ex.script, label);
    if (target < 0) {
        struct_pop(inst);
        return;
    }
    ex.next_pos = static_cast<size_t>(target);
    ex.jumped = true;
}

void return_value(Instance& inst, Value& v, bool given);

void do_return(Instance& inst, const char* line, bool skip) {
    if (skip) return;
    Value v = empty_value();
    bool given = false;
    get_token(inst);
    if (inst.error()) return;
    if (!at_end(inst)) {
        eval_expression(inst, v, false, false, line);
        if (inst.error()) return;
        if (!expect_end(inst)) {
            release_value(inst, v);
            return;
        }
        given = true;
    } else {
        v.flags = kVtInt;
        v.i = 0;
    }
    return_value(inst, v, given);
}

// Ends the innermost gosub (a value there is 1760) or function / called-script frame.
void return_value(Instance& inst, Value& v, bool given) {
    ExecState& ex = exec_state(inst);
    for (int i = ex.depth - 1; i >= 0; --i) {
        StructEntry& e = ex.stack[i];
        if (e.kind == kKindGosubFalse || e.kind == kKindGosubTrue || e.kind == kKindGosubNone) {
            if (given) {
                release_value(inst, v);
                inst.fail(Err::GosubReturnValue);
                return;
            }
            ex.next_pos = e.resume;
            ex.jumped = true;
            ex.breakable = e.saved_breakable;
            ex.last_if = e.saved_if;
            ex.depth = i;
            return;
        }
        if (e.kind == kKindFunction || e.kind == kKindCalledScript) {
            release_value(inst, ex.ret_value);
            copy_value_fields(ex.ret_value, v);
            end_frame(ex, e, i);
            return;
        }
    }
    release_value(inst, v);
}

void do_execute(Instance& inst) {
    ExecState& ex = exec_state(inst);
    const char* tail = rest_start(inst);
    if (!*tail) return;
    exec_line(inst, tail, true);
    uint16_t c = inst.error();
    if (c == 0 || !(c < 9000 || c == Err::ShownUserEnded || c == Err::ShownInFunction || c == Err::UserErrorReported)) return;
    if (ex.execute_display != 2) {
        std::string text = "EXECUTE::" + message_text_or_number(c);
        uint32_t type = (ex.execute_display == 1 ? platform::kMbOk : platform::kMbOkCancel) | 0x30;
        int answer = platform::message_box(text.c_str(), ex.script ? ex.script->file.c_str() : "", type);
        if (answer == platform::kIdCancel) {
            inst.fail(Err::ShownUserEnded);
            inst.real_code = 999;
            return;
        }
    }
    inst.clear_error();
    inst.add_info.clear();
}

void structure(Instance& inst, int kw, const char* line, bool skip) {
    switch (kw) {
    case Kw::If: do_if(inst, line, skip); return;
    case Kw::Then: do_then(inst, skip); return;
    case Kw::ElseIf:
        if (top(exec_state(inst)) && top(exec_state(inst))->kind == kKindIfThen)
            do_elseif(inst, line);
        else
            inst.fail(Err::ElseIfNoIf);
        return;
    case Kw::Else: do_else(inst, skip); return;
    case Kw::EndIf: do_endif(inst); return;
    case Kw::While: do_while(inst, line, skip); return;
    case Kw::EndWhile: do_endwhile(inst); return;
    case Kw::For: do_for(inst, line, skip); return;
    case Kw::To: for_to(inst, line, exec_state(inst).for_resume); return;
    case Kw::Next:
    case Kw::EndFor: do_next(inst); return;
    case Kw::ForEach: do_foreach(inst, line, skip); return;
    case Kw::Switch:
    case Kw::Select: do_switch(inst, line, skip); return;
    case Kw::Case: do_case(inst, line); return;
    case Kw::EndSwitch:
    case Kw::EndSelect: do_endswitch(inst); return;
    case Kw::Break: do_break(inst, false, skip); return;
    case Kw::Continue: do_break(inst, true, skip); return;
    case Kw::Gosub: do_gosub(inst, skip); return;
    case Kw::Return: do_return(inst, line, skip); return;
    case Kw::End: {
        get_token(inst);
        if (inst.error()) return;
        int k = inst.tok.type == kTokKeyword ? inst.tok.kw : -1;
        if (k == Kw::If) do_endif(inst);
        else if (k == Kw::While) do_endwhile(inst);
        else if (k == Kw::For) do_next(inst);
        else if (k == Kw::Switch || k == Kw::Select) do_endswitch(inst);
        else inst.fail(Err::EndUnidentified);
        return;
    }
    default:
        inst.fail(Err::CommandNotDefined);
        return;
    }
}

void command(Instance& inst, int kw) {
    ExecState& ex = exec_state(inst);
    switch (kw) {
    case Kw::Exit:
        ex.last_if = -1;
        inst.fail(Err::Exit);
        return;
    case Kw::Beep:
        return;  // no sound device behind a web server
    case Kw::Execute: do_execute(inst); return;
    case Kw::Goto: do_goto(inst); return;
    case Kw::Yield:
        platform::pump_messages();
        return;
    default:
        inst.fail(Err::CommandNotDefined);
        return;
    }
}

bool is_host_command(const Instance& inst, int kw) {
    return kw >= kHostIdFirst && kw <= kHostIdLast && inst.host_table &&
           inst.host_table[kw - kHostIdFirst].kind == kCommand;
}

// A host keyword of the command kind: its argument, when the host's record takes one, is
// the rest of the line as it stands; the host gives no result.
void host_command(Instance& inst, int kw) {
    const KeywordRecord& r = inst.host_table[kw - kHostIdFirst];
    const char* rest = rest_start(inst);
    bool has_arg = *rest && *rest != ';';
    Value arg = empty_value();
    int argc = 0;
    if (has_arg) {
        if (r.u.args.required == 0 && r.u.args.optional == 0) {
            get_token(inst);
            expect_end(inst);
            return;
        }
        HeapOff off = heap_strdup_or_fail(inst, rest);
        if (!off) return;
        arg.str = off;
        arg.flags = kVtStr;
        argc = 1;
    } else if (r.u.args.required > 0) {
        inst.fail(Err::WrongArgCount);
        return;
    }
    Value result = empty_value();
    call_builtin(inst, kw, result, argc ? &arg : nullptr, argc, true, 0);
    release_value(inst, result);
    release_value(inst, arg);
}

void exec_line(Instance& inst, const char* text, bool tail) {
    ExecState& ex = exec_state(inst);
    bool skip = skipping(ex);
    bool resume_to = ex.for_resume;
    ex.for_resume = false;
    token_begin(inst, text);
    get_token(inst);
    if (inst.error()) return;
    if (text[0] == '*' && inst.tok.type == kTokKeyword && inst.tok.kw == Kw::Star) {
        if (skip) return;
        expression_statement(inst, text, true);
        return;
    }
    if (inst.tok.type == kTokNone) {
        if (!skip) inst.fail(Err::IncompleteStatement);
        return;
    }
    if (inst.tok.type == kTokKeyword) {
        int kw = inst.tok.kw;
        if (kw >= 0 && kw < kKeywordCount) {
            int32_t kind = keyword(kw).kind;
            if (kind == kStruct) {
                if (kw == Kw::To) {
                    ex.for_resume = resume_to;
                    structure(inst, kw, text, skip);
                    ex.for_resume = false;
                    return;
                }
                structure(inst, kw, text, skip);
                return;
            }
            if (kind == kCommand) {
                if (skip) return discard_rest(inst, inst.tok.pos);
                command(inst, kw);
                return;
            }
        } else if (is_host_command(inst, kw)) {
            if (skip) return discard_rest(inst, inst.tok.pos);
            host_command(inst, kw);
            return;
        }
    }
    if (skip) {
        discard_rest(inst, inst.tok.start);
        return;
    }
    expression_statement(inst, text, false);
}

// ---- Compiled lines ---------------------------------------------------------------

// A condition of a compiled line: whole integers straight, anything else exactly as the
// text would evaluate it.
[[gnu::noinline]] bool fast_condition_exact(Instance& inst, FastLine& f, bool* truth) {
    Value v;
    fast_eval_expression(inst, f, f.expr, v);
    if (inst.error()) return false;
    return condition_value(inst, v, truth);
}

[[gnu::always_inline]] inline bool fast_condition(Instance& inst, FastLine& f, bool* truth) {
    int32_t x;
    if (fast_main_int(inst, f, &x)) {
        *truth = x != 0;
        return true;
    }
    return fast_condition_exact(inst, f, truth);
}

// A number for the `to` part; 3361 when it is not one.
bool fast_number(Instance& inst, FastLine& f, int32_t e, Value& v) {
    int32_t x;
    if (fast_eval_int(inst, f, e, &x)) {
        v = empty_value();
        v.flags = kVtInt;
        v.i = x;
        return true;
    }
    fast_eval_expression(inst, f, e, v);
    return !inst.error() && loop_number(inst, v);
}

// The `to` test with whole numbers and step 1: the loop variable goes up by one (coming
// from next) and is tested. False when the line needs the general path.
[[gnu::always_inline]] inline bool fast_to_int(Instance& inst, ExecState& ex, FastLine& f, bool resume_to) {
    StructEntry* e = top(ex);
    int32_t lim = f.const_value;
    if (f.expr2 >= 0 || !e || e->kind != Kw::For || (e->state & (kStSkipAll | kStSkipBranch | kStBreak)) ||
        e->value <= 0 || e->value >= inst.cur_count || (inst.vars[e->value].flags & kPureIntMask) != kVtInt ||
        (!f.expr_const && !fast_main_int(inst, f, &lim)))
        return false;
    e->state = int_loop_step(inst.vars[e->value], lim, 1, resume_to) ? kStRun : kStSkipBranch;
    ex.for_resume = false;
    return true;
}

void exec_fast(Instance& inst, FastLine& f, LineTokens& lt, char* line);
// return [value], not skipping.
void fast_return(Instance& inst, FastLine& f) {
    // `return variable` holding a number, with the function's own entry on top: the value
    // goes straight to the frame's result, as return_value would put it there.
    ExecState& ex = *inst.exec;
    if (f.expr_form == FastForm::kVar && ex.depth > 0) {
        StructEntry& e = ex.stack[ex.depth - 1];
        if (e.kind == kKindFunction || e.kind == kKindCalledScript) {
            release_value(inst, ex.ret_value);
            if (fast_var_number(inst, f, f.expr, ex.ret_value)) {
                end_frame(ex, e, ex.depth - 1);
                return;
            }
        }
    }
    Value v = empty_value();
    int32_t x;
    if (f.expr < 0) {
        v.flags = kVtInt;
        v.i = 0;
    } else if (f.expr_form == FastForm::kVar ? fast_var_number(inst, f, f.expr, v)
               : f.expr_form == FastForm::kInt ? fast_main_int(inst, f, &x)
                                               : false) {
        if (!(v.flags & (kVtInt | kVtFloat))) {
            v.flags = kVtInt;
            v.i = x;
        }
    } else {
        fast_eval_expression(inst, f, f.expr, v);
        if (inst.error()) return;
    }
    return_value(inst, v, f.expr >= 0);
}

void fast_if(Instance& inst, ExecState& ex, FastLine& f, LineTokens& lt, char* line);


// The statement after `then`: compiled, or read from the text (which then caches its
// tokens, so that it compiles next time).
void fast_tail_text(Instance& inst, FastLine& f, LineTokens& lt, char* line);

// A call, break or continue after `then`, out of line so that the commoner tails keep
// fast_if small.
[[gnu::noinline]] void fast_tail_statement(Instance& inst, ExecState& ex, FastLine& t) {
    if (t.kind == FastKind::kBreak || t.kind == FastKind::kContinue)
        do_break(inst, t.kind == FastKind::kContinue, skipping(ex));
    else
        fast_expr_statement(inst, t);
}

[[gnu::always_inline]] inline void fast_tail(Instance& inst, FastLine& f, LineTokens& lt, char* line) {
    if (f.tail && fast_elems_ok(inst, *f.tail)) {
        // A statement after `then` runs as exec_line runs one: never skipping, no for resume.
        FastLine& t = *f.tail;
        ExecState& ex = exec_state(inst);
        ex.for_resume = false;
        ++ex.compiled_tails;
        if (t.kind == FastKind::kAssign)
            fast_assign(inst, t);
        else if (t.kind == FastKind::kReturn)
            fast_return(inst, t);
        else if (t.kind == FastKind::kAssignPointer)
            fast_assign_pointer(inst, t);
        else if (t.kind == FastKind::kAssignElem)
            fast_assign_elem(inst, t);
        else if (t.kind == FastKind::kRaiseAfter)
            fast_raise_after(inst, t);
        else
            fast_tail_statement(inst, ex, t);
        return;
    }
    fast_tail_text(inst, f, lt, line);
}

// The statement after `then` or `else` read from the text.
[[gnu::noinline]] void fast_tail_text(Instance& inst, FastLine& f, LineTokens& lt, char* line) {
    size_t len = lt.line.size();
    std::memcpy(line, lt.line.data(), len);
    line[len] = '\0';
    ExecState& ex = exec_state(inst);
    ex.line_text = line;
    token_cache_line(inst, &lt, line, len);
    if (ex.text_runs) [[unlikely]]
        count_text_run(ex, lt.fast_tries == 0 ? "tail, not yet compiled:" : "tail, form not compiled:", line + f.tail_at);
    exec_line(inst, line + f.tail_at, true);
    if (compile_try(lt)) {
        // After an error only a statement that raises where the text stopped compiles.
        FastLinePtr t = fast_compile_tail(inst, lt, f.tail_at);
        if (!inst.error() || (t && fast_raises(*t))) f.tail = std::move(t);
    }
}

void fast_if(Instance& inst, ExecState& ex, FastLine& f, LineTokens& lt, char* line) {
    ex.last_if = -1;
    bool truth;
    if (!fast_condition(inst, f, &truth)) return;
    if (truth) fast_tail(inst, f, lt, line);
    ex.last_if = truth ? 1 : 0;
}

// A compiled `to` line (`resume_to`: coming from next).
void fast_to(Instance& inst, ExecState& ex, FastLine& f, bool resume_to) {
    ex.for_resume = resume_to;
    if (fast_to_int(inst, ex, f, resume_to)) return;
    bool from_next = resume_to;
    if (for_to_begin(inst)) {
        Value limit, step = unit_step();
        if (fast_number(inst, f, f.expr, limit) && (f.expr2 < 0 || fast_number(inst, f, f.expr2, step)))
            for_to_finish(inst, limit, step, from_next);
    }
    ex.for_resume = false;
}

// Runs a compiled line as exec_line runs its text.
void exec_fast(Instance& inst, FastLine& f, LineTokens& lt, char* line) {
    ExecState& ex = *inst.exec;
    bool skip = skipping(ex);
    bool resume_to = ex.for_resume;
    ex.for_resume = false;
    switch (f.kind) {
        case FastKind::kAssign: fast_assign(inst, f); return;
        case FastKind::kAssignPointer: fast_assign_pointer(inst, f); return;
        case FastKind::kAssignElem: fast_assign_elem(inst, f); return;
        case FastKind::kRaiseAfter: fast_raise_after(inst, f); return;
        case FastKind::kExpr: fast_expr_statement(inst, f); return;
        case FastKind::kNext: do_next(inst); return;
        case FastKind::kEndWhile: do_endwhile(inst); return;
        case FastKind::kEndIf: do_endif(inst); return;
        case FastKind::kElse: do_else_block(inst); return;
        case FastKind::kEndSwitch: do_endswitch(inst); return;
        case FastKind::kBreak: do_break(inst, false, skip); return;
        case FastKind::kContinue: do_break(inst, true, skip); return;
        case FastKind::kReturn:
            if (!skip) fast_return(inst, f);
            return;
        case FastKind::kTo: fast_to(inst, ex, f, resume_to); return;
        case FastKind::kFor: {
            // As do_for runs the line, its `to` part the compiled `to` line.
            ex.last_if = -1;
            if (skip) {
                push_skipped_loop(inst, Kw::For);
                return;
            }
            int32_t idx = fast_var_index(inst, f, f.target);
            if (inst.error()) return;
            Value start;
            fast_eval_expression(inst, f, f.expr, start);
            if (inst.error() || !loop_number(inst, start)) return;
            set_var_number(inst, idx, start);
            if (open_for(inst, ex, idx, f.tail_at)) fast_to(inst, ex, *f.tail, false);
            return;
        }
        case FastKind::kWhile:
        case FastKind::kIfBlock: {
            ex.last_if = -1;
            bool truth;
            if (!fast_condition(inst, f, &truth)) return;
            if (f.kind == FastKind::kWhile)
                open_while(inst, ex, false, truth);
            else
                open_if_block(inst, false, truth);
            return;
        }
        case FastKind::kIf: fast_if(inst, ex, f, lt, line); return;
        case FastKind::kSwitch: {
            ex.last_if = -1;
            int32_t value = 0;
            if (!skip) {
                Value v;
                fast_eval_expression(inst, f, f.expr, v);
                if (inst.error() || !switch_value(inst, v, false, &value)) return;
            }
            open_switch(inst, ex, skip, value);
            return;
        }
        case FastKind::kCase: {
            if (!case_wanted(inst, ex)) return;
            Value v;
            int32_t value;
            fast_eval_expression(inst, f, f.expr, v);
            if (inst.error() || !switch_value(inst, v, true, &value)) return;
            case_matched(ex, value);
            return;
        }
        case FastKind::kBranchTail:
            // As branch_tail runs it, never while skipping.
            if (ex.last_if < 0)
                inst.fail(Err::NoIfForThen);
            else if (ex.last_if == f.run_on)
                fast_tail(inst, f, lt, line);
            else
                discard_rest(inst, lt.line.c_str() + f.tail_at);
            return;
    }
}

// The line of `s` at `pos`, its leading blanks passed over; `pos` moves past its end.
std::string_view next_script_line(const Script& s, size_t& pos) {
    size_t p = pos;
    while (p < s.text.size() && is_blank(s.text[p])) ++p;
    size_t eol = s.text.find('\n', p);
    if (eol == std::string::npos) eol = s.text.size();
    pos = eol + 1;
    return std::string_view(s.text.data() + p, eol - p);
}

// `label` is folded already; the line's word folds the same way.
bool label_matches(std::string_view line, std::string_view label) {
    if (line.size() < 1 + label.size() || line[0] != ':') return false;
    std::string word(line.substr(1, label.size()));
    fold_name(word);
    if (word != label) return false;
    if (line.size() == 1 + label.size()) return true;
    char c = line[1 + label.size()];
    return c == ' ' || c == '\t' || c == ';';
}

}  // namespace

ExecState& exec_state_create(Instance& inst) {
    if (!inst.exec) {
        inst.exec = std::make_shared<ExecState>();
        // Differential tests compare runs with and without the token cache.
        std::string v;
        inst.exec->line_cache_off = platform::env_get("KEL_TOKEN_CACHE", &v) && v == "0";
        if (platform::env_get("KEL_EVAL_COUNT", &v) && !v.empty()) {
            inst.exec->text_runs = std::make_unique<ExecState::TextRuns>();
            inst.exec->text_runs->path = v;
        }
    }
    return *inst.exec;
}

ScriptState& script_state(Instance& inst) { return exec_state(inst); }

void struct_pop(Instance& inst) {
    ExecState& ex = exec_state(inst);
    if (ex.depth <= 0) return;
    ex.breakable = ex.stack[--ex.depth].saved_breakable;
}

int64_t find_label(Instance& inst, const Script& s, std::string_view label) {
    std::string key(label);
    fold_name(key);
    auto it = s.labels.find(key);
    if (it != s.labels.end()) return it->second;
    size_t pos = 0;
    bool in_def = false;
    while (pos < s.text.size()) {
        std::string_view line = next_script_line(s, pos);
        if (!line.empty() && line[0] == '#') {
            if (starts_with_ci(line, "#definefunction") || starts_with_ci(line, "#definesubroutine")) in_def = true;
            else if (starts_with_ci(line, "#endfunction") || starts_with_ci(line, "#endsubroutine")) in_def = false;
            continue;
        }
        if (in_def) continue;
        if (label_matches(line, key)) {
            uint32_t target = static_cast<uint32_t>(pos > s.text.size() ? s.text.size() : pos);
            s.labels.emplace(key, target);
            return target;
        }
    }
    inst.fail(Err::LabelNotFound);
    return -1;
}

void exec_begin_run(Instance& inst) {
    ExecState& ex = exec_state(inst);
    if (inst.host_table != ex.lane_host_table) {
        // Only an entry point sets the host's table, and each run starts here.
        ex.lane_host_table = inst.host_table;
        ++ex.lane_epoch;
    }
    ex.depth = 0;
    ex.breakable = 0;
    ex.last_if = -1;
    ex.error_display = 1;
    ex.handlers = HandlerState{};
    ex.stop_reported = false;
    ex.return_pending = false;
    ex.cur_udf = -1;
    ex.call_level = 0;
}

void exec_statement(Instance& inst, const char* text) { exec_line(inst, text, true); }

void text_runs_flush(Instance& inst) {
    if (!inst.exec || !inst.exec->text_runs) return;
    ExecState::TextRuns& c = *inst.exec->text_runs;
    std::string out;
    for (const auto& [reason, n] : c.by_reason) out += reason + "\t" + std::to_string(n) + "\n";
    c.by_reason.clear();
    if (!out.empty()) platform::file_append_locked(c.path.c_str(), out, 1000);
}

namespace {

constexpr size_t kMaxCachedLines = 1 << 16;

LineTokens* line_tokens(ExecState& ex, const Script& s, size_t first) {
    if (ex.line_cache_off) return nullptr;
    uint64_t key = reinterpret_cast<uintptr_t>(&s) ^ (static_cast<uint64_t>(first) * 0x9E3779B97F4A7C15ull);
    auto it = ex.line_cache.find(key);
    if (it != ex.line_cache.end()) return it->second.get();
    if (ex.line_cache.size() >= kMaxCachedLines) return nullptr;
    return ex.line_cache.emplace(key, std::make_unique<LineTokens>()).first->second.get();
}


void remember_read(LineTokens& lt, const Script& s, size_t from, size_t to, size_t first, size_t len, bool too_long,
                   const char* line) {
    lt.raw_valid = false;
    lt.raw_serial = s.serial.id;
    // Only a line closed by its own line end reads the same whatever follows it.
    if (too_long || to <= from || to > s.text.size() || first < from || first - from > 0xFFFF) return;
    char last = s.text[to - 1];
    if (last != '\n' && last != 0x1A) return;
    lt.raw.assign(s.text, from, to - from);
    lt.raw_first = static_cast<uint32_t>(first - from);
    lt.raw_len = static_cast<uint32_t>(len);
    lt.raw_plain = len > 0 && line[0] != '#' && !std::memchr(line, '%', len);
    lt.raw_comment = len == 0 || line[0] == ';';
    lt.raw_valid = true;
}

// After each statement: a return that ended this frame, the message pump, the stop flag.
// -1 to go on, else what the statement loop returns (1 for a return, 0 with an error).
inline int line_epilogue(Instance& inst, ExecState& ex, int frame_depth, const char* line, size_t first) {
    if (ex.return_pending && ex.depth <= frame_depth) return 1;
    // The pump reads the clock; every few statements is often enough for the time-out.
    if (--ex.pump_left == 0) {
        ex.pump_left = kPumpEvery;
        platform::pump_messages();
    }
    if (inst.stop_requested) {
        if (!ex.stop_reported) {
            ex.stop_reported = true;
            display_error(inst, err_number(Err::TerminatedByUser), line, first);
            inst.fail(Err::ShownUserEnded);
            inst.real_code = err_number(Err::TerminatedByUser);
        } else {
            inst.fail(Err::ShownUserEnded);
        }
        return 0;
    }
    return -1;
}

// An empty or comment line as the cache saw it: the statement loop passes over it.
inline bool comment_line(const LineTokens& lt) { return lt.raw_comment && lt.raw_valid; }

// Moves `lt` (the cached line at `pos`) past empty and comment lines whose successors are
// known; returns the position of the line it stops at.
inline size_t skip_comment_lines(const Script& s, LineTokens*& lt, size_t pos) {
    for (int k = 0; k < 8 && comment_line(*lt); ++k) {
        LineTokens* nx = lt->succ;
        size_t next = pos + lt->raw.size();
        if (!nx || lt->succ_pos != next || lt->succ_script != &s || !nx->raw_valid || nx->raw_serial != s.serial.id)
            break;
        lt = nx;
        pos = next;
    }
    return pos;
}

// Runs compiled lines from `lt` (at `pos`, its line at `first`) for as long as the next
// line is a compiled one too. Returns -1 with `lt` and `pos` at the last line run and
// where to go on, or what the statement loop returns.
[[gnu::always_inline]] inline int run_compiled_lane(Instance& inst, ExecState& ex, const Script& s, LineTokens*& lt_io, size_t& pos_io, size_t first,
                 char* line, int frame_depth) {
    LineTokens* lt = lt_io;
    size_t pos = pos_io;
    FastLine* fl = lt->fast.get();
    const uint64_t serial = s.serial.id;
    ex.script = &s;
    ex.line_substituted = false;
    int done = -1;
    for (;;) {
        pos += lt->raw.size();
        begin_line(ex, first, pos, lt->line.c_str());
        inst.assign_target = 0;
        inst.tok.cache = nullptr;
        ++ex.compiled_runs;
        // The two commonest kinds without exec_fast's general prologue.
        switch (fl->kind) {
            case FastKind::kAssign:
                ex.for_resume = false;
                if (fl->int_store)
                    fast_assign_whole(inst, *fl);
                else
                    fast_assign(inst, *fl);
                break;
            case FastKind::kNext:
                ex.for_resume = false;
                next_step(inst, ex);
                break;
            case FastKind::kIf:  // never run while skipping
                ex.for_resume = false;
                fast_if(inst, ex, *fl, *lt, line);
                break;
            case FastKind::kReturn:
                ex.for_resume = false;
                if (!skipping(ex)) fast_return(inst, *fl);
                break;
            case FastKind::kTo:
                if (fast_to_int(inst, ex, *fl, ex.for_resume)) break;
                [[fallthrough]];
            default: exec_fast(inst, *fl, *lt, line); break;
        }
        if (inst.error()) {
            std::memcpy(line, lt->line.data(), lt->line.size());
            line[lt->line.size()] = '\0';
            ex.line_text = line;
            if (!after_line_error(inst, line, first)) {
                done = 0;
                break;
            }
        }
        done = line_epilogue(inst, ex, frame_depth, lt->line.c_str(), first);
        if (done >= 0) break;
        pos = ex.next_pos;
        LineTokens* nx;
        size_t npos;
        if (lt->lane_epoch == ex.lane_epoch && lt->lane_pos == pos) {
            // As found last time, nothing having changed since (the host's table included).
            nx = lt->lane_next;
            npos = lt->lane_npos;
            fl = lt->lane_fl;
            if (!fl->skip_ok && skipping(ex)) break;
        } else {
            nx = lt->succ;
            if (!nx || lt->succ_pos != pos || lt->succ_script != &s || !nx->raw_valid || nx->raw_serial != serial)
                break;
            // Empty lines and comments between compiled lines are passed over as the loop
            // passes them (it sets nothing that the next line does not set again).
            npos = nx->raw_comment ? skip_comment_lines(s, nx, pos) : pos;
            if (!nx->raw_plain || !nx->fast) break;
            fl = nx->fast.get();
            if (fl->udf_count != ex.udfs.size() || fl->host_table != inst.host_table) break;
            // Its names are checked where the statement loop enters it (fast_elems_ok).
            if (fl->has_elems) [[unlikely]]
                break;
            lt->lane_epoch = ex.lane_epoch;
            lt->lane_pos = pos;
            lt->lane_npos = npos;
            lt->lane_next = nx;
            lt->lane_fl = fl;
            if (!fl->skip_ok && skipping(ex)) break;
        }
        pos = npos;
        lt = nx;
        first = pos + lt->raw_first;
    }
    lt_io = lt;
    pos_io = pos;
    return done;
}

// The same, out of line for the general statement loop (a function body entered from
// run_script runs it inline).
[[gnu::noinline]] int run_compiled(Instance& inst, ExecState& ex, const Script& s, LineTokens*& lt_io, size_t& pos_io,
                                   size_t first, char* line, int frame_depth) {
    return run_compiled_lane(inst, ex, s, lt_io, pos_io, first, line, frame_depth);
}

struct LevelGuard {
    ExecState& ex;
    ~LevelGuard() { --ex.loop_level; }
};

// Opens or closes a #DefineFunction / #DefineSubroutine block. True when the line was
// one of those (handled, error or not).
struct Gathering {
    bool open = false;
    bool repeat = false;
    bool subroutine = false;
    std::unique_ptr<UdfHeader> header_box;  // made when a definition opens: calls run many loops
    size_t body_start = 0;
    size_t header_pos = 0;
};

// The position after the line that closes a definition whose body starts at `from`, or
// the end of the text.
size_t definition_end(const Script& s, size_t from) {
    size_t pos = from;
    while (pos < s.text.size()) {
        std::string_view line = next_script_line(s, pos);
        if (starts_with_ci(line, "#endfunction") || starts_with_ci(line, "#endsubroutine"))
            return pos < s.text.size() ? pos : s.text.size();
    }
    return s.text.size();
}

bool gather_line(Instance& inst, const Script& s, std::string_view line, size_t first, size_t next,
                 Gathering& g) {
    ExecState& ex = exec_state(inst);
    bool is_func = starts_with_ci(line, "#definefunction");
    bool is_sub = !is_func && starts_with_ci(line, "#definesubroutine");
    if (is_func || is_sub) {
        if (g.open) {
            inst.fail(is_func ? Err::NestedDefineFunction : Err::NestedDefineSubroutine);
            return true;
        }
        if (ex.udfs.size() >= static_cast<size_t>(kMaxUdf)) {
            inst.fail(Err::TooManyUdfs);
            return true;
        }
        std::string_view rest = line.substr(is_func ? 15 : 17);
        if (!g.header_box) g.header_box = std::make_unique<UdfHeader>();
        UdfHeader& header = *g.header_box;
        header = UdfHeader{};
        if (!parse_udf_header(rest, &header)) {
            // The broken definition's lines are not main-script code: the script goes on
            // (after a handler, or Continue) past its closing line.
            ex.next_pos = definition_end(s, next);
            inst.fail(is_func ? Err::DefineFunctionSyntax : Err::DefineSubroutineSyntax);
            return true;
        }
        g.open = true;
        g.subroutine = is_sub;
        g.repeat = udf_find(inst, header.name) >= 0;
        g.body_start = next;
        g.header_pos = first;
        return true;
    }
    bool end_func = starts_with_ci(line, "#endfunction");
    bool end_sub = !end_func && starts_with_ci(line, "#endsubroutine");
    if (!end_func && !end_sub) return false;
    if (!g.open) {
        inst.fail(end_func ? Err::EndFunctionUnmatched : Err::EndSubroutineUnmatched);
        return true;
    }
    g.open = false;
    if (g.repeat) return true;
    auto e = std::make_unique<UdfEntry>();
    const UdfHeader& header = *g.header_box;
    e->name = header.name;
    for (int i = 0; i < header.param_count; ++i) e->params[i] = header.params[i];
    e->param_count = header.param_count;
    e->distinct_keys = true;
    for (int i = 0; i < header.param_count; ++i) {
        std::string key = var_name_key(e->params[i]);
        std::memcpy(e->keys[i], key.data(), key.size());
        e->key_len[i] = static_cast<uint8_t>(key.size());
        for (int j = 0; j < i; ++j)
            if (key == e->keys[j]) e->distinct_keys = false;
        if (key.empty()) e->distinct_keys = false;
    }
    e->subroutine = g.subroutine;
    size_t body_end = first > g.body_start ? first : g.body_start;
    e->body.text.assign(s.text, g.body_start, body_end - g.body_start);
    e->body.is_body = true;
    Place pl = place_of(inst, g.body_start);
    e->body.file = pl.file.empty() ? s.file : pl.file;
    e->body.dir = s.dir;
    e->first_line = pl.line;
    e->include_depth = pl.depth;
    ex.udfs.push_back(std::move(e));
    ++ex.lane_epoch;
    return true;
}

}  // namespace

namespace {

// Is the line about to run in a loop, a function or a subroutine, so that it may well run
// again? Compiling costs more than one run from the text: a line that runs once only (the
// top level of a page) is compiled when it comes back, if it does.
bool may_run_again(const ExecState& ex) {
    if (ex.cur_udf >= 0) return true;
    for (int i = ex.depth; i-- > 0;) {
        int32_t k = ex.stack[i].kind;
        if (k == Kw::For || k == Kw::While || k == Kw::ForEach || k == kKindFunction || k == kKindGosubFalse ||
            k == kKindGosubTrue || k == kKindGosubNone)
            return true;
    }
    return false;
}

// The first run of a plain line: its tokens read ahead (nothing created, nothing raised)
// and its statement compiled. False when either does not succeed: the line runs from its
// text, over the tokens the pre-read kept (each what the text reads there), or over none
// when the statement did not compile (as a first run finds it, so that a statement that
// raises where the text stops reading compiles after it as it would).
bool compile_first_run(Instance& inst, LineTokens& lt) {
    if (!compile_try(lt) || !token_preread(inst, fast_may_compile)) return false;
    FastLinePtr fl = fast_compile(inst, lt, 0);
    if (!fl || !fast_elems_ok(inst, *fl)) {
        token_cache_clear(lt);
        return false;
    }
    lt.fast = std::move(fl);
    return true;
}

// Why a statement runs through the text evaluator (for the count of text runs).
const char* text_run_reason(const ExecState& ex, const LineTokens* lt, const char* line, bool plain, bool fresh) {
    if (skipping(ex)) return "skipped (block not run)";
    if (!lt) return "no line cache";
    if (line[0] == ':') return "label line";
    if (ex.line_substituted) return "substitution:";
    if (fresh && !(lt->raw_valid && lt->raw_plain)) return "first read, not plain:";
    if (fresh) return !may_run_again(ex) ? "first run, outside loops and functions:" : lt->fast_tries > 0 ? "first run, not compiled:" : "first run:";
    if (!plain) return "not plain:";
    if (lt->fast) return "compiled form not usable:";
    return lt->fast_tries == 0 ? "not yet compiled:" : "form not compiled:";
}

// The statement loop from `start`; `prev` is the cached line that ran just before, if any.
int32_t run_lines(Instance& inst, ExecState& ex, const Script& s, size_t start, int frame_depth,
                  LineTokens* prev) {
    int level = ex.loop_level;
    if (level >= static_cast<int>(ex.line_bufs.size())) ex.line_bufs.emplace_back(new char[kLineBufSize]);
    char* line = ex.line_bufs[level].get();
    ++ex.loop_level;
    LevelGuard guard{ex};
    Gathering g;
    size_t pos = start;
    for (;;) {
        size_t len = 0, first = 0;
        bool too_long = false;
        LineTokens* lt;
        if (prev && prev->succ && prev->succ_pos == pos && prev->succ_script == &s) {
            lt = prev->succ;
        } else if (!prev && s.serial.entry && s.serial.entry_pos == pos) {
            lt = static_cast<LineTokens*>(s.serial.entry);
        } else {
            lt = line_tokens(ex, s, pos);
            if (prev) {
                prev->succ = lt;
                prev->succ_pos = pos;
                prev->succ_script = &s;
            } else {
                s.serial.entry = lt;
                s.serial.entry_pos = pos;
            }
        }
        prev = lt;
        bool plain = false;
        bool fresh = false;  // read from the text, not from the line cache
        if (lt && lt->raw_valid &&
            (lt->raw_serial == s.serial.id ||
             (s.text.size() - pos >= lt->raw.size() &&
              std::memcmp(s.text.data() + pos, lt->raw.data(), lt->raw.size()) == 0 &&
              (lt->raw_serial = s.serial.id) != 0))) {
            first = pos + lt->raw_first;
            FastLine* fl = lt->fast.get();
            if (fl && !g.open && lt->raw_plain) {
                if (fl->udf_count != ex.udfs.size() || fl->host_table != inst.host_table) {
                    // Calls further out may still be running this form (a recursion through
                    // the line): it is kept until the instance goes.
                    ex.retired_fast.push_back(std::move(lt->fast));
                    ++ex.lane_epoch;
                    lt->fast_tries = 0;
                } else if ((fl->skip_ok || !skipping(ex)) && fast_elems_ok(inst, *fl)) {
                    int done = run_compiled(inst, ex, s, lt, pos, first, line, frame_depth);
                    if (done >= 0) return done;
                    prev = lt;
                    continue;
                }
            }
            len = lt->raw_len;
            std::memcpy(line, lt->raw.data() + lt->raw_first, len);
            line[len] = '\0';
            pos += lt->raw.size();
            plain = lt->raw_plain;
        } else {
            size_t from = pos;
            if (!read_line(s.text, pos, line, &len, &first, &too_long)) break;
            if (lt) {
                remember_read(*lt, s, from, pos, first, len, too_long, line);
                plain = lt->raw_valid && lt->raw_plain;
            }
            fresh = true;
        }
        ex.script = &s;
        begin_line(ex, first, pos, line);
        if (len == 0 || line[0] == ';') continue;
        inst.assign_target = 0;
        if (line[0] == '#' && !too_long) {
            if (gather_line(inst, s, std::string_view(line, len), first, pos, g)) {
                if (inst.error()) {
                    // An ordinary script error: a handler may take it and jump.
                    if (!after_line_error(inst, line, first)) return 0;
                    if (ex.jumped) g.open = false;
                    pos = ex.next_pos;
                }
                continue;
            }
        }
        if (g.open) continue;
        ex.line_substituted = false;
        inst.tok.cache = nullptr;
        if (too_long) {
            // A cut line is reported when its statement runs; skipped, it still keeps
            // the structure keywords matched.
            if (!skipping(ex)) inst.fail(Err::LineTooLongRead);
        } else {
            bool subst = false;
            if (plain) {
                // Nothing to substitute and no #include: preparing would leave the line as it is.
            } else if (prepare_line(inst, line, &len, &subst, s.dir)) {
                ex.line_substituted = subst;
            }
        }
        if (!inst.error()) {
            token_cache_line(inst, ex.line_substituted ? nullptr : lt, line, len);
            if (lt && plain && !lt->fast && lt->fast_tries == 0 && line[0] != ':' && inst.tok.cache == lt &&
                lt->raw_valid && lt->raw_serial == s.serial.id && !skipping(ex) && may_run_again(ex) &&
                compile_first_run(inst, *lt)) {
                // From its first run on, the line runs compiled, from where it starts.
                pos -= lt->raw.size();
                int done = run_compiled(inst, ex, s, lt, pos, first, line, frame_depth);
                if (done >= 0) return done;
                prev = lt;
                continue;
            }
            if (ex.text_runs) [[unlikely]]
                count_text_run(ex, text_run_reason(ex, lt, line, plain, fresh), line[0] == ':' ? nullptr : line);
            if (line[0] == ':') {
                const char* p = line + 1;
                while (*p && !is_blank(*p) && *p != ';') ++p;
                while (is_blank(*p)) ++p;
                if (*p && *p != ';') exec_line(inst, p, false);
            } else {
                exec_line(inst, line, false);
            }
        }
        if (lt && plain && !fresh && !ex.line_substituted && !lt->fast && line[0] != ':' && compile_try(*lt)) {
            // After an error only a statement that raises where the text stopped compiles,
            // alone or after `then`.
            FastLinePtr fl = fast_compile(inst, *lt, 0);
            if (!inst.error() || (fl && fast_raises(*fl))) lt->fast = std::move(fl);
        }
        if (inst.error() && !after_line_error(inst, line, first)) return 0;
        int done = line_epilogue(inst, ex, frame_depth, line, first);
        if (done >= 0) return done;
        pos = ex.next_pos;
    }
    if (g.open) {
        inst.fail(Err::DefineUnclosed);
        if (!after_line_error(inst, "", g.header_pos)) return 0;
        if (ex.jumped) {
            // A handler took it: the script goes on where the handler is.
            ex.script = &s;
            return run_lines(inst, ex, s, ex.next_pos, frame_depth, nullptr);
        }
    }
    return 1;
}

}  // namespace

int32_t run_script(Instance& inst, const Script& s, size_t start, int frame_depth) {
    ExecState& ex = exec_state(inst);
    if (s.serial.id == 0 || s.serial.data != s.text.data() || s.serial.size != s.text.size()) {
        // A text the cache has not seen as it is now: lines are compared with it again.
        static uint64_t serials = 0;
        s.serial.id = ++serials;
        ++ex.lane_epoch;
        s.serial.entry = nullptr;
        s.serial.data = s.text.data();
        s.serial.size = s.text.size();
    }
    // A text whose first line is compiled (a function body called again) starts without
    // the general loop's set-up.
    auto* lt = static_cast<LineTokens*>(s.serial.entry);
    if (lt && s.serial.entry_pos == start && lt->raw_valid && lt->raw_serial == s.serial.id) {
        size_t pos = lt->raw_comment ? skip_comment_lines(s, lt, start) : start;
        FastLine* fl = lt->fast.get();
        if (fl && lt->raw_plain && ex.loop_level < static_cast<int>(ex.line_bufs.size()) &&
            fl->udf_count == ex.udfs.size() && fl->host_table == inst.host_table && (fl->skip_ok || !skipping(ex)) && fast_elems_ok(inst, *fl)) {
            char* line = ex.line_bufs[ex.loop_level].get();
            size_t from = pos;
            int done;
            {
                ++ex.loop_level;
                LevelGuard guard{ex};
                done = run_compiled_lane(inst, ex, s, lt, pos, from + lt->raw_first, line, frame_depth);
            }
            if (done >= 0) return done;
            return run_lines(inst, ex, s, pos, frame_depth, lt);
        }
    }
    return run_lines(inst, ex, s, start, frame_depth, nullptr);
}

}  // namespace kel::interp
