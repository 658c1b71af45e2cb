// Path names and the current directory: taking paths apart (fileroot, fileextension,
// filepath, filebasename), making them whole (filefullname, filelocate) and the current
// and home directories (dirget, dirhome, dirchange, direxist). Results are UTF-16.
#include <string>

#include "interp/data/convert.h"
#include "lib/files.h"
#include "platform/process.h"

namespace kel::lib::files {

namespace pf = kel::platform;

namespace {

// Full names are limited to what the system takes as one path.
constexpr size_t kMaxFullName = 4095;

struct PathParts {
    std::string_view drive, dir, name, ext;
    bool has_ext = false;
};

// The split shared by fileroot, fileextension, filepath and filebasename.
PathParts split_path(std::string_view p) {
    PathParts r;
    if (p.size() >= 4 && p.substr(0, 4) == "\\\\?\\") {
        std::string_view rest = p.substr(4);
        bool unc = rest.size() >= 4 && (rest[0] | 0x20) == 'u' && (rest[1] | 0x20) == 'n' && (rest[2] | 0x20) == 'c' &&
                   rest[3] == '\\';
        if (!unc) p = rest;
    }
    if (p.size() >= 2 && p[1] == ':') {
        r.drive = p.substr(0, 2);
        p.remove_prefix(2);
    }
    size_t sep = p.find_last_of("\\/");
    if (sep != std::string_view::npos) {
        r.dir = p.substr(0, sep + 1);
        p.remove_prefix(sep + 1);
    }
    size_t dot = p.rfind('.');
    if (dot == std::string_view::npos) {
        r.name = p;
    } else {
        r.name = p.substr(0, dot);
        r.ext = p.substr(dot + 1);
        r.has_ext = true;
    }
    return r;
}

void ret_path(Call& c, std::string_view s) { c.ret_wide(interp::ansi_to_wide(s, c.inst.code_page)); }

bool check_length(Call& c, std::string_view p) {
    if (p.size() > kMaxPath) {
        c.fail(Err::PathTooLong);
        return false;
    }
    return true;
}

// fileroot(path): the file name without its extension.
void fileroot_fn(Call& c) {
    std::string p = path_arg(c, 1);
    if (!check_length(c, p)) return;
    ret_path(c, split_path(p).name);
}

// fileextension(path): the extension, without the point.
void fileextension_fn(Call& c) {
    std::string p = path_arg(c, 1);
    if (!check_length(c, p)) return;
    ret_path(c, split_path(p).ext);
}

// filepath(path): drive and directory, ending in a separator.
void filepath_fn(Call& c) {
    std::string p = path_arg(c, 1);
    if (!check_length(c, p)) return;
    PathParts r = split_path(p);
    std::string out(r.drive);
    out.append(r.dir);
    ret_path(c, out);
}

// filebasename(path [, flag]): name and extension; with flag, "name." when there is none.
void filebasename_fn(Call& c) {
    std::string p = path_arg(c, 1);
    if (!check_length(c, p)) return;
    PathParts r = split_path(p);
    std::string out(r.name);
    if (!r.ext.empty() || c.opt_integer(2, 0) != 0) out.push_back('.');
    out.append(r.ext);
    ret_path(c, out);
}

bool full_name(std::string_view p, std::string* out) {
    if (p.empty() || p.size() > kMaxFullName) return false;
    *out = pf::full_path(p);
    return out->size() <= kMaxFullName;
}

// filefullname(path)
void filefullname_fn(Call& c) {
    std::string full;
    if (!full_name(path_arg(c, 1), &full)) {
        c.fail(Err::FullNameBad);
        return;
    }
    ret_path(c, full);
}

// filelocate(name): the full path of the file found, or "".
void filelocate_fn(Call& c) {
    std::string name = path_arg(c, 1);
    if (name.find_first_not_of(" \t") == std::string::npos) {
        ret_path(c, "");
        return;
    }
    if (dir_part_end(name) == 0) {
        std::string full;
        if (full_name(name, &full) && pf::file_exists(full.c_str())) {
            ret_path(c, pf::resolve_path(full));
            return;
        }
        std::string found = pf::search_path(name.c_str());
        if (!found.empty()) {
            ret_path(c, found);
            return;
        }
    }
    std::string full;
    pf::FileInfo info;
    if (full_name(name, &full) && pf::file_info(full.c_str(), &info) && !info.is_dir) {
        ret_path(c, pf::resolve_path(full));
        return;
    }
    ret_path(c, "");
}

std::string with_separator(std::string d) {
    if (d.empty() || d.back() != '/') d += '/';
    return d;
}

// dirget(): the current directory, ending in a separator.
void dirget_fn(Call& c) { ret_path(c, with_separator(pf::current_dir())); }

// dirhome(): the directory of the host program.
void dirhome_fn(Call& c) { ret_path(c, with_separator(pf::program_dir())); }

// dirchange(path)
void dirchange_fn(Call& c) {
    std::string p = path_arg(c, 1);
    // A drive letter alone names that drive's current directory: the current one here.
    if (p.size() == 2 && p[1] == ':') {
        c.ret_int(1);
        return;
    }
    while (p.size() > 1 && (p.back() == '/' || p.back() == '\\') && !(p.size() == 3 && p[1] == ':')) p.pop_back();
    if (p.empty() || p.size() > kMaxPath || !pf::set_current_dir(p.c_str())) {
        c.fail(Err::DirChangeFailed).info(p);
        return;
    }
    c.ret_int(1);
}

// direxist(path): 1 when the directory exists.
void direxist_fn(Call& c) {
    std::string p = path_arg(c, 1);
    auto sep = [](char ch) { return ch == '/' || ch == '\\'; };
    if (p.empty() || has_wildcards(p) || (p.size() >= 2 && sep(p.back()) && sep(p[p.size() - 2]))) {
        c.ret_int(0);
        return;
    }
    if (p == ".") {
        c.ret_int(1);
        return;
    }
    if (p == "..") {
        c.ret_int(pf::current_dir() == "/" ? 0 : 1);
        return;
    }
    std::string full;
    if (!full_name(p, &full)) {
        c.ret_int(0);
        return;
    }
    c.ret_int(pf::dir_exists(full.c_str()) ? 1 : 0);
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kPathBuiltins[] = {
    {"fileroot", fileroot_fn},
    {"fileextension", fileextension_fn},
    {"filepath", filepath_fn},
    {"filebasename", filebasename_fn},
    {"filefullname", filefullname_fn},
    {"filelocate", filelocate_fn},
    {"dirget", dirget_fn},
    {"dirhome", dirhome_fn},
    {"dirchange", dirchange_fn},
    {"direxist", direxist_fn},
};

}  // namespace

KEL_BUILTIN_FAMILY(kPathBuiltins)

}  // namespace kel::lib::files
