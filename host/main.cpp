// tarnhost: one CGI request per process. Intake (intake.cpp), then the window and the
// interpreter (binding.cpp); every start-up failure has already written its page.
#include "host/binding.h"
#include "platform/msgq.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    namespace pf = kel::platform;
    pf::keep_memory_until_exit();
    pf::process_init(argc, argv);
    pf::install_signal_handlers();
    pf::process_exit(kel::host::host_main());
}
