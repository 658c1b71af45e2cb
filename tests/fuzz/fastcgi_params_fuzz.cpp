// libFuzzer target: arbitrary bytes as what a web server sends a FastCGI worker, read the
// way the worker reads them (libfcgi's record reader on an already accepted connection),
// then the params turned into the environment. Invariants: every entry is NAME=value
// with a non-empty name, names are unique, FCGI_ROLE never appears, and each entry came
// from the params. Run with -detect_leaks=0: libfcgi itself keeps 48 bytes of some
// malformed management records (the worker bounds that by ending after 1,000 such
// connections).
#include <fcgiapp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "host/fastcgi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = FCGX_Init() == 0;
    if (!ready || size > 60000) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int buf = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    if (size && write(sv[0], data, size) != static_cast<ssize_t>(size)) abort();
    shutdown(sv[0], SHUT_WR);
    FCGX_Request req;
    FCGX_InitRequest(&req, -1, FCGI_FAIL_ACCEPT_ON_INTR);
    req.ipcFd = sv[1];
    req.keepConnection = 1;
    if (FCGX_Accept_r(&req) == 0) {
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
        req.keepConnection = 0;
        FCGX_Finish_r(&req);
    } else {
        FCGX_Free(&req, 1);
    }
    close(sv[0]);
    if (req.ipcFd >= 0) close(req.ipcFd);
    return 0;
}
