// Platform layer: INI ("profile") files, our own engine with the platform's observable
// rules. The script functions that list and edit INI files build on this in lib/.
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include "platform/errors.h"
#include "platform/fileio.h"
#include "platform/internal.h"

namespace kel::platform {

namespace {

enum class Encoding { Ansi, Utf8Bom, Utf16 };

struct IniFile {
    std::vector<std::string> lines;
    Encoding encoding = Encoding::Ansi;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && (is_blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool same_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// "[name]" -> name. A header without "]" runs to the end of the line.
bool line_section(std::string_view line, std::string_view* name) {
    line = trim(line);
    if (line.empty() || line[0] != '[') return false;
    line.remove_prefix(1);
    size_t close = line.find(']');
    *name = trim(line.substr(0, close));
    return true;
}

bool line_key(std::string_view line, std::string_view* key, std::string_view* value) {
    std::string_view t = trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') return false;
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) return false;
    *key = trim(t.substr(0, eq));
    std::string_view v = trim(t.substr(eq + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
    *value = v;
    return true;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string utf16le_to_utf8(std::string_view in) {
    std::string out;
    out.reserve(in.size() / 2);
    size_t n = in.size() / 2;
    auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(in[2 * i])) |
               (static_cast<uint32_t>(static_cast<unsigned char>(in[2 * i + 1])) << 8);
    };
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < n && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
            append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            append_utf8(out, 0xFFFD);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

void append_utf16(std::string& out, uint32_t cp) {
    auto put = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    if (cp >= 0x10000) {
        cp -= 0x10000;
        put(0xD800 + (cp >> 10));
        put(0xDC00 + (cp & 0x3FF));
    } else {
        put(cp);
    }
}

// Text from callers is UTF-8 when valid; a byte that does not start a valid sequence is
// taken as Latin-1 so that nothing is lost.
std::string utf8_to_utf16le(std::string_view in) {
    std::string out;
    out.reserve(in.size() * 2);
    size_t i = 0;
    while (i < in.size()) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        uint32_t cp = c;
        size_t len = 1;
        if (c >= 0xC2 && c <= 0xF4) {
            size_t need = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
            uint32_t v = c & (0x3F >> need);
            bool ok = need < in.size() - i;
            for (size_t k = 1; ok && k <= need; ++k) {
                unsigned char cc = static_cast<unsigned char>(in[i + k]);
                if ((cc & 0xC0) != 0x80) ok = false;
                v = (v << 6) | (cc & 0x3F);
            }
            uint32_t min = need == 1 ? 0x80 : need == 2 ? 0x800 : 0x10000;
            if (ok && v >= min && v <= 0x10FFFF && !(v >= 0xD800 && v < 0xE000)) {
                cp = v;
                len = need + 1;
            }
        }
        append_utf16(out, cp);
        i += len;
    }
    return out;
}

IniFile parse(std::string_view data) {
    IniFile f;
    std::string text;
    if (data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0xFF && static_cast<unsigned char>(data[1]) == 0xFE) {
        f.encoding = Encoding::Utf16;
        text = utf16le_to_utf8(data.substr(2));
        data = text;
    } else if (data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        f.encoding = Encoding::Utf8Bom;
        data.remove_prefix(3);
    }
    size_t pos = 0;
    while (pos < data.size()) {
        size_t nl = data.find('\n', pos);
        std::string_view line = data.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        f.lines.emplace_back(line);
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    return f;
}

std::string serialise(const IniFile& f) {
    std::string text;
    for (const std::string& l : f.lines) {
        text += l;
        text += "\r\n";
    }
    switch (f.encoding) {
    case Encoding::Ansi: return text;
    case Encoding::Utf8Bom: return "\xEF\xBB\xBF" + text;
    case Encoding::Utf16: return "\xFF\xFE" + utf8_to_utf16le(text);
    }
    return text;
}

// A name without a directory is looked for in the program directory.
std::string resolve_name(const char* file, bool create) {
    std::string_view f(file ? file : "");
    std::string p;
    if (f.find_first_of("/\\:") == std::string_view::npos)
        p = detail::in_program_dir(f);
    else
        p = normalize_path(f);
    return create ? detail::resolve_for_create(p) : detail::resolve_existing(p);
}

// The files read last, parsed, for the next read of the same file in a reused worker,
// which reads its settings file on every request, and often again for single keys. An entry stands for the file only while stat() of the name shows the
// same file (device, inode), size, modification and change time, and only if the change
// time was at least two seconds old when it was read: any edit, replacement, rename or
// deletion after that changes what stat() shows, however fast it follows.
struct CachedIni {
    std::string path;
    struct stat st {};
    IniFile file;
};
constexpr size_t kCachedInis = 4;
constexpr size_t kMaxCachedIniBytes = 256 * 1024;

std::vector<CachedIni>& cached_inis() {
    static auto* v = new std::vector<CachedIni>;
    return *v;
}

bool same_stat(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mode == b.st_mode &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

void forget_cached(const std::string& path) {
    auto& v = cached_inis();
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].path == path) {
            v.erase(v.begin() + static_cast<long>(i));
            return;
        }
}

void remember(const std::string& path, const struct stat& st, const IniFile& f) {
    forget_cached(path);
    // A process of one request reads its files once or twice: no copy, no clock reading.
    if (!detail::serves_many_requests() || static_cast<uint64_t>(st.st_size) > kMaxCachedIniBytes) return;
    timespec now{};
    detail::read_clock(CLOCK_REALTIME, &now);
    if (now.tv_sec - st.st_ctim.tv_sec < 2) return;  // a change in the same clock tick could go unseen
    auto& v = cached_inis();
    if (v.size() >= kCachedInis) v.erase(v.begin());
    v.push_back(CachedIni{path, st, f});
}

// Reads the file `file` names (see resolve_name) as it is now (another request or
// process may have replaced it since); a missing file reads as empty. `found`, when
// given, receives the name of the regular file that was read ("" when none was).
bool load(const char* file, IniFile* out, std::string* found = nullptr) {
    *out = IniFile{};
    if (found) found->clear();
    std::string_view f(file ? file : "");
    std::string path = f.find_first_of("/\\:") == std::string_view::npos ? detail::in_program_dir(f) : normalize_path(f);
    struct stat st;
    if (!detail::stat_existing(&path, &st)) return errno == ENOENT || errno == ENOTDIR;
    if (!S_ISREG(st.st_mode)) return false;  // a directory, a pipe or a device is no INI file
    for (const CachedIni& c : cached_inis())
        if (c.path == path && same_stat(c.st, st)) {
            *out = c.file;
            if (found) *found = path;
            return true;
        }
    std::string data;
    if (!file_read_all(path.c_str(), &data)) {
        forget_cached(path);
        return last_error() == 2 || last_error() == 3;
    }
    *out = parse(data);
    // A change made after the stat() above, even one made while it was read, sets a
    // change time newer than the one kept, so the entry never stands for it.
    if (static_cast<uint64_t>(st.st_size) == data.size()) remember(path, st, *out);
    else forget_cached(path);
    if (found) *found = path;
    return true;
}

// Line index of the section header, or -1.
long find_section(const IniFile& f, std::string_view section) {
    for (size_t i = 0; i < f.lines.size(); ++i) {
        std::string_view name;
        if (line_section(f.lines[i], &name) && same_nocase(name, section)) return static_cast<long>(i);
    }
    return -1;
}

// One past the last line of the section starting at `header`.
size_t section_end(const IniFile& f, size_t header) {
    size_t i = header + 1;
    std::string_view name;
    while (i < f.lines.size() && !line_section(f.lines[i], &name)) ++i;
    return i;
}

bool find_value(const IniFile& f, const char* section, const char* key, std::string* value) {
    long h = find_section(f, section ? section : "");
    if (h < 0) return false;
    size_t end = section_end(f, static_cast<size_t>(h));
    for (size_t i = static_cast<size_t>(h) + 1; i < end; ++i) {
        std::string_view k, v;
        if (line_key(f.lines[i], &k, &v) && same_nocase(k, key)) {
            value->assign(v);
            return true;
        }
    }
    return false;
}

int64_t now_ms() { return detail::monotonic_ms(); }

// Writers of one file queue for its lock; a request waits at most this long (well inside
// the host's time-out) before the write fails with 32.
constexpr int kLockWaitMs = 30000;

// A writer holds an exclusive lock on the file itself from reading it to renaming the
// replacement over it. The replacement is a new file, so a writer that waited on the old
// one finds the name leading elsewhere once it has the lock and starts again on the new
// file. A missing file is created empty (only when `create`) so that there is something
// to lock. Returns the locked descriptor with the current contents in `data`, -1 with
// last_error() on failure, or -2 when the file is missing and `create` is false.
int lock_and_read(const std::string& path, bool create, std::string* data) {
    int64_t deadline = now_ms() + kLockWaitMs;
    for (;;) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 && errno == ENOENT) {
            if (!create) return -2;
            mode_t mask = umask(0);
            umask(mask);
            fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666 & ~mask);
            if (fd < 0 && errno == EEXIST) continue;  // another writer made it first
        }
        if (fd < 0) {
            detail::set_error_from_errno();
            if (last_error() == 2) set_last_error(3);  // the directory is missing
            return -1;
        }
        struct stat held;
        // Not a file, or a read-only one (no owner write bit, as the attribute reads).
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || !(held.st_mode & S_IWUSR)) {
            close(fd);
            set_last_error(5);
            return -1;
        }
        // Waiters back off from 1 ms to 32 ms between tries, so that hundreds of them
        // do not take the processor from the writer that holds the lock.
        long pause_ms = 1;
        while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || now_ms() >= deadline) {
                close(fd);
                set_last_error(32);
                return -1;
            }
            timespec ts{0, pause_ms * 1000000L};
            nanosleep(&ts, nullptr);
            if (pause_ms < 32) pause_ms *= 2;
        }
        struct stat now;
        if (stat(path.c_str(), &now) != 0 || now.st_ino != held.st_ino || now.st_dev != held.st_dev) {
            close(fd);  // replaced (or removed) while we waited: lock the file that is there now
            if (now_ms() >= deadline) {
                set_last_error(32);
                return -1;
            }
            continue;
        }
        data->clear();
        char buf[65536];
        File f{fd};
        for (;;) {
            int64_t n = file_read(f, buf, sizeof buf);
            if (n < 0) {
                uint32_t err = last_error();
                close(fd);
                set_last_error(err);
                return -1;
            }
            if (n == 0) break;
            data->append(buf, static_cast<size_t>(n));
        }
        return fd;
    }
}

