// User-defined functions and subroutines (#DefineFunction / #DefineSubroutine): the
// function table the statement loop fills as it passes definitions, and calls into it.
// Keyword ids 4000 + index name table entries.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "interp/base/instance.h"
#include "interp/base/value.h"

namespace kel::interp {

constexpr int kUdfBase = 4000;
constexpr int kMaxUdf = 512;
constexpr int kMaxUdfParams = 16;

// Number of defined functions; their names (lower case) and parameter counts.
int udf_count(const Instance& inst);
std::string_view udf_name(const Instance& inst, int index);
int udf_param_count(const Instance& inst, int index);
bool udf_is_subroutine(const Instance& inst, int index);
// Index of the function with exactly this lower-case name, or -1.
int udf_find(const Instance& inst, std::string_view lowercase_name);

// Calls function `index` with `argc` argument values (copied into its parameters;
// arrays shared). The result lands in `result`. On failure the error is left on the
// instance (9015 for an error already reported inside the function; 9000 and 9999 pass
// through). `from_compiled`: the caller is a compiled line, which reads no token after
// the call, so the tokenizer's state is not kept for it.
void call_user_function(Instance& inst, int index, Value* args, int argc, Value& result,
                        bool from_compiled = false);

// A call of the user-defined function `id` (4000 range) from a compiled line, with its
// arguments evaluated (none an array): call_udf's result handling, and the arguments
// are released.
void call_udf_compiled(Instance& inst, int id, Value& out, Value* args, int argc);

// The line reader of the source being run, for readers that span lines (multi-line
// string constants): copies the next raw line into `out` and advances the statement
// loop's read position past it. False at the end of the text.
bool source_read_line(Instance& inst, std::string& out);

// Call(file, parameters): parses the parameter line into param0..paramN (the previous
// param1..paramN are dropped first), finds the file (1400 when missing) and runs it in
// the caller's frame. An error inside it has been shown there; the call then fails with
// 9013 (the real code beside it). 9000 (exit) and 9999 pass through.
void call_script_file(Instance& inst, std::string_view name, std::string_view params, Value& result);
// The parameter-line words: blanks and tabs separate; quoted parts ("", '', ``) lose their
// quotes, a doubled quote inside stands for one, and join the text around them.
std::vector<std::string> parse_param_line(std::string_view line);
void set_call_params(Instance& inst, std::string_view params);

}  // namespace kel::interp
