// The web functions behind the host function table, one per request code.
// Codes whose function is not built yet answer message 10131 rather than a made-up result.
#include "host/webfuncs.h"

#include <cstring>

#include "host/binding.h"
#include "host/intake.h"
#include "host/pages.h"
#include "platform/fileio.h"
#include "platform/gmem.h"
#include "platform/process.h"
#include "platform/profile.h"

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
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (alnum) kept += c;
        if (kept.size() == 40) break;
    }
    size_t n = kept.size();
    if (n == 0) return 0;  // nothing to check
    int sum = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        int v = static_cast<unsigned char>(kept[i]) - 48;
        if (i % 2 == n % 2) v *= 2;
        if (v >= 10) v -= 9;
        sum += v;
    }
    int check = (10 - sum % 10) % 10;
    return static_cast<unsigned char>(kept[n - 1]) - 48 == check ? 1 : 0;
}

namespace {

void not_built(HostCall& c) { c.fail(10131); }

// reload(): nothing to reload.
void reload_fn(HostCall& c) { c.ret_int(1); }
// version()
void version_fn(HostCall& c) { c.ret_str(kVersion); }
// rtstatus(): this host is always the web runtime.
void rtstatus_fn(HostCall& c) { c.ret_int(14); }

// intcontrol(request, p1, p2, p3, p4): only request 1000, the exit code.
void intcontrol_fn(HostCall& c) {
    if (decimal(c.arg(1)) != 1000) return c.fail(10103);
    int32_t previous = host().exit_code;
    host().exit_code = decimal(c.arg(2));
    c.ret_int(previous);
}

// webcloselog(handle): closes whatever log is open.
void webcloselog_fn(HostCall& c) {
    HostState& h = host();
    if (!h.weblog.valid()) return c.ret_int(0);
    pf::file_close(h.weblog);
    h.weblog = pf::File{};
    c.ret_int(1);
}

// webcmddata()
void webcmddata_fn(HostCall& c) { c.ret_str(host().command_data); }

// webcmdrawdata(flags): bit 0 asks for the backslash-unescaped form.
void webcmdrawdata_fn(HostCall& c) {
    std::string_view flags = c.arg(1);
    if (flags.empty() || !is_numeric(flags)) return c.fail(10130);
    c.ret_str((decimal(flags) & 1) ? host().raw_cmd_unescaped : host().raw_cmd);
}

// webcondata(): the content as text, to its first NUL.
void webcondata_fn(HostCall& c) {
    HostState& h = host();
    pf::GmemLock lock(h.content);
    if (!h.content || !lock) return c.ret_str("");
    const char* p = lock.as<char>() + h.content_offset;
    size_t n = strnlen(p, h.content_length < kMaxCmdData ? h.content_length : kMaxCmdData);
    c.ret_str(std::string_view(p, n));
}

// webconsize()
void webconsize_fn(HostCall& c) { c.ret_int(static_cast<int32_t>(host().content_length)); }

// webdatdata(section, key, default)
void webdatdata_fn(HostCall& c) {
    HostState& h = host();
    if (c.arg(1).empty()) return c.fail(10104);
    if (c.arg(2).empty()) return c.fail(10105);
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
    if (c.arg(1).empty()) return c.fail(10113);
    c.ret_int(web_hash_code(c.arg(1)));
}

// webislocal()
void webislocal_fn(HostCall& c) { c.ret_int(host().mode == Mode::Local ? 1 : 0); }

// webout(text, count): the text, then count CR LF pairs.
void webout_fn(HostCall& c) {
    out_raw(c.arg(1));
    int32_t count = decimal(c.arg(2));
    static const std::string kLines = [] {
        std::string s;
        for (int i = 0; i < 256; ++i) s += "\r\n";
        return s;
    }();
    while (count > 0) {
        int32_t now = count < 256 ? count : 256;
        if (!out_raw(std::string_view(kLines).substr(0, static_cast<size_t>(now) * 2))) break;
        count -= now;
    }
    c.ret_int(1);
}

// weboutfile(file): the file's bytes as they are.
void weboutfile_fn(HostCall& c) {
    if (c.arg(1).empty()) return c.fail(10106);
    std::string path(c.arg(1)), data;
    if (!pf::file_read_all(path.c_str(), &data)) return c.fail(10107);
    out_raw(data);
    c.ret_int(1);
}

// webbaseconv(value, from, to)
void webbaseconv_fn(HostCall& c) {
    int32_t from = decimal(c.arg(2)), to = decimal(c.arg(3));
    if (from < 2 || from > 36 || to < 2 || to > 36) return c.fail(10111);
    if (from == 10) return c.ret_str(write_in_base(decimal(c.arg(1)), to));
    int32_t v;
    if (!read_in_base(c.arg(1), from, &v)) return c.fail(10112);
    if (to == 10) return c.ret_int(v);
    c.ret_str(write_in_base(v, to));
}

// webverifycard(number)
void webverifycard_fn(HostCall& c) { c.ret_int(web_verify_card(c.arg(1))); }

// webdumperror(headline, detail)
void webdumperror_fn(HostCall& c) { c.ret_int(error_log_append(c.arg(1), c.arg(2)) ? 1 : 0); }

// websettimeout(seconds): returns the previous time-out.
void websettimeout_fn(HostCall& c) {
    std::string_view s = c.arg(1);
    if (s.empty() || !is_numeric(s)) return c.fail(10122);
    int32_t v = decimal(s);
    if (v > 4294967) return c.fail(10122);
    if (v < 0) return c.ret_int(static_cast<int32_t>(host().timeout_seconds));
    c.ret_int(static_cast<int32_t>(set_timeout(static_cast<uint32_t>(v))));
}

// breakpoint: the callback returns before calling here; kept for the table's shape.
void breakpoint_fn(HostCall& c) { c.answer = false; }

// dirscript(): the script path's directory, separator included.
void dirscript_fn(HostCall& c) {
    const std::string& p = host().script_path;
    size_t last = p.find_last_of("\\/");
    c.ret_str(last == std::string::npos ? std::string() : p.substr(0, last + 1));
}

}  // namespace

const HostFn kHostFunctions[kHostFunctionCount] = {
    reload_fn,         // 0
    version_fn,        // 1
    intcontrol_fn,     // 2
    webcloselog_fn,    // 3
    webcmddata_fn,     // 4
    not_built,         // 5 webconbuf
    webcondata_fn,     // 6
    webconsize_fn,     // 7
    not_built,         // 8 webcounter
    webdatdata_fn,     // 9
    webhashcode_fn,    // 10
    webislocal_fn,     // 11
    not_built,         // 12 weblogline
    not_built,         // 13 webopenlog
    webout_fn,         // 14
    weboutfile_fn,     // 15
    not_built,         // 16 webparambuf
    not_built,         // 17 webparamdata
    not_built,         // 18 webparamfile
    not_built,         // 19 webparamsize
    not_built,         // 20 webparamnames
    webbaseconv_fn,    // 21
    webverifycard_fn,  // 22
    webdumperror_fn,   // 23
    websettimeout_fn,  // 24
    breakpoint_fn,     // 25
    nullptr,           // 26 @commonformat
    nullptr,           // 27 @ncsaformat
    nullptr,           // 28 @msformat
    rtstatus_fn,       // 29
    not_built,         // 30 weboutbinary
    dirscript_fn,      // 31
    webcmdrawdata_fn,  // 32
};

}  // namespace kel::host
