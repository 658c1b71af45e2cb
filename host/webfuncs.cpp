// The web functions and their table, one row per request code: the keyword records the
// interpreter reads and the dispatch of the command callback are both made from it.
#include "host/webfuncs.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/binding.h"
#include "host/callback.h"
#include "host/intake.h"
#include "host/pages.h"
#include "host/png.h"
#include "platform/fileio.h"
#include "platform/gmem.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace kel::host {

namespace pf = kel::platform;

std::string write_in_base(int32_t v, int base) {
    if (v == INT32_MIN) return "-2147483648";
    static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    bool neg = v < 0;
    uint32_t m = static_cast<uint32_t>(neg ? -v : v);
    std::string r;
    do {
        r.insert(r.begin(), kDigits[m % static_cast<uint32_t>(base)]);
        m /= static_cast<uint32_t>(base);
    } while (m);
    if (neg) r.insert(r.begin(), '-');
    return r;
}

int32_t web_hash_code(std::string_view s) {
    uint32_t h = 0;
    for (char c : s) h = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c))) + 2u * h;
    return static_cast<int32_t>(h) % 1000;
}

int32_t web_verify_card(std::string_view s) {
    std::string kept;
    for (char c : s) {
        // Letters of the code page count too (é, Ş), as the system's character class has them.
        if (pf::is_alnum(static_cast<uint8_t>(c))) kept += c;
        if (kept.size() == 40) break;
    }
    size_t n = kept.size();
    if (n == 0) return 0;  // nothing to check
    int sum = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        int v = static_cast<unsigned char>(kept[i]) - 48;
        if (i % 2 == n % 2) v *= 2;
        if (static_cast<unsigned>(v) >= 10) v -= 9;  // compared unsigned, so below '0' counts as large
        sum += v;
    }
    int check = (10 - sum % 10) % 10;
    return static_cast<unsigned char>(kept[n - 1]) - 48 == check ? 1 : 0;
}



namespace {

// A cursor over one log line; every take fails once the line is used up.
struct LineCursor {
    std::string_view line;
    size_t pos = 0;
    bool skip(size_t n) {
        if (line.size() - pos < n) return false;
        pos += n;
        return true;
    }
    // Up to (not including) the first of `stops`; fails when none follows or when the
    // field reaches `limit` characters.
    bool take(std::string_view stops, size_t limit, std::string* out) {
        if (pos > line.size()) return false;
        size_t end = line.find_first_of(stops, pos);
        if (end == std::string_view::npos || end - pos >= limit) return false;
        *out = std::string(line.substr(pos, end - pos));
        pos = end;
        return true;
    }
    bool rest(size_t limit, std::string* out) {
        if (pos > line.size() || line.size() - pos >= limit) return false;
        *out = std::string(line.substr(pos));
        pos = line.size();
        return true;
    }
};

int month_number(std::string_view m) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    for (int i = 0; i < 12; ++i)
        if (iequals(m, kMonths[i])) return i + 1;
    return 0;
}

std::string pad2(std::string_view s) { return s.size() >= 2 ? std::string(s.substr(0, 2)) : std::string(2 - s.size(), '0') + std::string(s); }

enum LogField { P1, P2, P3, P4, P5, P6, P7, P8, P9, PA, PB, PC, PD, PE, PF, PG, PH, PI, PJ };

}  // namespace

