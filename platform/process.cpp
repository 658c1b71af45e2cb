// Platform layer: the process — its rebuilt command line, directories, environment,
// search path, clocks, random numbers, exit and the desktop-less message box.
#include "platform/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/fileio.h"
#include "platform/internal.h"

extern char** environ;

namespace kel::platform {

namespace {

struct ProcessState {
    std::vector<std::string> args;
    std::vector<size_t> offsets;
    std::string command_line;
    std::string start_dir;
    bool start_dir_known = false;
    unsigned closed_std_fds = 0;  // bit fd for each of 0 to 2 closed at start
};

ProcessState& state() {
    static auto* s = new ProcessState;
    return *s;
}

uint32_t g_rand_state = 1;  // the C runtime's seed before any srand

bool needs_quotes(const std::string& a) {
    return a.empty() || a.find_first_of(" \t\"") != std::string::npos;
}

// Appends `a` quoted so that the Windows command-line splitter gives it back unchanged:
// backslashes are literal except before a quote, where they are doubled.
void append_quoted(std::string& out, const std::string& a) {
    out += '"';
    size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        if (c == '"') {
            out.append(slashes * 2 + 1, '\\');
        } else {
            out.append(slashes, '\\');
        }
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, '\\');
    out += '"';
}

std::string get_cwd() {
    std::vector<char> buf(512);
    for (;;) {
        if (getcwd(buf.data(), buf.size())) return std::string(buf.data());
        if (errno != ERANGE || buf.size() > (1u << 20)) {
            detail::set_error_from_errno();
            return std::string();
        }
        buf.resize(buf.size() * 2);
    }
}

// Whether `*p`, as given or matched without regard to case (then `*p` is that name), is
// there and no directory.
bool is_plain_file(std::string* p) {
    struct stat st;
    return detail::stat_existing(p, &st) && !S_ISDIR(st.st_mode);
}

const char* env_exact(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

// The environment entry whose name matches without regard to case, or nullptr.
const char* env_entry_nocase(const char* name, size_t len) {
    if (!environ) return nullptr;
    for (char** e = environ; *e; ++e)
        if (strncasecmp(*e, name, len) == 0 && (*e)[len] == '=') return *e;
    return nullptr;
}

}  // namespace

void keep_memory_until_exit() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_TOP_PAD, 1 << 20);
}

void process_init(int argc, char** argv) {
    ProcessState& s = state();
    s.args.clear();
    s.offsets.clear();
    s.command_line.clear();
    for (int i = 0; i < argc && argv && argv[i]; ++i) {
        std::string a(argv[i]);
        if (i) s.command_line += ' ';
        if (needs_quotes(a)) {
            s.offsets.push_back(s.command_line.size() + 1);
            append_quoted(s.command_line, a);
        } else {
            s.offsets.push_back(s.command_line.size());
            s.command_line += a;
        }
        s.args.push_back(std::move(a));
    }
    s.start_dir = get_cwd();
    s.start_dir_known = true;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        s.closed_std_fds |= 1u << fd;
        // open() takes the lowest free descriptor, which is this one.
        int nul = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (nul >= 0 && nul != fd) close(nul);
        if (nul == fd) fcntl(fd, F_SETFD, 0);  // children inherit it like a real standard handle
    }
}

bool std_fd_was_closed(int fd) { return fd >= 0 && fd <= 2 && (state().closed_std_fds >> fd) & 1u; }

std::string host_address() {
    std::string name = host_name();
    if (!name.empty()) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (getaddrinfo(name.c_str(), nullptr, &hints, &res) == 0) {
            for (addrinfo* a = res; a; a = a->ai_next) {
                if (a->ai_family != AF_INET || !a->ai_addr) continue;
                char text[INET_ADDRSTRLEN];
                const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
                if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
                    freeaddrinfo(res);
                    return text;
                }
            }
            freeaddrinfo(res);
        }
    }
    return "127.0.0.1";
}

int arg_count() { return static_cast<int>(state().args.size()); }

const char* arg(int i) {
    ProcessState& s = state();
    if (i < 0 || static_cast<size_t>(i) >= s.args.size()) return nullptr;
    return s.args[static_cast<size_t>(i)].c_str();
}

