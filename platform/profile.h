// INI ("profile") files: sections and keys compared without case, first match wins,
// value = text after the first "=", blanks trimmed, one pair of surrounding quotes
// removed; ";" comment lines; CR LF line ends; writes lock and replace the file
// atomically. A file name without a directory resolves to the program directory.
// Values and lists are returned whole (no buffer limit).
#pragma once
#include <string>
#include <string_view>
#include <vector>
#include "platform/api.h"

namespace kel::platform {

// Copies the value (or `def` when missing) into out, cut to outsz - 1; returns its length.
KEL_PLATFORM_API size_t profile_get(const char* file, const char* section, const char* key, const char* def,
                                    char* out, size_t outsz);
KEL_PLATFORM_API std::string profile_get_string(const char* file, const char* section, const char* key,
                                                const char* def = "");
// The decimal integer value of a key (leading blanks, sign, digits), or `def` when missing.
KEL_PLATFORM_API int32_t profile_get_int(const char* file, const char* section, const char* key, int32_t def);
// The profile's integer rule on a value already read: leading blanks, sign, digits
// (wrapping in 32 bits); `def` for an empty value, 0 for one without digits.
KEL_PLATFORM_API int32_t profile_int(std::string_view value, int32_t def);
// Several keys of one section from one read of the file; "" for each missing key.
// `found`, when given, receives the name of the file as it exists (its case matched), or
// "" when there is no such regular file.
KEL_PLATFORM_API std::vector<std::string> profile_get_strings(const char* file, const char* section,
                                                              const std::vector<const char*>& keys,
                                                              std::string* found = nullptr);
// value == nullptr deletes the key; key == nullptr deletes the section. With section, key
// and value all nullptr nothing is written (true: every read reads the file, or a copy
// of it while stat() shows the file unchanged). Writers hold an exclusive lock on the
// file from reading it until the replacement is renamed over it, so concurrent writers
// lose nothing and readers never see a half-written file. Failures set last_error() (32 when the lock is not had in time).
KEL_PLATFORM_API bool profile_write(const char* file, const char* section, const char* key, const char* value);
// profile_write for the user's own settings file, which lives in a folder that nothing
// else creates (~/.config/<maker>/Settings): missing directories of the path are made
// first (private to the user), then the key is written.
KEL_PLATFORM_API bool profile_write_create(const char* file, const char* section, const char* key, const char* value);
// A whole section's "key=value" lines, each ended by "\n", for callers that list it.
KEL_PLATFORM_API std::string profile_section(const char* file, const char* section);
// Names of all sections, and of the keys of one section, in file order (duplicates once,
// as first spelled).
KEL_PLATFORM_API std::vector<std::string> profile_section_names(const char* file);
KEL_PLATFORM_API std::vector<std::string> profile_key_names(const char* file, const char* section);

}  // namespace kel::platform
