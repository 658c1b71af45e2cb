// Platform layer: whole-file and directory operations — information and times, listings
// with Windows wildcards, copy, move, directories, free space. Opening and reading files
// is in fileio.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <strings.h>
#include <vector>

#include "platform/errors.h"
#include "platform/fileio.h"
#include "platform/internal.h"
#include "platform/process.h"

namespace kel::platform {

namespace {

// Windows reports a missing directory on the way as 3, a missing last name as 2.
void set_path_error(const std::string& path) {
    int err = errno;
    uint32_t code = error_from_errno(err);
    if (err == ENOENT) {
        size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            struct stat st;
            if (stat(path.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) code = 3;
        }
    }
    set_last_error(code);
}

std::string resolved(const char* path) { return detail::resolve_existing(normalize_path(path ? path : "")); }

std::string resolved_target(const char* path) { return detail::resolve_for_create(normalize_path(path ? path : "")); }

std::string base_name(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    size_t slash = path.rfind('/', end - 1);
    return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1));
}

std::string dir_name(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

uint32_t attributes_of(const std::string& name, const struct stat& st) {
    uint32_t a = 0;
    if (S_ISDIR(st.st_mode)) a |= kAttrDirectory;
    else a |= kAttrArchive;
    if (!(st.st_mode & S_IWUSR)) a |= kAttrReadOnly;
    if (!name.empty() && name[0] == '.' && name != "." && name != "..") a |= kAttrHidden;
    return a;
}

void fill_info(const std::string& name, const struct stat& st, FileInfo* out) {
    out->name = name;
    out->is_dir = S_ISDIR(st.st_mode);
    out->size = out->is_dir ? 0 : static_cast<uint64_t>(st.st_size);
    out->attributes = attributes_of(base_name(name), st);
    out->write_time = {st.st_mtim.tv_sec, static_cast<int32_t>(st.st_mtim.tv_nsec)};
    out->access_time = {st.st_atim.tv_sec, static_cast<int32_t>(st.st_atim.tv_nsec)};
    out->create_time = {st.st_ctim.tv_sec, static_cast<int32_t>(st.st_ctim.tv_nsec)};
}

// stat() of `path` and, where the file system keeps one, its birth time (then `*has_born`)
// from one system call.
bool stat_with_birth(const std::string& path, struct stat* st, FileTime* born, bool* has_born) {
#ifdef STATX_BTIME
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
    if ((sx.stx_mask & STATX_BASIC_STATS) != STATX_BASIC_STATS) {
        if (stat(path.c_str(), st) != 0) return false;
    } else {
        *st = {};
        st->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        st->st_ino = sx.stx_ino;
        st->st_mode = sx.stx_mode;
        st->st_nlink = sx.stx_nlink;
        st->st_uid = sx.stx_uid;
        st->st_gid = sx.stx_gid;
        st->st_size = static_cast<off_t>(sx.stx_size);
        st->st_atim = {static_cast<time_t>(sx.stx_atime.tv_sec), static_cast<long>(sx.stx_atime.tv_nsec)};
        st->st_mtim = {static_cast<time_t>(sx.stx_mtime.tv_sec), static_cast<long>(sx.stx_mtime.tv_nsec)};
        st->st_ctim = {static_cast<time_t>(sx.stx_ctime.tv_sec), static_cast<long>(sx.stx_ctime.tv_nsec)};
    }
    *has_born = (sx.stx_mask & STATX_BTIME) != 0;
    if (*has_born) *born = {static_cast<int64_t>(sx.stx_btime.tv_sec), static_cast<int32_t>(sx.stx_btime.tv_nsec)};
    return true;
#else
    (void)born;
    *has_born = false;
    return stat(path.c_str(), st) == 0;
#endif
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// The Windows rules on a long name: "*" takes any run of characters; "?" one character,
// or none where the name reaches a point or its end ("???.txt" matches "a.txt"); a point
// matches a point, or the end of the name when the rest of the pattern can match nothing
// there ("*.*" matches "readme"). Worked as a table over pattern and name positions, so
// no pattern costs more than their product.
bool glob_nocase(std::string_view p, std::string_view n) {
    const size_t m = p.size(), len = n.size();
    std::vector<char> next(len + 1, 0), cur(len + 1, 0);
    next[len] = 1;  // the empty pattern matches the empty rest of the name only
    for (size_t i = m; i-- > 0;) {
        char c = p[i];
        for (size_t j = len + 1; j-- > 0;) {
            bool at_end = j == len;
            bool r;
            if (c == '*') {
                r = next[j] || (!at_end && cur[j + 1]);
            } else if (c == '?') {
                r = (!at_end && next[j + 1]) || ((at_end || n[j] == '.') && next[j]);
            } else if (c == '.') {
                r = (!at_end && n[j] == '.' && next[j + 1]) || (at_end && next[len]);
            } else {
                r = !at_end && upper(c) == upper(n[j]) && next[j + 1];
            }
            cur[j] = r;
        }
        std::swap(cur, next);
    }
    return next[0] != 0;
}

// Writes `data` from `in` into a fresh temporary file beside `target`; returns its name.
bool copy_to_temp(int in, const std::string& target, mode_t mode, std::string* tmp_name) {
    std::string dir = dir_name(target);
    std::string tmp = (dir == "/" ? dir : dir + "/") + "." + base_name(target) + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back(0);
    int out = mkostemp(name.data(), O_CLOEXEC);
    if (out < 0) {
        set_path_error(target);
        return false;
    }
    std::vector<char> buf(1 << 16);
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            detail::set_error_from_errno();
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!file_write(File{out}, buf.data(), static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    fchmod(out, mode);
    // On disk before the rename makes it the target: a crash never leaves an empty target.
    if (ok && fsync(out) != 0) {
        detail::set_error_from_errno();
        ok = false;
    }
    if (close(out) != 0 && ok) {
        detail::set_error_from_errno();
        ok = false;
    }
    if (!ok) {
        uint32_t err = last_error();
        unlink(name.data());
        set_last_error(err);
        return false;
    }
    *tmp_name = name.data();
    return true;
}

bool same_entry(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

bool same_file(const char* a, const char* b) {
    if (!a || !*a || !b || !*b) return false;
    return same_entry(resolved(a), resolved(b));
}

std::string resolve_path(std::string_view path) { return detail::resolve_existing(normalize_path(path)); }

std::string full_path(std::string_view path) {
    std::string p = normalize_path(path);
    if (p.empty() || p[0] != '/') {
        std::string cwd = current_dir();
        p = cwd + (cwd.size() > 1 ? "/" : "") + p;
    }
    std::vector<std::string_view> parts;  // into p
    std::string_view v(p);
    size_t pos = 1;
    while (pos <= v.size()) {
        size_t slash = v.find('/', pos);
        if (slash == std::string_view::npos) slash = v.size();
        std::string_view comp = v.substr(pos, slash - pos);
        pos = slash + 1;
        if (comp.empty() || comp == ".") continue;
        if (comp == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(comp);
    }
    std::string out;
    out.reserve(v.size() + 1);
    for (std::string_view c : parts) {
        out += '/';
        out += c;
    }
    return out.empty() ? "/" : out;
}

bool file_info(const char* path, FileInfo* out) {
    if (!path || !*path || !out) {
        set_last_error(2);
        return false;
    }
    // The name as given first; only a name that is not there is matched without regard to case.
    std::string p = normalize_path(path);
    struct stat st;
    FileTime born;
    bool has_born = false;
    if (!stat_with_birth(p, &st, &born, &has_born)) {
        int why = errno;
        std::string found = why == ENOENT || why == ENOTDIR ? detail::resolve_existing(p) : p;
        if (found == p) errno = why;
        if (found == p || !stat_with_birth(found, &st, &born, &has_born)) {
            set_path_error(found);
            return false;
        }
        p = std::move(found);
    }
    fill_info(p, st, out);
    if (has_born) out->create_time = born;
    return true;
}

bool local_fields_to_unix(int year, int month, int day, int hour, int minute, int second, int64_t* out) {
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    errno = 0;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1) && errno != 0) return false;
    // mktime folds a day past the month's end into the next month: not a valid date.
    if (tm.tm_mday != day || tm.tm_mon != month - 1) return false;
    *out = static_cast<int64_t>(t);
    return true;
}

bool file_set_times(const char* path, const FileTime* write, const FileTime* access) {
    if (!path || !*path) {
        set_last_error(2);
        return false;
    }
    std::string p = resolved(path);
    timespec ts[2];
    ts[0] = access ? timespec{static_cast<time_t>(access->sec), access->nsec} : timespec{0, UTIME_OMIT};
    ts[1] = write ? timespec{static_cast<time_t>(write->sec), write->nsec} : timespec{0, UTIME_OMIT};
    if (utimensat(AT_FDCWD, p.c_str(), ts, 0) != 0) {
        set_path_error(p);
        return false;
    }
    return true;
}

bool file_set_attributes(const char* path, uint32_t attributes) {
    if (!path || !*path) {
        set_last_error(2);
        return false;
    }
    std::string p = resolved(path);
    struct stat st;
    if (stat(p.c_str(), &st) != 0) {
        set_path_error(p);
        return false;
    }
    mode_t mode = st.st_mode & 07777;
    if (attributes & kAttrReadOnly) {
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else if (!(mode & S_IWUSR)) {
        mode_t mask = umask(0);
        umask(mask);
        mode |= (S_IWUSR | S_IWGRP | S_IWOTH) & ~mask;
    }
    if (mode != (st.st_mode & 07777) && chmod(p.c_str(), mode) != 0) {
        detail::set_error_from_errno();
        return false;
    }
    return true;
}

bool wildcard_match(std::string_view pattern, std::string_view name) {
    if (pattern.empty() || pattern == "*" || pattern == "*.*") return true;
    // A trailing "." asks for names without an extension.
    if (pattern.back() == '.') {
        if (name.find('.') != std::string_view::npos) return false;
        pattern.remove_suffix(1);
        return pattern.empty() ? name.empty() : glob_nocase(pattern, name);
    }
    return glob_nocase(pattern, name);
}

bool dir_list(const char* dir, std::string_view pattern, bool include_hidden, std::vector<FileInfo>* out) {
    if (!out) return false;
    out->clear();
    std::string d = (dir && *dir) ? resolved(dir) : std::string(".");
    if (d.empty()) d = ".";
    DIR* h = opendir(d.c_str());
    if (!h) {
        set_path_error(d);
        if (last_error() == 2) set_last_error(3);
        return false;
    }
    std::string prefix = d.back() == '/' ? d : d + "/";
    while (dirent* e = readdir(h)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name[0] == '.' && !include_hidden) continue;
        if (!wildcard_match(pattern, name)) continue;
        struct stat st;
        if (stat((prefix + name).c_str(), &st) != 0 && lstat((prefix + name).c_str(), &st) != 0) continue;
        FileInfo info;
        fill_info(name, st, &info);
        out->push_back(std::move(info));
    }
    closedir(h);
    std::sort(out->begin(), out->end(), [](const FileInfo& a, const FileInfo& b) {
        size_t n = std::min(a.name.size(), b.name.size());
        for (size_t i = 0; i < n; ++i) {
            unsigned char x = static_cast<unsigned char>(upper(a.name[i]));
            unsigned char y = static_cast<unsigned char>(upper(b.name[i]));
            if (x != y) return x < y;
        }
        if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
        return a.name < b.name;  // names differing only in case: still a fixed order
    });
    return true;
}

bool file_copy(const char* from, const char* to) {
    if (!from || !*from || !to || !*to) {
        set_last_error(87);
        return false;
    }
    std::string src = resolved(from);
    std::string dst = resolved_target(to);
    File in = file_open_shared(src.c_str(), Open::Read, kShareRead);
    if (!in.valid()) return false;
    struct stat st;
    if (fstat(in.fd, &st) != 0) {
        detail::set_error_from_errno();
        file_close(in);
        return false;
    }
    struct stat dt;
    if (stat(dst.c_str(), &dt) == 0) {
        if (dt.st_dev == st.st_dev && dt.st_ino == st.st_ino) {
            file_close(in);
            set_last_error(32);  // onto itself: never truncate the only copy
            return false;
        }
        if (S_ISDIR(dt.st_mode) || !(dt.st_mode & S_IWUSR)) {
            file_close(in);
            set_last_error(5);
            return false;
        }
    }
    std::string tmp;
    bool ok = copy_to_temp(in.fd, dst, st.st_mode & 07777, &tmp);
    file_close(in);
    if (!ok) return false;
    // The copy keeps the source's last-write time, as the original copy service does.
    timespec ts[2] = {{0, UTIME_OMIT}, st.st_mtim};
    utimensat(AT_FDCWD, tmp.c_str(), ts, 0);
    if (rename(tmp.c_str(), dst.c_str()) != 0) {
        uint32_t err = error_from_errno(errno);
        unlink(tmp.c_str());
        set_last_error(err);
        return false;
    }
    return true;
}

bool file_move(const char* from, const char* to) {
    if (!from || !*from || !to || !*to) {
        set_last_error(87);
        return false;
    }
    std::string src = resolved(from);
    std::string dst = resolved_target(to);
    struct stat st;
    if (lstat(src.c_str(), &st) != 0) {
        set_path_error(src);
        return false;
    }
    // One file under two names (another spelling, a hard link): nothing to move, and
    // removing the "old target" would remove the only data.
    if (src == dst || same_entry(src, dst)) return true;
    // rename() replaces an existing target atomically: it is never deleted beforehand.
    if (rename(src.c_str(), dst.c_str()) == 0) return true;
    if (errno != EXDEV || S_ISDIR(st.st_mode)) {
        set_path_error(dst);
        return false;
    }
    // Another file system: a synced temporary copy beside the target renamed over it,
    // and only then the source removed.
    if (!file_copy(src.c_str(), dst.c_str())) return false;
    if (unlink(src.c_str()) != 0) {
        detail::set_error_from_errno();
        return false;
    }
    return true;
}

bool dir_make(const char* path) {
    std::string p = resolved_target(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.empty()) {
        set_last_error(3);
        return false;
    }
    if (mkdir(p.c_str(), 0777) != 0) {
        if (errno == EEXIST) set_last_error(183);
        else set_path_error(p);
        return false;
    }
    return true;
}

bool dir_remove(const char* path) {
    std::string p = resolved(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.empty()) {
        set_last_error(3);
        return false;
    }
    if (rmdir(p.c_str()) != 0) {
        if (errno == ENOTDIR) set_last_error(267);
        else if (errno == EEXIST) set_last_error(145);
        else set_path_error(p);
        return false;
    }
    return true;
}

bool dir_rename(const char* from, const char* to) {
    std::string src = resolved(from);
    std::string dst = resolved_target(to);
    while (src.size() > 1 && src.back() == '/') src.pop_back();
    while (dst.size() > 1 && dst.back() == '/') dst.pop_back();
    struct stat st;
    if (stat(src.c_str(), &st) != 0) {
        set_path_error(src);
        return false;
    }
    if (src == dst) return true;
    if (lstat(dst.c_str(), &st) == 0) {
        set_last_error(183);
        return false;
    }
    if (rename(src.c_str(), dst.c_str()) != 0) {
        set_path_error(dst);
        return false;
    }
    return true;
}

bool disk_space(const char* path, uint64_t* free_bytes, uint64_t* total_bytes) {
    std::string p = (path && *path) ? resolved(path) : std::string(".");
    struct statvfs vs;
    if (statvfs(p.c_str(), &vs) != 0) {
        set_path_error(p);
        return false;
    }
    if (free_bytes) *free_bytes = static_cast<uint64_t>(vs.f_bavail) * vs.f_frsize;
    if (total_bytes) *total_bytes = static_cast<uint64_t>(vs.f_blocks) * vs.f_frsize;
    return true;
}

}  // namespace kel::platform