const std::string& command_line() { return state().command_line; }

size_t arg_offset(int i) {
    ProcessState& s = state();
    if (i < 0 || static_cast<size_t>(i) >= s.offsets.size()) return s.command_line.size();
    return s.offsets[static_cast<size_t>(i)];
}

namespace {
struct ProgramPath {
    std::string dir;
    std::string name;
};

const ProgramPath& program_path() {
    static const ProgramPath* p = [] {
        auto* pp = new ProgramPath;
        std::vector<char> buf(4096);
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
        std::string full = n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
        size_t slash = full.rfind('/');
        if (slash == std::string::npos) {
            pp->dir = get_cwd();
            pp->name = full;
        } else {
            pp->dir = slash == 0 ? std::string("/") : full.substr(0, slash);
            pp->name = full.substr(slash + 1);
        }
        return pp;
    }();
    return *p;
}

std::string& program_dir_override() {
    static std::string dir;
    return dir;
}
}  // namespace

const std::string& program_dir() {
    const std::string& o = program_dir_override();
    return o.empty() ? program_path().dir : o;
}
void set_program_dir_for_tests(const std::string& dir) { program_dir_override() = dir; }

const std::string& program_file_name() { return program_path().name; }

const std::string& start_dir() {
    ProcessState& s = state();
    if (!s.start_dir_known) {
        s.start_dir = get_cwd();
        s.start_dir_known = true;
    }
    return s.start_dir;
}

std::string temp_dir() {
    static constexpr const char* kNames[] = {"TMP", "tmp", "TEMP", "temp", "HOMEPATH", "TMPDIR"};
    std::string dir = "/tmp/";
    for (const char* n : kNames) {
        if (const char* v = env_exact(n)) {
            dir = v;
            break;
        }
    }
    if (dir.back() != '/') dir += '/';
    return dir;
}

std::string current_dir() { return get_cwd(); }

bool set_current_dir(const char* path) {
    if (!path || !*path) {
        set_last_error(87);
        return false;
    }
    // The name as given first: only a name that is not there is matched without regard to case.
    std::string p = normalize_path(path);
    int r = chdir(p.c_str());
    if (r != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        int why = errno;
        std::string found = detail::resolve_existing(p);
        if (found != p) r = chdir(found.c_str());
        else errno = why;
    }
    if (r != 0) {
        detail::set_error_from_errno();
        // Windows says "path not found" for a missing directory.
        if (last_error() == 2) set_last_error(3);
        return false;
    }
    return true;
}

bool env_get(const char* name, std::string* out) {
    if (!name || !*name || std::strchr(name, '=')) return false;
    if (const char* v = std::getenv(name)) {
        if (out) *out = v;
        return true;
    }
    size_t len = std::strlen(name);
    if (const char* e = env_entry_nocase(name, len)) {
        if (out) *out = e + len + 1;
        return true;
    }
    return false;
}

bool env_set(const char* name, const char* value) {
    if (!name || !*name || std::strchr(name, '=')) {
        set_last_error(87);
        return false;
    }
    // Windows names are case-insensitive: change the variable that already exists under
    // another spelling instead of adding a second one.
    std::string real = name;
    if (!std::getenv(name)) {
        size_t len = std::strlen(name);
        if (const char* e = env_entry_nocase(name, len)) real.assign(e, len);
    }
    int rc = value ? setenv(real.c_str(), value, 1) : unsetenv(real.c_str());
    if (rc != 0) {
        detail::set_error_from_errno();
        return false;
    }
    return true;
}

char** env_block() { return environ; }

