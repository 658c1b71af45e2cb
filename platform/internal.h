// Helpers shared by the platform's own sources; never installed for other callers.
#pragma once
#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

struct stat;
namespace kel::platform { struct OutputSink; }

namespace kel::platform::detail {

// `n` pollfd entries for one poll: on the stack up to N (a worker's few descriptors cost
// no allocation), on the heap past that.
template <size_t N>
struct PollSet {
    pollfd small[N];
    std::vector<pollfd> large;
    pollfd* p;
    explicit PollSet(size_t n) : p(small) {
        if (n > N) {
            large.resize(n);
            p = large.data();
        }
    }
};

// last_error() from the current errno.
void set_error_from_errno();
// The existing entry matching `path` exactly or, failing that, component by component
// without regard to case; the path itself when nothing matches. `path` is normalised.
std::string resolve_existing(const std::string& path);
// For files about to be created: the directory resolved as above and the last component
// reusing an existing case-insensitive match.
std::string resolve_for_create(const std::string& path);
// stat() of the entry `*path` (normalised) names: the name as given when it is there
// (one call), else matched as resolve_existing does, and `*path` becomes that name.
// False with errno set when nothing is there.
bool stat_existing(std::string* path, struct ::stat* st);
// FENSCRPT.INI changed: forget the drive map read from it.
void drive_map_invalidate();
// Program-directory file names: "name" -> program_dir() + "/name".
std::string in_program_dir(std::string_view name);
// Every clock reading of the platform. The first readings in a process are system calls:
// the first use of the vDSO's clock maps its two data pages, two page faults that cost
// more than a hundred system calls, while a short request reads the clock only a handful
// of times. Later readings use the vDSO.
void read_clock(clockid_t id, timespec* ts);
// Milliseconds on the monotonic clock, for deadlines.
int64_t monotonic_ms();
// Wakes anyone blocked in the wait primitive (async-signal-safe).
void wake_waiters();
// The standard output's sink (std_output.h), nullptr for descriptor 1; and its finish,
// run once by every exit path before the process ends.
extern const OutputSink* g_output_sink;
void finish_std_output(int exit_code);
// What file_write() gives descriptor 1: the sink, or the output buffer.
bool write_std_output(const void* buf, size_t n);
bool flush_std_output_buffer();

// Between two requests of a reused worker (request_reset.h): each module back to the
// state a fresh process starts with.
bool is_platform_fd(int fd);  // a descriptor the platform keeps for itself
void reset_message_queue();
void reset_memory_blocks();
void reset_regions();
void keep_pages_between_requests();  // from the first request of a reused worker on
// Whether this process serves one request after another (a reused worker): only then is
// it worth keeping copies of what it read for the next request.
bool serves_many_requests();
void reset_file_caches();
void reset_process_state();
void reset_std_output();

}  // namespace kel::platform::detail
