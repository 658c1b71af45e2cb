// Output writers, the error page, the error log and the diagnostic pages.
// Request parsing is in intake.cpp; which page answers a request is chosen in binding.cpp.
#include "host/pages.h"

#include <cstdio>
#include <string>

#include "host/intake.h"
#include "platform/fileio.h"
#include "platform/process.h"
#include "platform/profile.h"

namespace kel::host {

namespace pf = kel::platform;

// A log writer that cannot get the lock within this time skips its entry.
constexpr int kLogLockWaitMs = 2000;

bool out_raw(HostState& h, std::string_view s) {
    if (!h.have_output) return false;
    if (s.empty()) return true;
    h.output_written = true;
    return pf::file_write(h.out, s.data(), s.size());
}

static std::string angle_escape(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (char c : s) {
        if (c == '<') r += "&lt;";
        else if (c == '>') r += "&gt;";
        else r += c;
    }
    return r;
}

bool out_angle_escaped(HostState& h, std::string_view s) { return out_raw(h, angle_escape(s)); }

// One character as HTML text: "&", "<", ">" and the double quote as entities.
static void append_html_escaped(std::string& r, char c) {
    switch (c) {
    case '&': r += "&amp;"; break;
    case '<': r += "&lt;"; break;
    case '>': r += "&gt;"; break;
    case '"': r += "&quot;"; break;
    default: r += c;
    }
}

std::string html_escape(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (char c : s) append_html_escaped(r, c);
    return r;
}

bool out_html_escaped(HostState& h, std::string_view s) { return out_raw(h, html_escape(s)); }

bool out_file(HostState& h, const std::string& path, bool escape, bool line_end) {
    std::string data;
    if (!pf::file_read_all(path.c_str(), &data)) return false;
    if (escape) data = html_escape(data);
    if (line_end) data += "\r\n";
    return out_raw(h, data);
}

std::string status_line(int status) {
    const char* text = "Internal Server Error";
    switch (status) {
    case 400: text = "Bad Request"; break;
    case 403: text = "Forbidden"; break;
    case 404: text = "Not Found"; break;
    case 413: text = "Content Too Large"; break;
    case 415: text = "Unsupported Media Type"; break;
    case 503: text = "Service Unavailable"; break;
    default: status = 500;
    }
    return "Status: " + std::to_string(status) + " " + text + "\r\n";
}

bool error_page(HostState& h, std::string_view detail, std::string_view headline, bool log, int status) {
    if (h.have_output) {
        // Only the first page of a response opens it; a later one (the time-out page, a
        // second start-up failure, an error after the script wrote) continues the body.
        // Under CGI that depends on whether any byte went out: a page that opened the
        // response without its header would reach the browser as raw text.
        bool opens = h.mode == Mode::Cgi ? !h.output_written : !(h.script_started || h.header_sent);
        std::string page;
        if (!opens) page = "\r\n<HR>\r\n";
        else if (h.mode == Mode::Cgi) page = status_line(status) + "Content-type: text/html\r\n\r\n";
        else page = "Content-type: text/html\r\n\r\n";
        h.header_sent = true;
        page += "<H1>Tarnwick Error</H1>\r\n<Pre>\r\n";
        page += angle_escape(headline);
        page += "\r\n\r\n";
        page += angle_escape(detail);
        page += "\r\n</Pre>\r\n<HR>\r\n";
        out_raw(h, page);
    }
    if (log && !h.error_log_path.empty()) error_log_append(h, headline, detail);
    return false;
}

bool error_log_append(const HostState& h, std::string_view headline, std::string_view detail) {
    if (h.error_log_path.empty()) return false;
    std::string who = h.script_name.empty() ? "Tarnwick" : "Tarnwick - " + h.script_name;
    std::string entry = error_log_entry(pf::local_time(), who, headline, detail);
    return pf::file_append_locked(h.error_log_path.c_str(), entry, kLogLockWaitMs);
}

static std::string env(const char* name) {
    std::string v;
    pf::env_get(name, &v);
    return v;
}

std::string self_url(const HostState& h) {
    std::string port, server, script;
    if (h.mode == Mode::File) {
        server = pf::profile_get_string(h.dat_path.c_str(), "CGI", "Server Name", "");
        port = pf::profile_get_string(h.dat_path.c_str(), "CGI", "Server Port", "");
        script = pf::profile_get_string(h.dat_path.c_str(), "CGI", "Executable Path", "");
    } else if (h.mode == Mode::Cgi) {
        server = env("SERVER_NAME");
        port = env("SERVER_PORT");
        script = env("SCRIPT_NAME");
    } else {
        server = "localmachine";
    }
    if (server.empty()) server = pf::host_address();
    std::string url = port == "443" ? "https://" : "http://";
    url += server;
    if (!port.empty() && port != "80") url += ":" + port;
    url += "/";
    size_t last = script.find_last_of("/\\");
    if (last != std::string::npos && last > 0) {
        size_t prev = script.find_last_of("/\\", last - 1);
        size_t from = prev == std::string::npos ? 0 : prev + 1;
        if (last > from) url += script.substr(from, last - from) + "/";
    }
    url += h.program_file_name;
    return url;
}

static std::string page_head() {
    return std::string("Content-type: text/html\r\n\r\n") + "<HTML>\r\n" + "<HEAD>\r\n" + "<TITLE>Tarnwick version " +
           kVersion + "</TITLE>\r\n" + "</HEAD>\r\n" +
           "<BODY BGCOLOR=\"#FFFFFF\" LINK=\"003D84\" VLINK=\"003D84\" TEXT=\"#000000\" ALINK=\"#950000\">\r\n";
}

static std::string logo(const HostState& h, const char* file) {
    return "<IMG SRC=\"" + html_escape(self_url(h)) + "?dumpgif+" + file + "\" ALT=\"Tarnwick\" BORDER=\"0\">";
}

static const char kSupportLines[] =
    "Tarnwick runs KEL scripts for your web server.<BR>\r\n"
    "Questions and problem reports go to the administrator of this site.<BR>\r\n";

static const char kAuthorLines[] =
    "<B>Tarnwick</B> web scripting host, version 2019B.<BR>\r\n"
    "Written by the Tarnwick developers as part of the KEL scripting tools.<BR>\r\n"
    "The KEL interpreter runs inside this program as the KELRUN32 library.<P>\r\n";

static std::string page_foot(const HostState& h, std::string_view message, std::string_view below_table = {}) {
    std::string s = "<CENTER>\r\n<TABLE WIDTH=\"90%\">\r\n<TR><TD WIDTH=\"225\" VALIGN=\"top\"><CENTER>\r\n";
    s += logo(h, kLogoSmall) + "<BR>\r\n";
    s += std::string("Version ") + kVersion + "\r\n</CENTER></TD>\r\n";
    s += "<TD>\r\n";
    s += message;
    s += kSupportLines;
    s += "</TD></TR></TABLE>\r\n";
    s += below_table;
    s += "</CENTER>\r\n</BODY>\r\n</HTML>\r\n";
    return s;
}

void page_403(HostState& h) {
    out_raw(h, status_line(403) +
        "Content-type: text/html\r\n"
        "\r\n"
        "<HTML>\r\n<HEAD>\r\n<TITLE>403 Forbidden</TITLE>\r\n</HEAD>\r\n<BODY>\r\n"
        "<H1>Forbidden</H1>\r\nOperation not permitted\r\n</BODY>\r\n</HTML>\r\n");
    h.header_sent = true;
}

// Fields of URL-encoded content: decoded name "=" decoded value, each cut at 4096.
static std::string urlencoded_fields(std::string_view content) {
    std::string s;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('&', start);
        if (end == std::string_view::npos) end = content.size();
        std::string_view field = content.substr(start, end - start);
        if (!field.empty()) {
            size_t eq = field.find('=');
            std::string_view name = field.substr(0, eq);
            std::string_view value = eq == std::string_view::npos ? std::string_view() : field.substr(eq + 1);
            s += html_escape(url_decode(name)) + "=" + html_escape(url_decode(value)) + "\r\n\r\n";
        }
        start = end + 1;
    }
    return s;
}

