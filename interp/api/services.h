// What a builtin may ask of the interpreter beyond its converted arguments: reading its
// own argument list with the tokenizer and the evaluator, calling builtins, user-defined
// functions and scripts, and the part of the running script's state that builtins read
// and change. Declared here for lib/; defined in interp/run/.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/base/instance.h"
#include "interp/base/keywords.h"
#include "interp/base/token_state.h"
#include "interp/base/value.h"

namespace kel::interp {

constexpr int kMaxUdfParams = 16;

// The tokenizer (interp/run/tokenizer.cpp): the next token of the line being read.
void get_token(Instance& inst);
// The next word as a string token, without keyword lookup (type 4, keyword index -1).
void get_string_token(Instance& inst);
// The characters names are made of.
bool is_name_char(unsigned char c);
// True when the latest token is keyword `kw`.
inline bool tok_is(const Instance& inst, int kw) {
    return inst.tok.type == kTokKeyword && inst.tok.kw == kw;
}

// ProcessSubExpression. `out` is overwritten (not released) and receives the value; on
// error it holds nothing. `allow_assign` lets the line be `name = expr`, `name op= expr` or
// `name[i] = expr`; `deref_target` means the line began with "*" (the current token) and
// assigns through a variable pointer. `line_text` is the whole line, for error reports.
// With `discard` the caller drops the value: an assignment then hands its value to the
// variable instead of copying it, and `out` is left empty.
void eval_expression(Instance& inst, Value& out, bool allow_assign, bool deref_target, const char* line_text,
                     bool discard = false);

// The argument list of a builtin that reads its own ("(" current on entry, ")" current on
// return): each argument is evaluated (as eval_expression without assignment) and handed
// to `on_arg(ctx, value)`, which owns it from then on and returns false to stop (having
// raised its error). A token other than "," or ")" after an argument raises `syntax_err`.
// Called from a compiled line, the arguments come from its tree instead of the tokens.
// False when an error was raised.
bool read_own_arg_list(Instance& inst, Err syntax_err, bool (*on_arg)(void* ctx, Value& v), void* ctx);

// Copies a value: strings duplicated, arrays shared. `dst` is overwritten. False with 3096.
bool copy_value(Instance& inst, const ValueCore& src, Value& dst);

// Returns 0 or the error number (also left on the instance). `result` is released and
// reset first. `skip_check` is set for functions that read their own argument list.
int call_builtin(Instance& inst, int id, Value& result, Value* args, int argc, bool skip_check, uint64_t ptypes);

// Index of the function with exactly this lower-case name, or -1.
int udf_find(const Instance& inst, std::string_view lowercase_name);
int udf_param_count(const Instance& inst, int index);

// Calls function `index` with `argc` argument values (copied into its parameters;
// arrays shared). The result lands in `result`. On failure the error is left on the
// instance (9015 for an error already reported inside the function; 9000 and 9999 pass
// through). `from_compiled`: the caller is a compiled line, which reads no token after
// the call, so the tokenizer's state is not kept for it.
void call_user_function(Instance& inst, int index, Value* args, int argc, Value& result,
                        bool from_compiled = false);

// Call(file, parameters): parses the parameter line into param0..paramN (the previous
// param1..paramN are dropped first), finds the file (1400 when missing) and runs it in
// the caller's frame. An error inside it has been shown there; the call then fails with
// 9013 (the real code beside it). 9000 (exit) and 9999 pass through.
void call_script_file(Instance& inst, std::string_view name, std::string_view params, Value& result);

// Error-handler state, saved and reset around calls.
struct HandlerState {
    int error_mode = 0;    // IntControl 73
    int cancel_mode = 0;   // IntControl 72
    bool cancel_inherited = false;
    std::string error_func;
    std::string cancel_func;
};

// What builtins read and change of the running scripts: the first fields of the
// statement loop's state (interp/run/exec.h).
struct ScriptState {
    const char* line_text = nullptr;  // the prepared text of the current line

    int error_display = 1;  // ErrorMode: 0 @OFF, 1 @CANCEL, 2 @NOTIFY
    uint16_t last_error = 0;
    uint16_t last_real = 0;
    HandlerState handlers;
    int execute_display = 0;  // IntControl 87

    // IntControl values other Parts read.
    int32_t share_read = 3;     // 39
    int32_t share_write = 1;    // 40
    int32_t four_digit_year = 1;  // 41
};
// Created with the statement loop's state on the first call.
ScriptState& script_state(Instance& inst);

}  // namespace kel::interp
