// Per-instance state of the tokenizer: the latest token and where the next one starts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kel::interp {

constexpr size_t kTokenTextSize = 2050;  // one line (2,048 characters) and room to spare
constexpr size_t kMaxStringToken = 2048;

enum TokenType : uint8_t {
    kTokNone = 0,       // end of line or a comment
    kTokKeyword = 1,    // kw holds the keyword index
    kTokVariable = 2,   // var_index holds the record in the current table
    kTokInteger = 3,
    kTokString = 4,
    kTokFloat = 5,
    kTokMultiline = 6,  // the "$\"" that opens a multi-line string constant
};

struct TokenState {
    char text[kTokenTextSize] = {};
    uint8_t type = kTokNone;
    int16_t kw = -1;
    const char* pos = nullptr;    // read position in the prepared line
    const char* start = nullptr;  // where the latest token began, for putback
    int32_t var_index = -1;       // record of the latest variable token (0 = scratch)
    // Set by the caller before a name that must not create a variable; cleared by every read.
    bool no_create = false;
    // An "&" read in unary position: the next new variable is created defined.
    bool address_of = false;
    // Set while ptrpersistent reads its name; cleared after the next token.
    bool persistent_name = false;
    // Set while PtrGlobalDefine and ?makepointer read their name: a new variable is
    // created defined. Cleared after the next token.
    bool define_name = false;
    // Index of the user-defined function whose persistent variables ptrpersistent names;
    // kept current by the user-function caller.
    int32_t current_udf = 0;
    // The closing line of a multi-line string constant: the statement goes on there.
    std::string continued_line;
};

}  // namespace kel::interp