bool replace_file(const std::string& path, const std::string& data) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash ? slash : 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = (dir == "/" ? dir : dir + "/") + "." + base + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back(0);
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        detail::set_error_from_errno();
        return false;
    }
    struct stat st;
    mode_t mode;
    if (stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    File f{fd};
    bool ok = file_write(f, data.data(), data.size());
    uint32_t err = last_error();
    if (close(fd) != 0 && ok) {
        ok = false;
        err = error_from_errno(errno);
    }
    if (ok && rename(name.data(), path.c_str()) != 0) {
        ok = false;
        err = error_from_errno(errno);
    }
    if (!ok) {
        unlink(name.data());
        set_last_error(err);
    }
    return ok;
}

// The drive map is read from FENSCRPT.INI once; any write to that file makes it read again.
void settings_changed(const std::string& path) {
    size_t base = path.rfind('/');
    if (strcasecmp(path.c_str() + (base == std::string::npos ? 0 : base + 1), "FENSCRPT.INI") == 0)
        detail::drive_map_invalidate();
}

bool has_any(const char* s, const char* chars) { return s && std::strpbrk(s, chars) != nullptr; }

}  // namespace

std::string profile_get_string(const char* file, const char* section, const char* key, const char* def) {
    IniFile f;
    std::string value;
    if (file && section && key && load(file, &f) && find_value(f, section, key, &value))
        return value;
    return def ? def : "";
}

