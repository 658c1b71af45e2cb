// Preparing script text before it runs: UTF-16 to the ANSI code page and line ends.
// #include expansion and scrambling belong to the loader.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kel::interp {

// Converts UTF-16 units (little-endian unless `big_endian`) to code page `cp` (0: the
// ANSI code page in force); characters it lacks become '?'.
std::string utf16_to_ansi(const unsigned char* bytes, size_t units, bool big_endian, uint32_t cp);

// A buffer of `size` bytes starting with a UTF-16 byte-order mark (FF FE or FE FF) is
// converted in place to NUL-terminated text in code page `cp`. Returns the new length,
// or -1 when the result would be empty (a buffer holding only the mark) or would not fit.
long convert_utf16_buffer(char* buf, size_t size, uint32_t cp);
bool has_utf16_bom(const char* buf, size_t size);

// CR LF becomes blank + LF; a CR alone becomes LF. Nothing else changes.
void normalize_line_ends(char* text, size_t len);

}  // namespace kel::interp
