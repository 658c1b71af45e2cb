// Platform layer: sockets and worker processes for the pre-forking FastCGI server.
#include "platform/server.h"
#include "platform/internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kel::platform {

bool is_listening_socket(int fd) {
    int on = 0;
    socklen_t len = sizeof on;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on;
}

bool is_unix_socket(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.ss_family == AF_UNIX;
}

static int fail(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return -1;
}

int listen_unix(const std::string& path, int backlog, std::string* error) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof a.sun_path) {
        if (error) *error = "socket path empty or longer than " + std::to_string(sizeof a.sun_path - 1) + " bytes";
        return -1;
    }
    std::memcpy(a.sun_path, path.data(), path.size());
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            if (error) *error = path + " exists and is not a socket";
            return -1;
        }
        unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(error, "socket");
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return fail(error, path);
    }
    return fd;
}

int listen_tcp(const std::string& address, int port, int backlog, std::string* error) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        if (error) *error = "not an IPv4 address: " + address;
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(error, "socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return fail(error, address + ":" + std::to_string(port));
    }
    return fd;
}

bool set_backlog(int fd, int backlog) { return listen(fd, backlog) == 0; }

bool set_nonblocking(int fd) {
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

bool set_close_on_exec(int fd) { return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

void close_fd(int fd) {
    if (fd >= 0) close(fd);
}

int move_fd_high(int fd) {
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 1000);
    if (high < 0) return fd;
    close(fd);
    return high;
}

int accept_connection(int listen_fd) {
    for (;;) {
        int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0 || errno != EINTR) return c;
    }
}

bool socket_pair(int fds[2]) { return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0; }

bool send_with_fd(int sock, const void* data, size_t n, int fd) {
    iovec iov{const_cast<void*>(data), n};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        m.msg_control = ctl;
        m.msg_controllen = sizeof ctl;
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    for (;;) {
        ssize_t w = sendmsg(sock, &m, MSG_NOSIGNAL);
        if (w >= 0) return static_cast<size_t>(w) == n;
        if (errno != EINTR) return false;
    }
}

int64_t recv_with_fd(int sock, void* data, size_t n, int* fd) {
    *fd = -1;
    iovec iov{data, n};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int))];
    m.msg_control = ctl;
    m.msg_controllen = sizeof ctl;
    ssize_t r;
    do r = recvmsg(sock, &m, MSG_CMSG_CLOEXEC);
    while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(fd, CMSG_DATA(c), sizeof(int));
    return r;
}

void discard_message(int sock) {
    // No room for control data: the descriptor received is released, not installed.
    char buf[64];
    ssize_t r;
    do r = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
}

int poll_readable(std::span<PollFd> fds, int ms) {
    // The worker polls two or three descriptors per request: on the stack. The
    // supervisor's set of every worker's socket is the one larger set.
    detail::PollSet<8> set(fds.size());
    pollfd* p = set.p;
    for (size_t i = 0; i < fds.size(); ++i) p[i] = {fds[i].fd, POLLIN | POLLRDHUP, 0};
    int r = poll(p, fds.size(), ms);
    for (size_t i = 0; i < fds.size(); ++i) {
        fds[i].ready = r > 0 && p[i].revents != 0;
        fds[i].hangup = r > 0 && (p[i].revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
    }
    return r < 0 ? -1 : r;
}

int exclusive_wait_set(const std::vector<int>& fds, int listen_fd) {
    int set = epoll_create1(EPOLL_CLOEXEC);
    if (set < 0) return -1;
    auto add = [&](int fd, uint32_t how) {
        epoll_event e{};
        e.events = how;
        e.data.fd = fd;
        return epoll_ctl(set, EPOLL_CTL_ADD, fd, &e) == 0;
    };
    bool ok = add(listen_fd, EPOLLIN | EPOLLEXCLUSIVE);
    for (int fd : fds) ok = ok && add(fd, EPOLLIN);
    if (!ok) {
        close(set);
        return -1;
    }
    return set;
}

int wait_set_ready(int set, std::span<PollFd> fds, int ms) {
    for (PollFd& f : fds) f.ready = false;
    epoll_event ev[8];
    int r = epoll_wait(set, ev, 8, ms);
    if (r < 0) return -1;
    int ready = 0;
    for (int i = 0; i < r; ++i)
        for (PollFd& f : fds)
            if (f.fd == ev[i].data.fd && !f.ready) {
                f.ready = true;
                ++ready;
            }
    return ready;
}

int32_t fork_process() { return fork(); }

int32_t reap_child(int* exit_code, int* signal) {
    int st = 0;
    pid_t p;
    do p = waitpid(-1, &st, WNOHANG);
    while (p < 0 && errno == EINTR);
    if (p <= 0) return p;
    *exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    *signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    return p;
}

void signal_process(int32_t pid, int sig) {
    if (pid > 0) kill(pid, sig);
}

void exit_at_once(int code) { _exit(code); }

void* shared_memory(size_t n) {
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

int memory_file() { return memfd_create("request-body", MFD_CLOEXEC); }

bool move_to_fd(int from, int to) {
    if (from == to) return fcntl(to, F_SETFD, 0) == 0;
    return dup2(from, to) == to;
}

void std_fds_to_null(bool input) {
    int nul = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nul < 0) return;
    if (input) dup2(nul, 0);
    dup2(nul, 1);
    if (nul > 2) close(nul);
    else fcntl(nul, F_SETFD, 0);  // it took a free standard descriptor: children inherit it
}


bool rewind_fd(int fd) { return lseek(fd, 0, SEEK_SET) == 0; }

void reexec_with_flag(const char* name, char** argv) {
    if (std::getenv(name)) return;
    setenv(name, "1", 1);
    execv("/proc/self/exe", argv);
    unsetenv(name);
}

void replace_environment(std::vector<std::string> entries) {
    // The environment is these strings themselves, not copies made one putenv at a time
    // (each of which searches the whole environment). They stay until the next
    // replacement, which empties the environment (freeing an array setenv made in the
    // meantime) before it lets them go.
    static auto* kept = new std::vector<std::string>;
    static auto* table = new std::vector<char*>;
    clearenv();
    *kept = std::move(entries);
    table->clear();
    table->reserve(kept->size() + 1);
    for (std::string& e : *kept) table->push_back(e.data());
    table->push_back(nullptr);
    environ = table->data();
}

namespace {
int g_pipe[2] = {-1, -1};
std::atomic<unsigned> g_pending{0};

void on_server_signal(int sig) {
    int saved = errno;
    unsigned bit = sig == SIGHUP ? kServerReload : sig == SIGCHLD ? kServerChild : kServerStop;
    g_pending.fetch_or(bit);
    char c = 0;
    if (write(g_pipe[1], &c, 1) < 0) {
    }  // a full pipe already wakes the server
    errno = saved;
}
}  // namespace

bool install_server_signals() {
    if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_server_signal;
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &sa, nullptr);
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sa.sa_flags = 0;
    sigaction(SIGPIPE, &sa, nullptr);
    return true;
}

int server_signal_fd() { return g_pipe[0]; }

unsigned take_server_signals() {
    char buf[64];
    while (read(g_pipe[0], buf, sizeof buf) > 0) {
    }
    return g_pending.exchange(0);
}

void reset_server_signals() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SIG_DFL;
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaction(s, &sa, nullptr);  // SIGPIPE stays ignored
    for (int& fd : g_pipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    g_pending = 0;
}

}  // namespace kel::platform