namespace {

// A double-quoted field of the combined format: `\"` and `\\` inside it do not end it.
// The text between the quotes is kept as written.
bool take_quoted(LineCursor& c, size_t limit, std::string* out) {
    if (c.pos >= c.line.size() || c.line[c.pos] != '"') return false;
    size_t i = c.pos + 1;
    for (; i < c.line.size() && c.line[i] != '"'; ++i)
        if (c.line[i] == '\\' && i + 1 < c.line.size()) ++i;
    if (i >= c.line.size() || i - c.pos - 1 >= limit) return false;
    *out = std::string(c.line.substr(c.pos + 1, i - c.pos - 1));
    c.pos = i + 1;
    return true;
}

bool parse_log_line(std::string_view line, std::string* fields, bool combined) {
    LineCursor c{line};
    std::string f[kLogFields];
    std::string date, ignore;
    if (!c.take(" ", 79, &f[P1]) || !c.skip(1) || !c.take(" ", 79, &f[P2]) || !c.skip(1) || !c.take(" ", 79, &f[P3]))
        return false;
    if (!c.skip(2) || !c.take(":", 4096, &date) || date.size() != 11) return false;
    int month = month_number(std::string_view(date).substr(3, 3));
    if (!month) return false;
    char mm[3] = {static_cast<char>('0' + month / 10), static_cast<char>('0' + month % 10), 0};
    f[P4] = date.substr(9, 2) + ":" + mm + ":" + date.substr(0, 2);
    f[PB] = date.substr(0, 2);
    if (!c.skip(1) || !c.take(" ", 19, &f[P5]) || !c.skip(1) || !c.take("]", 19, &f[PC])) return false;
    if (!c.skip(3) || !c.take(" ", 19, &f[P6]) || !c.skip(1) || !c.take("? ", 259, &f[P7])) return false;
    if (c.line[c.pos] == '?' && !c.take(" ", std::string_view::npos, &ignore)) return false;
    if (!c.skip(1) || !c.take("\"", 19, &f[P8]) || !c.skip(2) || !c.take(" ", 19, &f[P9])) return false;
    if (!c.skip(1)) return false;
    if (!combined) {
        if (!c.rest(19, &f[PA])) return false;
    } else {
        if (!c.take(" ", 19, &f[PA]) || !c.skip(1) || !take_quoted(c, kCombinedFieldLimit, &f[PD]) || !c.skip(1) ||
            !take_quoted(c, kCombinedFieldLimit, &f[PE]))
            return false;
    }
    if (f[PA].empty() || f[PA].find_first_not_of("0123456789") != std::string::npos) f[PA] = "0";
    for (int i : {P1, P2, P3, P4, P5, P6, P7, P8, P9, PA, PB, PC}) fields[i] = f[i];
    if (combined) fields[PD] = f[PD], fields[PE] = f[PE];
    return true;
}

}  // namespace

bool parse_common_line(std::string_view line, std::string* fields) { return parse_log_line(line, fields, false); }

bool parse_combined_line(std::string_view line, std::string* fields) { return parse_log_line(line, fields, true); }

bool parse_ms_line(std::string_view line, std::string* fields) {
    static const struct {
        size_t limit;
        int field;  // -1: the date
    } kCols[] = {{79, P1},  {79, P2},  {4096, -1}, {19, P5}, {79, PD}, {79, PE}, {79, PF}, {19, PG},
                 {19, PH},  {19, PA},  {19, P9},   {19, PI}, {19, P6}, {259, P7}};
    LineCursor c{line};
    std::string f[kLogFields], date;
    for (const auto& col : kCols) {
        std::string* out = col.field < 0 ? &date : &f[col.field];
        if (!c.take(",", col.limit, out) || !c.skip(2)) return false;
    }
    if (c.pos > line.size()) return false;
    size_t end = line.find(',', c.pos);
    std::string_view last = line.substr(c.pos, end == std::string_view::npos ? std::string_view::npos : end - c.pos);
    if (last.size() >= 199) return false;
    f[PJ] = std::string(last);
    if (date.size() != 7 && date.size() != 8) return false;
    size_t s1 = date.find('/'), s2 = date.find('/', s1 == std::string::npos ? 0 : s1 + 1);
    if (s1 == std::string::npos || s2 == std::string::npos) return false;
    std::string month = date.substr(0, s1), day = date.substr(s1 + 1, s2 - s1 - 1), year = date.substr(s2 + 1);
    f[P4] = pad2(year) + ":" + pad2(month) + ":" + pad2(day);
    f[PB] = day;
    for (int i : {P1, P2, P4, P5, PD, PE, PF, PG, PH, PA, P9, PI, P6, P7, PJ, PB}) fields[i] = f[i];
    return true;
}

static const char* const kGlyphRows[160] = {
#include "host/glyphs.inc"
};

