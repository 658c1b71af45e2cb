// Reserved and committed address space, for the interpreter's string heap region.
#pragma once
#include "platform/api.h"

namespace kel::platform {

KEL_PLATFORM_API size_t vm_page_size();
// Reserve `bytes` of address space with no access; nullptr on failure.
KEL_PLATFORM_API void* vm_reserve(size_t bytes);
// Make [base, base + bytes) readable and writable. `bytes` never exceeds the reservation.
KEL_PLATFORM_API bool vm_commit(void* base, size_t bytes);
KEL_PLATFORM_API bool vm_decommit(void* base, size_t bytes);
// As vm_decommit, where [zero_from, zero_to) of the range was never written since it was
// committed (its owner says so): a reused worker keeps those pages without clearing them.
KEL_PLATFORM_API bool vm_decommit_except(void* base, size_t bytes, size_t zero_from, size_t zero_to);
KEL_PLATFORM_API bool vm_release(void* base, size_t bytes);
// Read-write memory mapped below 2 GiB, so that its address fits a script integer
// (binary buffers handed to native libraries); nullptr (last_error 8) when none is left.
KEL_PLATFORM_API void* vm_alloc_low(size_t bytes);
KEL_PLATFORM_API bool vm_free_low(void* p, size_t bytes);
// As vm_free_low, where only the first `used` bytes were ever written: a mapping kept for
// the next request is cleared only that far.
KEL_PLATFORM_API bool vm_free_low_used(void* p, size_t bytes, size_t used);
// Test hook: make vm_reserve fail for requests above `limit` (0 = no limit).
KEL_PLATFORM_API void vm_set_reserve_limit(size_t limit);

}  // namespace kel::platform
