// Calls of user-defined functions and subroutines, and of other script files (Call).
#include "interp/run/udf.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "interp/data/convert.h"
#include "interp/run/errors.h"
#include "interp/run/eval.h"
#include "interp/run/exec.h"
#include "interp/data/heap.h"
#include "interp/run/router.h"
#include "interp/data/vars.h"

namespace kel::interp {

namespace {

// The token text at the call, kept in place when short: most calls are made with a
// one-character token ("(" or ")") or a name current.
constexpr size_t kShortTokenText = 48;
static_assert(kShortTokenText <= kTokenTextSize);

// The tokenizer's numbers, flags and positions lie between the token text and the
// continuation line; a call saves and restores them as one block.
constexpr size_t kTokScalarsAt = offsetof(TokenState, type);
constexpr size_t kTokScalarsEnd = offsetof(TokenState, continued_line);
static_assert(std::is_standard_layout_v<TokenState> && kTokScalarsAt == kTokenTextSize);

// The caller's texts that a call must give back, kept aside only when one of them is set
// (most calls have no handler name, a short token and no continuation line).
struct CallerTexts {
    std::string error_func;
    std::string cancel_func;
    std::string token;  // a token text of kShortTokenText characters or more
    std::string continued_line;
};

// Everything of the caller that a call may change and must give back.
struct CallerState {
    const Script* script;
    size_t line_pos;
    size_t next_pos;
    bool jumped;
    bool line_substituted;
    const char* line_text;
    int cur_udf;
    int error_mode;
    int cancel_mode;
    bool cancel_inherited;
    int8_t last_if;
    uint8_t breakable;
    uint32_t assign_target;
    int32_t assign_allowed;
    bool tok;             // the tokenizer was saved (else only current_udf)
    int32_t current_udf;
    // The tokenizer.
    alignas(8) unsigned char tok_scalars[kTokScalarsEnd - kTokScalarsAt];
    bool pos_in_continued, start_in_continued;
    size_t pos_off, start_off;  // into the continuation line, when the flags above are set
    uint32_t text_len;
    char text_short[kShortTokenText];
    std::unique_ptr<CallerTexts> texts;
};

// Whether `p` points into `line` (the read position may run on a continuation line), and
// where.
bool offset_in(const std::string& line, const char* p, size_t* off) {
    if (line.empty() || !p || p < line.data() || p > line.data() + line.size()) return false;
    *off = static_cast<size_t>(p - line.data());
    return true;
}

void save_tok(Instance& inst, CallerState& s);

// The caller's statement, handler and assignment state that a call changes, each with
// its place in CallerState (`ex` the statement state, `h` its handlers): one list for
// saving and restoring. A list of statements rather than a function taking a lambda:
// the call path is the hottest there is, and this way it compiles to the plain stores.
#define KEL_CALLER_SCALARS(X)                                                                         \
    X(ex.script, s.script) X(ex.line_pos, s.line_pos) X(ex.next_pos, s.next_pos) X(ex.jumped, s.jumped) \
    X(ex.line_substituted, s.line_substituted) X(ex.line_text, s.line_text) X(ex.cur_udf, s.cur_udf)    \
    X(h.error_mode, s.error_mode) X(h.cancel_mode, s.cancel_mode)                                      \
    X(h.cancel_inherited, s.cancel_inherited) X(ex.last_if, s.last_if) X(ex.breakable, s.breakable)    \
    X(inst.assign_target, s.assign_target) X(inst.assign_allowed, s.assign_allowed)
#define KEL_SAVE_FIELD(live, saved) saved = live;
#define KEL_RESTORE_FIELD(live, saved) live = saved;

// Saves the caller's state and switches the handlers to their state inside a call: the
// error handler off, the cancel handler inherited.
// `tok`: the tokenizer too. A call made from a compiled line leaves it out: such a line
// reads no token after the call, and every line read from its text starts the tokenizer
// afresh (token_begin), so what a call leaves in it is never seen; only the function
// index that ptrpersistent names goes back.
[[gnu::always_inline]] inline void save_caller(Instance& inst, CallerState& s, bool tok) {
    ExecState& ex = *inst.exec;
    HandlerState& h = ex.handlers;
    KEL_CALLER_SCALARS(KEL_SAVE_FIELD)
    s.current_udf = inst.tok.current_udf;
    s.tok = tok;
    if (!h.error_func.empty() || !h.cancel_func.empty()) {
        s.texts = std::make_unique<CallerTexts>();
        s.texts->error_func.swap(h.error_func);
        // The cancel handler stays armed inside, and may be changed there.
        s.texts->cancel_func = h.cancel_func;
    }
    if (tok) save_tok(inst, s);
    h.error_mode = 0;
    h.cancel_inherited = true;
}

// The tokenizer's part.
[[gnu::noinline]] void save_tok(Instance& inst, CallerState& s) {
    const TokenState& t = inst.tok;
    // A short text goes in one fixed-size piece, its NUL included.
    size_t n = ::strnlen(t.text, kShortTokenText);
    if (n < kShortTokenText) {
        std::memcpy(s.text_short, t.text, kShortTokenText);
    } else {
        n = ::strnlen(t.text, kTokenTextSize - 1);
    }
    s.text_len = static_cast<uint32_t>(n);
    std::memcpy(s.tok_scalars, reinterpret_cast<const unsigned char*>(&t) + kTokScalarsAt, sizeof s.tok_scalars);
    s.pos_in_continued = false;
    s.start_in_continued = false;
    if (n < kShortTokenText && t.continued_line.empty()) return;
    if (!s.texts) s.texts = std::make_unique<CallerTexts>();
    CallerTexts& x = *s.texts;
    if (n >= kShortTokenText) x.token.assign(t.text, n);
    if (!t.continued_line.empty()) {
        x.continued_line = t.continued_line;
        s.pos_in_continued = offset_in(t.continued_line, t.pos, &s.pos_off);
        s.start_in_continued = offset_in(t.continued_line, t.start, &s.start_off);
    }
}

// A field added to the tokenizer state: numbers, flags and pointers placed before
// continued_line travel in the block; anything else must be saved and restored above.
// (text_len, after it, is read only right after the token it measures: never across a call.)
static_assert(sizeof(TokenState) == 2168, "save the new TokenState field in save_caller/restore_caller");

void restore_tok(Instance& inst, CallerState& s);

// Gives everything back; `s` is spent.
[[gnu::always_inline]] inline void restore_caller(Instance& inst, CallerState& s) {
    ExecState& ex = *inst.exec;
    HandlerState& h = ex.handlers;
    KEL_CALLER_SCALARS(KEL_RESTORE_FIELD)
    if (CallerTexts* x = s.texts.get()) {
        h.error_func.swap(x->error_func);
        h.cancel_func.swap(x->cancel_func);
    } else {
        if (!h.error_func.empty()) h.error_func.clear();
        if (!h.cancel_func.empty()) h.cancel_func.clear();
    }
    if (s.tok) restore_tok(inst, s);
    inst.tok.current_udf = s.current_udf;
}

#undef KEL_SAVE_FIELD
#undef KEL_RESTORE_FIELD
#undef KEL_CALLER_SCALARS

[[gnu::noinline]] void restore_tok(Instance& inst, CallerState& s) {
    TokenState& t = inst.tok;
    CallerTexts* x = s.texts.get();
    size_t n = s.text_len;
    if (n < kShortTokenText) {
        std::memcpy(t.text, s.text_short, kShortTokenText);
    } else {
        std::memcpy(t.text, x->token.data(), n);
        t.text[n] = '\0';
    }
    if (x)
        t.continued_line.swap(x->continued_line);
    else
        t.continued_line.clear();
    std::memcpy(reinterpret_cast<unsigned char*>(&t) + kTokScalarsAt, s.tok_scalars, sizeof s.tok_scalars);
    // A read position on the continuation line follows it into its restored buffer.
    if (s.pos_in_continued) t.pos = t.continued_line.data() + s.pos_off;
    if (s.start_in_continued) t.start = t.continued_line.data() + s.start_off;
}

// A function or called script ended with error `code` (`real` the error behind a shown
// one): no result. Exit and Cancel go on as they are; any other error has been shown
// inside, and the caller gets `shown`, with the original number as the real one.
void call_failed(Instance& inst, Value& result, uint16_t code, uint16_t real, Err shown) {
    release_value(inst, result);
    result = empty_value();
    if (code == Err::Exit || code == Err::Cancel) {
        inst.fail(code);
        return;
    }
    inst.fail(shown);
    inst.real_code = code == Err::ShownInFunction || code == Err::ShownUserEnded ? real : code;
}

// The value a return left for the frame, or integer 0.
void take_result(ExecState& ex, Value& result) {
    if (ex.return_pending) {
        copy_value_fields(result, ex.ret_value);
        ex.ret_value = empty_value();
    } else {
        result = empty_value();
        result.flags = kVtInt;
        result.i = 0;
    }
    ex.return_pending = false;
}

[[gnu::always_inline]] inline bool bind_param(Instance& inst, int32_t idx, const Value& arg) {
    if (idx < 0) return false;
    VarRecord& r = inst.vars[idx];
    if (!(arg.flags & (kVtStr | kVtWide | kVtArray))) {
        // A number has nothing to duplicate: copy_value's result, without the round trip.
        // Field by field (copy_core_fields): the argument was just written that way.
        release_value(inst, r);
        copy_core_fields(r, arg);
        r.flags &= ~kVtUndef;
        r.str = 0;
        r.wstr = 0;
        return true;
    }
    Value copy = empty_value();
    if (!copy_value(inst, arg, copy)) return false;
    release_value(inst, r);
    static_cast<ValueCore&>(r) = static_cast<const ValueCore&>(copy);
    return true;
}

}  // namespace

int udf_count(const Instance& inst) { return inst.exec ? static_cast<int>(inst.exec->udfs.size()) : 0; }

std::string_view udf_name(const Instance& inst, int index) {
    if (index < 0 || index >= udf_count(inst)) return {};
    return inst.exec->udfs[index]->name;
}

int udf_param_count(const Instance& inst, int index) {
    if (index < 0 || index >= udf_count(inst)) return 0;
    return inst.exec->udfs[index]->param_count;
}

bool udf_is_subroutine(const Instance& inst, int index) {
    if (index < 0 || index >= udf_count(inst)) return false;
    return inst.exec->udfs[index]->subroutine;
}

int udf_find(const Instance& inst, std::string_view lowercase_name) {
    int n = udf_count(inst);
    if (n == 0) return -1;
    // Folded on the stack: every name the tokenizer reads is looked up here.
    char buf[kMaxKeywordSearch + 1];
    std::string long_key;
    std::string_view key;
    if (lowercase_name.size() <= sizeof buf) {
        std::memcpy(buf, lowercase_name.data(), lowercase_name.size());
        fold_name(buf, lowercase_name.size());
        key = std::string_view(buf, lowercase_name.size());
    } else {
        long_key.assign(lowercase_name);
        fold_name(long_key);
        key = long_key;
    }
    for (int i = 0; i < n; ++i) {
        if (inst.exec->udfs[i]->name == key) return i;
    }
    return -1;
}

namespace {

// The call itself; `light`: made from a compiled line (the tokenizer is not kept).
template <bool light>
[[gnu::always_inline]] inline void run_function(Instance& inst, ExecState& ex, int index, Value* args, int argc,
                                                Value& result) {
    if (index < 0 || index >= static_cast<int>(ex.udfs.size())) {
        inst.fail(Err::UdfError);
        return;
    }
    UdfEntry& u = *ex.udfs[index];
    CallerState saved;
    save_caller(inst, saved, !light);
    StructEntry* e = struct_push(inst, kKindFunction);
    if (!e) {
        restore_caller(inst, saved);
        return;
    }
    const int frame_depth = ex.depth - 1;
    ex.breakable = 0;

    int32_t frame = -1;
    FrameRef prev{inst.cur_frame};
    if (!u.subroutine) {
        frame = frame_enter(inst, inst.cur_capacity, &prev);
        if (frame < 0) {
            ex.depth = frame_depth;
            restore_caller(inst, saved);
            inst.fail(Err::UdfAllocFailed);
            return;
        }
    }
    bool bound = true;
    // A new frame is empty: distinct names take the next records as a lookup would.
    const bool fresh = frame >= 0 && u.distinct_keys && inst.vars && inst.cur_count == 1;
    for (int i = 0; i < u.param_count && i < argc; ++i) {
        int32_t idx = fresh ? var_append(inst, u.keys[i], u.key_len[i]) : var_find_or_create(inst, u.params[i]);
        if (!bind_param(inst, idx, args[i])) {
            bound = false;
            if (!inst.error()) inst.fail(Err::OutOfVariableMemory);
            break;
        }
    }
    if (bound) {
        ex.cur_udf = index;
        inst.tok.current_udf = index;
        ex.return_pending = false;
        run_script(inst, u.body, 0, frame_depth);
    }
    uint16_t code = inst.error();
    uint16_t real = inst.real_code;
    take_result(ex, result);
    ex.depth = frame_depth;
    if (frame >= 0 && !frame_leave(inst, static_cast<uint16_t>(frame), prev) && code == 0) code = err_number(Err::UdfLockFailed);
    restore_caller(inst, saved);
    if (code != 0) call_failed(inst, result, code, real, Err::ShownInFunction);
}

}  // namespace

void call_user_function(Instance& inst, int index, Value* args, int argc, Value& result, bool from_compiled) {
    ExecState& ex = exec_state(inst);
    release_value(inst, result);
    result = empty_value();
    if (from_compiled)
        run_function<true>(inst, ex, index, args, argc, result);
    else
        run_function<false>(inst, ex, index, args, argc, result);
}

void call_udf_compiled(Instance& inst, int id, Value& out, Value* args, int argc) {
    release_value(inst, out);
    out = empty_value();
    run_function<true>(inst, *inst.exec, id - kUdfBase, args, argc, out);
    finish_call_result(inst, out);
    for (int i = 0; i < argc; ++i) release_value(inst, args[i]);
}

bool source_read_line(Instance& inst, std::string& out) {
    ExecState& ex = exec_state(inst);
    if (!ex.script) return false;
    char buf[kLineBufSize];
    size_t len = 0, first = 0;
    bool too_long = false;
    size_t pos = ex.next_pos;
    if (!read_line(ex.script->text, pos, buf, &len, &first, &too_long)) return false;
    ex.next_pos = pos;
    out.assign(buf, len);
    return true;
}

// Call(file, parameters): the parameters become param0..paramN, then the file runs in
// the caller's frame.
std::vector<std::string> parse_param_line(std::string_view line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string w;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            char c = line[i];
            if (c == '"' || c == '\'' || c == '`') {
                ++i;
                while (i < line.size()) {
                    if (line[i] == c) {
                        if (i + 1 < line.size() && line[i + 1] == c) {
                            w += c;
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    w += line[i++];
                }
                continue;
            }
            w += c;
            ++i;
        }
        words.push_back(std::move(w));
    }
    return words;
}

void set_call_params(Instance& inst, std::string_view params) {
    int32_t p0 = var_lookup(inst, "param0");
    if (p0 >= 0 && (inst.vars[p0].flags & kVtInt)) {
        int32_t old = inst.vars[p0].i;
        for (int32_t k = 1; k <= old && k < 100000; ++k) {
            int32_t idx = var_lookup(inst, "param" + std::to_string(k));
            if (idx >= 0) var_drop(inst, static_cast<uint16_t>(idx));
        }
    }
    std::vector<std::string> words = parse_param_line(params);
    int32_t idx = var_find_or_create(inst, "param0");
    if (idx >= 0) {
        VarRecord& r = inst.vars[idx];
        release_value(inst, r);
        r.flags = kVtInt;
        r.i = static_cast<int32_t>(words.size());
    }
    for (size_t k = 0; k < words.size(); ++k) var_set_text(inst, "param" + std::to_string(k + 1), words[k], true);
}

void call_script_file(Instance& inst, std::string_view name, std::string_view params, Value& result) {
    ExecState& ex = exec_state(inst);
    release_value(inst, result);
    result = empty_value();
    result.flags = kVtInt;
    set_call_params(inst, params);
    if (inst.error()) return;
    std::string path = find_script_file(name);
    if (path.empty()) {
        inst.fail(Err::CallFileNotFound).info(name);
        return;
    }
    CallerState saved;
    save_caller(inst, saved, true);
    StructEntry* e = struct_push(inst, kKindCalledScript);
    if (!e) {
        restore_caller(inst, saved);
        return;
    }
    const int frame_depth = ex.depth - 1;
    ++ex.call_level;
    auto script = std::make_unique<Script>();
    uint16_t code = 0, real = 0;
    if (load_script_file(inst, path, *script)) {
        ex.cur_udf = -1;
        ex.return_pending = false;
        // The called script's expressions nest from the level of the Call itself (the
        // host's one-line buffer is such a Call): its own operand does not count.
        const int outer_depth = inst.eval_depth;
        if (inst.eval_depth > 0) --inst.eval_depth;
        run_script(inst, *script, 0, frame_depth);
        inst.eval_depth = outer_depth;
        code = inst.error();
        real = inst.real_code;
        take_result(ex, result);
    }
    --ex.call_level;
    ex.depth = frame_depth;
    restore_caller(inst, saved);
    if (code != 0) call_failed(inst, result, code, real, Err::ShownUserEnded);
}

}  // namespace kel::interp
