// The process: its rebuilt command line, directories, environment, search path, ticks,
// local time and exit.
#pragma once
#include <string>
#include <string_view>
#include <vector>
#include "platform/api.h"

namespace kel::platform {

// Records argv and rebuilds the command line (arguments joined by blanks; one holding a
// blank, tab or quote written in double quotes). Call once from main().
KEL_PLATFORM_API void process_init(int argc, char** argv);
// For a process that lives for one request: large blocks come from the process heap and
// freed memory stays with the process until it ends, instead of each large block being a
// mapping of its own that is made and unmade with a system call and fresh zeroed pages.
KEL_PLATFORM_API void keep_memory_until_exit();
// Whether standard descriptor fd (0 to 2) was closed when the process started. process_init
// puts /dev/null on such a descriptor so that no file opened later takes its place.
KEL_PLATFORM_API bool std_fd_was_closed(int fd);
KEL_PLATFORM_API int arg_count();
KEL_PLATFORM_API const char* arg(int i);  // nullptr past the end
KEL_PLATFORM_API const std::string& command_line();
// Offset in command_line() where argument i starts (after its opening quote when quoted).
KEL_PLATFORM_API size_t arg_offset(int i);

// Directory of the program file, without trailing "/" (from /proc/self/exe), and its file name.
KEL_PLATFORM_API const std::string& program_dir();
// Tests only: `dir` stands for the program directory until called again with "".
KEL_PLATFORM_API void set_program_dir_for_tests(const std::string& dir);
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

// The machine's host name ("" when it cannot be had).
KEL_PLATFORM_API std::string host_name();
// The machine's own IPv4 address in dotted form: the first IPv4 address the local
// resolver gives for the host name, else "127.0.0.1".
KEL_PLATFORM_API std::string host_address();

// Splits a command line by the Windows rules: blanks and tabs separate; double quotes
// group and are removed; 2n backslashes before a quote give n and the quote toggles,
// 2n+1 give n and a literal quote; other backslashes are literal; "" inside quotes is a
// literal quote. With `program_first`, the first word follows the program-name rule
// (quoted text taken as it is, else up to the first blank).
KEL_PLATFORM_API std::vector<std::string> split_command_line(std::string_view text, bool program_first = false);
// Starts a program without a shell: `program` without "/" is found by search_path();
// argv[0] is what the child sees as its name (the program when argv is empty). Standard
// input, output and error are /dev/null and no other descriptor is inherited; `dir`
// ("" or nullptr: the current directory) is its working directory; signals are at their
// defaults in the child, which runs in a session of its own and gets the environment
// without HTTP_PROXY (under CGI that is the request's "Proxy:" header). Returns the
// process id, or 0 with last_error() (2 not found, 3 bad directory, 5 access denied,
// 193 not a program).
KEL_PLATFORM_API int32_t spawn_process(const char* program, const std::vector<std::string>& argv, const char* dir);
// Non-blocking: true once the child has ended (and is reaped), with its exit code, 128 + n
// for a signal n, or -1 when it is not our child. Wait with wait_for_event(), which a
// child's exit wakes once install_signal_handlers() has run.
KEL_PLATFORM_API bool child_finished(int32_t pid, int32_t* exit_code);

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

// Message box types and answers keep their Windows values.
constexpr uint32_t kMbOk = 0x0;
constexpr uint32_t kMbOkCancel = 0x1;
constexpr uint32_t kMbAbortRetryIgnore = 0x2;
constexpr uint32_t kMbYesNoCancel = 0x3;
constexpr uint32_t kMbYesNo = 0x4;
constexpr uint32_t kMbRetryCancel = 0x5;
constexpr uint32_t kMbCancelTryContinue = 0x6;
constexpr uint32_t kMbTypeMask = 0xF;
constexpr uint32_t kMbDefButton2 = 0x100;
constexpr uint32_t kMbDefButton3 = 0x200;
constexpr uint32_t kMbDefButtonMask = 0xF00;
constexpr uint32_t kMbIconError = 0x10;
// Our own bit (unused by Windows): the interpreter's error dialog, whose buttons are
// Continue and Exit.
constexpr uint32_t kMbKelErrorDialog = 0x40000000;

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdAbort = 3;
constexpr int kIdRetry = 4;
constexpr int kIdIgnore = 5;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;
constexpr int kIdTryAgain = 10;
constexpr int kIdContinue = 11;
constexpr int kIdExit = kIdCancel;  // the error dialog's Exit button

// No desktop: one line "caption: text" on standard error (line breaks in the text become
// blanks) and a fixed answer: the default button of the box type (kIdOk for kMbOk; the
// first button unless kMbDefButton2/3 is given). With kMbKelErrorDialog the answer is
// kIdExit, or kIdContinue when the environment holds KEL_DIALOG_ANSWER=continue (tests).
KEL_PLATFORM_API int message_box(const char* text, const char* caption, uint32_t type);

}  // namespace kel::platform
