// tarnhost: one CGI request per process. Intake (intake.cpp), then the window and the
// interpreter (binding.cpp); every start-up failure has already written its page.
#include "host/binding.h"
#include "host/intake.h"
#include "host/pages.h"
#include "platform/msgq.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    namespace pf = kel::platform;
    using namespace kel::host;
    pf::process_init(argc, argv);
    pf::install_signal_handlers();
    int32_t code = 0;
    if (intake_start()) {
        if (!register_window_class()) {
            error_page("InitApplication failed", "Tarnwick Error", true);
        } else if (!start_window_and_interpreter()) {
            error_page("InitInstance failed", "Tarnwick Error", true);
        } else {
            code = run_message_loop();
            stop_interpreter();
        }
    }
    intake_finish();
    if (host().exit_code != 0) code = host().exit_code;
    pf::process_exit(code);
}
