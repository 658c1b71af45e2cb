// The FastCGI start: no CGI environment, and either descriptor 0 is a listening socket
// (spawn-fcgi, a web server's bin-path, socket activation) or --fastcgi= names where to
// listen. Only then is libkelfcgi.so loaded: a CGI start pays one environment lookup.
#include <string>

#include "host/binding.h"
#include "host/fastcgi.h"
#include "host/intake.h"
#include "platform/dynlib.h"
#include "platform/msgq.h"
#include "platform/process.h"
#include "platform/server.h"

namespace kel::host::fastcgi {

namespace pf = kel::platform;

namespace {

int run_request(bool process_continues) {
    pf::install_signal_handlers();
    return host_main(process_continues);
}

bool reset_request(std::string* why) { return host_reset_for_next_request(why); }

void preload() {
    std::string own = pf::program_dir() + "/libkelrun32.so";
    if (!pf::lib_load(own.c_str())) pf::lib_load("libkelrun32.so");
}

void warn(const char* text) { pf::message_box(text, "Tarnwick FastCGI", pf::kMbOk); }

constexpr Hooks kHooks = {kHooksVersion, &run_request, &reset_request, &content_to_read_for_request, &preload, &warn};

}  // namespace

int start_if_fastcgi(int argc, char** argv) {
    if (pf::env_get("REQUEST_METHOD", nullptr) || pf::env_get("GATEWAY_INTERFACE", nullptr)) return -1;
    Address address;
    // "--fastcgi" in any form is this argument: what does not parse is refused.
    if (argc > 1 && std::string_view(argv[1]).substr(0, 9) == "--fastcgi") {
        std::string error;
        if (!parse_address(argv[1], &address, &error)) {
            pf::message_box(error.c_str(), "Tarnwick FastCGI", pf::kMbOk);
            return 2;
        }
    } else if (!pf::is_listening_socket(0)) {
        return -1;
    }
    // Workers are forked from this process: symbols bound once here are bound in all of
    // them, instead of each worker resolving the same ones again on first call.
    pf::reexec_with_flag("LD_BIND_NOW", argv);
    std::string path = pf::program_dir() + "/" + kLibraryName;
    void* lib = pf::lib_load(path.c_str());
    auto entry = lib ? reinterpret_cast<EntryFn>(pf::lib_symbol(lib, kEntryName)) : nullptr;
    if (!entry) {
        std::string text = path + " could not be loaded: FastCGI is not available";
        pf::message_box(text.c_str(), "Tarnwick FastCGI", pf::kMbOk);
        return 1;
    }
    return entry(&kHooks, &address);
}

}  // namespace kel::host::fastcgi
