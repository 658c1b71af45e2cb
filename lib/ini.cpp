// Builtins of INI files and the environment: the plain set works on the system profile
// (win.ini in the program directory), the "pvt" set on a named file. The file format,
// locking and atomic replacement are the platform's profile engine.
#include <string>
#include <strings.h>
#include <vector>

#include "interp/api/builtin.h"
#include "platform/process.h"
#include "platform/profile.h"

namespace kel::lib {

namespace pf = kel::platform;

namespace {

constexpr const char* kSystemProfile = "win.ini";
// The decimal text of @wholesection: as a key it names the whole section.
constexpr const char* kWholeSection = "692837";

// [386Enh] Device= belongs to the system; the named-file functions may not touch it.
bool refused_pair(Call& c, int section_arg, int key_arg) {
    if (strcasecmp(c.cstr(section_arg), "386ENH") == 0 && strcasecmp(c.cstr(key_arg), "DEVICE") == 0) {
        c.fail(Err::IniDeviceKey);
        return true;
    }
    return false;
}

void read_value(Call& c, const char* file) { c.ret_str(pf::profile_get_string(file, c.cstr(1), c.cstr(2), c.cstr(3))); }

// All three empty writes nothing: it is the request to flush a cached copy.
bool write_value(Call& c, const char* file) {
    const char* section = c.cstr(1);
    const char* key = c.cstr(2);
    const char* value = c.cstr(3);
    if (!*section && !*key && !*value) return pf::profile_write(file, nullptr, nullptr, nullptr);
    return pf::profile_write(file, section, key, value);
}

bool delete_value(Call& c, const char* file) {
    const char* key = c.cstr(2);
    return pf::profile_write(file, c.cstr(1), c.str(2) == kWholeSection ? nullptr : key, nullptr);
}

// An empty section lists the sections, any other its keys; tab-separated, "(NONE)" for none.
void itemize(Call& c, const char* file) {
    std::string_view section = c.str(1);
    std::vector<std::string> names =
        section.empty() ? pf::profile_section_names(file) : pf::profile_key_names(file, c.cstr(1));
    if (names.empty()) {
        c.ret_str("(NONE)");
        return;
    }
    std::string out;
    for (const std::string& n : names) {
        if (!out.empty()) out += '\t';
        out += n;
    }
    c.ret_str(out);
}

// iniread(section, key, default)
void iniread_fn(Call& c) { read_value(c, kSystemProfile); }

// inireadpvt(section, key, default, file)
void inireadpvt_fn(Call& c) {
    if (refused_pair(c, 1, 2)) return;
    read_value(c, c.cstr(4));
}

// iniwrite(section, key, value): 1, or 0 when the profile could not be written (a
// failed write is never reported as done).
void iniwrite_fn(Call& c) { c.ret_int(write_value(c, kSystemProfile) ? 1 : 0); }

// iniwritepvt(section, key, value, file)
void iniwritepvt_fn(Call& c) {
    if (refused_pair(c, 1, 2)) return;
    c.ret_int(write_value(c, c.cstr(4)) ? 1 : 0);
}

// inidelete(section, key): key @wholesection removes the section.
void inidelete_fn(Call& c) { c.ret_int(delete_value(c, kSystemProfile) ? 1 : 0); }

// inideletepvt(section, key, file)
void inideletepvt_fn(Call& c) { c.ret_int(delete_value(c, c.cstr(3)) ? 1 : 0); }

// iniitemize(section)
void iniitemize_fn(Call& c) { itemize(c, kSystemProfile); }

// iniitemizepvt(section, file)
void iniitemizepvt_fn(Call& c) { itemize(c, c.cstr(2)); }

// environment(name): exact name first, then without regard to case; "" when missing.
void environment_fn(Call& c) {
    std::string v;
    if (!pf::env_get(c.cstr(1), &v)) v.clear();
    c.ret_str(v);
}

// environset(name, value): an empty value removes the variable.
void environset_fn(Call& c) {
    const char* value = c.cstr(2);
    c.ret_int(pf::env_set(c.cstr(1), *value ? value : nullptr) ? 1 : 0);
}

// envitemize(): every "name=value", each followed by a line feed.
void envitemize_fn(Call& c) {
    std::string out;
    for (char** e = pf::env_block(); e && *e; ++e) {
        out += *e;
        out += '\n';
    }
    c.ret_str(out);
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kIniBuiltins[] = {
    {"environment", environment_fn},
    {"environset", environset_fn},
    {"envitemize", envitemize_fn},
    {"inidelete", inidelete_fn},
    {"inideletepvt", inideletepvt_fn},
    {"iniitemize", iniitemize_fn},
    {"iniitemizepvt", iniitemizepvt_fn},
    {"iniread", iniread_fn},
    {"inireadpvt", inireadpvt_fn},
    {"iniwrite", iniwrite_fn},
    {"iniwritepvt", iniwritepvt_fn},
};

}  // namespace

KEL_BUILTIN_FAMILY(kIniBuiltins)

}  // namespace kel::lib