bool counter_image(std::string_view s, std::string* out, Err* message, CounterFormat format) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    size_t i = 0;
    while (i < s.size() && blank(s[i])) ++i;
    std::string digits;
    for (; i < s.size() && !blank(s[i]); ++i) {
        bool digit = s[i] >= '0' && s[i] <= '9';
        if (digits.size() == 6) {
            *message = Err::WebCounterTooLong;
            return false;
        }
        if (!digit) {
            *message = Err::WebCounterBad;
            return false;
        }
        digits += s[i];
    }
    while (i < s.size() && blank(s[i])) ++i;
    if (digits.empty() || i != s.size()) {
        *message = Err::WebCounterBad;
        return false;
    }
    digits.insert(0, 6 - digits.size(), '0');
    if (format == CounterFormat::Png) {
        // The same glyphs as the bitmap below: X bitmaps put the leftmost pixel in the
        // lowest bit and draw 1 black, PNG the leftmost in the highest bit and 0 black.
        std::vector<uint8_t> rows;
        rows.reserve(16 * 12);
        for (int r = 0; r < 16; ++r) {
            for (char d : digits) {
                const char* text = kGlyphRows[16 * (d - '0') + r];
                for (const char* p = text; (p = std::strstr(p, "0x")) != nullptr; p += 2) {
                    unsigned v = static_cast<unsigned>(std::strtoul(p + 2, nullptr, 16));
                    unsigned flipped = 0;
                    for (int b = 0; b < 8; ++b)
                        if (v & (1u << b)) flipped |= 0x80u >> b;
                    rows.push_back(static_cast<uint8_t>(~flipped & 0xffu));
                }
            }
        }
        std::string png = png_1bit(96, 16, rows);
        if (png.empty()) {
            *message = Err::WebCounterBad;
            return false;
        }
        *out = "Content-type: image/png\r\n\r\n" + png;
        return true;
    }
    std::string img = "Content-type: image/x-xbitmap\r\n\r\n#define number_width 96\n#define number_height 16\n\n"
                      "static char number_bits[] =\n{\n";
    for (int r = 0; r < 16; ++r) {
        img += " ";
        for (int d = 0; d < 6; ++d) {
            img += d == 0 ? " " : ",";
            img += kGlyphRows[16 * (digits[static_cast<size_t>(d)] - '0') + r];
        }
        img += r < 15 ? ",\n" : "\n";
    }
    img += "};\n";
    *out = std::move(img);
    return true;
}

