// Files behind small handles, for callers outside the platform layer. Paths go through
// the one path normaliser ("\" -> "/", drive prefixes, case-insensitive match of existing
// components). Every descriptor is opened close-on-exec. Failures set last_error().
#pragma once
#include <string>
#include <string_view>
#include "platform/api.h"

namespace kel::platform {

struct File {
    int fd = -1;
    bool valid() const { return fd >= 0; }
};

enum class Open {
    Read,            // existing file, read
    WriteCreate,     // create or open without truncating, write
    WriteTruncate,   // create or truncate, write
    Append,          // create when missing, write at the end
};

KEL_PLATFORM_API std::string normalize_path(std::string_view path);
KEL_PLATFORM_API File file_open(const char* path, Open how);
KEL_PLATFORM_API File std_input();
KEL_PLATFORM_API File std_output();
KEL_PLATFORM_API bool file_close(File& f);  // standard handles are never closed
// Reads up to n bytes, retrying EINTR; returns bytes read (0 at end), -1 on error.
KEL_PLATFORM_API int64_t file_read(File f, void* buf, size_t n);
// Writes all n bytes (retrying short writes and EINTR); false on error.
KEL_PLATFORM_API bool file_write(File f, const void* buf, size_t n);
KEL_PLATFORM_API int64_t file_size(File f);  // -1 on error
KEL_PLATFORM_API bool file_seek(File f, int64_t pos);
KEL_PLATFORM_API bool file_is_pipe(File f);
// Bytes available in a pipe without blocking (-1 when it cannot be asked).
KEL_PLATFORM_API int64_t file_pipe_available(File f);
// Waits for readable input up to ms milliseconds (false on time-out).
KEL_PLATFORM_API bool file_wait_readable(File f, int ms);
// Exclusive advisory lock, waiting at most ms milliseconds; false when it times out.
KEL_PLATFORM_API bool file_lock_exclusive(File f, int ms);
KEL_PLATFORM_API void file_unlock(File f);

KEL_PLATFORM_API bool file_exists(const char* path);
KEL_PLATFORM_API bool dir_exists(const char* path);
KEL_PLATFORM_API bool file_delete(const char* path);
// Reads a whole file; false when it cannot be opened or read.
KEL_PLATFORM_API bool file_read_all(const char* path, std::string* out);

}  // namespace kel::platform
