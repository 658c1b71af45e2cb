// Script text as the statement loop runs it: loading a file for Call, #include expansion
// with marker lines, the line reader, line preparation (%variable% and the run-time
// #include rewrite). Text is held plainly; positions are byte offsets into it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "interp/base/instance.h"

namespace kel::interp {

constexpr size_t kLineMax = 2048;
constexpr size_t kLineBufSize = 2050;
constexpr int kIncludeDepthMax = 16;
constexpr size_t kIncludeNameMax = 260;
constexpr char kMarkerTab = '\v';
constexpr char kDecodedMark = '\f';

// One runnable text: the host's buffer, a Call'ed file or a stored function body.
struct Script {
    std::string text;
    std::string file;  // path it was loaded from ("" for the host's buffer)
    std::string dir;   // directory part of `file`, with its trailing separator
    // Label positions found so far (lower-case label -> offset of the line after it), so
    // that goto and gosub search each label once per text without rewriting the text.
    mutable std::unordered_map<std::string, uint32_t> labels;
    bool is_body = false;
    // Identifies this text to the statement loop's line cache (0 = not given yet). A copy
    // is another text as far as the cache is concerned.
    struct Serial {
        uint64_t id = 0;
        const char* data = nullptr;
        size_t size = 0;
        void* entry = nullptr;  // the cached line a run starts with, at entry_pos
        size_t entry_pos = 0;
        Serial() = default;
        Serial(const Serial&) {}
        Serial& operator=(const Serial&) {
            id = 0;
            entry = nullptr;
            return *this;
        }
    };
    mutable Serial serial;
};

// A marker line: ";" VT origin "@" + the line number in four 6-bit digits + path + LF.
std::string marker_line(uint32_t line_no, std::string_view path, char origin = 'A');
// Decodes a marker line's number and path; false when `line` is not a marker.
bool parse_marker(std::string_view line, uint32_t* line_no, std::string_view* path);

// The header line a decoded script starts with (";" FF ...).
inline bool is_decoded_header(std::string_view line) {
    return line.size() >= 2 && line[0] == ';' && line[1] == kDecodedMark;
}

// Expands #include lines of `text` (the file at `path`, includes resolved against `dir`).
// Returns 0, or 216 (no memory), 218 (nesting), 217 (a file that cannot be read; its name
// in *bad_name).
int expand_includes(Instance& inst, std::string& text, std::string_view path, std::string_view dir, int depth,
                    std::string* bad_name);

// The search for a script name without a directory: PATH, then the system search path.
// Names with a directory must exist as given. "" when nothing was found.
std::string find_script_file(std::string_view name);

// Reads a script file for Call and prepares it (encoded check, UTF-16, line ends,
// #include). On failure the message has been reported (error dialog or log) and false
// is returned.
bool load_script_file(Instance& inst, const std::string& path, Script& out);

// Prepares a buffer the host handed over (already converted and normalised).
bool prepare_host_buffer(Instance& inst, Script& s);

// The line reader. Reads from `pos` (advanced past what it consumes) into `out`
// (kLineBufSize bytes) without the leading blanks; *first is the offset of the first
// character copied. *too_long is set when the line was cut at 2048 characters.
// False at the end of the text.
bool read_line(std::string_view text, size_t& pos, char* out, size_t* out_len, size_t* first, bool* too_long);

// Line preparation: %variable% substitution into `line` (in place, at most 2048
// characters; 3047, 3048, 3101 on failure) and the run-time #include rewrite.
// *substituted tells whether any reference was replaced.
bool prepare_line(Instance& inst, char* line, size_t* len, bool* substituted, std::string_view script_dir);

// Parses a #DefineFunction / #DefineSubroutine header after the keyword. False on
// syntax errors. Names are lower-cased.
struct UdfHeader {
    std::string name;
    std::string params[16];
    int param_count = 0;
};
bool parse_udf_header(std::string_view rest, UdfHeader* out);

// A value as text (%substitution%): strings as they are, numbers formatted.
bool value_to_text(Instance& inst, const ValueCore& v, std::string* out);

// Case-insensitive prefix test.
bool starts_with_ci(std::string_view s, std::string_view prefix);

}  // namespace kel::interp
