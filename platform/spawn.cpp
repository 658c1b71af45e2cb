// Platform layer: starting programs without a shell and collecting their exit codes.
// Finding the program the Windows way (app paths, associations) is the interpreter's.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/request_reset.h"
#include "platform/fileio.h"
#include "platform/internal.h"
#include "platform/process.h"

extern char** environ;

namespace kel::platform {

std::string host_name() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return std::string();
    return std::string(buf);
}

std::vector<std::string> split_command_line(std::string_view text, bool program_first) {
    std::vector<std::string> out;
    size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    auto skip_blanks = [&] {
        while (i < text.size() && blank(text[i])) ++i;
    };
    skip_blanks();
    if (program_first && i < text.size()) {
        std::string prog;
        if (text[i] == '"') {
            size_t close = text.find('"', i + 1);
            prog.assign(text.substr(i + 1, close == std::string_view::npos ? std::string_view::npos : close - i - 1));
            i = close == std::string_view::npos ? text.size() : close + 1;
        } else {
            size_t start = i;
            while (i < text.size() && !blank(text[i])) ++i;
            prog.assign(text.substr(start, i - start));
        }
        out.push_back(std::move(prog));
        skip_blanks();
    }
    while (i < text.size()) {
        std::string word;
        bool quoted = false;
        while (i < text.size() && (quoted || !blank(text[i]))) {
            if (text[i] == '\\') {
                size_t n = 0;
                while (i < text.size() && text[i] == '\\') ++n, ++i;
                if (i < text.size() && text[i] == '"') {
                    word.append(n / 2, '\\');
                    if (n % 2) {
                        word += '"';
                        ++i;
                    }
                } else {
                    word.append(n, '\\');
                }
            } else if (text[i] == '"') {
                if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                    word += '"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                word += text[i++];
            }
        }
        out.push_back(std::move(word));
        skip_blanks();
    }
    return out;
}

int32_t spawn_process(const char* program, const std::vector<std::string>& argv, const char* dir) {
    // The program may outlive the request, and its end is this process's to collect.
    mark_process_spent("a program was started");
    // What the response has so far goes before anything the program writes.
    detail::flush_std_output_buffer();
    if (!program || !*program) {
        set_last_error(2);
        return 0;
    }
    std::string n = normalize_path(program);
    std::string path = n.find('/') == std::string::npos ? search_path(n.c_str()) : resolve_path(n);
    if (path.empty()) {
        set_last_error(2);
        return 0;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        detail::set_error_from_errno();
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        set_last_error(5);
        return 0;
    }
    std::string cwd;
    if (dir && *dir) {
        cwd = resolve_path(dir);
        if (stat(cwd.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            set_last_error(267);
            return 0;
        }
    }

    std::vector<char*> args;
    std::string self = path;
    if (argv.empty()) args.push_back(self.data());
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The child gets our environment less HTTP_PROXY: under CGI that variable is the
    // request's "Proxy:" header, and many programs would take it as their outbound proxy.
    std::vector<char*> envp;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "HTTP_PROXY=", 11) != 0) envp.push_back(*e);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    // The child must neither write into the response nor hold the CGI pipes open, nor
    // read the rest of the request body; nothing else we hold open reaches it either.
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    // Ignored SIGPIPE and our handlers would otherwise carry over into the child.
    sigset_t def, none;
    sigemptyset(&def);
    for (int s : {SIGPIPE, SIGTERM, SIGHUP, SIGINT, SIGCHLD, SIGALRM}) sigaddset(&def, s);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &def);
    posix_spawnattr_setsigmask(&attr, &none);
    // A session of its own: a child may outlive the request, and the signals the web
    // server sends to the request's process group must not reach it.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &fa, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        set_last_error(rc == ENOEXEC ? 193 : error_from_errno(rc));
        return 0;
    }
    return static_cast<int32_t>(pid);
}

bool child_finished(int32_t pid, int32_t* exit_code) {
    if (pid <= 0) {
        if (exit_code) *exit_code = -1;
        set_last_error(6);
        return true;
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    int32_t code = -1;
    if (r < 0) {
        set_last_error(6);
    } else if (WIFEXITED(status)) {
        code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        code = 128 + WTERMSIG(status);
    }
    if (exit_code) *exit_code = code;
    return true;
}

}  // namespace kel::platform
