// Export marker for the platform layer (libkelplatform.so).
#pragma once
#include <cstddef>
#include <cstdint>

#define KEL_PLATFORM_API __attribute__((visibility("default")))