namespace {


// Runs `fn` on the locked content as fields see it (form_view). False when there is no
// content.
template <class Fn>
bool with_content(HostState& h, Fn fn) {
    if (!h.content || !h.content_length) return false;
    pf::GmemLock lock(h.content);
    if (!lock) return false;
    fn(form_view(h, lock.as<char>()));
    return true;
}

// The scratch block the field functions allocate for a value: content-length bytes.
bool scratch_available(const HostState& h) {
    if (!h.content || !h.content_length || h.mode == Mode::Local) return false;
    Handle block = pf::gmem_alloc(h.content_length, false);
    if (!block) return false;
    pf::gmem_free(block);
    return true;
}

std::string field(HostState& h, std::string_view name, size_t limit, bool text = false) {
    std::string v;
    if (h.mode == Mode::Local && h.content_kind == 3) return v;
    with_content(h, [&](std::string_view c) { v = h.form.value(c, name, limit, text); });
    return v;
}

// Service 28: copies bytes into a binary buffer; 1 all fitted, 0 cut, -1 bad handle.
intptr_t copy_to_binary_buffer(const char* data, size_t n, int32_t handle) {
    return call_service(28, data, reinterpret_cast<const char*>(static_cast<uintptr_t>(n)), 0, handle);
}

// webparamdata(name)
void webparamdata_fn(HostCall& c) {
    if (c.arg(1).empty()) return c.fail(Err::WebParamNoName);
    c.ret_str(field(*c.host, c.arg(1), kMaxCmdData, true));
}

// webparamsize(name): the byte length of the value, joining tabs included.
void webparamsize_fn(HostCall& c) {
    if (c.arg(1).empty()) return c.fail(Err::WebParamNoName);
    if (!scratch_available(*c.host)) return c.fail(Err::WebParamAlloc);
    c.ret_int(static_cast<int32_t>(field(*c.host, c.arg(1), c.host->content_length).size()));
}

// webparambuf(name, buffer)
void webparambuf_fn(HostCall& c) {
    if (c.arg(1).empty()) return c.fail(Err::WebParamNoName);
    if (c.arg(2).empty() || !is_numeric(c.arg(2))) return c.fail(Err::WebParamBufBad);
    if (!scratch_available(*c.host)) return c.fail(Err::WebParamAlloc);
    std::string v = field(*c.host, c.arg(1), c.host->content_length);
    if (v.empty()) return c.ret_int(0);
    intptr_t r = copy_to_binary_buffer(v.data(), v.size(), decimal(c.arg(2)));
    if (r < 0) return c.fail(Err::WebParamBufBad);
    c.ret_int(r == 1 ? 1 : 0);
}

// webparamfile(name, file): the value written to a file, created or truncated.
void webparamfile_fn(HostCall& c) {
    if (c.arg(1).empty()) return c.fail(Err::WebParamNoName);
    if (c.arg(2).empty()) return c.fail(Err::WebParamFileNoName);
    std::string path(c.arg(2));
    pf::File f = pf::file_open(path.c_str(), pf::Open::WriteTruncate);
    if (!f.valid()) return c.fail(Err::WebParamFileOpenFailed);
    if (!scratch_available(*c.host)) {
        pf::file_close(f);
        return c.fail(Err::WebParamAlloc);
    }
    std::string v = field(*c.host, c.arg(1), c.host->content_length);
    // Written in blocks so that the time-out can stop a large upload's copy.
    constexpr size_t kBlock = 1 << 20;
    bool ok = !v.empty();
    for (size_t at = 0; ok && at < v.size(); at += kBlock) {
        if (at && script_cancelled(*c.host)) ok = false;
        else ok = pf::file_write(f, v.data() + at, std::min(kBlock, v.size() - at));
    }
    pf::file_close(f);
    c.ret_int(ok ? 1 : 0);
}

// webparamnames()
void webparamnames_fn(HostCall& c) {
    HostState& h = *c.host;
    std::string names;
    if (!(h.mode == Mode::Local && h.content_kind == 3))
        with_content(h, [&](std::string_view content) { names = h.form.names(content); });
    c.ret_long(std::move(names));
}

// webconbuf(buffer): the content into a binary buffer.
void webconbuf_fn(HostCall& c) {
    const HostState& h = *c.host;
    if (c.arg(1).empty() || !is_numeric(c.arg(1))) return c.fail(Err::WebConBufBad);
    int32_t handle = decimal(c.arg(1));
    intptr_t r = -1;
    if (h.content && h.content_length) {
        pf::GmemLock lock(h.content);
        if (lock) r = copy_to_binary_buffer(lock.as<char>() + h.content_offset, h.content_length, handle);
    } else {
        copy_to_binary_buffer(nullptr, 0, handle);  // a valid buffer ends up empty
    }
    if (r < 0) return c.fail(Err::WebConBufBad);
    c.ret_int(r == 1 ? 1 : 0);
}

// weboutbinary(buffer): the buffer's bytes up to its end of data.
void weboutbinary_fn(HostCall& c) {
    if (c.arg(1).empty() || !is_numeric(c.arg(1))) return c.fail(Err::WebOutBinaryBad);
    const char* handle = reinterpret_cast<const char*>(static_cast<intptr_t>(decimal(c.arg(1))));
    Handle mem = static_cast<Handle>(call_service(43, "", handle, 1, 0));
    pf::GmemLock lock(mem);
    if (!mem || !lock) return c.fail(Err::WebOutBinaryBad);
    intptr_t end = call_service(43, "", handle, 3, 0);
    size_t size = pf::gmem_size(mem);
    size_t n = end < 0 ? 0 : static_cast<size_t>(end);
    out_raw(*c.host, std::string_view(lock.as<char>(), n < size ? n : size));
    c.ret_int(1);
}

// webcounter(digits): a six-digit image, an X bitmap or (CounterFormat=png) a PNG.
void webcounter_fn(HostCall& c) {
    std::string img;
    Err message{};
    CounterFormat format = c.host->counter_png ? CounterFormat::Png : CounterFormat::Xbm;
    if (!counter_image(c.arg(1), &img, &message, format)) return c.fail(message);
    out_raw(*c.host, img);
    c.ret_int(1);
}

// reload(): nothing to reload.
void reload_fn(HostCall& c) { c.ret_int(1); }
// version()
void version_fn(HostCall& c) { c.ret_str(kVersion); }
// rtstatus(): this host is always the web runtime.
void rtstatus_fn(HostCall& c) { c.ret_int(14); }

// intcontrol(request, p1, p2, p3, p4): only request 1000, the exit code.
void intcontrol_fn(HostCall& c) {
    if (decimal(c.arg(1)) != 1000) return c.fail(Err::HostIntControlBad);
    int32_t previous = c.host->exit_code;
    c.host->exit_code = decimal(c.arg(2));
    c.ret_int(previous);
}

static_assert(sizeof(WebLog::fields) / sizeof(WebLog::fields[0]) == kLogFields);

const char* const kLogFieldNames[kLogFields] = {"param1", "param2", "param3", "param4", "param5", "param6", "param7",
                                               "param8", "param9", "paramA", "paramB", "paramC", "paramD", "paramE",
                                               "paramF", "paramG", "paramH", "paramI", "paramJ"};

// webopenlog(file, format): replaces any earlier log.
void webopenlog_fn(HostCall& c) {
    WebLog& log = c.host->weblog;
    if (c.arg(1).empty()) return c.fail(Err::WebOpenLogNoName);
    int32_t format = decimal(c.arg(2));
    if (format < 1 || format > 3) return c.fail(Err::WebOpenLogBadFormat);
    std::string path(c.arg(1));
    pf::File f = pf::file_open(path.c_str(), pf::Open::Read);
    if (!f.valid()) return c.fail(Err::WebOpenLogFailed);
    if (log.file.valid()) pf::file_close(log.file);
    log.file = f;
    log.format = format;
    log.pos = 0;
    c.ret_int(f.fd);
}

// weblogline(handle, flags): the next line that parses, into the selected fields.
void weblogline_fn(HostCall& c) {
    WebLog& r = c.host->weblog;
    if (c.arg(1).empty() || !r.file.valid() || decimal(c.arg(1)) != r.file.fd) return c.fail(Err::WebLogLineBadHandle);
    uint32_t flags = static_cast<uint32_t>(decimal(c.arg(2)));
    char buf[kMaxCmdData];  // on the stack: a static one would be a page of its own
    for (;;) {
        if (!pf::file_seek(r.file, r.pos)) return c.fail(Err::WebLogLineReadError);
        int64_t n = pf::file_read(r.file, buf, sizeof buf);
        if (n < 0) return c.fail(Err::WebLogLineReadError);
        if (n == 0) return c.ret_int(0);
        std::string line;
        int64_t lf = -1;
        for (int64_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                lf = i;
                break;
            }
            if (buf[i] != '\r') line += buf[i];
        }
        // A last line without its line feed (a log still being written) is still a line;
        // a full block without one is an over-long line.
        bool last = lf < 0 && n < static_cast<int64_t>(sizeof buf);
        if ((lf < 0 && !last) || line.size() >= kMaxCmdData) return c.fail(Err::WebLogLineTooLong);
        r.pos += last ? n : lf + 1;
        bool parsed = r.format == 1   ? parse_common_line(line, r.fields)
                      : r.format == 2 ? parse_combined_line(line, r.fields)
                                      : parse_ms_line(line, r.fields);
        if (!parsed) continue;
        for (int k = 0; k < kLogFields; ++k)
            if (flags == 0 || (flags & (1u << k))) call_service(1, kLogFieldNames[k], r.fields[k].c_str(), 0, 0);
        return c.ret_int(1);
    }
}

