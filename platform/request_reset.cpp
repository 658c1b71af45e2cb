// Platform layer: the state between two requests of a reused worker.
#include "platform/request_reset.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/internal.h"

namespace kel::platform {

namespace {

struct Baseline {
    std::vector<int> fds;  // open descriptors above 2
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

}  // namespace

void request_baseline() {
    Baseline& b = baseline();
    b.fds = open_fds();
    char buf[4096];
    b.dir = getcwd(buf, sizeof buf) ? buf : "/";
    b.taken = true;
    detail::keep_pages_between_requests();
}

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
    for (int fd : open_fds())
        if (!contains(b.fds, fd)) return refuse("descriptor " + std::to_string(fd) + " is still open");
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
