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
#include "interp/api/services.h"
#include "interp/base/keywords.h"

namespace kel::interp {

constexpr int kUdfBase = kUdfIdFirst;
constexpr int kMaxUdf = 512;

// Number of defined functions and their names (lower case); their parameter counts and
// udf_find are in interp/api/services.h.
int udf_count(const Instance& inst);
std::string_view udf_name(const Instance& inst, int index);
bool udf_is_subroutine(const Instance& inst, int index);
// Calling a function (call_user_function) and a script (call_script_file): also there.

// A call of the user-defined function `id` (4000 range) from a compiled line, with its
// arguments evaluated (none an array): call_udf's result handling, and the arguments
// are released.
void call_udf_compiled(Instance& inst, int id, Value& out, Value* args, int argc);

// The line reader of the source being run, for readers that span lines (multi-line
// string constants): copies the next raw line into `out` and advances the statement
// loop's read position past it. False at the end of the text.
bool source_read_line(Instance& inst, std::string& out);

// The parameter-line words: blanks and tabs separate; quoted parts ("", '', ``) lose their
// quotes, a doubled quote inside stands for one, and join the text around them.
std::vector<std::string> parse_param_line(std::string_view line);
void set_call_params(Instance& inst, std::string_view params);

}  // namespace kel::interp