// webcloselog(handle): closes whatever log is open.
void webcloselog_fn(HostCall& c) {
    WebLog& log = c.host->weblog;
    if (!log.file.valid()) return c.ret_int(0);
    pf::file_close(log.file);
    log.file = pf::File{};
    c.ret_int(1);
}

// webcmddata()
void webcmddata_fn(HostCall& c) { c.ret_str(c.host->command_data); }

// webcmdrawdata(flags): bit 0 asks for the backslash-unescaped form.
void webcmdrawdata_fn(HostCall& c) {
    std::string_view flags = c.arg(1);
    if (flags.empty() || !is_numeric(flags)) return c.fail(Err::WebCmdRawDataBadFlags);
    c.ret_str((decimal(flags) & 1) ? c.host->raw_cmd_unescaped : c.host->raw_cmd);
}

// webcondata(): the content as text, to its first NUL.
void webcondata_fn(HostCall& c) {
    const HostState& h = *c.host;
    pf::GmemLock lock(h.content);
    if (!h.content || !lock) return c.ret_str("");
    const char* p = lock.as<char>() + h.content_offset;
    size_t n = strnlen(p, h.content_length < kMaxCmdData ? h.content_length : kMaxCmdData);
    c.ret_str(std::string_view(p, n));
}

// webconsize()
void webconsize_fn(HostCall& c) { c.ret_int(static_cast<int32_t>(c.host->content_length)); }

