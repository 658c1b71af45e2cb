// Request intake: the request's state, start-up order, settings, mode, request text
// parsing, URL decoding, the path check and the posted content. The state is host_main's
// (binding.h), handed to whatever needs it.
// Pages and the error log are in pages.h; the interpreter and window in binding.h.
#pragma once
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include "host/forms.h"
#include "platform/fileio.h"
#include "platform/gmem.h"
#include "platform/msgq.h"

namespace kel::host {

constexpr const char* kVersion = "2019B";
constexpr size_t kMaxPath = 260;
constexpr size_t kMaxCmdData = 4096;
constexpr size_t kMaxQueryText = 500;
constexpr size_t kMaxContentType = 200;
constexpr uint64_t kDefaultMaxContentLength = 100ull * 1024 * 1024;
constexpr uint64_t kDefaultMaxFormFields = 10000;

enum class Mode { Cgi, File, Local };

// The log that webopenlog opened and weblogline reads: its format (1 common, 2
// combined, 3 MS), the offset of the next line and the fields of the last line read,
// "param1".."param9", "paramA".."paramJ".
struct WebLog {
    platform::File file;  // closed at the end of the request
    int format = 0;
    int64_t pos = 0;
    std::string fields[19];
};

struct HostState {
    std::string program_dir;      // no trailing separator
    std::string program_file_name;
    std::string temp_dir;         // ends in "/"
    std::string settings_path;    // TARNWICK.INI in the program directory
    std::string error_log_path;   // empty disables logging
    std::string temp_drive;       // "X:" or empty
    Mode mode = Mode::Cgi;
    bool get_flag = false;
    std::string dat_path, con_path, out_path;
    std::string query_text;       // undecoded, before the first "&"
    std::string dat_query_string; // file mode: the DAT file's "Query String"
    std::string script_name;
    std::string script_path;
    std::string command_data;
    std::string raw_cmd;
    std::string raw_cmd_unescaped;
    int content_kind = 0;         // 2 URL-encoded, 3 multipart
    std::string boundary;
    platform::Handle content = 0;
    uint32_t content_offset = 0;
    uint32_t content_length = 0;
    FormIndex form;               // the fields of the content, indexed once
    size_t form_text_length = SIZE_MAX;  // URL-encoded content up to its first NUL, once known
    bool script_started = false;
    bool header_sent = false;     // a page already opened the response
    bool output_written = false;  // a byte of the response has been written
    bool cancelled = false;       // the time-out or a termination request stopped the script
    int32_t exit_code = 0;
    int disable_dumperrorlog = 0;
    int disable_dumpinputdata = 0;
    int disable_deleteerrorlog = 0;
    int disable_dll_calls = 0;  // DisableDllCalls: the native-library functions raise 3472
    uint64_t max_content_length = kDefaultMaxContentLength;
    uint64_t max_form_fields = kDefaultMaxFormFields;
    bool counter_png = false;     // CounterFormat=png: webcounter draws a PNG
    uint32_t timeout_seconds = 60;
    platform::File in, out, dat;
    bool have_output = false;
    platform::Hwnd window = 0;
    WebLog weblog;
    // The script's run.
    bool running = false;                // the interpreter is running the script
    std::atomic<bool> timed_out{false};  // also set from the watchdog's signal
    std::string call_line;               // the wrapper line that calls the script, without its line end
};

// Settings from TARNWICK.INI; the registry does not exist on this platform, so an empty
// value there is the final answer.
std::string read_setting(const HostState& h, const char* section, const char* key);

// ASCII comparison without case, the host's one rule for names and keywords.
bool iequals(std::string_view a, std::string_view b);

// Host's decimal rule: blanks, one optional sign, digits to the first non-digit,
// accumulated in 64 bits and saturated to the 32-bit range.
int32_t decimal(std::string_view s);
// Blanks, one optional sign, then only digits to the end ("" counts as numeric).
bool is_numeric(std::string_view s);

// CONTENT_LENGTH: blanks, then unsigned decimal digits, trailing blanks allowed.
// Absent, signed, empty or non-numeric text and values beyond 64 bits give nullopt.
std::optional<uint64_t> parse_content_length(std::string_view s);

// WebBaseConv's reading rule; false for an illegal character. Wraps in 32 bits.
bool read_in_base(std::string_view s, int base, int32_t* out);

// URL decoding into out (bounded by outsz, always NUL-terminated when outsz > 0).
// Returns the decoded length; 0 when the text ends in a truncated "%" escape.
size_t url_decode(std::string_view in, char* out, size_t outsz);
std::string url_decode(std::string_view in, size_t limit = kMaxCmdData);

// Two backslashes become one; a lone backslash is dropped.
std::string unescape_backslashes(std::string_view s);

// The script name and command data taken from a request text.
struct ParsedRequest {
    std::string script_name;     // may exceed 260 characters: the path check refuses it
    std::string command_data;    // cut at 4096 characters
};
ParsedRequest parse_request_text(std::string_view text);
// The raw command data: from the first "+" to the end, cut at 4096 characters.
std::string raw_command_data(std::string_view raw);

// The path check for script and GIF names. On success `name` loses its leading
// separators. Also refuses control bytes, over-long names and anything that climbs out
// of the program directory.
bool path_check(std::string& name);

// Content type classification: 2 URL-encoded (also for an empty type), 3 multipart (with
// `boundary` filled in), 0 unsupported.
int classify_content_type(std::string_view type, std::string* boundary);

// The content as the form fields see it, from a pointer to the locked content block:
// URL-encoded content from its leading "&" to the first NUL, multipart content as bytes.
std::string_view form_view(HostState& h, const char* block);

// The bytes of posted content the CGI path reads from the standard input for the request
// in the environment: 0 for GET, for a missing, invalid or zero CONTENT_LENGTH and for one
// beyond MaxContentLength (which the path answers with its 413 page without reading).
uint64_t content_to_read_for_request();

// Start-up: everything before the window. Returns false when the program must end
// (an error page has then been written).
bool intake_start(HostState& h);
// Frees the content block and closes the handles at exit.
void intake_finish(HostState& h);

}  // namespace kel::host
