// Error classes, message lines, the HTML error log entry and the reports that need no
// running script (load failures, texts kept for the host). The per-line decision, the
// handlers and the display of a failing line are in interp/run/errors.h.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/base/instance.h"
#include "shared/log_text.h"

namespace kel::interp {

// The interpreter's version: what version() and versiondll() return and what the error
// report shows after "KEL Version:".
inline constexpr const char* kInterpVersion = "2019B";

enum class ErrorClass { kNone, kMinor, kModerate, kSevere, kControl };
ErrorClass error_class(uint32_t code);

// "NNNN:  text".
std::string message_line(uint32_t code);
// The message line of the error on the instance: for a failed host or extension call
// (1213, 2214, 3215) the callee's own text when it gave one, else message_line(code).
std::string error_message_line(const Instance& inst, uint32_t code);
bool is_extension_error(uint32_t code);
using kel::escape_log_text;  // shared/log_text.h: the host writes the same log
// The message text, or "Error NNNN" when the table has none.
std::string message_text_or_number(uint32_t code);

// A load failure: headline message `headline` (ExecutionError, ScriptFileNotFound or
// IncludeFileFailed) with `detail`, shown and recorded for the host. Ends the script (the caller returns failure).
void report_load_error(Instance& inst, Err headline, const std::string& detail);

// The title of the host's window ("Tarnwick - " and the script name), for error titles
// and log entries; the product title when the host has no window.
std::string host_window_title(const Instance& inst);

// With the HTML error log switch on: keeps the two texts for the host (service 25) and
// appends the log entry.
// `log_headline`, when given, replaces the headline in the log entry.
void record_error_for_host(Instance& inst, const std::string& headline, const std::string& detail,
                           std::string_view log_headline = {});

// The HTML error log entry (exposed for tests).
std::string error_log_entry(const std::string& title, const std::string& message_line,
                            const std::string& line_text);

}  // namespace kel::interp
