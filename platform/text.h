// Text services: code-page conversion, per-byte character tables of the ANSI code page,
// and the word-sort and logical comparisons. Number formatting lives with the evaluator.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "platform/api.h"

namespace kel::platform {

// Code page numbers keep their Windows values; 0 and 1 (and 3) stand for the ANSI and
// OEM code pages wherever a code page is taken.
constexpr uint32_t kCpAcp = 0;
constexpr uint32_t kCpOemCp = 1;
constexpr uint32_t kCpThreadAcp = 3;
constexpr uint32_t kCpOem437 = 437;
constexpr uint32_t kCpOem850 = 850;
constexpr uint32_t kCpWindows1252 = 1252;
constexpr uint32_t kCpAscii = 20127;
constexpr uint32_t kCpLatin1 = 28591;
constexpr uint32_t kCpUtf8 = 65001;

// Windows C1 character-type bits (GetStringType CT_CTYPE1).
constexpr uint16_t kC1Upper = 0x001;
constexpr uint16_t kC1Lower = 0x002;
constexpr uint16_t kC1Digit = 0x004;
constexpr uint16_t kC1Space = 0x008;
constexpr uint16_t kC1Punct = 0x010;
constexpr uint16_t kC1Cntrl = 0x020;
constexpr uint16_t kC1Blank = 0x040;
constexpr uint16_t kC1Xdigit = 0x080;
constexpr uint16_t kC1Alpha = 0x100;

// The ANSI code page: 1252 unless `CodePage` in section MAIN of FENSCRPT.INI names
// another valid one; read on first use. OEM is always 437.
KEL_PLATFORM_API uint32_t ansi_code_page();
KEL_PLATFORM_API uint32_t oem_code_page();
// Test hook: forces the ANSI code page (0 or an invalid page: read the settings again
// on next use).
KEL_PLATFORM_API void set_ansi_code_page(uint32_t cp);

// True for the built-in pages and any page glibc iconv can convert. 0, 1 and 3 are valid.
KEL_PLATFORM_API bool code_page_valid(uint32_t cp);
// Double-byte handling exists only for 932, 936, 949 and 950.
KEL_PLATFORM_API bool is_dbcs_code_page(uint32_t cp);
KEL_PLATFORM_API bool is_lead_byte(uint8_t b, uint32_t cp);
// Lead byte of the ANSI code page (always false for single-byte pages).
KEL_PLATFORM_API bool is_lead_byte(uint8_t b);

// MultiByteToWideChar. Bytes a page does not define become U+FFFD in UTF-8 and "?"
// elsewhere; 1252 round-trips all 256 bytes. An invalid code page gives "".
KEL_PLATFORM_API std::u16string to_wide(std::string_view s, uint32_t cp);
// WideCharToMultiByte without best fit: unconvertible characters become "?" and set
// *lossy. An invalid code page gives "".
KEL_PLATFORM_API std::string from_wide(std::u16string_view w, uint32_t cp, bool* lossy = nullptr);
// Buffer forms for callers that allocate the result themselves (the string heap): each
// returns the length the whole conversion needs and writes at most out_cap units of it,
// never part of a character; out may be nullptr to ask for the length. The result is
// complete only when the returned length <= out_cap. An invalid code page returns 0.
KEL_PLATFORM_API size_t to_wide(std::string_view s, uint32_t cp, char16_t* out, size_t out_cap);
KEL_PLATFORM_API size_t from_wide(std::u16string_view w, uint32_t cp, char* out, size_t out_cap,
                                  bool* lossy = nullptr);

// Character tests and case mapping of the ANSI code page, from its per-byte tables
// (never the process locale). Lead bytes of a double-byte page are none of these.
KEL_PLATFORM_API uint16_t char_type_bits(uint8_t c);
KEL_PLATFORM_API bool is_alpha(uint8_t c);
KEL_PLATFORM_API bool is_alnum(uint8_t c);
KEL_PLATFORM_API bool is_upper(uint8_t c);
KEL_PLATFORM_API bool is_lower(uint8_t c);
KEL_PLATFORM_API bool is_digit(uint8_t c);
KEL_PLATFORM_API bool is_space(uint8_t c);
KEL_PLATFORM_API bool is_punct(uint8_t c);
KEL_PLATFORM_API bool is_cntrl(uint8_t c);
KEL_PLATFORM_API uint8_t to_upper(uint8_t c);
KEL_PLATFORM_API uint8_t to_lower(uint8_t c);
// CharUpperBuff / CharLowerBuff on ANSI text: a double-byte character is left as it is.
KEL_PLATFORM_API void upper_in_place(char* s, size_t n);
KEL_PLATFORM_API void lower_in_place(char* s, size_t n);

// The same for UTF-16 units (Latin-1, Latin Extended-A, Greek and Cyrillic mapped;
// other units are letters without case when the tables do not know them otherwise).
KEL_PLATFORM_API uint16_t char_type_bits_w(char16_t c);
KEL_PLATFORM_API bool is_alpha_w(char16_t c);
KEL_PLATFORM_API bool is_upper_w(char16_t c);
KEL_PLATFORM_API bool is_lower_w(char16_t c);
KEL_PLATFORM_API char16_t to_upper_w(char16_t c);
KEL_PLATFORM_API char16_t to_lower_w(char16_t c);
KEL_PLATFORM_API void upper_in_place_w(char16_t* s, size_t n);
KEL_PLATFORM_API void lower_in_place_w(char16_t* s, size_t n);

// lstrcmp / lstrcmpi ("word sort"): -1, 0 or 1. Narrow text is read in the ANSI code
// page. Hyphens and apostrophes count only when all else is equal, so "coop" < "co-op"
// < "cop"; lower case sorts before upper case ("a" < "A" < "b"). Texts that differ only
// in characters the sort ignores still compare unequal, by code unit.
KEL_PLATFORM_API int compare_word_sort(std::string_view a, std::string_view b, bool ignore_case);
KEL_PLATFORM_API int compare_word_sort(std::u16string_view a, std::u16string_view b, bool ignore_case);
// StrCmpLogicalW: runs of digits compare as numbers, the rest as word sort without case.
KEL_PLATFORM_API int compare_logical(std::string_view a, std::string_view b);
KEL_PLATFORM_API int compare_logical(std::u16string_view a, std::u16string_view b);

}  // namespace kel::platform
