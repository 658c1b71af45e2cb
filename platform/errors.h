// The last system error of the calling thread, as a Windows error code
// (2 file not found, 3 path not found, 5 access denied, 32 sharing violation, ...).
#pragma once
#include "platform/api.h"

namespace kel::platform {

KEL_PLATFORM_API uint32_t last_error();
KEL_PLATFORM_API void set_last_error(uint32_t code);
KEL_PLATFORM_API uint32_t error_from_errno(int err);  // errno -> Windows code
KEL_PLATFORM_API const char* error_text(uint32_t code);  // English text of a Windows code

}  // namespace kel::platform
