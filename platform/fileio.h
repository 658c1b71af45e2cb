// Files behind small handles, for callers outside the platform layer. Paths go through
// the one path normaliser ("\" -> "/", drive prefixes, case-insensitive match of existing
// components). Every descriptor is opened close-on-exec. Failures set last_error().
#pragma once
#include <string>
#include <string_view>
#include <vector>
#include "platform/api.h"

namespace kel::platform {

struct File {
    int fd = -1;
    // The file's size as its open found it (what file_size said then; -1 when not
    // known), so that a reader of the whole file need not ask again. Writes change the
    // file, not this.
    int64_t size_at_open = -1;
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
// The standard input and output; invalid when the descriptor was closed at start.
KEL_PLATFORM_API File std_input();
KEL_PLATFORM_API File std_output();
KEL_PLATFORM_API bool file_close(File& f);  // standard handles are never closed
// Reads up to n bytes, retrying EINTR; returns bytes read (0 at end), -1 on error.
KEL_PLATFORM_API int64_t file_read(File f, void* buf, size_t n);
// Reads up to n bytes at `offset` without moving the file position (-1 on error, for
// instance on an append-only descriptor of a file without read permission).
KEL_PLATFORM_API int64_t file_read_at(File f, void* buf, size_t n, int64_t offset);
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
// Appends `data` to the file (created when missing) as one write under an exclusive lock
// held at most wait_ms milliseconds, so entries from concurrent processes never
// interleave. False when it cannot be opened, locked in time or written.
KEL_PLATFORM_API bool file_append_locked(const char* path, std::string_view data, int wait_ms);

KEL_PLATFORM_API bool file_exists(const char* path);
KEL_PLATFORM_API bool dir_exists(const char* path);
KEL_PLATFORM_API bool file_delete(const char* path);
// Reads a whole file; false when it cannot be opened or read.
KEL_PLATFORM_API bool file_read_all(const char* path, std::string* out);

// The normalised path, matched without regard to case against what exists (the name as
// given where nothing matches): the name every file-system call here actually uses.
KEL_PLATFORM_API std::string resolve_path(std::string_view path);
// An absolute "/"-separated path with "." and ".." folded, relative to the current directory.
KEL_PLATFORM_API std::string full_path(std::string_view path);

// Share modes (Windows values: bit 1 others may read, bit 2 others may write). An open
// that another open's share mode denies, in this process or another, fails with
// last_error() 32. Defaults of the system: read share 3, write share 1.
constexpr int kShareNone = 0;
constexpr int kShareRead = 1;
constexpr int kShareWrite = 2;
constexpr int kShareReadWrite = 3;
KEL_PLATFORM_API File file_open_shared(const char* path, Open how, int share);

// Windows attribute bits, derived from the mode: read-only = no owner write bit,
// hidden = a leading ".", archive on regular files, system never.
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrHidden = 0x2;
constexpr uint32_t kAttrSystem = 0x4;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrNormal = 0x80;

// Times are Unix seconds plus nanoseconds (UTC).
struct FileTime {
    int64_t sec = 0;
    int32_t nsec = 0;
};

struct FileInfo {
    std::string name;  // the entry's own name (listings) or the resolved path (file_info)
    uint64_t size = 0;
    uint32_t attributes = 0;
    bool is_dir = false;
    FileTime write_time;
    FileTime access_time;
    FileTime create_time;  // birth time where the file system keeps one, else the change time
};

// A local calendar time (as the TZ rules give it) as Unix seconds; false when the
// system cannot express it.
KEL_PLATFORM_API bool local_fields_to_unix(int year, int month, int day, int hour, int minute, int second,
                                           int64_t* out);

// False (last_error 2 or 3) when the entry does not exist. Symbolic links are followed.
KEL_PLATFORM_API bool file_info(const char* path, FileInfo* out);
// Sets the write and/or access time (nullptr leaves that time alone).
KEL_PLATFORM_API bool file_set_times(const char* path, const FileTime* write, const FileTime* access);
// Only the read-only bit has an effect (the owner/group/other write bits, as umask allows).
KEL_PLATFORM_API bool file_set_attributes(const char* path, uint32_t attributes);

// Windows wildcard match on a long name, without regard to case: "*", "?", "*.*" matches
// every name, a trailing "." matches names without an extension.
KEL_PLATFORM_API bool wildcard_match(std::string_view pattern, std::string_view name);
// The entries of `dir` whose names match `pattern` ("" or "*" for all), "." and ".."
// never, hidden entries (leading ".") only when asked; sorted by upper-cased name.
// False when the directory cannot be read.
KEL_PLATFORM_API bool dir_list(const char* dir, std::string_view pattern, bool include_hidden,
                               std::vector<FileInfo>* out);

// Copy and move replace the target through a temporary file in its directory and a
// rename; a copy or move of a file onto itself fails with 32 and leaves it untouched.
KEL_PLATFORM_API bool file_copy(const char* from, const char* to);
KEL_PLATFORM_API bool file_move(const char* from, const char* to);  // also renames
// Whether both names exist and are one file (same device and inode: spellings, links).
KEL_PLATFORM_API bool same_file(const char* a, const char* b);
KEL_PLATFORM_API bool dir_make(const char* path);    // one level; 183 when it exists
KEL_PLATFORM_API bool dir_remove(const char* path);  // must be empty (145)
KEL_PLATFORM_API bool dir_rename(const char* from, const char* to);
// Free bytes for an unprivileged user and total bytes of the file system holding `path`.
KEL_PLATFORM_API bool disk_space(const char* path, uint64_t* free_bytes, uint64_t* total_bytes);

}  // namespace kel::platform
