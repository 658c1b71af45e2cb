// Code pages without a built-in table, through glibc iconv. The interpreter's own tables
// (1252, 28591, 20127, 437, 850, 65001) never come here.
#pragma once
#include <string>
#include <string_view>
#include "platform/api.h"

namespace kel::platform {

// Whether iconv knows the code page (932, 936, 949, 950, 1250-1258, 28592-28606, 20866, ...).
KEL_PLATFORM_API bool codepage_known(uint32_t codepage);
// Unconvertible or invalid input becomes "?" (U+003F); never a best-fit look-alike.
// False only when the code page is unknown.
KEL_PLATFORM_API bool codepage_to_utf16(uint32_t codepage, std::string_view in, std::u16string* out);
KEL_PLATFORM_API bool codepage_from_utf16(uint32_t codepage, std::u16string_view in, std::string* out);

}  // namespace kel::platform
