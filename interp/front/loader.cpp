// Loading script text and reading it back line by line.
#include "interp/front/loader.h"

#include <cstring>
#include <string>

#include "interp/data/convert.h"
#include "interp/base/report.h"
#include "interp/data/heap.h"
#include "interp/front/textprep.h"
#include "interp/data/vars.h"
#include "platform/fileio.h"
#include "platform/process.h"

namespace kel::interp {

namespace {

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Counted lines get a marker after them so that positions map back to file and line.
bool is_counted_line(std::string_view line) {
    size_t b = 0;
    while (b < line.size() && is_blank(line[b])) ++b;
    std::string_view s = line.substr(b);
    return starts_with_ci(s, "#include") || starts_with_ci(s, "#definefunction") ||
           starts_with_ci(s, "#definesubroutine");
}

bool is_absolute(std::string_view name) {
    if (name.size() >= 3 && ((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z') && name[1] == ':' &&
        (name[2] == '\\' || name[2] == '/'))
        return true;
    if (name.size() >= 2 && name[0] == '\\' && name[1] == '\\') return true;
    return !name.empty() && name[0] == '/';
}

bool has_directory(std::string_view name) {
    return name.find_first_of("\\/:") != std::string_view::npos;
}

// `*resolved`, when given, receives the name as it exists (its case matched).
bool existing_file(const std::string& path, std::string* resolved = nullptr) {
    platform::FileInfo fi;
    if (!platform::file_info(path.c_str(), &fi) || fi.is_dir) return false;
    if (resolved) *resolved = std::move(fi.name);
    return true;
}

// Files may not exceed what the string heap could ever hold.
uint64_t size_limit(const Instance& inst) {
    uint64_t r = inst.heap.reserved ? inst.heap.reserved : (uint64_t{100} << 20);
    return r;
}

// Reads a whole file, checking its size against the limit first and the bytes read
// against that size afterwards. 0, or a message number (203 too large, 206 short read).
int read_whole(const Instance& inst, const std::string& path, std::string* out, bool* not_found) {
    *not_found = false;
    platform::File f = platform::file_open_shared(path.c_str(), platform::Open::Read, platform::kShareRead);
    if (!f.valid()) {
        *not_found = true;
        return err_number(Err::ScriptFileNotFound);
    }
    // The size the open found: a change after it is caught by the read below.
    int64_t size = f.size_at_open;
    if (size < 0) {
        platform::file_close(f);
        return err_number(Err::ScriptReadError);
    }
    if (static_cast<uint64_t>(size) >= size_limit(inst)) {
        platform::file_close(f);
        return err_number(Err::ScriptAllocFailed);
    }
    out->resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < out->size()) {
        int64_t n = platform::file_read(f, out->data() + got, out->size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    char extra;
    bool more = got == out->size() && platform::file_read(f, &extra, 1) > 0;
    platform::file_close(f);
    if (got != out->size() || more) return err_number(Err::ScriptReadError);
    // UTF-16 text is full of zero bytes; it is converted (and ends at its first zero
    // unit) later.
    if (has_utf16_bom(out->data(), out->size())) return 0;
    // A NUL inside the text would end it early; the reader stops there as the loaded
    // buffer always did.
    size_t nul = out->find('\0');
    if (nul != std::string::npos) out->resize(nul);
    return 0;
}

std::string dir_of(std::string_view path) {
    size_t p = path.find_last_of("\\/");
    return p == std::string_view::npos ? std::string() : std::string(path.substr(0, p + 1));
}

}  // namespace

bool value_to_text(Instance& inst, const ValueCore& v, std::string* out) {
    if (v.flags & kVtStr) {
        *out = heap_str(inst, v.str);
        return true;
    }
    Value tmp = empty_value();
    tmp.flags = v.flags & (kVtInt | kVtFloat);
    tmp.i = v.i;
    tmp.f = v.f;
    if (v.flags & kVtWide) {
        *out = wide_to_ansi(value_wide(inst, v), inst.code_page);
        return true;
    }
    if (!tmp.flags) {
        out->clear();
        return true;
    }
    if (!to_str(inst, tmp)) return false;
    *out = heap_str(inst, tmp.str);
    release_value(inst, tmp);
    return true;
}

bool starts_with_ci(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(s[i]) != lower(prefix[i])) return false;
    return true;
}

std::string marker_line(uint32_t line_no, std::string_view path, char origin) {
    std::string m;
    m.reserve(path.size() + 9);
    m += ';';
    m += kMarkerTab;
    m += origin;
    m += '@';
    for (int shift = 18; shift >= 0; shift -= 6) m += static_cast<char>(0x40 + ((line_no >> shift) & 0x3F));
    m.append(path);
    m += '\n';
    return m;
}

bool parse_marker(std::string_view line, uint32_t* line_no, std::string_view* path) {
    if (line.size() < 8 || line[0] != ';' || line[1] != kMarkerTab) return false;
    uint32_t n = 0;
    for (int i = 4; i < 8; ++i) n = (n << 6) | (static_cast<unsigned char>(line[i]) & 0x3F);
    if (line_no) *line_no = n;
    if (path) {
        std::string_view p = line.substr(8);
        while (!p.empty() && (p.back() == '\n' || p.back() == ' ')) p.remove_suffix(1);
        *path = p;
    }
    return true;
}

std::string find_script_file(std::string_view name) {
    if (name.empty()) return std::string();
    std::string n(name);
    if (!has_directory(name)) {
        std::string path_env;
        if (platform::env_get("PATH", &path_env)) {
            size_t start = 0;
            while (start <= path_env.size()) {
                size_t end = path_env.find(':', start);
                if (end == std::string::npos) end = path_env.size();
                std::string d = path_env.substr(start, end - start);
                if (!d.empty()) {
                    std::string full = d + (d.back() == '/' ? "" : "/") + n;
                    std::string found;
                    if (existing_file(full, &found)) return platform::full_path(found);
                }
                start = end + 1;
            }
        }
        return platform::search_path(n.c_str());
    }
    std::string found;
    if (existing_file(n, &found)) return platform::full_path(found);
    return std::string();
}

int expand_includes(Instance& inst, std::string& text, std::string_view path, std::string_view dir, int depth,
                    std::string* bad_name) {
    if (depth >= kIncludeDepthMax) return err_number(Err::IncludeTooDeep);
    size_t k = (!text.empty() && text[0] == ' ') ? 1 : 0;
    if (text.size() >= k + 2 && text[k] == ';') {
        if (text[k + 1] == kMarkerTab) return 0;
        if (text[k + 1] == kDecodedMark && (text.size() < k + 3 || text[k + 2] != '@')) return 0;
    }
    char origin = (text.size() >= k + 3 && text[k] == ';' && text[k + 1] == kDecodedMark) ? '@' : 'A';
    normalize_line_ends(text.data(), text.size());

    std::string out;
    try {
        out.reserve(text.size() + (path.size() + 9) * 4 + 1);
        out += marker_line(1, path, origin);
        uint32_t line_no = 1;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t eol = text.find('\n', pos);
            bool has_lf = eol != std::string::npos;
            if (!has_lf) eol = text.size();
            std::string_view line(text.data() + pos, eol - pos);
            out.append(line);
            if (has_lf) out += '\n';
            bool is_marker = line.size() >= 2 && line[0] == ';' && line[1] == kMarkerTab;
            if (has_lf && !is_marker) ++line_no;
            if (!is_marker && is_counted_line(line)) {
                if (!has_lf) {
                    out += '\n';
                    ++line_no;
                }
                out += marker_line(line_no, path, origin);
            }
            pos = eol + 1;
        }
    } catch (const std::bad_alloc&) {
        return err_number(Err::WorkBufferAllocFailed);
    }

    size_t pos = 0;
    while (pos < out.size()) {
        size_t eol = out.find('\n', pos);
        if (eol == std::string::npos) eol = out.size();
        size_t b = pos;
        while (b < eol && is_blank(out[b])) ++b;
        std::string_view line(out.data() + b, eol - b);
        if (!(line.size() > 8 && starts_with_ci(line, "#include") && is_blank(line[8]))) {
            pos = eol + 1;
            continue;
        }
        size_t i = 9;
        while (i < line.size() && is_blank(line[i])) ++i;
        std::string name;
        char q = i < line.size() ? line[i] : '\0';
        if (q == '"' || q == '\'' || q == '`') {
            size_t close = line.find(q, i + 1);
            name = std::string(line.substr(i + 1, close == std::string_view::npos ? std::string_view::npos
                                                                                   : close - i - 1));
            if (close == std::string_view::npos || name.size() > kIncludeNameMax) {
                *bad_name = name.substr(0, kIncludeNameMax);
                return err_number(Err::IncludeFileFailed);
            }
        } else {
            name = std::string(line.substr(i));
            if (name.size() > kIncludeNameMax) {
                *bad_name = name.substr(0, kIncludeNameMax);
                return err_number(Err::IncludeFileFailed);
            }
        }
        std::string found;
        if (!is_absolute(name) && !dir.empty() && existing_file(std::string(dir) + name))
            found = std::string(dir) + name;
        else if (!name.empty() && existing_file(name))
            found = name;
        else
            found = find_script_file(name);
        if (found.empty()) {
            *bad_name = name;
            return err_number(Err::IncludeFileFailed);
        }
        std::string inc;
        bool not_found = false;
        int rc = read_whole(inst, found, &inc, &not_found);
        if (rc == Err::ScriptAllocFailed) return err_number(Err::WorkBufferAllocFailed);
        if (rc != 0) {
            *bad_name = name;
            return err_number(Err::IncludeFileFailed);
        }
        int sub = expand_includes(inst, inc, found, dir, depth + 1, bad_name);
        if (sub != 0) return sub;
        if (inc.empty() || inc.back() != '\n') inc += '\n';
        if (out.size() - (eol < out.size() ? eol + 1 : out.size()) + b + inc.size() >= size_limit(inst))
            return err_number(Err::WorkBufferAllocFailed);
        try {
            std::string rebuilt;
            rebuilt.reserve(b + inc.size() + out.size() - eol);
            rebuilt.append(out, 0, b);
            rebuilt += inc;
            if (eol < out.size()) rebuilt.append(out, eol + 1, std::string::npos);
            out.swap(rebuilt);
        } catch (const std::bad_alloc&) {
            return err_number(Err::WorkBufferAllocFailed);
        }
        pos = b + inc.size();
    }
    text.swap(out);
    return 0;
}

// A file that cannot be loaded has been reported; the caller's run ends quietly with
// the "already shown" code, the load message kept beside it.
bool load_failed(Instance& inst, Err headline, const std::string& detail, int code) {
    report_load_error(inst, headline, detail);
    inst.fail(Err::ShownUserEnded);
    inst.real_code = static_cast<uint16_t>(code);
    return false;
}

// The load message `code` itself as the detail under "Execution Error".
bool load_failed(Instance& inst, int code) {
    return load_failed(inst, Err::ExecutionError, std::string(message_text_or_number(code)), code);
}

bool prepare_host_buffer(Instance& inst, Script& s) {
    if (!(inst.include_mode & 1) || s.text.empty()) return true;
    std::string bad;
    int rc = expand_includes(inst, s.text, s.file, s.dir, 0, &bad);
    if (rc == 0) return true;
    if (rc == Err::IncludeFileFailed) return load_failed(inst, Err::IncludeFileFailed, bad, rc);
    return load_failed(inst, rc);
}

bool load_script_file(Instance& inst, const std::string& path, Script& out) {
    out.file = path;
    out.dir = dir_of(path);
    out.labels.clear();
    bool not_found = false;
    int rc = read_whole(inst, path, &out.text, &not_found);
    if (rc == Err::ScriptFileNotFound) {
        return load_failed(inst, Err::ScriptFileNotFound, path, rc);
    }
    if (rc != 0) {
        return load_failed(inst, rc);
    }
    if (!out.text.empty()) {
        unsigned char first = static_cast<unsigned char>(out.text[0]);
        if (first >= 1 && first <= 3) {
            // Encoded scripts are recognised but not decoded.
            return load_failed(inst, err_number(Err::UnknownCompiledFormat));
        }
    }
    if (out.text.size() >= 2 && has_utf16_bom(out.text.data(), out.text.size())) {
        std::string buf = out.text;
        buf.push_back('\0');
        buf.push_back('\0');
        long n = convert_utf16_buffer(buf.data(), buf.size(), inst.code_page);
        if (n <= 0) {
            return load_failed(inst, err_number(Err::ScriptUnicodeError));
        }
        buf.resize(static_cast<size_t>(n));
        out.text.swap(buf);
    }
    normalize_line_ends(out.text.data(), out.text.size());
    return prepare_host_buffer(inst, out);
}

bool read_line(std::string_view text, size_t& pos, char* out, size_t* out_len, size_t* first, bool* too_long) {
    const size_t end = text.size();
    size_t p = pos;
    *too_long = false;
    if (p >= end || text[p] == '\0') {
        out[0] = '\0';
        *out_len = 0;
        *first = p;
        return false;
    }
    while (p < end && is_blank(text[p])) ++p;
    *first = p;
    // The line ends at the first LF, NUL or end-of-file mark (0x1A), whichever comes first.
    const char* base = text.data();
    size_t stop = end;
    if (const void* q = std::memchr(base + p, '\n', end - p)) stop = static_cast<size_t>(static_cast<const char*>(q) - base);
    if (const void* q = std::memchr(base + p, '\0', stop - p)) stop = static_cast<size_t>(static_cast<const char*>(q) - base);
    if (const void* q = std::memchr(base + p, 0x1A, stop - p)) stop = static_cast<size_t>(static_cast<const char*>(q) - base);
    size_t len = stop - p;
    size_t n = len < kLineMax ? len : kLineMax;
    std::memcpy(out, base + p, n);
    if (len > kLineMax) {
        // Past the limit only a single blank right before the line feed is forgiven.
        bool forgiven = len - kLineMax == 1 && base[stop - 1] == ' ' && stop < end && base[stop] == '\n';
        if (!forgiven) *too_long = true;
    }
    out[n] = '\0';
    *out_len = n;
    // A NUL stays unread (it ends the text); LF and the end-of-file mark are consumed.
    pos = stop < end && (base[stop] == '\n' || base[stop] == 0x1A) ? stop + 1 : stop;
    return true;
}

bool prepare_line(Instance& inst, char* line, size_t* len, bool* substituted, std::string_view script_dir) {
    *substituted = false;
    if (std::memchr(line, '%', *len)) {
        std::string work;
        work.reserve(*len + 16);
        size_t i = 0;
        const size_t n = *len;
        while (i < n) {
            char c = line[i];
            if (c != '%') {
                work += c;
                ++i;
                continue;
            }
            if (i + 1 < n && line[i + 1] == '%') {
                work += '%';
                i += 2;
                continue;
            }
            size_t j = i + 1;
            while (j < n) {
                unsigned char ch = static_cast<unsigned char>(line[j]);
                if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '@' ||
                    ch == '_' || ch >= 0x80)
                    ++j;
                else
                    break;
            }
            size_t name_len = j - i - 1;
            if (name_len > kMaxVarName) {
                inst.fail(Err::VarNameTooLong);
                return false;
            }
            if (name_len == 0 || j >= n || line[j] != '%') {
                inst.fail(Err::SubstitutionUnclosed);
                return false;
            }
            std::string_view name(line + i + 1, name_len);
            std::string key = var_name_key(name);
            int32_t idx = var_lookup(inst, key);
            if (idx >= 0 && is_defined(inst.vars[idx].flags)) {
                std::string text;
                if (!value_to_text(inst, inst.vars[idx], &text)) return false;
                work += text;
            } else if (key == "@crlf") {
                work += "\r\n";
            } else if (key == "@tab") {
                work += '\t';
            } else if (key == "@cr") {
                work += '\r';
            } else if (key == "@lf") {
                work += '\n';
            }
            if (work.size() > kLineMax) {
                inst.fail(Err::SubstitutionTooLong);
                return false;
            }
            *substituted = true;
            i = j + 1;
        }
        if (work.size() > kLineMax) {
            inst.fail(Err::SubstitutionTooLong);
            return false;
        }
        std::memcpy(line, work.data(), work.size());
        line[work.size()] = '\0';
        *len = work.size();
    }
    if ((inst.include_mode & 2) && *len > 9 && starts_with_ci(std::string_view(line, *len), "#include") &&
        is_blank(line[8])) {
        std::string_view rest(line + 9, *len - 9);
        while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
        while (!rest.empty() && is_blank(rest.back())) rest.remove_suffix(1);
        if (!rest.empty() && (rest.front() == '"' || rest.front() == '\'' || rest.front() == '`')) {
            char q = rest.front();
            rest.remove_prefix(1);
            if (!rest.empty() && rest.back() == q) rest.remove_suffix(1);
        }
        std::string path(rest.substr(0, kIncludeNameMax));
        if (!is_absolute(path) && !script_dir.empty() && existing_file(std::string(script_dir) + path))
            path = std::string(script_dir) + path;
        // A double quote inside the name would end the string constant early.
        std::string quoted;
        for (char c : path) {
            quoted += c;
            if (c == '"') quoted += '"';
        }
        std::string call = "Call(\"" + quoted + "\",``)";
        if (call.size() > kLineMax) {
            inst.fail(Err::SubstitutionTooLong);
            return false;
        }
        std::memcpy(line, call.data(), call.size());
        line[call.size()] = '\0';
        *len = call.size();
    }
    return true;
}

bool parse_udf_header(std::string_view rest, UdfHeader* out) {
    size_t i = 0;
    auto skip = [&] {
        while (i < rest.size() && is_blank(rest[i])) ++i;
    };
    skip();
    size_t s = i;
    while (i < rest.size() && !is_blank(rest[i]) && rest[i] != '(') ++i;
    if (i == s || i - s > kMaxVarName) return false;
    out->name.assign(rest.substr(s, i - s));
    fold_name(out->name);
    skip();
    if (i >= rest.size() || rest[i] != '(') return false;
    ++i;
    out->param_count = 0;
    skip();
    if (i < rest.size() && rest[i] == ')') {
        ++i;
    } else {
        for (;;) {
            skip();
            size_t ps = i;
            while (i < rest.size() && !is_blank(rest[i]) && rest[i] != ',' && rest[i] != ')') ++i;
            if (i == ps || i - ps > kMaxVarName || out->param_count >= 16) return false;
            std::string p(rest.substr(ps, i - ps));
            fold_name(p);
            out->params[out->param_count++] = p;
            skip();
            if (i >= rest.size()) return false;
            if (rest[i] == ',') {
                ++i;
                continue;
            }
            if (rest[i] == ')') {
                ++i;
                break;
            }
            return false;
        }
    }
    skip();
    return i >= rest.size() || rest[i] == ';';
}

}  // namespace kel::interp
