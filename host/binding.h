// The hidden window, loading and binding KELRUN32, the instance's start and release,
// the run-request handler and the time-out. Request state is intake.h's.
#pragma once
#include <cstdint>
#include <string>
#include "shared/abi.h"

KEL_EXPORT intptr_t MainWndProc(kel::Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam);

namespace kel::host {

constexpr const char* kWindowClass = "Tarnwick96";
constexpr uint32_t kVarTableCapacity = 2000;
constexpr size_t kRegionSize = 0x6400000;
constexpr size_t kCommitSize = 65500;
constexpr uintptr_t kTimeoutTimer = 1;

bool register_window_class();
// The whole request after process start: intake, window class, window and interpreter,
// the run, shutdown. The request's state (intake.h's HostState) is made here and handed
// to each of them. Returns the exit code (0 after a start-up failure, whose page is
// written and logged). With `process_continues` (a reused FastCGI worker) the instance's
// memory and the library handle are released too, and what the process keeps between
// requests is left for host_reset_for_next_request().
int32_t host_main(bool process_continues = false);
// Between two requests of a reused worker: the process as at its start. False
// when the process must not serve another request (platform/request_reset.h), with the
// reason in `why`.
bool host_reset_for_next_request(std::string* why);
struct HostState;

// Creates the window, loads the library, starts the instance, gives the initial services
// and posts the run request. False after an error page (everything acquired released).
bool start_window_and_interpreter(HostState& h);
// Start-up result of the instance: -1 success, else the failure code (33 to 43, or the
// system error of a library that did not load).
int start_instance(HostState& h);
// Runs the message loop; returns its quit code.
int run_message_loop();
// Reports a pending interpreter error and releases the instance (its files, libraries and
// variables) and the library. With `process_ends` the memory blocks, the heap region and
// the library stay mapped: the process is about to end, and unmapping pages that the
// kernel is about to drop anyway is only work.
void stop_interpreter(HostState& h, bool process_ends = false);

// For long host work (large uploads and downloads), between blocks: serves the pending
// messages (the time-out timer, a termination request) and tells whether the script has
// been stopped.
bool script_cancelled(const HostState& h);

// websettimeout: changes the time-out (0 stops the timer) and returns the previous one.
uint32_t set_timeout(HostState& h, uint32_t seconds);
// DLLServices for the web functions; 0 when no instance is running.
intptr_t call_service(int32_t code, const char* s1, const char* s2, intptr_t n, intptr_t p);

}  // namespace kel::host
