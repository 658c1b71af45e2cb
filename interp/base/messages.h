// Message texts by number and the language file that may replace them. Composing the
// message line, the dialogs and the error log is the error reporter's job.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include "shared/err.h"

namespace kel::interp {

// The built-in text of a message; empty when the table has none.
std::string_view builtin_message(int number);

// The text a user sees. The language file is platform::language_file() (chosen again
// whenever `number` is 0). When there is one, numbers from 100 up are read from its
// section "MAIN", key "X" + number; a missing key falls back to the built-in text. "~"
// becomes a line feed and "|" a tab. Empty when the number has no text. The view stays
// valid until the process ends.
std::string_view message_text(int number);
inline std::string_view message_text(Err e) { return message_text(err_number(e)); }
inline std::string_view builtin_message(Err e) { return builtin_message(err_number(e)); }

// LoadMyString: copies the text into buf (at most size - 1 bytes and a NUL) and returns
// the number of bytes copied.
size_t load_message(int number, char* buf, size_t size);

// Forgets the language choice, so that the next message_text() chooses again.
void reset_message_language();

// Fills a message text that holds a printf-style specifier: the first "%" + `spec`
// ('d' or 's') becomes `value`; every other character, "%" included, is copied as it
// is, so a language file's text can never act as a format of its own.
std::string fill_message(std::string_view text, char spec, std::string_view value);
// The text a user sees for `e` with its "%s" (a text) or "%d" (a number) filled.
std::string fill_message(Err e, std::string_view text);
std::string fill_message(Err e, long long number);

}  // namespace kel::interp
