// Sockets and worker processes for a pre-forking server: listening sockets, passing a
// descriptor between processes, forking and reaping workers, and the server's signals.
#pragma once
#include <span>
#include <string>
#include <vector>
#include "platform/api.h"

namespace kel::platform {

// Whether fd is a socket in the listening state (how a FastCGI program is started).
KEL_PLATFORM_API bool is_listening_socket(int fd);
// Whether fd is a socket of the Unix domain (no TCP reset can lose what was sent on it).
KEL_PLATFORM_API bool is_unix_socket(int fd);
// A listening socket bound to a Unix path (a socket file left there is replaced; any
// other file is not) or to an IPv4 address; -1 with `*error` set on failure. The socket
// is close-on-exec.
KEL_PLATFORM_API int listen_unix(const std::string& path, int backlog, std::string* error);
KEL_PLATFORM_API int listen_tcp(const std::string& address, int port, int backlog, std::string* error);
// listen() again on a listening socket: Linux takes the new backlog.
KEL_PLATFORM_API bool set_backlog(int fd, int backlog);
KEL_PLATFORM_API bool set_nonblocking(int fd);
KEL_PLATFORM_API bool set_close_on_exec(int fd);
KEL_PLATFORM_API void close_fd(int fd);
// fd moved to a number at or above 1000 (close-on-exec), so that a request's own files
// get the descriptor numbers they would get in a process of their own; fd when it fails.
KEL_PLATFORM_API int move_fd_high(int fd);
// One waiting connection, close-on-exec, or -1 when none is waiting (non-blocking socket).
KEL_PLATFORM_API int accept_connection(int listen_fd);

// A connected pair of Unix stream sockets, both close-on-exec.
KEL_PLATFORM_API bool socket_pair(int fds[2]);
// Sends n bytes (at most 64) and, when fd >= 0, the descriptor with them.
KEL_PLATFORM_API bool send_with_fd(int sock, const void* data, size_t n, int fd);
// Receives one message: bytes read (0 at end, -1 on error) and the descriptor that came
// with it in *fd (-1 when none).
KEL_PLATFORM_API int64_t recv_with_fd(int sock, void* data, size_t n, int* fd);
// Takes one waiting message of at most 64 bytes off the socket without waiting, and
// closes the descriptor that came with it (the system closes it, in the same call).
KEL_PLATFORM_API void discard_message(int sock);

struct PollFd {
    int fd;
    bool ready = false;  // readable, closed or in error
    bool hangup = false; // poll_readable: the peer shut its side (data may still be unread)
};
// Waits up to ms milliseconds (-1: without limit) for one of them; the number ready,
// 0 at the time-out, -1 when a signal came first. A few descriptors cost no allocation.
KEL_PLATFORM_API int poll_readable(std::span<PollFd> fds, int ms);
// A set to wait on `fds` and on a listening socket that other processes wait on too: a
// connection wakes one of them, where poll wakes every one and all but one then find
// nothing to accept. Its descriptor (close-on-exec), or -1 when the system has none.
KEL_PLATFORM_API int exclusive_wait_set(const std::vector<int>& fds, int listen_fd);
// As poll_readable, on a set of exclusive_wait_set(): `fds` are descriptors of the set.
KEL_PLATFORM_API int wait_set_ready(int set, std::span<PollFd> fds, int ms);

// fork(): 0 in the child, the child's id in the parent, -1 on failure.
KEL_PLATFORM_API int32_t fork_process();
// One ended child without waiting: its id (0 when none has ended, -1 when there are no
// children), its exit code or, when a signal ended it, the signal number.
KEL_PLATFORM_API int32_t reap_child(int* exit_code, int* signal);
KEL_PLATFORM_API void signal_process(int32_t pid, int sig);
constexpr int kSigKill = 9;
constexpr int kSigTerm = 15;
[[noreturn]] KEL_PLATFORM_API void exit_at_once(int code);  // _exit: no flushing, no atexit

// Memory shared with the children forked after it, zero-filled; nullptr on failure.
KEL_PLATFORM_API void* shared_memory(size_t n);
// An anonymous in-memory file, read-write, close-on-exec; -1 on failure.
KEL_PLATFORM_API int memory_file();
// Puts a copy of `from` on descriptor `to` (0 to 2 keep it across exec); false on error.
KEL_PLATFORM_API bool move_to_fd(int from, int to);
// Descriptor 1 (and 0 when `input` is true) onto /dev/null.
KEL_PLATFORM_API void std_fds_to_null(bool input);
// All n bytes to fd (retried on interruption); false with the last error set otherwise.
KEL_PLATFORM_API bool write_all_fd(int fd, const void* data, size_t n);
KEL_PLATFORM_API bool rewind_fd(int fd);
// Runs this program again with the same arguments and `name`=1 added to the environment,
// unless it is already there; returns only when it was there or the exec failed.
KEL_PLATFORM_API void reexec_with_flag(const char* name, char** argv);
// The environment replaced by `entries` ("NAME=value" each, names unique).
KEL_PLATFORM_API void replace_environment(std::vector<std::string> entries);

// The server's signals: SIGTERM and SIGINT, SIGHUP and SIGCHLD set bits that
// take_server_signals() returns and clears; each also makes server_signal_fd() readable.
constexpr unsigned kServerStop = 1, kServerReload = 2, kServerChild = 4;
KEL_PLATFORM_API bool install_server_signals();
KEL_PLATFORM_API int server_signal_fd();
KEL_PLATFORM_API unsigned take_server_signals();
// In a freshly forked worker: the signals back at their defaults (SIGPIPE stays ignored:
// a peer that went away is a failed write), the server's pipe closed.
KEL_PLATFORM_API void reset_server_signals();

}  // namespace kel::platform