void page_dumpinputdata(HostState& h) {
    if (h.disable_dumpinputdata) return page_403(h);
    std::string s = page_head();
    s += "<BLOCKQUOTE>\r\n<H1>Data file</H1>\r\n<PRE>\r\n";
    if (h.mode == Mode::Local) {
        s += "&lt;none&gt;\r\n";
    } else if (h.mode == Mode::File) {
        std::string dat;
        pf::file_read_all(h.dat_path.c_str(), &dat);
        s += html_escape(dat) + "\r\n";
    } else {
        for (char** e = pf::env_block(); e && *e; ++e) s += html_escape(*e) + "\r\n";
    }
    s += "</PRE>\r\n<HR>\r\n<H1>Content file</H1>\r\n<PRE>\r\n";
    pf::GmemLock lock(h.content);
    if (h.content && lock && h.content_length) {
        std::string_view c(lock.as<char>() + h.content_offset, h.content_length);
        if (!c.empty() && c.back() == '\0') c.remove_suffix(1);  // GET content counts its NUL
        s += h.content_kind == 2 ? urlencoded_fields(c) : html_escape(c);
    } else {
        s += "&lt;none&gt;\r\n";
    }
    s += "</PRE>\r\n<HR>\r\n<H1>Command-line parameters</H1>\r\n<PRE>\r\n";
    if (h.mode == Mode::File) {
        s += html_escape(h.dat_query_string) + "\r\n";
    } else {
        for (int i = 0; i < pf::arg_count(); ++i) {
            char num[16];
            std::snprintf(num, sizeof num, "%2d. ", i);
            s += num + html_escape(pf::arg(i)) + "\r\n";
        }
    }
    s += "</PRE>\r\n<HR>\r\n</BLOCKQUOTE>\r\n";
    s += page_foot(h, {});
    out_raw(h, s);
    h.header_sent = true;
}

