// The language file both the host and the interpreter read their message texts from.
#pragma once
#include <string>
#include "platform/api.h"

namespace kel::platform {

// The language file in use, "" when there is none; chosen on the first call and kept for
// the process. The language code is the value "Language" of section "MAIN" in
// FENSCRPT.INI; when that is missing, empty or "XXX" (any case), the system's "sLanguage"
// of section "INTL" (win.ini), default "enu". The file is "FENDLANG." + code in the
// program directory, else that name found by search_path(), else a file named "FENDLANG"
// found by search_path(). A code holding "/", "\", ":" or ".." names no file of its own.
KEL_PLATFORM_API const std::string& language_file();

// Forgets the choice, so that the next language_file() chooses again.
KEL_PLATFORM_API void reset_language_file();

}  // namespace kel::platform
