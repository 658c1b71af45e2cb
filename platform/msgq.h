// The per-process message queue: windows are records with a window procedure; messages
// are posted, sent, taken and dispatched; timers run on the monotonic clock with at most
// one pending timer message per timer. SIGTERM, SIGHUP and SIGINT become
// WM_QUERYENDSESSION posted to every window; SIGPIPE is ignored.
#pragma once
#include "platform/api.h"

namespace kel::platform {

using Hwnd = uint32_t;
using WndProc = intptr_t (*)(Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam);

constexpr uint32_t WM_NULL = 0x0000;
constexpr uint32_t WM_CREATE = 0x0001;
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_QUERYENDSESSION = 0x0011;
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;

struct Msg {
    Hwnd hwnd;
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
};

// Window classes: name -> procedure. Registering an existing class fails (false).
KEL_PLATFORM_API bool register_class(const char* name, WndProc proc);
KEL_PLATFORM_API bool unregister_class(const char* name);
// Creates a (never shown) window of a registered class; sends WM_CREATE; 0 on failure.
KEL_PLATFORM_API Hwnd create_window(const char* class_name, const char* title, Hwnd parent);
// Sends WM_DESTROY, kills the window's timers, drops its queued messages.
KEL_PLATFORM_API bool destroy_window(Hwnd w);
KEL_PLATFORM_API bool is_window(Hwnd w);
KEL_PLATFORM_API Hwnd window_parent(Hwnd w);
// GetWindowText: the title, cut to out_cap - 1 bytes and NUL-terminated; its length, 0
// for no such window.
KEL_PLATFORM_API size_t window_text(Hwnd w, char* out, size_t out_cap);
KEL_PLATFORM_API intptr_t default_window_proc(Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam);

KEL_PLATFORM_API bool post_message(Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam);
KEL_PLATFORM_API intptr_t send_message(Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam);
KEL_PLATFORM_API void post_quit_message(int code);
// Blocks until a message is available (posted, a due timer, or a signal). Returns false
// for WM_QUIT (its code in msg->wparam).
KEL_PLATFORM_API bool get_message(Msg* msg);
// Non-blocking; `remove` takes the message off the queue.
KEL_PLATFORM_API bool peek_message(Msg* msg, bool remove);
KEL_PLATFORM_API intptr_t dispatch_message(const Msg* msg);
// Dispatches everything that is due now (quit messages are put back and reported).
// Costs one clock read when nothing is pending. Returns false when a quit is pending.
KEL_PLATFORM_API bool pump_messages();

// Timers: WM_TIMER with wparam = id every `ms` milliseconds.
KEL_PLATFORM_API bool set_timer(Hwnd w, uintptr_t id, uint32_t ms);
KEL_PLATFORM_API bool kill_timer(Hwnd w, uintptr_t id);

// The one wait primitive: sleeps up to `ms` milliseconds (-1 = no limit), returning early
// when a message is posted, a timer falls due, a signal arrives or a child exits.
// Returns true when it returned early for one of those reasons.
KEL_PLATFORM_API bool wait_for_event(int64_t ms);

// True when an end-of-session signal (SIGTERM, SIGHUP, SIGINT) has arrived and no
// message loop has taken it yet.
KEL_PLATFORM_API bool end_session_pending();
// Waits up to `ms` milliseconds (-1 = no limit) for descriptor `fd` to be readable (or at
// its end), returning early for an end-of-session signal: 1 readable, 0 time-out,
// -1 end of session.
KEL_PLATFORM_API int wait_readable_or_end_session(int fd, int64_t ms);

// Installs the signal handling above (idempotent). SIGCHLD then also wakes the wait.
KEL_PLATFORM_API void install_signal_handlers();

// Last resort for a script that does not stop after being cancelled (stuck in a native
// call): unless watchdog_disarm() or another watchdog_arm() comes first, after `ms`
// milliseconds a timer signal interrupts the process, calls `on_expire` (write the log
// entry there; it runs in the signal handler on top of whatever was stuck, so wait for
// nothing the interrupted code may hold), then flushes stdio and ends the process with
// _exit(exit_code & 0xFF), at the latest 5 seconds after `on_expire` began. No thread is
// started; the timer and its SIGALRM handler exist from the first arm on.
KEL_PLATFORM_API void watchdog_arm(uint32_t ms, void (*on_expire)(), int exit_code = 0);
// Stops the timer (one call).
KEL_PLATFORM_API void watchdog_disarm();
// At the end of a request: as watchdog_disarm(), except that a process serving many
// requests (request_baseline() taken) makes no call: the timer may still expire, and then
// only interrupts a wait; the next arm sets it again.
KEL_PLATFORM_API void watchdog_stand_down();

}  // namespace kel::platform