size_t profile_get(const char* file, const char* section, const char* key, const char* def, char* out,
                   size_t outsz) {
    if (!out || outsz == 0) return 0;
    std::string v = profile_get_string(file, section, key, def);
    size_t n = v.size() < outsz - 1 ? v.size() : outsz - 1;
    std::memcpy(out, v.data(), n);
    out[n] = 0;
    return n;
}

int32_t profile_int(std::string_view value, int32_t def) {
    size_t i = 0;
    while (i < value.size() && is_blank(value[i])) ++i;
    bool neg = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) neg = value[i++] == '-';
    if (i >= value.size() || value[i] < '0' || value[i] > '9') return value.empty() ? def : 0;
    uint32_t n = 0;  // wraps like the 32-bit original instead of overflowing
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) n = n * 10u + static_cast<uint32_t>(value[i] - '0');
    return static_cast<int32_t>(neg ? 0u - n : n);
}

int32_t profile_get_int(const char* file, const char* section, const char* key, int32_t def) {
    IniFile f;
    std::string value;
    if (!file || !section || !key || !load(file, &f) || !find_value(f, section, key, &value))
        return def;
    return profile_int(value, 0);
}

std::vector<std::string> profile_get_strings(const char* file, const char* section,
                                             const std::vector<const char*>& keys, std::string* found) {
    std::vector<std::string> values(keys.size());
    IniFile f;
    if (found) found->clear();
    if (!file || !section || !load(file, &f, found)) return values;
    for (size_t i = 0; i < keys.size(); ++i)
        if (keys[i]) find_value(f, section, keys[i], &values[i]);
    return values;
}

