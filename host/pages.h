// Output writers, the error page, the error log and the diagnostic pages.
// What each request answers is decided in binding.cpp's run-request handler.
#pragma once
#include <string>
#include <string_view>
#include "shared/log_text.h"

namespace kel::host {

struct HostState;

// Logo files that dumpgif serves without the ".GIF" extension check.
constexpr const char* kLogoSmall = "tarnlogo";
constexpr const char* kLogoLarge = "tarnbig";

// The writers of the request's response.
bool out_raw(HostState& h, std::string_view s);
bool out_angle_escaped(HostState& h, std::string_view s);  // only "<" and ">"
bool out_html_escaped(HostState& h, std::string_view s);   // "&", "<", ">" and the double quote
std::string html_escape(std::string_view s);
// Copies a file to the output; false when it cannot be read.
bool out_file(HostState& h, const std::string& path, bool escape, bool line_end);

// Always returns false so that callers can `return error_page(...)`. In CGI mode a page
// that opens the response starts with the status line for `status` (one of 400, 403,
// 404, 413, 415, 500, 503); a page written after response bytes continues the body.
bool error_page(HostState& h, std::string_view detail, std::string_view headline, bool log, int status = 500);
// "Status: 404 Not Found\r\n" and the like.
std::string status_line(int status);

// The one writer of error log entries (host pages, webdumperror and the interpreter).
// Returns true when the entry was written. Its texts are escaped (shared/log_text.h) so
// that request text cannot forge entries.
bool error_log_append(const HostState& h, std::string_view headline, std::string_view detail);

void page_403(HostState& h);
void page_dumpinputdata(HostState& h);
void page_dumperrorlog(HostState& h);
void page_deleteerrorlog(HostState& h);
void page_dumpauthorinfo(HostState& h);
void page_dumpgif(HostState& h);
// The program's own URL, used for the footer's logo.
std::string self_url(const HostState& h);

}  // namespace kel::host