// "&", "<", ">" and quotes escaped, except that a "<HR>" + CR opening a line (the entry
// separator) stays a rule.
static std::string escape_log_page(std::string_view log) {
    std::string r;
    r.reserve(log.size() + log.size() / 8);
    bool line_start = true;
    for (size_t i = 0; i < log.size(); ++i) {
        if (line_start && log.substr(i, 5) == "<HR>\r") {
            r += "<HR>";
            i += 3;
            line_start = false;
            continue;
        }
        char c = log[i];
        append_html_escaped(r, c);
        line_start = c == '\n';
    }
    return r;
}

void page_dumperrorlog(HostState& h) {
    if (h.disable_dumperrorlog) return page_403(h);
    std::string log;
    if (!h.error_log_path.empty()) pf::file_read_all(h.error_log_path.c_str(), &log);
    std::string s = page_head();
    s += "<BLOCKQUOTE>\r\n<H1>Tarnwick Error Log</H1>\r\n<PRE>\r\n";
    s += escape_log_page(log);
    s += "</PRE></BLOCKQUOTE>\r\n";
    s += page_foot(h, {});
    out_raw(h, s);
    h.header_sent = true;
}

void page_deleteerrorlog(HostState& h) {
    if (h.disable_deleteerrorlog) return page_403(h);
    const char* message = "Error log not found.<P>\r\n";
    pf::File f = h.error_log_path.empty() ? pf::File{} : pf::file_open(h.error_log_path.c_str(), pf::Open::Read);
    if (f.valid()) {
        pf::file_close(f);
        message = pf::file_delete(h.error_log_path.c_str()) ? "Error log has been deleted.<P>\r\n"
                                                             : "Unable to delete error log.<P>\r\n";
    }
    out_raw(h, page_head() + page_foot(h, message));
    h.header_sent = true;
}

void page_dumpauthorinfo(HostState& h) {
    out_raw(h, page_head() + page_foot(h, kAuthorLines, "<P>" + logo(h, kLogoLarge) + "\r\n"));
    h.header_sent = true;
}

static bool ends_with_gif(std::string_view n) {
    if (n.size() < 5) return false;
    std::string_view e = n.substr(n.size() - 4);
    return e[0] == '.' && (e[1] | 0x20) == 'g' && (e[2] | 0x20) == 'i' && (e[3] | 0x20) == 'f';
}

void page_dumpgif(HostState& h) {
    std::string name = h.command_data.substr(0, h.command_data.find(' '));
    if (name.empty()) {
        error_page(h, "GIF file name not specified", "Tarnwick Error", true, 400);
        return;
    }
    std::string shown = name;
    if (!path_check(name)) {
        error_page(h, shown, "Tarnwick Error: GIF file name contains invalid path info", true, 400);
        return;
    }
    bool is_logo = name == kLogoSmall || name == kLogoLarge;
    if (!is_logo && !ends_with_gif(name)) {
        error_page(h, name, "Tarnwick Error: File does not have an extension of '.GIF'", true, 400);
        return;
    }
    std::string file = is_logo ? name + ".gif" : name;
    std::string data;
    if (!pf::file_read_all((h.program_dir + "/" + file).c_str(), &data)) {
        error_page(h, name, "Tarnwick Error: Unable to find/open specified GIF file", true, 404);
        return;
    }
    out_raw(h, "Content-type: image/gif\r\n\r\n" + data);
    h.header_sent = true;
}

}  // namespace kel::host