std::string profile_section(const char* file, const char* section) {
    IniFile f;
    std::string out;
    if (!file || !section || !load(file, &f)) return out;
    long h = find_section(f, section);
    if (h < 0) return out;
    size_t end = section_end(f, static_cast<size_t>(h));
    for (size_t i = static_cast<size_t>(h) + 1; i < end; ++i) {
        std::string_view k, v;
        if (!line_key(f.lines[i], &k, &v)) continue;
        out.append(k);
        out += '=';
        out.append(v);
        out += '\n';
    }
    return out;
}

std::vector<std::string> profile_section_names(const char* file) {
    IniFile f;
    std::vector<std::string> out;
    if (!file || !load(file, &f)) return out;
    for (const std::string& line : f.lines) {
        std::string_view name;
        if (!line_section(line, &name)) continue;
        bool seen = false;
        for (const std::string& o : out) seen = seen || same_nocase(o, name);
        if (!seen) out.emplace_back(name);
    }
    return out;
}

std::vector<std::string> profile_key_names(const char* file, const char* section) {
    IniFile f;
    std::vector<std::string> out;
    if (!file || !section || !load(file, &f)) return out;
    long h = find_section(f, section);
    if (h < 0) return out;
    size_t end = section_end(f, static_cast<size_t>(h));
    for (size_t i = static_cast<size_t>(h) + 1; i < end; ++i) {
        std::string_view k, v;
        if (!line_key(f.lines[i], &k, &v)) continue;
        bool seen = false;
        for (const std::string& o : out) seen = seen || same_nocase(o, k);
        if (!seen) out.emplace_back(k);
    }
    return out;
}

bool profile_write(const char* file, const char* section, const char* key, const char* value) {
    // Reads go to the file (a copy stands for it only while stat() shows it unchanged), so
    // a flush has nothing to write; the copies go too.
    if (file && *file && !section && !key && !value) {
        cached_inis().clear();
        return true;
    }
    if (!file || !*file || !section) {
        set_last_error(87);
        return false;
    }
    // A line break would let a value or name write extra lines (or sections) into the file.
    // A value is refused too rather than cut: the caller learns that it was not stored.
    if (has_any(section, "]\r\n") || has_any(key, "=\r\n") || (key && (key[0] == '[' || key[0] == ';')) ||
        has_any(value, "\r\n")) {
        set_last_error(87);
        return false;
    }
    std::string path = resolve_name(file, true);
    std::string data;
    // Deleting from a file that does not exist changes nothing and creates nothing.
    int lock = lock_and_read(path, value != nullptr, &data);
    if (lock == -2) {
        settings_changed(path);
        return true;
    }
    if (lock < 0) return false;
    IniFile f = parse(data);
    bool changed = false;
    bool ok = true;
    {
        long h = find_section(f, section);
        if (!key) {
            if (h >= 0) {
                size_t end = section_end(f, static_cast<size_t>(h));
                f.lines.erase(f.lines.begin() + h, f.lines.begin() + static_cast<long>(end));
                changed = true;
            }
        } else {
            std::string v = value ? value : "";
            long found = -1;
            size_t end = 0;
            if (h >= 0) {
                end = section_end(f, static_cast<size_t>(h));
                for (size_t i = static_cast<size_t>(h) + 1; i < end && found < 0; ++i) {
                    std::string_view k, val;
                    if (line_key(f.lines[i], &k, &val) && same_nocase(k, key)) found = static_cast<long>(i);
                }
            }
            std::string line = std::string(key) + "=" + v;
            if (!value) {
                if (found >= 0) {
                    f.lines.erase(f.lines.begin() + found);
                    changed = true;
                }
            } else if (found >= 0) {
                f.lines[static_cast<size_t>(found)] = line;
                changed = true;
            } else if (h >= 0) {
                // After the section's last non-empty line, so a blank separator stays in place.
                size_t at = end;
                while (at > static_cast<size_t>(h) + 1 && trim(f.lines[at - 1]).empty()) --at;
                f.lines.insert(f.lines.begin() + static_cast<long>(at), line);
                changed = true;
            } else {
                std::string header = "[";
                header += section;
                header += ']';
                f.lines.push_back(std::move(header));
                f.lines.push_back(line);
                changed = true;
            }
        }
        if (changed) ok = replace_file(path, serialise(f));
    }
    uint32_t err = last_error();
    close(lock);  // only after the rename: the next writer then reads the new file
    set_last_error(err);
    settings_changed(path);
    return ok;
}

bool profile_write_create(const char* file, const char* section, const char* key, const char* value) {
    if (file && *file && section) {
        std::string path = resolve_name(file, true);
        // Each missing level in turn; one that exists already (or appears meanwhile) is fine.
        for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
            std::string dir = path.substr(0, at);
            if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) break;
        }
    }
    return profile_write(file, section, key, value);
}

}  // namespace kel::platform
