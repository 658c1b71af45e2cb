// Platform layer: files. The one path normaliser, the case-insensitive resolution of
// existing names, and descriptors behind File. Directory listings and copies are elsewhere.
#include "platform/fileio.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>
#include <strings.h>

#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/server.h"
#include "platform/std_output.h"

namespace kel::platform {

namespace {

// Drive letter -> mapped root, read from FENSCRPT.INI on first use of each letter.
struct DriveMap {
    std::string root[26];
    bool known[26] = {};
};

DriveMap& drive_map() {
    static auto* m = new DriveMap;
    return *m;
}

const std::string& drive_root(char letter) {
    int i = (letter | 0x20) - 'a';
    DriveMap& m = drive_map();
    if (!m.known[i]) {
        char key[2] = {static_cast<char>('A' + i), 0};
        std::string v = profile_get_string(detail::in_program_dir("FENSCRPT.INI").c_str(), "Drives", key, "");
        for (char& c : v)
            if (c == '\\') c = '/';
        if (v.empty()) v = "/";
        if (v.back() != '/') v += '/';
        m.root[i] = std::move(v);
        m.known[i] = true;
    }
    return m.root[i];
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool entry_exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// The names of the directory scanned last, for the next case-insensitive lookup in it: a
// request looks for its settings files in the program directory one after the other.
// They stand for the directory while its identity and change time are unchanged (adding,
// removing or renaming an entry sets it, and unlike the modification time nobody can set
// it back), and only if that time was at least two seconds old when they were read, so
// that a change made within the same clock tick cannot go unseen.
struct ScannedDir {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    timespec ctime{};
    std::vector<std::string> names;
    bool valid = false;
};

ScannedDir& scanned_dir() {
    static auto* s = new ScannedDir;
    return *s;
}

constexpr size_t kMaxScannedNames = 4096;

bool same_dir(const ScannedDir& c, const std::string& path, const struct stat& st) {
    return c.valid && c.path == path && c.dev == st.st_dev && c.ino == st.st_ino &&
           c.ctime.tv_sec == st.st_ctim.tv_sec && c.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

// The smallest match wins so that the choice does not depend on directory order.
void take_if_smaller(const char* entry, bool* any, std::string* found) {
    if (!*any || std::strcmp(entry, found->c_str()) < 0) *found = entry;
    *any = true;
}

// A directory entry of `dir` whose name equals `name` without regard to case. `dir_st`,
// when the caller has it, is stat() of the directory.
bool match_nocase(const std::string& dir, const std::string& name, std::string* found,
                  const struct stat* dir_st = nullptr) {
    const std::string path = dir.empty() ? std::string(".") : dir;
    struct stat own;
    if (!dir_st && stat(path.c_str(), &own) == 0) dir_st = &own;
    ScannedDir& c = scanned_dir();
    bool any = false;
    if (dir_st && same_dir(c, path, *dir_st)) {
        for (const std::string& n : c.names)
            if (strcasecmp(n.c_str(), name.c_str()) == 0) take_if_smaller(n.c_str(), &any, found);
        return any;
    }
    DIR* d = opendir(path.c_str());
    if (!d) return false;
    timespec now{};
    detail::read_clock(CLOCK_REALTIME, &now);
    bool keep = dir_st && now.tv_sec - dir_st->st_ctim.tv_sec >= 2;
    c.valid = false;
    c.names.clear();
    while (dirent* e = readdir(d)) {
        if (keep) {
            if (c.names.size() < kMaxScannedNames) c.names.emplace_back(e->d_name);
            else keep = false;
        }
        if (strcasecmp(e->d_name, name.c_str()) == 0) take_if_smaller(e->d_name, &any, found);
    }
    closedir(d);
    if (keep) {
        c.path = path;
        c.dev = dir_st->st_dev;
        c.ino = dir_st->st_ino;
        c.ctime = dir_st->st_ctim;
        c.valid = true;
    } else {
        c.names.clear();
    }
    return any;
}

bool wait_ms(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return true;
}

int64_t now_ms() { return detail::monotonic_ms(); }

// Windows reports a missing directory on the way as "path not found", not "file not found".
void set_open_error(const std::string& path) {
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

}  // namespace

namespace detail {

void set_error_from_errno() { set_last_error(error_from_errno(errno)); }

void drive_map_invalidate() {
    DriveMap& m = drive_map();
    for (bool& k : m.known) k = false;
}

std::string in_program_dir(std::string_view name) {
    std::string p = program_dir();
    if (p.empty() || p.back() != '/') p += '/';
    p.append(name);
    return p;
}

std::string resolve_existing(const std::string& path) {
    if (path.empty() || entry_exists(path)) return path;
    // Most often only the last name differs or is missing (a settings file looked for in
    // a directory that is there): then that directory is the only one to search.
    size_t last = path.rfind('/');
    if (last != std::string::npos && last + 1 < path.size()) {
        std::string name = path.substr(last + 1);
        std::string dir = last == 0 ? std::string("/") : path.substr(0, last);
        struct stat dir_st;
        if (name != "." && name != ".." && stat(dir.c_str(), &dir_st) == 0 && S_ISDIR(dir_st.st_mode)) {
            std::string found;
            if (!match_nocase(dir, name, &found, &dir_st)) return path;
            return dir.back() == '/' ? dir + found : dir + "/" + found;
        }
    }
    std::string out;
    size_t pos = 0;
    if (path[0] == '/') {
        out = "/";
        pos = 1;
    }
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string comp = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (comp.empty()) continue;
        std::string dir = out;
        std::string candidate = out.empty() || out.back() == '/' ? out + comp : out + "/" + comp;
        if (!entry_exists(candidate)) {
            std::string found;
            if (comp != "." && comp != ".." && match_nocase(dir, comp, &found)) {
                candidate = dir.empty() || dir.back() == '/' ? dir + found : dir + "/" + found;
            } else {
                // Nothing matches: the rest of the path stays as given.
                if (pos < path.size()) candidate += path.substr(slash);
                return candidate;
            }
        }
        out = std::move(candidate);
    }
    if (!path.empty() && path.back() == '/' && (out.empty() || out.back() != '/')) out += '/';
    return out;
}

bool stat_existing(std::string* path, struct ::stat* st) {
    if (stat(path->c_str(), st) == 0) return true;
    if (errno != ENOENT && errno != ENOTDIR) return false;
    int why = errno;
    std::string found = resolve_existing(*path);
    if (found == *path) {
        errno = why;
        return false;
    }
    *path = std::move(found);
    return stat(path->c_str(), st) == 0;
}

std::string resolve_for_create(const std::string& path) {
    if (path.empty() || entry_exists(path)) return path;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : resolve_existing(path.substr(0, slash == 0 ? 1 : slash));
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string found;
    if (!name.empty() && match_nocase(dir, name, &found)) name = found;
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace detail

std::string normalize_path(std::string_view in) {
    // Both separators read as "/" where they are met, so that the result is the only copy.
    auto sep = [](char c) { return c == '/' || c == '\\'; };
    std::string_view v(in);
    if (v.size() >= 4 && sep(v[0]) && sep(v[1]) && v[2] == '?' && sep(v[3])) {
        if (v.size() >= 8 && v.substr(4, 3) == "UNC" && sep(v[7])) v.remove_prefix(8);
        else v.remove_prefix(4);
    }

    std::string out;
    size_t pos = 0;
    if (v.size() >= 2 && is_letter(v[0]) && v[1] == ':') {
        out = drive_root(v[0]);  // always ends in "/"
        pos = 2;
        while (pos < v.size() && sep(v[pos])) ++pos;
    } else if (!v.empty() && sep(v[0])) {
        out = "/";
        while (pos < v.size() && sep(v[pos])) ++pos;
    }
    out.reserve(out.size() + v.size() - pos + 1);

    // Rebuild component by component: Windows ignores trailing blanks and dots of a name
    // (but "." and ".." are names of their own), and repeated separators.
    std::string_view last;
    bool first = true;
    while (pos < v.size()) {
        size_t slash = pos;
        while (slash < v.size() && !sep(v[slash])) ++slash;
        std::string_view comp = v.substr(pos, slash - pos);
        bool had_slash = slash < v.size();
        pos = slash + 1;
        if (comp != "." && comp != "..") {
            while (!comp.empty() && (comp.back() == ' ' || comp.back() == '.')) comp.remove_suffix(1);
        }
        if (comp.empty()) {
            if (had_slash && pos >= v.size() && !out.empty() && out.back() != '/') out += '/';
            continue;
        }
        if (!first && !out.empty() && out.back() != '/') out += '/';
        out += comp;
        first = false;
        last = comp;
        if (had_slash && pos >= v.size()) out += '/';
    }
    // The last name as a C string reads it: up to a zero byte.
    last = last.substr(0, last.find('\0'));
    if (last.size() == 3 && strncasecmp(last.data(), "NUL", 3) == 0 && (out.empty() || out.back() != '/'))
        return "/dev/null";
    return out;
}

namespace {

// Share modes between opens, in this process or any other, through open-file-description
// locks on bytes far beyond any data: each open holds a shared lock on the bytes naming
// its access and what it denies, and then probes the bytes its own access and share mode
// conflict with. Taking before probing means two racing opens can at worst both refuse,
// never both pass. The locks live on a second, read-only descriptor of the same file (a
// shared lock needs read access) and vanish when it is closed.
// The order puts side by side what the most frequent open, reading while others may
// only read, takes (read access, denying writes) and probes (denied reads, write access):
// one call each.
constexpr off_t kShareBase = 0x7FFFFFFF00000000LL;
constexpr off_t kHasRead = kShareBase + 1;
constexpr off_t kDeniesWrite = kShareBase + 2;
constexpr off_t kDeniesRead = kShareBase + 3;
constexpr off_t kHasWrite = kShareBase + 4;
constexpr off_t kFirstShareByte = kHasRead;
constexpr off_t kLastShareByte = kHasWrite;

// Lock descriptors by data descriptor.
std::vector<int>& lock_fds() {
    static auto* v = new std::vector<int>;
    return *v;
}

// The share bytes as bits: bit n stands for kShareBase + n.
constexpr unsigned bit_of(off_t at) { return 1u << (at - kShareBase); }

// `fl` set to each run of neighbouring bytes of `bits` in turn, and `fn(fl)` called for
// it until it returns false: one lock call covers a run. False when `fn` did.
template <typename Fn>
bool each_run(unsigned bits, short type, Fn fn) {
    for (off_t at = kFirstShareByte; at <= kLastShareByte; ++at) {
        if (!(bits & bit_of(at))) continue;
        off_t len = 1;
        while (at + len <= kLastShareByte && (bits & bit_of(at + len))) ++len;
        struct flock fl;
        std::memset(&fl, 0, sizeof fl);
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = at;
        fl.l_len = len;
        if (!fn(fl)) return false;
        at += len;
    }
    return true;
}

// Shared locks on the bytes of `bits`.
bool ofd_lock(int fd, unsigned bits) {
    return each_run(bits, F_RDLCK, [fd](struct flock& fl) {
        while (fcntl(fd, F_OFD_SETLK, &fl) != 0)
            if (errno != EINTR) return false;
        return true;
    });
}

// Whether another open holds a lock on any byte of `bits` (a probe of a range finds a
// lock on any byte of it).
bool held_by_other(int fd, unsigned bits) {
    return !each_run(bits, F_WRLCK, [fd](struct flock& fl) {
        return !(fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK);
    });
}

// -1 when the share modes conflict (error 32 set), else the lock descriptor or -2 when
// the file could not be reopened for locking (then no share mode is enforced). A
// descriptor opened for reading only holds its locks itself (`fd` is returned): they go
// when it is closed.
int take_share(int fd, bool reading, bool writing, int share) {
    int lfd = fd;
    if (writing) {
        char proc[64];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
        lfd = open(proc, O_RDONLY | O_CLOEXEC);
        if (lfd < 0) return -2;
    }
    auto drop = [&] {
        if (lfd != fd) close(lfd);
    };
    unsigned take = (reading ? bit_of(kHasRead) : 0) | (writing ? bit_of(kHasWrite) : 0) |
                    ((share & kShareRead) ? 0 : bit_of(kDeniesRead)) | ((share & kShareWrite) ? 0 : bit_of(kDeniesWrite));
    if (!ofd_lock(lfd, take)) {
        drop();
        return -2;
    }
    unsigned probe = (reading ? bit_of(kDeniesRead) : 0) | (writing ? bit_of(kDeniesWrite) : 0) |
                     ((share & kShareRead) ? 0 : bit_of(kHasRead)) | ((share & kShareWrite) ? 0 : bit_of(kHasWrite));
    if (held_by_other(lfd, probe)) {
        drop();
        set_last_error(32);
        return -1;
    }
    return lfd;
}

}  // namespace

File file_open_shared(const char* path, Open how, int share) {
    File f;
    if (!path || !*path) {
        set_last_error(3);
        return f;
    }
    std::string p = normalize_path(path);
    if (p.empty()) {
        set_last_error(3);
        return f;
    }
    // No O_TRUNC here: truncating before the share check would destroy data that another
    // open is entitled to keep.
    int flags = O_CLOEXEC;
    switch (how) {
    case Open::Read:
        // The name as given is tried first: only a name that is not there is looked
        // for without regard to case.
        flags |= O_RDONLY;
        break;
    case Open::WriteCreate:
    case Open::WriteTruncate:
        p = detail::resolve_for_create(p);
        flags |= O_WRONLY | O_CREAT;
        break;
    case Open::Append:
        // Read access too where the file allows it, so that its first bytes can be
        // looked at (file_read_at) without a second open.
        p = detail::resolve_for_create(p);
        flags |= O_RDWR | O_CREAT | O_APPEND;
        break;
    }
    int fd;
    do {
        fd = open(p.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && how == Open::Read && (errno == ENOENT || errno == ENOTDIR)) {
        int why = errno;
        std::string found = detail::resolve_existing(p);
        if (found != p) {
            p = std::move(found);
            do {
                fd = open(p.c_str(), flags, 0666);
            } while (fd < 0 && errno == EINTR);
        } else {
            errno = why;
        }
    }
    if (fd < 0 && how == Open::Append && errno == EACCES) {
        flags = (flags & ~O_RDWR) | O_WRONLY;
        do {
            fd = open(p.c_str(), flags, 0666);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) {
        set_open_error(p);
        return f;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        set_last_error(5);
        return f;
    }
    int lfd = -2;
    if (S_ISREG(st.st_mode)) {
        lfd = take_share(fd, how == Open::Read, how != Open::Read, share & kShareReadWrite);
        if (lfd == -1) {
            close(fd);
            return f;
        }
    }
    if (how == Open::WriteTruncate && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        detail::set_error_from_errno();
        if (lfd >= 0 && lfd != fd) close(lfd);
        close(fd);
        return f;
    }
    if (lfd >= 0 && lfd != fd) {
        auto& v = lock_fds();
        if (v.size() <= static_cast<size_t>(fd)) v.resize(static_cast<size_t>(fd) + 1, -1);
        v[static_cast<size_t>(fd)] = lfd;
    }
    f.size_at_open = how == Open::WriteTruncate && S_ISREG(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    f.fd = fd;
    return f;
}

File file_open(const char* path, Open how) {
    return file_open_shared(path, how, how == Open::Read ? kShareReadWrite : kShareRead);
}

File std_input() { return std_fd_was_closed(0) ? File{} : File{0}; }
File std_output() { return std_fd_was_closed(1) ? File{} : File{1}; }

bool file_append_locked(const char* path, std::string_view data, int wait_ms) {
    if (!path || !*path) return false;
    // Appenders share writing and take turns through the lock; the default write share
    // would turn a second appender away with a sharing violation and lose its entry.
    File f = file_open_shared(path, Open::Append, kShareReadWrite);
    if (!f.valid()) return false;
    bool ok = false;
    if (file_lock_exclusive(f, wait_ms)) {
        ok = file_write(f, data.data(), data.size());
        file_unlock(f);
    }
    file_close(f);
    return ok;
}

bool file_close(File& f) {
    if (f.fd < 0) {
        set_last_error(6);
        return false;
    }
    int fd = f.fd;
    f.fd = -1;
    if (fd <= 2) return true;
    auto& locks = lock_fds();
    if (static_cast<size_t>(fd) < locks.size() && locks[static_cast<size_t>(fd)] >= 0) {
        close(locks[static_cast<size_t>(fd)]);
        locks[static_cast<size_t>(fd)] = -1;
    }
    // Linux closes the descriptor even when close() reports EINTR; never retry.
    if (close(fd) != 0 && errno != EINTR) {
        detail::set_error_from_errno();
        return false;
    }
    return true;
}

int64_t file_read(File f, void* buf, size_t n) {
    if (f.fd < 0 || (!buf && n)) {
        set_last_error(6);
        return -1;
    }
    if (n > SSIZE_MAX) n = SSIZE_MAX;
    for (;;) {
        ssize_t r = read(f.fd, buf, n);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        detail::set_error_from_errno();
        return -1;
    }
}

int64_t file_read_at(File f, void* buf, size_t n, int64_t offset) {
    if (f.fd < 0 || (!buf && n) || offset < 0) {
        set_last_error(6);
        return -1;
    }
    if (n > SSIZE_MAX) n = SSIZE_MAX;
    for (;;) {
        ssize_t r = pread(f.fd, buf, n, static_cast<off_t>(offset));
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        detail::set_error_from_errno();
        return -1;
    }
}

bool file_write(File f, const void* buf, size_t n) {
    if (f.fd < 0 || (!buf && n)) {
        set_last_error(6);
        return false;
    }
    if (f.fd == 1) return detail::write_std_output(buf, n);
    return write_all_fd(f.fd, buf, n);
}

bool write_all_fd(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n > SSIZE_MAX ? SSIZE_MAX : n);
        if (w < 0) {
            if (errno == EINTR) continue;
            detail::set_error_from_errno();
            return false;
        }
        if (w == 0) {
            set_last_error(29);
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int64_t file_size(File f) {
    struct stat st;
    if (f.fd < 0 || fstat(f.fd, &st) != 0) {
        set_last_error(6);
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool file_seek(File f, int64_t pos) {
    if (f.fd < 0 || pos < 0) {
        set_last_error(pos < 0 ? 131 : 6);
        return false;
    }
    if (lseek(f.fd, static_cast<off_t>(pos), SEEK_SET) < 0) {
        detail::set_error_from_errno();
        return false;
    }
    return true;
}

bool file_is_pipe(File f) {
    struct stat st;
    if (f.fd < 0 || fstat(f.fd, &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

int64_t file_pipe_available(File f) {
    int n = 0;
    if (f.fd < 0 || ioctl(f.fd, FIONREAD, &n) != 0) return -1;
    return n;
}

bool file_wait_readable(File f, int ms) {
    if (f.fd < 0) return false;
    int64_t deadline = ms < 0 ? -1 : now_ms() + ms;
    for (;;) {
        int left = -1;
        if (deadline >= 0) {
            int64_t l = deadline - now_ms();
            left = l < 0 ? 0 : static_cast<int>(l > INT_MAX ? INT_MAX : l);
        }
        pollfd pfd{f.fd, POLLIN, 0};
        int r = poll(&pfd, 1, left);
        if (r > 0) return true;  // readable, or end/error: a read will not block
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool file_lock_exclusive(File f, int ms) {
    if (f.fd < 0) {
        set_last_error(6);
        return false;
    }
    int64_t deadline = now_ms() + (ms < 0 ? 0 : ms);
    for (;;) {
        if (flock(f.fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            detail::set_error_from_errno();
            return false;
        }
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            set_last_error(33);
            return false;
        }
        wait_ms(left < 10 ? static_cast<int>(left) : 10);
    }
}

void file_unlock(File f) {
    if (f.fd >= 0) flock(f.fd, LOCK_UN);
}

namespace {
// stat() of the entry `path` names, exactly or else without regard to case.
bool stat_existing(const char* path, struct stat* st) {
    std::string p = normalize_path(path);
    return detail::stat_existing(&p, st);
}
}  // namespace

bool file_exists(const char* path) {
    struct stat st;
    return path && *path && stat_existing(path, &st) && !S_ISDIR(st.st_mode);
}

bool dir_exists(const char* path) {
    struct stat st;
    return path && *path && stat_existing(path, &st) && S_ISDIR(st.st_mode);
}

bool file_delete(const char* path) {
    if (!path || !*path) {
        set_last_error(2);
        return false;
    }
    std::string p = detail::resolve_existing(normalize_path(path));
    struct stat st;
    if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        set_last_error(5);
        return false;
    }
    if (unlink(p.c_str()) != 0) {
        set_open_error(p);
        return false;
    }
    return true;
}

bool file_read_all(const char* path, std::string* out) {
    if (!out) return false;
    File f = file_open(path, Open::Read);
    if (!f.valid()) return false;
    out->clear();
    int64_t size = file_size(f);
    if (size > 0 && static_cast<uint64_t>(size) < out->max_size()) out->reserve(static_cast<size_t>(size));
    char buf[65536];
    for (;;) {
        int64_t n = file_read(f, buf, sizeof buf);
        if (n < 0) {
            uint32_t err = last_error();
            file_close(f);
            set_last_error(err);
            return false;
        }
        if (n == 0) break;
        out->append(buf, static_cast<size_t>(n));
    }
    file_close(f);
    return true;
}

namespace detail {
// What was read from the disk is read again: another process may have changed it.
void reset_file_caches() {
    scanned_dir().valid = false;
    scanned_dir().names.clear();
    drive_map_invalidate();
}
}  // namespace detail

}  // namespace kel::platform