// webdatdata(section, key, default)
void webdatdata_fn(HostCall& c) {
    const HostState& h = *c.host;
    if (c.arg(1).empty()) return c.fail(Err::WebDataNoSection);
    if (c.arg(2).empty()) return c.fail(Err::WebDataNoKeyword);
    std::string section(c.arg(1)), key(c.arg(2)), def(c.arg(3)), v;
    if (h.mode == Mode::Cgi) {
        if (!pf::env_get(key.c_str(), &v) || v.empty()) v = def;
    } else if (h.mode == Mode::File) {
        v = pf::profile_get_string(h.dat_path.c_str(), section.c_str(), key.c_str(), def.c_str());
    }
    if (v.size() > kMaxCmdData) v.resize(kMaxCmdData);
    c.ret_str(v);
}

// webhashcode(text)
void webhashcode_fn(HostCall& c) {
    if (c.arg(1).empty()) return c.fail(Err::WebHashCodeNoString);
    c.ret_int(web_hash_code(c.arg(1)));
}

// webislocal()
void webislocal_fn(HostCall& c) { c.ret_int(c.host->mode == Mode::Local ? 1 : 0); }

// webout(text, count): the text, then count CR LF pairs.
void webout_fn(HostCall& c) {
    std::string_view text = c.arg(1);
    int32_t count = decimal(c.arg(2));
    static const std::string kLines = [] {
        std::string s;
        for (int i = 0; i < 256; ++i) s += "\r\n";
        return s;
    }();
    // A short line leaves with its line ends in one write.
    constexpr size_t kJoinedText = 4096;
    if (count > 0 && count <= 256 && text.size() <= kJoinedText) {
        char joined[kJoinedText + 512];
        if (!text.empty()) std::memcpy(joined, text.data(), text.size());
        std::memcpy(joined + text.size(), kLines.data(), static_cast<size_t>(count) * 2);
        out_raw(*c.host, std::string_view(joined, text.size() + static_cast<size_t>(count) * 2));
        return c.ret_int(1);
    }
    out_raw(*c.host, text);
    while (count > 0) {
        int32_t now = count < 256 ? count : 256;
        if (!out_raw(*c.host, std::string_view(kLines).substr(0, static_cast<size_t>(now) * 2))) break;
        count -= now;
    }
    c.ret_int(1);
}

// weboutfile(file): the file's bytes as they are.
void weboutfile_fn(HostCall& c) {
    if (c.arg(1).empty()) return c.fail(Err::WebOutFileNoName);
    std::string path(c.arg(1));
    pf::File f = pf::file_open(path.c_str(), pf::Open::Read);
    if (!f.valid()) return c.fail(Err::WebOutFileNotFound);
    // Streamed in blocks: a download of any size costs one block of memory.
    constexpr size_t kBlock = 64 * 1024;
    Handle block = pf::gmem_alloc(kBlock, false);
    char* p = block ? static_cast<char*>(pf::gmem_lock(block)) : nullptr;
    if (!p) {
        if (block) pf::gmem_free(block);
        pf::file_close(f);
        return c.fail(Err::WebOutFileAlloc);
    }
    for (bool first = true;; first = false) {
        if (!first && script_cancelled(*c.host)) break;  // the time-out stops a long download
        int64_t n = pf::file_read(f, p, kBlock);
        if (n <= 0 || !out_raw(*c.host, std::string_view(p, static_cast<size_t>(n)))) break;
    }
    pf::gmem_unlock(block);
    pf::gmem_free(block);
    pf::file_close(f);
    c.ret_int(1);
}

