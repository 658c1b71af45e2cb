// tarnhost as a FastCGI server. The start-up check and the rules (the --fastcgi
// argument, the FastCGI settings, request params -> environment) are in tarnhost;
// the server itself (supervisor, workers, the protocol through libfcgi) is in
// libkelfcgi.so, loaded only when the process was started the FastCGI way.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel::host::fastcgi {

// Where to listen: the inherited descriptor 0, a Unix socket path or 127.0.0.1:port.
struct Address {
    enum Kind { Inherited, Unix, Tcp } kind = Inherited;
    std::string path;  // Unix
    int port = 0;      // Tcp, 1 to 65535
};

constexpr std::string_view kArgPrefix = "--fastcgi=";
// Reads "--fastcgi=unix:PATH" or "--fastcgi=tcp:127.0.0.1:PORT". False with `*error`
// for anything else (other addresses, a port out of range, an empty or relative path).
bool parse_address(std::string_view arg, Address* out, std::string* error);

// Section [FastCGI] of TARNWICK.INI, each value read by the profile's integer rule and
// clamped to its range (a warning names the value that was out of range).
struct Settings {
    int workers = 4;                     // Workers: 1 to 256
    int max_requests_per_worker = 1000;  // MaxRequestsPerWorker: 1 to 100000
    int request_time_limit = 180;        // RequestTimeLimit: seconds, 1 to 86400
    int listen_backlog = 128;            // ListenBacklog: 1 to 65535
    int kept_connection_idle = 75;       // KeptConnectionIdle: seconds, 1 to 86400
};
constexpr const char* kSection = "FastCGI";
inline const std::vector<const char*> kSettingKeys = {"Workers", "MaxRequestsPerWorker", "RequestTimeLimit",
                                                      "ListenBacklog", "KeptConnectionIdle"};
// `values` holds the keys' values in kSettingKeys order ("" for a missing key).
Settings settings_from(const std::vector<std::string>& values, std::vector<std::string>* warnings);

// The request's params as "NAME=value" environment entries: entries without "=" or
// with an empty name are dropped, and so is FCGI_ROLE (the library adds it; a CGI
// program never sees it); a later entry replaces an earlier one of that name.
std::vector<std::string> params_to_environment(const char* const* params);

// What tarnhost hands the server; the server calls back for each request.
struct Hooks {
    int version;
    // The CGI request path with the environment, input and output set up; its exit code.
    // With `process_continues` the process serves more requests after this one.
    int (*run_request)(bool process_continues);
    // After a request of a reused worker: the process state as before it; false when the
    // process must not serve another (then `why` is set).
    bool (*reset_request)(std::string* why);
    // Bytes of posted content the CGI path reads for the request in the environment.
    uint64_t (*content_to_read)();
    // Loads the interpreter library so that forked workers find it mapped.
    void (*preload)();
    void (*warn)(const char* text);
};
constexpr int kHooksVersion = 2;
constexpr const char* kEntryName = "kel_fastcgi_main";
constexpr const char* kLibraryName = "libkelfcgi.so";
using EntryFn = int (*)(const Hooks* hooks, const Address* address);

// tarnhost's check at start: -1 when the process is not a FastCGI start (carry on with
// CGI, file or local mode), else the exit code of the server or of a refused argument.
int start_if_fastcgi(int argc, char** argv);

}  // namespace kel::host::fastcgi
