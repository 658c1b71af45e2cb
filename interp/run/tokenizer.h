// The tokenizer: cuts the prepared line into tokens on demand. The state is inst.tok;
// every failure is a number on the instance (3053, 3054, 3055, 3097, 3338, 3339).
#pragma once
#include <string>
#include <string_view>

#include "interp/base/instance.h"
#include "interp/base/keywords.h"
#include "interp/base/token_state.h"
#include "interp/base/value.h"
#include "interp/api/services.h"

namespace kel::interp {

// Starts reading `line` (NUL-terminated, kept alive by the caller).
void token_begin(Instance& inst, const char* line);
// get_token and get_string_token: interp/api/services.h.
// Moves the read position back to the start of the latest token. One token only.
void putback(Instance& inst);

// Makes `cache` the token cache of the prepared line `line` (len bytes, kept alive by the
// caller until the next call); the cache is emptied when it was made for other text.
// Null turns the cache off for the line.
void token_cache_line(Instance& inst, LineTokens* cache, const char* line, size_t len);

// The special forms whose arguments are names read without creating a variable
// (isdefined, vartype, objecttypeget, drop): a pre-read keeps those names as the text
// keeps them.
constexpr bool name_arg_form(int kw) {
    return kw == Kw::IsDefined || kw == Kw::VarType || kw == Kw::ObjectTypeGet || kw == Kw::Drop;
}

// Empties the token lists of a line cache (its text stays).
void token_cache_clear(LineTokens& c);

// Reads the whole line of the line cache just made (token_cache_line, nothing read yet)
// in sequence as get_token reads it, and keeps its tokens there, as the text's reading
// would keep them; no variable is created and nothing raised. `first_ok` says whether a
// statement starting with the first token is worth reading further. False, with the
// cache emptied, for anything such a reading cannot do exactly: a tokenizer error, a
// multi-line string, a dotted name, a name before "[" that is no array's, a special form
// other than those of name_arg_form or of another shape than "(" name ..., too many tokens.
bool token_preread(Instance& inst, bool (*first_ok)(const Instance& inst, uint8_t type, int kw));

// Reads a multi-line string constant whose opening delimiter was the latest token. With
// `out` the text becomes a new string value; without it the lines are only checked.
void read_multiline_string(Instance& inst, Value* out);

// Does the token starting at `p`, read after a token of type `prev_type` (keyword
// `prev_kw`), make the next token create its variable defined? An "&" in unary position
// (after a keyword other than ")" or a constant) does.
bool address_of_at(const Instance& inst, const char* p, uint8_t prev_type, int prev_kw);

// The letter test of the ANSI code page (1252); the characters names are made of
// (is_name_char) are in interp/api/services.h.
// A name (folded) followed by "[" is an array access when the variable holds an array,
// or a pointer to a variable that holds one.
bool names_array(Instance& inst, const std::string& key);
// A name read without creating its variable is written, marked, into the scratch
// record's name.
void name_to_scratch(Instance& inst, std::string_view key);
bool is_letter(unsigned char c);

}  // namespace kel::interp
