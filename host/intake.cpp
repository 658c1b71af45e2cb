// Request intake: settings, mode, request text, path check, URL decoding and content.
// The pages and the error log live in pages.cpp; the window and interpreter in binding.cpp.
#include "host/intake.h"

#include <cstring>
#include <limits>
#include <vector>

#include "host/pages.h"
#include "platform/msgq.h"
#include "platform/process.h"
#include "platform/profile.h"

namespace kel::host {

namespace pf = kel::platform;

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

static char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

static bool istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

std::string read_setting(const HostState& h, const char* section, const char* key) {
    return pf::profile_get_string(h.settings_path.c_str(), section, key, "");
}

int32_t decimal(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    int64_t v = 0;
    constexpr int64_t kLimit = int64_t{1} << 32;  // past either 32-bit bound: stop growing
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
        if (v < kLimit) v = v * 10 + (s[i] - '0');
    if (neg) v = -v;
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

bool is_numeric(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    for (; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

std::optional<uint64_t> parse_content_length(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    size_t digits = 0;
    uint64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
        uint64_t d = static_cast<uint64_t>(s[i] - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    while (i < s.size() && is_blank(s[i])) ++i;
    if (digits == 0 || i != s.size()) return std::nullopt;
    return v;
}

bool read_in_base(std::string_view s, int base, int32_t* out) {
    uint32_t sum = 0, weight = 1;
    for (size_t k = s.size(); k-- > 0;) {
        char c = upper(s[k]);
        int v = (c >= 'A' && c <= 'Z') ? c - 55 : static_cast<unsigned char>(c) - 48;
        if (v < 0 || v >= base) return false;
        sum += static_cast<uint32_t>(v) * weight;
        weight *= static_cast<uint32_t>(base);
    }
    *out = static_cast<int32_t>(sum);
    return true;
}

size_t url_decode(std::string_view in, char* out, size_t outsz) {
    if (outsz == 0) return 0;
    size_t o = 0;
    for (size_t i = 0; i < in.size() && o + 1 < outsz; ++i) {
        char c = in[i];
        if (c == '+') {
            out[o++] = ' ';
        } else if (c == '%') {
            if (in.size() - i - 1 < 2) {
                out[0] = '\0';
                return 0;
            }
            int32_t v;
            if (!read_in_base(in.substr(i + 1, 2), 16, &v)) v = -2;  // WebBaseConv's failure value
            out[o++] = static_cast<char>(v & 0xFF);
            i += 2;
        } else {
            out[o++] = c;
        }
    }
    out[o] = '\0';
    return o;
}

std::string url_decode(std::string_view in, size_t limit) {
    // Decoding never lengthens the text: sizing by the input keeps a reader that decodes
    // every field of a large form from clearing a content-sized buffer per field.
    std::string buf((in.size() < limit ? in.size() : limit) + 1, '\0');
    size_t n = url_decode(in, buf.data(), buf.size());
    buf.resize(n);
    return buf;
}

std::string unescape_backslashes(std::string_view s) {
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            r += s[i];
        } else if (i + 1 < s.size() && s[i + 1] == '\\') {
            r += '\\';
            ++i;
        }
    }
    return r;
}

ParsedRequest parse_request_text(std::string_view text) {
    ParsedRequest r;
    size_t pos;
    if (!text.empty() && text[0] == '"') {
        size_t close = text.find('"', 1);
        if (close == std::string_view::npos) {
            r.script_name = std::string(text.substr(1));
            pos = text.size();
        } else {
            r.script_name = std::string(text.substr(1, close - 1));
            pos = close + 1;
        }
    } else {
        pos = text.find_first_of("\t &+?");
        if (pos == std::string_view::npos) pos = text.size();
        r.script_name = std::string(text.substr(0, pos));
    }
    if (pos < text.size() && (text[pos] == '\t' || text[pos] == ' ' || text[pos] == '?')) ++pos;
    r.command_data = unescape_backslashes(text.substr(pos));
    if (r.command_data.size() > kMaxCmdData) r.command_data.resize(kMaxCmdData);
    return r;
}

std::string raw_command_data(std::string_view raw) {
    size_t plus = raw.find('+');
    if (plus == std::string_view::npos) return {};
    return std::string(raw.substr(plus, kMaxCmdData));
}

// A component made only of dots and blanks with two dots or more is "..", since the path
// normaliser drops trailing blanks and dots.
static bool climbs_up(std::string_view name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view comp = name.substr(start, end - start);
        int dots = 0;
        bool only = !comp.empty();
        for (char c : comp) {
            if (c == '.') ++dots;
            else if (c != ' ') only = false;
        }
        if (only && dots >= 2) return true;
        start = end + 1;
    }
    return false;
}

bool path_check(std::string& name) {
    if (name.empty()) return true;
    if (name.size() > kMaxPath) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;
    std::string_view v = name;
    if (v.find(':') != v.npos || v.find("..\\") != v.npos || v.find("../") != v.npos) return false;
    size_t lead = v.find_first_not_of("\\/");
    if (lead == v.npos) lead = v.size();
    v.remove_prefix(lead);
    for (const char* bad : {"\\\\", "//", "\\/", "/\\"})
        if (v.find(bad) != v.npos) return false;
    if (climbs_up(v)) return false;
    name = std::string(v);
    return true;
}

int classify_content_type(std::string_view type, std::string* boundary) {
    if (type.empty()) return 2;
    if (istarts_with(type, "application/x-www-form-urlencoded")) return 2;
    constexpr std::string_view kMultipart = "multipart/form-data";
    if (!istarts_with(type, kMultipart)) return 0;
    size_t i = kMultipart.size();
    while (i < type.size() && is_blank(type[i])) ++i;
    if (i >= type.size() || type[i] != ';') return 0;
    ++i;
    while (i < type.size() && is_blank(type[i])) ++i;
    constexpr std::string_view kBoundary = "boundary=";
    if (!istarts_with(type.substr(i), kBoundary)) return 0;
    i += kBoundary.size();
    std::string_view b = type.substr(i);
    size_t close = b.size() > 1 && b[0] == '"' ? b.find('"', 1) : b.npos;
    if (close != b.npos) {
        b = b.substr(1, close - 1);
    } else {
        if (!b.empty() && b[0] == '"') b.remove_prefix(1);
        size_t end = b.find_first_of("; \t");
        if (end != b.npos) b = b.substr(0, end);
    }
    // An empty boundary is still multipart content, only without fields: matching it
    // would find a delimiter between any two bytes.
    if (boundary) *boundary = std::string(b);
    return 3;
}

static bool is_absolute(std::string_view p) {
    return (!p.empty() && (p[0] == '/' || p[0] == '\\')) || (p.size() >= 2 && p[1] == ':');
}

// File-mode and local-mode paths are opened before the program changes directory; keeping
// them absolute lets later readers (webdatdata, dumpinputdata) find the same file.
static std::string from_start_dir(const std::string& p) {
    if (p.empty() || is_absolute(p)) return p;
    return pf::start_dir() + "/" + p;
}

static std::string request_from_command_line(int first_arg) {
    if (pf::arg_count() <= first_arg) return {};
    size_t off = pf::arg_offset(first_arg);
    const std::string& cl = pf::command_line();
    return off < cl.size() ? cl.substr(off) : std::string();
}

static std::string env(const char* name) {
    std::string v;
    pf::env_get(name, &v);
    return v;
}

static void close_handles(HostState& h) {
    if (h.dat.valid()) pf::file_close(h.dat);
    if (h.mode != Mode::Cgi) {
        if (h.in.valid()) pf::file_close(h.in);
        if (h.out.valid()) pf::file_close(h.out);
        h.have_output = false;
    }
}

static void read_settings(HostState& h) {
    // Every key from one look-up and read of the file, which also tells the name as it
    // exists (case matched once) for the later reads of single keys.
    enum { kLog, kDrive, kNoDumpLog, kNoDumpInput, kNoDeleteLog, kMaxContent, kMaxFields, kNoDllCalls,
           kCounterFormat };
    std::string found;
    std::vector<std::string> v = pf::profile_get_strings(
        h.settings_path.c_str(), "TARNWICK",
        {"ErrorLog", "TempDrive", "DisableDumperrorlog", "DisableDumpinputdata", "DisableDeleteerrorlog",
         "MaxContentLength", "MaxFormFields", "DisableDllCalls", "CounterFormat"},
        &found);
    if (found.empty()) {  // no TARNWICK.INI: every default
        h.error_log_path = h.temp_dir + "TARNWICK.LOG";
        return;
    }
    h.settings_path = found;
    std::string log = v[kLog];
    if (log.empty()) log = h.temp_dir + "TARNWICK.LOG";
    else if (!is_absolute(log)) log = h.program_dir + "/" + log;
    h.error_log_path = log;

    std::string drive = v[kDrive].substr(0, 2);
    bool letter = !drive.empty() && ((drive[0] >= 'A' && drive[0] <= 'Z') || (drive[0] >= 'a' && drive[0] <= 'z'));
    if (letter && (drive.size() == 1 || drive[1] == ':')) h.temp_drive = std::string(1, drive[0]) + ":";

    h.disable_dumperrorlog = pf::profile_int(v[kNoDumpLog], 0);
    h.disable_dumpinputdata = pf::profile_int(v[kNoDumpInput], 0);
    h.disable_deleteerrorlog = pf::profile_int(v[kNoDeleteLog], 0);
    h.disable_dll_calls = pf::profile_int(v[kNoDllCalls], 0);
    if (auto max = parse_content_length(v[kMaxContent])) h.max_content_length = *max;
    if (auto max = parse_content_length(v[kMaxFields])) h.max_form_fields = *max;
    // "png" (any case) draws the counter as a PNG; anything else keeps the X bitmap.
    h.counter_png = iequals(v[kCounterFormat], "png");
}

// Mode selection and opening the input and output. Returns false after an error page.
// A web server's environment always decides: under CGI the arguments are request text
// (a query without "=" arrives as arguments), never a mode switch or an output path.
static bool open_mode(HostState& h, std::string* cmdline_request) {
    const char* a1 = pf::arg_count() > 1 ? pf::arg(1) : nullptr;
    std::string method;
    bool cgi = pf::env_get("REQUEST_METHOD", &method) || pf::env_get("GATEWAY_INTERFACE", nullptr);
    if (!cgi && a1 && (iequals(a1, "/TarnwickLocal") || istarts_with(a1, "/TarnwickLocal:"))) {
        h.mode = Mode::Local;
        std::string_view v = a1;
        size_t colon = v.find(':');
        std::string out = colon != v.npos ? std::string(v.substr(colon + 1)) : std::string();
        h.out_path = out.empty() ? h.temp_dir + "TARNWICK.LCL" : from_start_dir(out);
        *cmdline_request = request_from_command_line(2);
        h.out = pf::file_open(h.out_path.c_str(), pf::Open::WriteTruncate);
        if (!h.out.valid()) return error_page(h, h.out_path, "Tarnwick Error: Could not open/create OUT file", true);
        h.have_output = true;
        return true;
    }
    if (cgi) {
        h.mode = Mode::Cgi;
        h.get_flag = iequals(method, "GET");
        *cmdline_request = request_from_command_line(1);
        h.out = pf::std_output();
        if (!h.out.valid()) return error_page(h, "GetStdHandle(STD_OUTPUT_HANDLE) failed", "Tarnwick Error", true);
        h.have_output = true;
        std::string cl;
        auto len = pf::env_get("CONTENT_LENGTH", &cl) ? parse_content_length(cl) : std::nullopt;
        if (!h.get_flag && len && *len != 0) {
            h.in = pf::std_input();
            if (!h.in.valid()) return error_page(h, "GetStdHandle(STD_INPUT_HANDLE) failed", "Tarnwick Error", true);
        }
        return true;
    }
    h.mode = Mode::File;
    if (pf::arg_count() < 4)
        return error_page(h, pf::command_line(), "Tarnwick Error: Not enough command-line parameters", true);
    std::string* paths[3] = {&h.dat_path, &h.con_path, &h.out_path};
    for (int i = 0; i < 3; ++i) {
        std::string p = pf::arg(i + 1);
        if (!(p.size() >= 2 && (p[1] == ':' || p[1] == '\\')) && !is_absolute(p)) p = h.temp_drive + p;
        *paths[i] = from_start_dir(p);
    }
    *cmdline_request = request_from_command_line(4);
    h.dat = pf::file_open(h.dat_path.c_str(), pf::Open::Read);
    if (!h.dat.valid()) return error_page(h, h.dat_path, "Tarnwick Error: Could not find/open DAT file", true);
    h.in = pf::file_open(h.con_path.c_str(), pf::Open::Read);
    if (!h.in.valid()) {
        pf::file_close(h.dat);
        return error_page(h, h.con_path, "Tarnwick Error: Could not find/open CON file", true);
    }
    h.out = pf::file_open(h.out_path.c_str(), pf::Open::WriteCreate);
    if (!h.out.valid()) {
        pf::file_close(h.dat);
        pf::file_close(h.in);
        return error_page(h, h.out_path, "Tarnwick Error: Could not open/create OUT file", true);
    }
    h.have_output = true;
    return true;
}

// A %00 in the request ends it, like every other text the host decodes.
static std::string request_text_decoded(std::string_view raw) {
    std::string s = url_decode(raw, kMaxQueryText);
    size_t z = s.find('\0');
    if (z != std::string::npos) s.resize(z);
    return s;
}

static std::string dat_value(const HostState& h, const char* key, size_t limit) {
    std::string v = pf::profile_get_string(h.dat_path.c_str(), "CGI", key, "");
    if (v.size() > limit) v.resize(limit);
    return v;
}

// Chooses the request text; fills query_text/raw copy. Returns the request text.
static std::string choose_request_text(HostState& h, const std::string& cmdline_request, std::string* raw) {
    if (h.mode == Mode::File) {
        h.dat_query_string = dat_value(h, "Query String", kMaxQueryText);
        if (!h.dat_query_string.empty()) {
            h.query_text = h.dat_query_string;
            *raw = h.query_text;
            return request_text_decoded(*raw);
        }
    } else if (h.mode == Mode::Cgi && (h.get_flag || pf::arg_count() < 2)) {
        std::string qs;
        if (pf::env_get("QUERY_STRING", &qs) && !qs.empty()) {
            std::string_view q = qs;
            q = q.substr(0, q.find('&'));
            // The limit applies to the request part only: long GET forms keep working.
            if (q.size() <= kMaxQueryText) {
                h.query_text = std::string(q);
                *raw = h.query_text;
                return request_text_decoded(*raw);
            }
        }
    }
    *raw = cmdline_request;
    return cmdline_request;
}

// The largest content read: MaxContentLength, within the 32-bit count that also holds
// the two extra bytes.
static uint64_t content_cap(const HostState& h) {
    uint64_t cap = h.max_content_length;
    return cap > std::numeric_limits<uint32_t>::max() - 3u ? std::numeric_limits<uint32_t>::max() - 3u : cap;
}

static void settings_start(HostState& h) {
    h.program_dir = pf::program_dir();
    h.program_file_name = pf::program_file_name();
    if (h.program_file_name.empty()) h.program_file_name = "tarnhost";
    h.temp_dir = pf::temp_dir();
    h.settings_path = h.program_dir + "/TARNWICK.INI";
    read_settings(h);
}

uint64_t content_to_read_for_request() {
    std::string method, cl;
    if (!pf::env_get("REQUEST_METHOD", &method) || iequals(method, "GET")) return 0;
    auto len = pf::env_get("CONTENT_LENGTH", &cl) ? parse_content_length(cl) : std::nullopt;
    if (!len || *len == 0) return 0;
    // Only the settings are needed: the request's own state is made by host_main.
    HostState h;
    settings_start(h);
    return *len > content_cap(h) ? 0 : *len;
}

static bool content_too_large(HostState& h) {
    return error_page(h, "Posted content too large", "Tarnwick Error", true, 413);
}

std::string_view form_view(HostState& h, const char* p) {
    std::string_view c(p, h.content_offset + size_t{h.content_length});
    if (h.content_kind != 2) return c.substr(h.content_offset);
    // The length up to the first NUL is found once: every field call reads this view.
    if (h.form_text_length == SIZE_MAX) h.form_text_length = strnlen(p, c.size());
    return c.substr(0, h.form_text_length);
}

static void drop_content(HostState& h) {
    h.form.clear();
    h.form_text_length = SIZE_MAX;
    if (h.content) pf::gmem_free(h.content);
    h.content = 0;
    h.content_length = 0;
    h.content_offset = 0;
}

// Reads up to `size` bytes from `f` into `dst`, ending at end of input, on a read error or
// at the deadline (0 = none). Returns the bytes that arrived. A termination request sets
// `*ended` and stops the read.
static size_t read_stream(pf::File f, char* dst, size_t size, uint64_t deadline, bool* ended) {
    size_t got = 0;
    while (got < size) {
        if (deadline) {
            uint64_t now = pf::tick_count64();
            if (now >= deadline) break;
            int w = pf::wait_readable_or_end_session(f.fd, static_cast<int64_t>(deadline - now));
            if (w < 0) {
                *ended = true;
                break;
            }
            if (w == 0) continue;
        } else if (pf::end_session_pending()) {
            *ended = true;
            break;
        }
        int64_t n = pf::file_read(f, dst + got, size - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

static bool read_content(HostState& h) {
    if (h.mode == Mode::Local) return true;
    std::string type = h.mode == Mode::File ? dat_value(h, "Content Type", kMaxContentType) : env("CONTENT_TYPE");
    if (type.size() > kMaxContentType) type.resize(kMaxContentType);
    h.content_kind = classify_content_type(type, &h.boundary);
    if (h.content_kind == 0) {
        error_page(h, "Form has an unsupported 'Content Type'", "Tarnwick Error", true, 415);
        close_handles(h);
        return false;
    }

    uint64_t cap = content_cap(h);
    std::string qs;
    std::string_view get_part;
    uint64_t size = 0;
    if (h.mode == Mode::Cgi && h.get_flag) {
        pf::env_get("QUERY_STRING", &qs);
        size_t amp = qs.find('&');
        if (amp != std::string::npos) get_part = std::string_view(qs).substr(amp + 1);
        size = get_part.size();
    } else if (h.mode == Mode::Cgi) {
        if (!h.in.valid()) return true;
        size = parse_content_length(env("CONTENT_LENGTH")).value_or(0);
    } else {
        int64_t s = pf::file_size(h.in);
        size = s > 0 ? static_cast<uint64_t>(s) : 0;
    }
    if (size == 0) return true;
    if (size > cap) return content_too_large(h);

    h.content = pf::gmem_alloc(static_cast<size_t>(size) + 2, false);
    if (!h.content) return error_page(h, "Error allocating memory for CON buffer", "Tarnwick Error", true, 500);
    char* p = static_cast<char*>(pf::gmem_lock(h.content));
    if (!p) {
        drop_content(h);
        return error_page(h, "Error allocating memory for CON buffer", "Tarnwick Error", true);
    }
    if (h.content_kind == 2) {
        p[0] = '&';
        h.content_offset = 1;
    }
    char* dst = p + h.content_offset;
    size_t got;
    bool ended = false;
    if (h.mode == Mode::Cgi && h.get_flag) {
        std::memcpy(dst, get_part.data(), get_part.size());
        got = get_part.size();
    } else if (h.mode == Mode::Cgi) {
        uint64_t deadline = h.timeout_seconds ? pf::tick_count64() + uint64_t{h.timeout_seconds} * 1000 : 0;
        got = read_stream(h.in, dst, static_cast<size_t>(size), deadline, &ended);
    } else {
        got = read_stream(h.in, dst, static_cast<size_t>(size), 0, &ended);
    }
    if (ended) {
        pf::gmem_unlock(h.content);
        return error_page(h, "The request was ended while its content was being read", "Tarnwick Error", true, 503);
    }
    dst[got] = '\0';
    h.content_length = static_cast<uint32_t>(got);
    if (h.mode == Mode::Cgi && h.get_flag) {
        h.content_length = static_cast<uint32_t>(got + 1);  // the query's terminating NUL counts
    } else if (h.mode == Mode::Cgi && h.content_kind == 2 && got > 1 && dst[got - 2] == '\r' && dst[got - 1] == '\n') {
        got -= 2;
        dst[got] = '\0';
        h.content_length = static_cast<uint32_t>(got);
    }
    if (got != 0 && !h.form.build(form_view(h, p), h.content_kind, h.boundary, h.max_form_fields)) {
        pf::gmem_unlock(h.content);
        return error_page(h, "Posted form has too many fields", "Tarnwick Error", true, 413);
    }
    pf::gmem_unlock(h.content);
    if (got == 0) drop_content(h);
    return true;
}

bool intake_start(HostState& h) {
    settings_start(h);

    std::string cmdline_request;
    if (!open_mode(h, &cmdline_request)) return false;

    std::string raw;
    std::string request = choose_request_text(h, cmdline_request, &raw);
    h.raw_cmd = raw_command_data(raw);
    h.raw_cmd_unescaped = unescape_backslashes(h.raw_cmd);
    ParsedRequest parsed = parse_request_text(request);
    h.script_name = std::move(parsed.script_name);
    h.command_data = std::move(parsed.command_data);
    if (!path_check(h.script_name)) {
        error_page(h, h.script_name, "Tarnwick Error: Script file name contains invalid path info", true, 400);
        close_handles(h);
        return false;
    }

    pf::set_current_dir(h.program_dir.c_str());
    if (!h.script_name.empty()) {
        std::string found = pf::search_path(h.script_name.c_str(), h.program_dir.c_str());
        h.script_path = found.empty() ? h.script_name : found;
    }
    if (!read_content(h)) {
        drop_content(h);
        close_handles(h);
        return false;
    }
    return true;
}

void intake_finish(HostState& h) {
    drop_content(h);
    close_handles(h);
    if (h.weblog.file.valid()) pf::file_close(h.weblog.file);
    h.weblog.file = pf::File{};
}

}  // namespace kel::host
