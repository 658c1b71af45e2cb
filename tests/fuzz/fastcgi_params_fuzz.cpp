// libFuzzer target: arbitrary bytes as what a web server sends a FastCGI worker, read the
// way the worker reads them (libfcgi's record reader on an already accepted connection),
// then the params turned into the environment. Invariants: every entry is NAME=value
// with a non-empty name, names are unique, FCGI_ROLE never appears, and each entry came
// from the params. Run with ASAN_OPTIONS=detect_leaks=0: libfcgi itself keeps 48 bytes of some
// malformed management records (the worker bounds that by ending after 1,000 such
// connections). Seeds: tests/fuzz/fastcgi_seeds (a GET, a POST, odd names).
#include <fcgiapp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>
#include <string>

#include "host/fastcgi.h"

// libfcgi allocates a param's name and value lengths added up in an int and asserts the
// allocation succeeded: lengths near 2 GiB abort the process reading them. In the server
// that is one worker, whose request gets the supervisor's 500 page; here such inputs are
// left out so that the fuzzer keeps going past them.
// libfcgi reads a begin record's body without skipping its padding, so the records after
// a padded begin record are looked at both ways.
static bool has_huge_param(const uint8_t* data, size_t size, bool begin_padding = true) {
    if (begin_padding && has_huge_param(data, size, false)) return true;
    std::string params;
    for (size_t i = 0; i + 8 <= size;) {
        size_t n = size_t{data[i + 4]} << 8 | data[i + 5], pad = data[i + 6];
        if (data[i + 1] == 1 && !begin_padding) pad = 0;
        if (data[i + 1] == 4) params.append(reinterpret_cast<const char*>(data + i + 8), std::min(n, size - i - 8));
        i += 8 + n + pad;
    }
    auto len = [&](size_t& at) -> uint64_t {
        if (at >= params.size()) return 0;
        uint8_t b = static_cast<uint8_t>(params[at]);
        if (b < 0x80) return ++at, b;
        if (at + 4 > params.size()) return at = params.size(), 0;
        uint64_t v = (uint64_t{b} & 0x7F) << 24 | uint64_t{static_cast<uint8_t>(params[at + 1])} << 16 |
                     uint64_t{static_cast<uint8_t>(params[at + 2])} << 8 | static_cast<uint8_t>(params[at + 3]);
        at += 4;
        return v;
    };
    for (size_t at = 0; at < params.size();) {
        uint64_t name = len(at), value = len(at);
        if (name + value > (1u << 30)) return true;
        at += static_cast<size_t>(std::min<uint64_t>(name + value, params.size() - at));
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = signal(SIGPIPE, SIG_IGN) != SIG_ERR && FCGX_Init() == 0;
    if (!ready || size > 60000 || has_huge_param(data, size)) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int buf = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    if (size && write(sv[0], data, size) != static_cast<ssize_t>(size)) abort();
    close(sv[0]);  // the client is gone: libfcgi reads what it sent, then the end
    // Request after request while the begin records ask to keep the connection, as a
    // worker reads them: the rest of each request's input read, its end sent, the next
    // request read from the same connection.
    int fd = sv[1];
    for (int n = 0; n < 8 && fd >= 0; ++n) {
        FCGX_Request req;
        FCGX_InitRequest(&req, -1, FCGI_FAIL_ACCEPT_ON_INTR);
        req.ipcFd = fd;
        req.keepConnection = 1;
        if (FCGX_Accept_r(&req) != 0) {
            FCGX_Free(&req, 1);
            fd = req.ipcFd;
            break;
        }
        std::set<std::string> given;
        for (char** p = req.envp; p && *p; ++p) given.insert(*p);
        std::set<std::string> names;
        for (const std::string& e : kel::host::fastcgi::params_to_environment(req.envp)) {
            size_t eq = e.find('=');
            if (eq == std::string::npos || eq == 0) abort();
            if (!names.insert(e.substr(0, eq)).second) abort();
            if (e.substr(0, eq) == "FCGI_ROLE") abort();
            if (!given.count(e)) abort();
        }
        char body[4096];
        while (FCGX_GetStr(body, sizeof body, req.in) > 0) {
        }
        bool kept = req.keepConnection && FCGX_GetError(req.in) == 0;
        req.keepConnection = kept;
        FCGX_Finish_r(&req);
        fd = req.ipcFd;  // -1 once libfcgi closed it
    }
    if (fd >= 0) close(fd);
    return 0;
}
