// The process: its rebuilt command line, directories, environment, search path, ticks,
// local time and exit.
#pragma once
#include <string>
#include <string_view>
#include "platform/api.h"

namespace kel::platform {

// Records argv and rebuilds the command line (arguments joined by blanks; one holding a
// blank, tab or quote written in double quotes). Call once from main().
KEL_PLATFORM_API void process_init(int argc, char** argv);
KEL_PLATFORM_API int arg_count();
KEL_PLATFORM_API const char* arg(int i);  // nullptr past the end
KEL_PLATFORM_API const std::string& command_line();
// Offset in command_line() where argument i starts (after its opening quote when quoted).
KEL_PLATFORM_API size_t arg_offset(int i);

// Directory of the program file, without trailing "/" (from /proc/self/exe), and its file name.
KEL_PLATFORM_API const std::string& program_dir();
KEL_PLATFORM_API const std::string& program_file_name();
// The directory current when the process started.
KEL_PLATFORM_API const std::string& start_dir();
// TMP, tmp, TEMP, temp, HOMEPATH, TMPDIR, else "/tmp/"; always ends in "/".
KEL_PLATFORM_API std::string temp_dir();
KEL_PLATFORM_API std::string current_dir();
KEL_PLATFORM_API bool set_current_dir(const char* path);

// Environment: exact name first, then without regard to case.
KEL_PLATFORM_API bool env_get(const char* name, std::string* out);
KEL_PLATFORM_API bool env_set(const char* name, const char* value);  // nullptr value removes it
KEL_PLATFORM_API char** env_block();

// SearchPath: `dir` when given, else the program directory, the current directory and
// then PATH. Returns the full path, or "" when not found.
KEL_PLATFORM_API std::string search_path(const char* name, const char* dir = nullptr);

// Milliseconds of the monotonic clock, truncated to 32 bits; and in 64 bits.
KEL_PLATFORM_API uint32_t tick_count();
KEL_PLATFORM_API uint64_t tick_count64();
KEL_PLATFORM_API uint64_t perf_counter_ns();

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond, weekday;  // weekday 0 = Sunday
};
KEL_PLATFORM_API LocalTime local_time();
KEL_PLATFORM_API int64_t unix_time();

// The 15-bit linear congruential generator behind random numbers (per process).
KEL_PLATFORM_API void crt_srand(uint32_t seed);
KEL_PLATFORM_API int crt_rand();

// Ends the process with the low 8 bits of `code`; a non-zero code whose low byte is 0 exits 255.
[[noreturn]] KEL_PLATFORM_API void process_exit(int32_t code);
KEL_PLATFORM_API int exit_status(int32_t code);

// No desktop: one line "caption: text" on standard error; returns the fixed answer
// (IDOK = 1 for plain boxes; error dialogs answer Exit unless KEL_DIALOG_ANSWER=continue).
KEL_PLATFORM_API int message_box(const char* text, const char* caption, uint32_t type);

}  // namespace kel::platform
