// Error classes, message lines, the HTML error log entry, and the reports that need no
// running script: load failures and the texts kept for the host.
#include "interp/base/report.h"

#include <string>

#include "interp/base/messages.h"
#include "platform/fileio.h"
#include "platform/msgq.h"
#include "platform/process.h"

namespace kel::interp {

namespace {

std::string msg(Err e) { return std::string(message_text(e)); }

std::string cut(std::string_view s, size_t max) { return std::string(s.substr(0, max)); }

constexpr int kLogLockWaitMs = 2000;

// One write under the log's lock, so entries of the host and of concurrent requests in
// the same file never interleave.
void append_log(const Instance& inst, const std::string& entry) {
    if (inst.html_log_path.empty()) return;
    platform::file_append_locked(inst.html_log_path.c_str(), entry, kLogLockWaitMs);
}

}  // namespace

std::string host_window_title(const Instance& inst) {
    char title[kPendingTextMax + 1];
    Hwnd w = inst.parent_window ? inst.parent_window : inst.window;
    if (w && platform::window_text(w, title, sizeof title) > 0) return title;
    return inst.product_title;
}

void record_error_for_host(Instance& inst, const std::string& headline, const std::string& detail,
                           std::string_view log_headline) {
    inst.pending_for_host = true;
    inst.pending_message = cut(headline, kPendingTextMax);
    inst.pending_line = cut(detail, kPendingTextMax);
    std::string logged = log_headline.empty() ? inst.pending_message : std::string(log_headline);
    append_log(inst, error_log_entry(host_window_title(inst), logged, inst.pending_line));
}

ErrorClass error_class(uint32_t code) {
    if (code == 0) return ErrorClass::kNone;
    if (code >= 9000) return ErrorClass::kControl;
    if (code <= 2000) return ErrorClass::kMinor;
    if (code <= 3000) return ErrorClass::kModerate;
    return ErrorClass::kSevere;
}

std::string message_text_or_number(uint32_t code) {
    std::string_view t = message_text(static_cast<int>(code));
    if (!t.empty()) return std::string(t);
    return "Error " + std::to_string(code);
}

bool is_extension_error(uint32_t code) {
    return code == Err::ExtenderMinorError || code == Err::ExtenderModerateError || code == Err::ExtenderSevereError;
}

std::string error_message_line(const Instance& inst, uint32_t code) {
    if (is_extension_error(code) && !inst.ext_error_text.empty()) return cut(inst.ext_error_text, kPendingTextMax);
    return message_line(code);
}

std::string message_line(uint32_t code) { return std::to_string(code) + ":  " + message_text_or_number(code); }

std::string error_log_entry(const std::string& title, const std::string& mline, const std::string& line_text) {
    return kel::error_log_entry(platform::local_time(), title, mline, line_text);
}

void report_load_error(Instance& inst, Err headline, const std::string& detail) {
    std::string head = msg(headline);
    if (inst.html_log) {
        record_error_for_host(inst, head, detail);
        return;
    }
    platform::message_box((head + ": " + detail).c_str(), (msg(Err::LabelError) + "  " + host_window_title(inst)).c_str(),
                          platform::kMbOk | platform::kMbIconError);
}

}  // namespace kel::interp