std::string search_path(const char* name, const char* dir) {
    if (!name || !*name) {
        set_last_error(87);
        return std::string();
    }
    std::string n = normalize_path(name);
    if (n.empty()) {
        set_last_error(2);
        return std::string();
    }
    auto try_at = [&](const std::string& base) -> std::string {
        std::string full = base.empty() || base.back() == '/' ? base + n : base + "/" + n;
        return is_plain_file(&full) ? full : std::string();
    };
    if (n[0] == '/') {
        std::string r = n;
        if (is_plain_file(&r)) return r;
        set_last_error(2);
        return std::string();
    }
    if (dir && *dir) {
        // The directory is matched without regard to case with the name, and only when
        // the name as given is not there.
        std::string r = try_at(normalize_path(dir));
        if (r.empty()) set_last_error(2);
        return r;
    }
    std::string r = try_at(program_dir());
    if (!r.empty()) return r;
    std::string cwd = get_cwd();
    if (!cwd.empty() && !(r = try_at(cwd)).empty()) return r;
    if (const char* path = std::getenv("PATH")) {
        std::string_view all(path);
        while (!all.empty()) {
            size_t colon = all.find(':');
            std::string_view part = all.substr(0, colon);
            all = colon == std::string_view::npos ? std::string_view() : all.substr(colon + 1);
            if (part.empty()) continue;  // an empty entry would silently mean "."
            std::string base(part);
            if (base[0] != '/') continue;  // relative PATH entries depend on the cwd; skip them
            if (!(r = try_at(base)).empty()) return r;
        }
    }
    set_last_error(2);
    return std::string();
}

uint32_t tick_count() { return static_cast<uint32_t>(tick_count64()); }

uint64_t tick_count64() {
    // Millisecond ticks: the coarse clock has that resolution and costs far less to read
    // (frames stamp every function call with it).
    timespec ts;
    detail::read_clock(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t perf_counter_ns() {
    timespec ts;
    detail::read_clock(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The clock the date and time functions read, so that logs and scripts agree.
LocalTime local_time() { return local_time_of(wall_clock_ns()); }

int64_t unix_time() {
    timespec ts;
    detail::read_clock(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

void crt_srand(uint32_t seed) { g_rand_state = seed; }

int crt_rand() {
    g_rand_state = g_rand_state * 214013u + 2531011u;
    return static_cast<int>((g_rand_state >> 16) & 0x7FFF);
}

int exit_status(int32_t code) {
    int low = static_cast<int>(static_cast<uint32_t>(code) & 0xFF);
    // A failure must not read as success to the web server or a shell.
    if (code != 0 && low == 0) return 255;
    return low;
}

void process_exit(int32_t code) {
    detail::finish_std_output(exit_status(code));
    std::fflush(nullptr);
    _exit(exit_status(code));
}

int message_box(const char* text, const char* caption, uint32_t type) {
    // One line in the web server's error log: line breaks inside the text become blanks.
    std::string line = caption ? caption : "";
    line += ": ";
    for (const char* p = text ? text : ""; *p; ++p) line += (*p == '\r' || *p == '\n') ? ' ' : *p;
    line += '\n';
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t w = write(2, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        p += w;
        left -= static_cast<size_t>(w);
    }

    if (type & kMbKelErrorDialog) {
        const char* answer = std::getenv("KEL_DIALOG_ANSWER");
        return (answer && strcasecmp(answer, "continue") == 0) ? kIdContinue : kIdExit;
    }
    static constexpr int kButtons[][3] = {
        {kIdOk, kIdOk, kIdOk},                    // MB_OK
        {kIdOk, kIdCancel, kIdCancel},            // MB_OKCANCEL
        {kIdAbort, kIdRetry, kIdIgnore},          // MB_ABORTRETRYIGNORE
        {kIdYes, kIdNo, kIdCancel},               // MB_YESNOCANCEL
        {kIdYes, kIdNo, kIdNo},                   // MB_YESNO
        {kIdRetry, kIdCancel, kIdCancel},         // MB_RETRYCANCEL
        {kIdCancel, kIdTryAgain, kIdContinue},    // MB_CANCELTRYCONTINUE
    };
    uint32_t kind = type & kMbTypeMask;
    if (kind > 6) return kIdOk;
    uint32_t def = (type & kMbDefButtonMask) >> 8;
    return kButtons[kind][def > 2 ? 0 : def];
}

namespace detail {
void reset_process_state() {
    g_rand_state = 1;
    set_last_error(0);
}
}  // namespace detail

}  // namespace kel::platform