// webbaseconv(value, from, to)
void webbaseconv_fn(HostCall& c) {
    int32_t from = decimal(c.arg(2)), to = decimal(c.arg(3));
    if (from < 2 || from > 36 || to < 2 || to > 36) return c.fail(Err::WebBaseConvBadBase);
    if (from == 10) return c.ret_str(write_in_base(decimal(c.arg(1)), to));
    int32_t v;
    if (!read_in_base(c.arg(1), from, &v)) return c.fail(Err::WebBaseConvBadChar);
    if (to == 10) return c.ret_int(v);
    c.ret_str(write_in_base(v, to));
}

// webverifycard(number)
void webverifycard_fn(HostCall& c) { c.ret_int(web_verify_card(c.arg(1))); }

// webdumperror(headline, detail)
void webdumperror_fn(HostCall& c) { c.ret_int(error_log_append(*c.host, c.arg(1), c.arg(2)) ? 1 : 0); }

// websettimeout(seconds): returns the previous time-out.
void websettimeout_fn(HostCall& c) {
    std::string_view s = c.arg(1);
    if (s.empty() || !is_numeric(s)) return c.fail(Err::WebSetTimeoutBad);
    int32_t v = decimal(s);
    if (v > 4294967) return c.fail(Err::WebSetTimeoutBad);
    if (v < 0) return c.ret_int(static_cast<int32_t>(c.host->timeout_seconds));
    c.ret_int(static_cast<int32_t>(set_timeout(*c.host, static_cast<uint32_t>(v))));
}

// breakpoint: nothing to answer.
void breakpoint_fn(HostCall& c) { c.answer = false; }

// dirscript(): the script path's directory, separator included.
void dirscript_fn(HostCall& c) {
    const std::string& p = c.host->script_path;
    size_t last = p.find_last_of("\\/");
    c.ret_str(last == std::string::npos ? std::string() : p.substr(0, last + 1));
}

}  // namespace

