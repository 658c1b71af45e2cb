// Builtins that start other programs: the run family, through one start routine. The
// platform starts the program without a shell; the window state is accepted and ignored.
#include <string>
#include <vector>

#include "interp/api/builtin.h"
#include "platform/errors.h"
#include "platform/msgq.h"
#include "platform/process.h"
#include "interp/base/messages.h"

namespace kel::lib {

namespace pf = kel::platform;

namespace {

constexpr int32_t kNoWait = 33;
constexpr int32_t kWait = 34;
constexpr int32_t kGetProcId = 35;
constexpr int32_t kGetExitCode = 36;

constexpr int32_t kDisplayIcon = 1;
constexpr int32_t kDisplayNormal = 2;
constexpr int32_t kDisplayZoomed = 3;
constexpr int32_t kDisplayNoActivate = 4;
constexpr int32_t kDisplayHidden = -1;  // @hidden; 255 is read the same way

constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;

// How often a waiting script looks at the child when no event wakes it earlier.
constexpr int64_t kWaitSliceMs = 20;

bool display_ok(int32_t d) {
    return d == kDisplayIcon || d == kDisplayNormal || d == kDisplayZoomed || d == kDisplayNoActivate ||
           d == kDisplayHidden || d == 255;
}

// The command line is the program (in double quotes unless it starts with one), a blank
// and the parameters; it is split back into argv by the Windows rules, never handed to
// a shell. `quote` false gives the unquoted form, in which the program ends at a blank.
std::vector<std::string> command_words(std::string_view program, std::string_view params, bool quote) {
    std::string line;
    if (quote && (program.empty() || program.front() != '"')) {
        line += '"';
        line.append(program);
        line += '"';
    } else {
        line.append(program);
    }
    if (!params.empty()) {
        line += ' ';
        line.append(params);
    }
    return pf::split_command_line(line, true);
}

int32_t spawn_words(const std::vector<std::string>& words, const std::string& dir) {
    if (words.empty() || words[0].empty()) {
        pf::set_last_error(kFileNotFound);
        return 0;
    }
    return pf::spawn_process(words[0].c_str(), words, dir.c_str());
}

// Waits for the child through the wait primitive, pumping messages so that the host's
// time-out still reaches the script. False when the script was stopped first (the child
// goes on running in its own session).
bool wait_child(Instance& inst, int32_t pid, int32_t* code) {
    for (;;) {
        if (pf::child_finished(pid, code)) return true;
        pf::pump_messages();
        if (inst.stop_requested) return false;
        pf::wait_for_event(kWaitSliceMs);
    }
}

// The one start routine behind every run function.
void start(Call& c, std::string_view program, std::string_view params, std::string_view dir, int32_t display,
           int32_t wait) {
    if (wait != kNoWait && wait != kWait && wait != kGetProcId && wait != kGetExitCode) {
        c.fail(Err::ExecuteBadWait);
        return;
    }
    if (!display_ok(display)) {
        c.fail(Err::ExecuteBadDisplay);
        return;
    }
    std::string cwd(dir);
    int32_t pid = spawn_words(command_words(program, params, true), cwd);
    uint32_t err = pid ? 0 : pf::last_error();
    // "prog arg" given as the program: try again with the program ending at its first blank.
    if (!pid && (err == kFileNotFound || err == kPathNotFound) && !program.empty() && program.front() != '"') {
        pid = spawn_words(command_words(program, params, false), cwd);
        if (!pid && pf::last_error() != kFileNotFound && pf::last_error() != kPathNotFound) err = pf::last_error();
    }
    // There are no file associations or shortcuts to fall back on.
    if (!pid) {
        c.fail(Err::WinExecFailed).info(interp::fill_message(Err::InfoWinExec, pf::error_text(err)));
        return;
    }
    if (wait == kGetProcId) {
        c.ret_int(pid);
        return;
    }
    int32_t code = 0;
    if (wait == kWait || wait == kGetExitCode) {
        if (!wait_child(c.inst, pid, &code)) {
            c.ret_int(0);  // the stop flag ends the script after this call
            return;
        }
    }
    c.ret_int(wait == kGetExitCode ? code : 1);
}

// run(program, parameters), and the fixed display and wait forms beside it.
void run_fn(Call& c) { start(c, c.str(1), c.str(2), "", kDisplayNormal, kNoWait); }
void runwait_fn(Call& c) { start(c, c.str(1), c.str(2), "", kDisplayNormal, kWait); }
void runhide_fn(Call& c) { start(c, c.str(1), c.str(2), "", kDisplayHidden, kNoWait); }
void runhidewait_fn(Call& c) { start(c, c.str(1), c.str(2), "", kDisplayHidden, kWait); }
void runicon_fn(Call& c) { start(c, c.str(1), c.str(2), "", kDisplayIcon, kNoWait); }
void runiconwait_fn(Call& c) { start(c, c.str(1), c.str(2), "", kDisplayIcon, kWait); }
void runzoom_fn(Call& c) { start(c, c.str(1), c.str(2), "", kDisplayZoomed, kNoWait); }
void runzoomwait_fn(Call& c) { start(c, c.str(1), c.str(2), "", kDisplayZoomed, kWait); }

// runshell(program, parameters, directory, display, wait)
void runshell_fn(Call& c) { start(c, c.str(1), c.str(2), c.str(3), c.integer(4), c.integer(5)); }

// runenviron(program, parameters, display, wait): the child inherits what environset set.
void runenviron_fn(Call& c) { start(c, c.str(1), c.str(2), "", c.integer(3), c.integer(4)); }

// runwithlogon(program, parameters, directory, display, wait, user, domain, password, flags):
// there is no logon service to start a program as another user.
void runwithlogon_fn(Call& c) { c.fail(Err::LogonUnsupported); }

// runexit(program, parameters)
void runexit_fn(Call& c) { c.fail(Err::RunExitUnsupported); }

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kRunBuiltins[] = {
    {"run", run_fn},
    {"runenviron", runenviron_fn},
    {"runexit", runexit_fn},
    {"runhide", runhide_fn},
    {"runhidewait", runhidewait_fn},
    {"runicon", runicon_fn},
    {"runiconwait", runiconwait_fn},
    {"runshell", runshell_fn},
    {"runwait", runwait_fn},
    {"runwithlogon", runwithlogon_fn},
    {"runzoom", runzoom_fn},
    {"runzoomwait", runzoomwait_fn},
};

}  // namespace

KEL_BUILTIN_FAMILY(kRunBuiltins)

}  // namespace kel::lib
