// tarnhost: one CGI request per process. Intake (intake.cpp), then the window and the
// interpreter (binding.cpp); every start-up failure has already written its page.
#include "host/binding.h"
#include "host/fastcgi.h"
#include "platform/msgq.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    namespace pf = kel::platform;
    pf::keep_memory_until_exit();
    pf::process_init(argc, argv);
    // Started as a FastCGI server (fastcgi.h): it runs every request itself.
    if (int code = kel::host::fastcgi::start_if_fastcgi(argc, argv); code >= 0) pf::process_exit(code);
    pf::install_signal_handlers();
    pf::process_exit(kel::host::host_main());
}
