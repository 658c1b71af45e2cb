// Platform layer: the state between two requests of a reused worker.
#include "platform/request_reset.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/internal.h"

namespace kel::platform {

namespace {

struct Baseline {
    std::vector<int> fds;  // open descriptors above 2
    std::vector<int> all;  // every open descriptor, and how many /proc counted then
    int held = -1;         // the server's descriptor open from one request to the next
    int64_t count = -1;
    int fd_dir = -1;       // /proc/self/fd, open for the count (the process's own)
    std::string dir;
    bool taken = false;
    std::string spent;     // why the process may serve no other request
};

Baseline& baseline() {
    static auto* b = new Baseline;
    return *b;
}

// The entries of a /proc directory as numbers (descriptors, thread ids).
std::vector<int> proc_numbers(const char* path) {
    std::vector<int> out;
    DIR* d = opendir(path);
    if (!d) return out;
    int own = dirfd(d);
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        int n = std::atoi(e->d_name);
        if (n != own) out.push_back(n);
    }
    closedir(d);
    return out;
}

std::vector<int> open_fds() {
    std::vector<int> fds;
    for (int fd : proc_numbers("/proc/self/fd"))
        if (fd > 2 && !detail::is_platform_fd(fd)) fds.push_back(fd);
    return fds;
}

bool contains(const std::vector<int>& v, int x) {
    for (int y : v)
        if (y == x) return true;
    return false;
}

// How many descriptors the process has open, from the size /proc gives its descriptor
// directory (one fstat of it, kept open: no name looked up each time); -1 where the system
// does not tell.
int64_t open_fd_count() {
    struct stat st;
    int dir = baseline().fd_dir;
    if ((dir >= 0 ? fstat(dir, &st) : stat("/proc/self/fd", &st)) != 0 || st.st_size <= 0) return -1;
    return st.st_size;
}

// Whether every descriptor of `fds`, and `extra` unless it is -1, is still open (one
// poll: a closed one reports POLLNVAL). A worker's few dozen cost no allocation.
bool all_open(const std::vector<int>& fds, int extra) {
    size_t n = fds.size() + (extra >= 0);
    detail::PollSet<64> set(n);
    pollfd* p = set.p;
    for (size_t i = 0; i < fds.size(); ++i) p[i] = pollfd{fds[i], 0, 0};
    if (extra >= 0) p[n - 1] = pollfd{extra, 0, 0};
    int r;
    do {
        r = poll(p, n, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return false;
    for (size_t i = 0; i < n; ++i)
        if (p[i].revents & POLLNVAL) return false;
    return true;
}

// Records the descriptors open now as the ones a request may leave open.
void take_fd_baseline(Baseline& b) {
    b.all = proc_numbers("/proc/self/fd");
    // The held descriptor is not the process's for good: it is checked on its own.
    size_t n = b.all.size();
    std::erase(b.all, b.held);
    b.fds.clear();
    for (int fd : b.all)
        if (fd > 2 && !detail::is_platform_fd(fd)) b.fds.push_back(fd);
    b.count = open_fd_count();
    if (b.count != static_cast<int64_t>(n)) b.count = -1;  // changed meanwhile: count again next time
    else b.count = static_cast<int64_t>(b.all.size());
}

// The descriptors are exactly the baseline's when as many are open as then and each of
// those is still open: two system calls. Otherwise every open descriptor is looked at,
// and one the request opened (not one the platform keeps) is still open is reported.
bool fds_as_baseline(Baseline& b, int* left) {
    bool held = b.held >= 0;
    if (b.count > 0 && open_fd_count() == b.count + held && all_open(b.all, b.held)) return true;
    for (int fd : open_fds())
        if (!contains(b.fds, fd) && fd != b.held) {
            *left = fd;
            return false;
        }
    take_fd_baseline(b);  // the platform opened one of its own: count with it from now on
    return true;
}

}  // namespace

namespace detail {
bool serves_many_requests() { return baseline().taken; }
}  // namespace detail

void request_baseline() {
    Baseline& b = baseline();
    if (b.fd_dir < 0) {
        int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            // Above the numbers a request's own files take, as the server's descriptors.
            int high = fcntl(dir, F_DUPFD_CLOEXEC, 1000);
            if (high >= 0) {
                close(dir);
                dir = high;
            }
        }
        b.fd_dir = dir;
    }
    take_fd_baseline(b);
    char buf[4096];
    b.dir = getcwd(buf, sizeof buf) ? buf : "/";
    b.taken = true;
    detail::keep_pages_between_requests();
}

void request_hold_fd(int fd) { baseline().held = fd; }

void mark_process_spent(const char* why) {
    Baseline& b = baseline();
    if (b.taken && b.spent.empty()) b.spent = why ? why : "spent";
}

bool reset_after_request(std::string* why) {
    Baseline& b = baseline();
    auto refuse = [&](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    if (!b.taken) return refuse("no baseline");
    if (!b.spent.empty()) return refuse(b.spent);
    // No thread is checked for: only native code, which marks the process spent, starts one.
    int left = -1;
    if (!fds_as_baseline(b, &left)) return refuse("descriptor " + std::to_string(left) + " is still open");
    if (chdir(b.dir.c_str()) != 0) return refuse("the directory cannot be restored");
    detail::reset_message_queue();
    detail::reset_memory_blocks();
    detail::reset_regions();
    detail::reset_file_caches();
    detail::reset_process_state();
    detail::reset_std_output();
    return true;
}

}  // namespace kel::platform