namespace {

enum class WebKind : int32_t { Function = 2, Constant = 3, Statement = 4 };

// One row per request code, in code order. A function or statement has an
// implementation; a named constant has a value instead.
struct WebFunction {
    int32_t id;
    const char* name;  // lower case, as scripts' names are matched after folding
    WebKind kind;
    uint8_t required = 0;
    uint8_t optional = 0;
    HostFn fn = nullptr;
    int32_t value = 0;
};

constexpr WebKind kFn = WebKind::Function, kConst = WebKind::Constant, kStatement = WebKind::Statement;

// Only read while compiling: the records and the dispatch below are made from it.
constexpr WebFunction kWebFunctions[] = {
    {0, "reload", kFn, 0, 0, reload_fn},
    {1, "version", kFn, 0, 0, version_fn},
    {2, "intcontrol", kFn, 5, 0, intcontrol_fn},
    {3, "webcloselog", kFn, 1, 0, webcloselog_fn},
    {4, "webcmddata", kFn, 0, 0, webcmddata_fn},
    {5, "webconbuf", kFn, 1, 0, webconbuf_fn},
    {6, "webcondata", kFn, 0, 0, webcondata_fn},
    {7, "webconsize", kFn, 0, 0, webconsize_fn},
    {8, "webcounter", kFn, 1, 0, webcounter_fn},
    {9, "webdatdata", kFn, 3, 0, webdatdata_fn},
    {10, "webhashcode", kFn, 1, 0, webhashcode_fn},
    {11, "webislocal", kFn, 0, 0, webislocal_fn},
    {12, "weblogline", kFn, 2, 0, weblogline_fn},
    {13, "webopenlog", kFn, 2, 0, webopenlog_fn},
    {14, "webout", kFn, 2, 0, webout_fn},
    {15, "weboutfile", kFn, 1, 0, weboutfile_fn},
    {16, "webparambuf", kFn, 2, 0, webparambuf_fn},
    {17, "webparamdata", kFn, 1, 0, webparamdata_fn},
    {18, "webparamfile", kFn, 2, 0, webparamfile_fn},
    {19, "webparamsize", kFn, 1, 0, webparamsize_fn},
    {20, "webparamnames", kFn, 0, 0, webparamnames_fn},
    {21, "webbaseconv", kFn, 3, 0, webbaseconv_fn},
    {22, "webverifycard", kFn, 1, 0, webverifycard_fn},
    {23, "webdumperror", kFn, 2, 0, webdumperror_fn},
    {24, "websettimeout", kFn, 1, 0, websettimeout_fn},
    {25, "breakpoint", kStatement, 0, 0, breakpoint_fn},
    {26, "@commonformat", kConst, 0, 0, nullptr, 1},
    {27, "@ncsaformat", kConst, 0, 0, nullptr, 2},
    {28, "@msformat", kConst, 0, 0, nullptr, 3},
    {29, "rtstatus", kFn, 0, 0, rtstatus_fn},
    {30, "weboutbinary", kFn, 1, 0, weboutbinary_fn},
    {31, "dirscript", kFn, 0, 0, dirscript_fn},
    {32, "webcmdrawdata", kFn, 1, 0, webcmdrawdata_fn},
};
constexpr size_t kWebFunctionCount = sizeof kWebFunctions / sizeof kWebFunctions[0];

constexpr size_t name_length(const char* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

constexpr bool same_name(const char* a, const char* b) {
    for (; *a && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// Ids 0 to N-1 in order, names unique, lower case and short enough for a record, an
// implementation for every function and statement, a value (and no implementation)
// for every constant.
consteval bool table_is_sound() {
    constexpr size_t kNameRoom = sizeof(KeywordRecord{}.name);
    for (size_t i = 0; i < kWebFunctionCount; ++i) {
        const WebFunction& w = kWebFunctions[i];
        if (w.id != static_cast<int32_t>(i)) return false;
        size_t len = name_length(w.name);
        if (len == 0 || len >= kNameRoom) return false;
        for (size_t k = 0; k < len; ++k)
            if (w.name[k] >= 'A' && w.name[k] <= 'Z') return false;
        for (size_t j = 0; j < i; ++j)
            if (same_name(w.name, kWebFunctions[j].name)) return false;
        if (w.kind == WebKind::Constant ? (w.fn != nullptr || w.value == 0) : w.fn == nullptr) return false;
    }
    return true;
}
static_assert(table_is_sound(), "the web function table breaks one of its rules");

// Functions take up to five strings: one 4-bit code each, argument 1 in the low nibble.
constexpr uint8_t kFuncParams[8] = {0x11, 0x11, 0x01, 0, 0, 0, 0, 0};

constexpr KeywordRecord record_of(const WebFunction& w) {
    KeywordRecord r{};
    r.id = w.id;
    r.kind = static_cast<int32_t>(w.kind);
    if (w.kind == WebKind::Function)
        for (int i = 0; i < 8; ++i) r.ptypes[i] = kFuncParams[i];
    if (w.kind == WebKind::Constant) {
        r.u.value = w.value;
    } else {
        r.u.args.required = w.required;
        r.u.args.optional = w.optional;
        r.u.args.zero = 0;
    }
    uint16_t len = static_cast<uint16_t>(name_length(w.name));
    for (uint16_t i = 0; i < len; ++i) r.name[i] = w.name[i];
    r.name_len = len;
    return r;
}

// The records the interpreter reads, and the closing record (kTableEndId, name length 0).
// Pure data made while compiling: read-only, nothing for the loader to fix up.
constexpr auto kRecords = [] {
    std::array<KeywordRecord, kWebFunctionCount + 1> out{};
    for (size_t i = 0; i < kWebFunctionCount; ++i) out[i] = record_of(kWebFunctions[i]);
    out[kWebFunctionCount].id = kTableEndId;
    return out;
}();

constexpr auto kDispatch = [] {
    std::array<HostFn, kWebFunctionCount> out{};
    for (size_t i = 0; i < kWebFunctionCount; ++i) out[i] = kWebFunctions[i].fn;
    return out;
}();

}  // namespace

const KeywordRecord* host_function_table() { return kRecords.data(); }
size_t host_function_count() { return kWebFunctionCount; }

HostFn web_function(int32_t code) {
    return code >= 0 && static_cast<size_t>(code) < kWebFunctionCount ? kDispatch[static_cast<size_t>(code)] : nullptr;
}

}  // namespace kel::host
