// Per-instance state of the tokenizer: the latest token and where the next one starts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kel::interp {

struct FastLine;
class Instance;
struct Value;

// Frees a compiled line (interp/run/fastline.cpp), which is one block with its arrays.
struct FastLineFree {
    void operator()(FastLine* f) const;
};
using FastLinePtr = std::unique_ptr<FastLine, FastLineFree>;

// The arguments of a compiled call of a builtin that reads its own argument list: instead
// of reading tokens the builtin has `eval` evaluate `nodes[0..count)` of `line` one by one,
// each as an expression without assignment.
struct OwnArgs {
    void* line = nullptr;
    const int32_t* nodes = nullptr;
    uint32_t count = 0;
    void (*eval)(Instance& inst, void* line, int32_t node, Value& out) = nullptr;
};

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

// One token of a cached line: what get_token produced when it started reading at `at`.
struct CachedToken {
    uint16_t at = 0;     // read position the token was asked for
    uint16_t start = 0;  // where the token began (after blanks)
    uint16_t end = 0;    // read position after the token
    uint8_t type = kTokNone;
    int16_t kw = -1;
    int32_t var_index = -1;  // a hint only: checked against the record's name before use
    uint32_t text_off = 0;
    uint32_t text_len = 0;
};

// The tokens of one prepared line without %substitution%. Keyword lookup depends on the
// functions defined so far and the host table, so those are part of the key.
struct LineTokens {
    // How the line was read from the script: the bytes from the read position up to and
    // including the line end, and where the line itself starts in them.
    std::string raw;
    uint32_t raw_first = 0;
    uint32_t raw_len = 0;
    bool raw_valid = false;
    uint64_t raw_serial = 0;  // the text `raw` was last found in unchanged
    bool raw_plain = false;  // no "%" and no "#" in front: preparing it changes nothing
    bool raw_comment = false;  // empty or a comment: the statement loop passes over it
    std::string line;
    std::vector<CachedToken> toks;
    // Names read as arrays (a name before "["): never replayed, since what such a name
    // is depends on the variable's value; only the compiler reads them.
    std::vector<CachedToken> elem_names;
    // Tokens read as a special form's name argument (without creating a variable): never
    // replayed either, kept for the compiler.
    std::vector<CachedToken> name_args;
    std::string texts;
    size_t udf_count = 0;
    const void* host_table = nullptr;
    // The compiled form of the line (interp/run/fastline.h), and how often compiling was tried.
    FastLinePtr fast;
    uint8_t fast_tries = 0;
    // The line that ran after this one last time (what the line cache gives for that
    // position, found without hashing).
    LineTokens* succ = nullptr;
    const void* succ_script = nullptr;
    size_t succ_pos = 0;
    // The compiled line that follows this one when the statement after it starts at
    // lane_pos, as the lane of compiled lines last found it (past comment lines, to
    // lane_npos), valid while ExecState::lane_epoch is lane_epoch.
    uint64_t lane_epoch = 0;
    size_t lane_pos = 0, lane_npos = 0;
    LineTokens* lane_next = nullptr;
    FastLine* lane_fl = nullptr;
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
    // Token cache of the line being run: `cache_base` is its prepared text.
    LineTokens* cache = nullptr;
    const char* cache_base = nullptr;
    uint32_t cache_len = 0;
    uint32_t cache_next = 0;
    // Set when the latest token depended on more than the text (a name before "[").
    bool volatile_token = false;
    // Set by a compiled call for the builtin it calls; taken (and cleared) by that
    // builtin's reading of its argument list.
    OwnArgs* own_args = nullptr;
    // The closing line of a multi-line string constant: the statement goes on there.
    std::string continued_line;
    // The length of the text the tokenizer wrote last: what the line cache keeps of a
    // token it has just read.
    uint32_t text_len = 0;
};

}  // namespace kel::interp
