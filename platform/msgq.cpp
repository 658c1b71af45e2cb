// Platform layer: the per-process message queue, windows, timers, the wait primitive and
// the signals that become window messages. The host's window procedure and run loop are
// in host/; the interpreter only pumps and waits through here.
#include "platform/msgq.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <strings.h>
#include <string>
#include <vector>

#include "platform/internal.h"

namespace kel::platform {

namespace {

struct WindowClass {
    std::string name;
    WndProc proc;
};

struct Window {
    Hwnd id;
    WndProc proc;
    std::string title;
    Hwnd parent;
};

struct Timer {
    Hwnd hwnd;
    uintptr_t id;
    uint64_t interval_ns;
    uint64_t due_ns;
};

struct Queue {
    std::vector<WindowClass> classes;
    std::vector<Window> windows;
    Hwnd next_hwnd = 1;
    std::deque<Msg> posted;
    std::vector<Timer> timers;
    uint64_t next_due_ns = UINT64_MAX;  // earliest timer deadline, UINT64_MAX when none
    bool quit = false;
    int quit_code = 0;
};

Queue*& queue_ptr() {
    static Queue* q = new Queue;
    return q;
}

Queue& queue() { return *queue_ptr(); }

// Written from signal handlers; everything else happens on the one thread.
volatile sig_atomic_t g_end_session = 0;
std::atomic<int> g_pipe_read{-1};
std::atomic<int> g_pipe_write{-1};
// Set after each wake-up byte is written: the reset between two requests reads the pipe
// empty only when one may be waiting there (a wait that wakes empties it as well).
std::atomic<int> g_pipe_written{0};
bool g_handlers_installed = false;

// 10 ms is the shortest period the original timer service honours.
constexpr uint32_t kMinTimerMs = 10;

uint64_t now_ns() {
    timespec ts;
    detail::read_clock(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void ensure_pipe() {
    if (g_pipe_read.load() >= 0) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    g_pipe_write.store(fds[1]);
    g_pipe_read.store(fds[0]);
}

void drain_pipe() {
    int fd = g_pipe_read.load();
    if (fd < 0) return;
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

void on_end_signal(int) {
    g_end_session = 1;
    detail::wake_waiters();
}

void on_child_signal(int) { detail::wake_waiters(); }

Window* find_window(Hwnd w) {
    if (w == 0) return nullptr;
    for (Window& win : queue().windows)
        if (win.id == w) return &win;
    return nullptr;
}

void recompute_deadline() {
    Queue& q = queue();
    q.next_due_ns = UINT64_MAX;
    for (const Timer& t : q.timers)
        if (t.due_ns < q.next_due_ns) q.next_due_ns = t.due_ns;
}

// Turns a signal seen since the last look into end-of-session messages.
void take_signals() {
    if (!g_end_session) return;
    g_end_session = 0;
    Queue& q = queue();
    for (const Window& w : q.windows) q.posted.push_back(Msg{w.id, WM_QUERYENDSESSION, 0, 0});
}

// The next message in the original's order: posted messages, then the quit, then the
// earliest due timer. A timer message is made when it is taken, which is what keeps at
// most one per timer pending however long nobody looked.
bool next_message(Msg* msg, bool remove, uint64_t now) {
    take_signals();
    Queue& q = queue();
    if (!q.posted.empty()) {
        *msg = q.posted.front();
        if (remove) q.posted.pop_front();
        return true;
    }
    if (q.quit) {
        *msg = Msg{0, WM_QUIT, static_cast<uintptr_t>(static_cast<intptr_t>(q.quit_code)), 0};
        if (remove) q.quit = false;
        return true;
    }
    if (q.next_due_ns > now) return false;
    Timer* due = nullptr;
    for (Timer& t : q.timers)
        if (t.due_ns <= now && (!due || t.due_ns < due->due_ns)) due = &t;
    if (!due) return false;
    *msg = Msg{due->hwnd, WM_TIMER, due->id, 0};
    if (remove) {
        due->due_ns = now + due->interval_ns;
        recompute_deadline();
    }
    return true;
}

bool anything_ready(uint64_t now) {
    Queue& q = queue();
    return g_end_session || !q.posted.empty() || q.quit || q.next_due_ns <= now;
}

// Sleeps in poll() on the self-pipe up to `ms` (-1 = no limit) or the next timer.
// True when woken by the pipe or a signal, or when a timer fell due.
bool block(int64_t ms) {
    ensure_pipe();
    Queue& q = queue();
    uint64_t start = now_ns();
    uint64_t limit = ms < 0 ? UINT64_MAX : start + static_cast<uint64_t>(ms) * 1000000u;
    uint64_t until = q.next_due_ns < limit ? q.next_due_ns : limit;
    int timeout = -1;
    if (until != UINT64_MAX) {
        uint64_t left = until > start ? until - start : 0;
        uint64_t left_ms = (left + 999999u) / 1000000u;  // round up so that the deadline has passed on return
        timeout = left_ms > INT_MAX ? INT_MAX : static_cast<int>(left_ms);
    }
    int fd = g_pipe_read.load();
    pollfd pfd{fd, POLLIN, 0};
    int r = poll(&pfd, fd >= 0 ? 1 : 0, timeout);
    if (r > 0) {
        drain_pipe();
        return true;
    }
    if (r < 0) return errno == EINTR;
    return q.next_due_ns <= now_ns();
}

}  // namespace

namespace detail {
bool is_platform_fd(int fd) { return fd >= 0 && (fd == g_pipe_read.load() || fd == g_pipe_write.load()); }

// Windows, classes, timers and posted messages go; ids start again at 1.
void reset_message_queue() {
    delete &queue();
    queue_ptr() = new Queue;
    g_end_session = 0;
    if (g_pipe_written.exchange(0)) drain_pipe();
    watchdog_stand_down();
}

void wake_waiters() {
    int saved = errno;
    int fd = g_pipe_write.load();
    if (fd >= 0) {
        char c = 1;
        ssize_t ignored = write(fd, &c, 1);  // a full pipe already wakes the reader
        (void)ignored;
        g_pipe_written.store(1);
    }
    errno = saved;
}
}  // namespace detail

bool register_class(const char* name, WndProc proc) {
    if (!name || !*name || !proc) return false;
    for (const WindowClass& c : queue().classes)
        if (strcasecmp(c.name.c_str(), name) == 0) return false;
    queue().classes.push_back(WindowClass{name, proc});
    return true;
}

bool unregister_class(const char* name) {
    if (!name) return false;
    auto& classes = queue().classes;
    for (size_t i = 0; i < classes.size(); ++i) {
        if (strcasecmp(classes[i].name.c_str(), name) != 0) continue;
        for (const Window& w : queue().windows)
            if (w.proc == classes[i].proc) return false;  // still in use, as the original refuses
        classes.erase(classes.begin() + static_cast<long>(i));
        return true;
    }
    return false;
}

Hwnd create_window(const char* class_name, const char* title, Hwnd parent) {
    if (!class_name) return 0;
    Queue& q = queue();
    WndProc proc = nullptr;
    for (const WindowClass& c : q.classes)
        if (strcasecmp(c.name.c_str(), class_name) == 0) proc = c.proc;
    if (!proc || (parent != 0 && !find_window(parent))) return 0;
    Hwnd id = q.next_hwnd++;
    if (q.next_hwnd == 0) q.next_hwnd = 1;
    q.windows.push_back(Window{id, proc, title ? title : "", parent});
    // A window procedure answering WM_CREATE with -1 refuses the window.
    if (proc(id, WM_CREATE, 0, 0) == -1) {
        destroy_window(id);
        return 0;
    }
    return id;
}

bool destroy_window(Hwnd w) {
    Window* win = find_window(w);
    if (!win) return false;
    WndProc proc = win->proc;
    proc(w, WM_DESTROY, 0, 0);
    Queue& q = queue();
    std::vector<Hwnd> children;
    for (const Window& c : q.windows)
        if (c.parent == w) children.push_back(c.id);
    for (Hwnd c : children) destroy_window(c);
    for (size_t i = 0; i < q.windows.size(); ++i) {
        if (q.windows[i].id == w) {
            q.windows.erase(q.windows.begin() + static_cast<long>(i));
            break;
        }
    }
    for (size_t i = q.timers.size(); i-- > 0;)
        if (q.timers[i].hwnd == w) q.timers.erase(q.timers.begin() + static_cast<long>(i));
    recompute_deadline();
    for (auto it = q.posted.begin(); it != q.posted.end();) it = it->hwnd == w ? q.posted.erase(it) : it + 1;
    return true;
}

bool is_window(Hwnd w) { return find_window(w) != nullptr; }

Hwnd window_parent(Hwnd w) {
    Window* win = find_window(w);
    return win ? win->parent : 0;
}

size_t window_text(Hwnd w, char* out, size_t out_cap) {
    Window* win = find_window(w);
    if (!win || !out || out_cap == 0) return 0;
    size_t n = win->title.size() < out_cap - 1 ? win->title.size() : out_cap - 1;
    std::memcpy(out, win->title.data(), n);
    out[n] = '\0';
    return n;
}

intptr_t default_window_proc(Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    // Ending the session is allowed unless the window says otherwise.
    if (msg == WM_QUERYENDSESSION) return 1;
    return 0;
}

bool post_message(Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    if (w != 0 && !find_window(w)) return false;
    queue().posted.push_back(Msg{w, msg, wparam, lparam});
    return true;
}

intptr_t send_message(Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    Window* win = find_window(w);
    if (!win) return 0;
    WndProc proc = win->proc;  // the procedure may destroy its window; keep nothing else
    return proc(w, msg, wparam, lparam);
}

void post_quit_message(int code) {
    Queue& q = queue();
    q.quit = true;
    q.quit_code = code;
}

bool get_message(Msg* msg) {
    Msg m{};
    for (;;) {
        if (next_message(&m, true, queue().next_due_ns == UINT64_MAX ? 0 : now_ns())) break;
        block(-1);
    }
    if (msg) *msg = m;
    return m.message != WM_QUIT;
}

bool peek_message(Msg* msg, bool remove) {
    Msg m{};
    if (!next_message(&m, remove, queue().next_due_ns == UINT64_MAX ? 0 : now_ns())) return false;
    if (msg) *msg = m;
    return true;
}

intptr_t dispatch_message(const Msg* msg) {
    if (!msg) return 0;
    Window* win = find_window(msg->hwnd);
    if (!win) return 0;
    WndProc proc = win->proc;
    return proc(msg->hwnd, msg->message, msg->wparam, msg->lparam);
}

bool pump_messages() {
    Queue& q = queue();
    if (!g_end_session && q.posted.empty() && !q.quit) {
        if (q.next_due_ns == UINT64_MAX || now_ns() < q.next_due_ns) return true;
    }
    take_signals();
    // Only what is there now: a procedure that posts again is served on the next pump.
    size_t budget = q.posted.size() + q.timers.size() + 1;
    uint64_t now = now_ns();
    Msg m;
    while (budget-- > 0 && next_message(&m, true, now)) {
        if (m.message == WM_QUIT) {
            post_quit_message(static_cast<int>(static_cast<intptr_t>(m.wparam)));
            return false;
        }
        dispatch_message(&m);
    }
    return !q.quit;
}

bool set_timer(Hwnd w, uintptr_t id, uint32_t ms) {
    if (w != 0 && !find_window(w)) return false;
    Queue& q = queue();
    if (ms < kMinTimerMs) ms = kMinTimerMs;
    uint64_t interval = static_cast<uint64_t>(ms) * 1000000u;
    uint64_t due = now_ns() + interval;
    bool found = false;
    for (Timer& t : q.timers) {
        if (t.hwnd == w && t.id == id) {
            t.interval_ns = interval;
            t.due_ns = due;
            found = true;
        }
    }
    if (!found) q.timers.push_back(Timer{w, id, interval, due});
    recompute_deadline();
    return true;
}

bool kill_timer(Hwnd w, uintptr_t id) {
    Queue& q = queue();
    for (size_t i = 0; i < q.timers.size(); ++i) {
        if (q.timers[i].hwnd == w && q.timers[i].id == id) {
            q.timers.erase(q.timers.begin() + static_cast<long>(i));
            recompute_deadline();
            return true;
        }
    }
    return false;
}

bool wait_for_event(int64_t ms) {
    uint64_t start = now_ns();
    if (anything_ready(start)) return true;
    if (ms == 0) return false;
    uint64_t limit = ms < 0 ? UINT64_MAX : start + static_cast<uint64_t>(ms) * 1000000u;
    for (;;) {
        uint64_t now = now_ns();
        if (now >= limit) return false;
        int64_t left = limit == UINT64_MAX ? -1 : static_cast<int64_t>((limit - now + 999999u) / 1000000u);
        if (block(left)) return true;
        if (anything_ready(now_ns())) return true;
    }
}

bool end_session_pending() { return g_end_session != 0; }

int wait_readable_or_end_session(int fd, int64_t ms) {
    ensure_pipe();
    uint64_t limit = ms < 0 ? UINT64_MAX : now_ns() + static_cast<uint64_t>(ms) * 1000000u;
    for (;;) {
        if (g_end_session) return -1;
        int timeout = -1;
        if (limit != UINT64_MAX) {
            uint64_t now = now_ns();
            if (now >= limit) return 0;
            uint64_t left = (limit - now + 999999u) / 1000000u;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd pfd[2] = {{fd, POLLIN, 0}, {g_pipe_read.load(), POLLIN, 0}};
        int r = poll(pfd, pfd[1].fd >= 0 ? 2 : 1, timeout);
        if (r < 0 && errno != EINTR) return 1;  // let the read report the failure
        if (r > 0 && (pfd[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
            if (g_end_session) return -1;
            return 1;
        }
        if (r > 0 && pfd[1].revents) drain_pipe();
    }
}

void install_signal_handlers() {
    if (g_handlers_installed) return;
    g_handlers_installed = true;
    ensure_pipe();
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_end_signal;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_child_signal;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sa.sa_flags = 0;
    sigaction(SIGPIPE, &sa, nullptr);
}

namespace {
// A POSIX timer of the process's own that raises SIGALRM: no thread, no stack and no
// wake-up for a request that ends in time. The first arm creates the timer and installs
// the handler; a disarm is one call that stops the timer. At the end of a request, a
// process that serves many leaves it running instead (watchdog_stand_down): an expiry
// then does nothing (the signal only interrupts a wait, which every wait of the platform
// takes as a spurious wake). The next request's arm keeps a running timer that expires in
// the second half of its own time and only records the deadline: an expiry before the
// deadline sets the timer for the rest, so a request costs no call at all (a timer is set
// about once per half period, however many requests run meanwhile), and a script stuck
// past its deadline is ended as surely as by a timer set for it. The handler runs on
// whichever thread the script is stuck in, so `on_expire` must do its work without waiting
// for that thread: should it hang all the same (a lock the interrupted code held), the
// same timer, armed again before it starts, ends the process after kWatchdogGraceMs.
constexpr uint32_t kWatchdogGraceMs = 5000;

struct Watchdog {
    timer_t timer{};
    bool created = false;
    volatile sig_atomic_t armed = 0;    // an expiry at or after `deadline` ends the process
    volatile sig_atomic_t running = 0;  // the timer is set (armed, or left running)
    std::atomic<uint64_t> deadline{0};  // now_ns() when an armed expiry ends the process
    std::atomic<uint64_t> expiry{0};    // now_ns() when the set timer fires
    void (*volatile on_expire)() = nullptr;
    volatile sig_atomic_t exit_code = 0;
    volatile sig_atomic_t expiring = 0;
};

Watchdog g_watchdog;

// The timer set to fire after `ns` (0: stopped). Its expiry is kept only where the next
// request's arm may keep the timer: a process serving one request reads no clock for it.
bool set_timer_ns(uint64_t ns, uint64_t now) {
    Watchdog& wd = g_watchdog;
    wd.running = ns != 0;
    wd.expiry = ns != 0 ? now + ns : 0;
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000u);
    spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000u);
    return timer_settime(wd.timer, 0, &spec, nullptr) == 0;
}

bool set_watchdog_timer(uint32_t ms) {
    Watchdog& wd = g_watchdog;
    uint64_t ns = uint64_t{ms} * 1000000u;
    uint64_t now = ms != 0 && detail::serves_many_requests() ? now_ns() : 0;
    wd.deadline = now != 0 ? now + ns : 0;  // 0: the expiry itself is the deadline
    wd.armed = ms != 0 ? 1 : 0;
    return set_timer_ns(ns, now);
}

void on_watchdog_signal(int) {
    Watchdog& wd = g_watchdog;
    int saved = errno;
    if (!wd.armed) {
        wd.running = 0;  // the timer of a request that ended: left running on purpose
        errno = saved;
        return;
    }
    if (!wd.expiring) {
        // A timer set for an earlier deadline: the rest of this one's time.
        uint64_t deadline = wd.deadline, now = deadline ? now_ns() : 0;
        if (now < deadline) {
            set_timer_ns(deadline - now, now);
            errno = saved;
            return;
        }
    }
    int code = wd.exit_code & 0xFF;
    // A second expiry while the first is still at work: its grace has run out.
    if (wd.expiring) _exit(code);
    wd.expiring = 1;
    set_watchdog_timer(kWatchdogGraceMs);
    if (void (*fn)() = wd.on_expire) fn();
    detail::finish_std_output(code);
    std::fflush(nullptr);
    _exit(code);
}

bool create_watchdog() {
    Watchdog& wd = g_watchdog;
    if (wd.created) return true;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_watchdog_signal;
    // The grace timer must reach a handler that is itself stuck.
    sa.sa_flags = SA_RESTART | SA_NODEFER;
    if (sigaction(SIGALRM, &sa, nullptr) != 0) return false;
    sigevent ev{};
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = SIGALRM;
    if (timer_create(CLOCK_MONOTONIC, &ev, &wd.timer) != 0) return false;
    wd.created = true;
    return true;
}
}  // namespace

void watchdog_arm(uint32_t ms, void (*on_expire)(), int exit_code) {
    Watchdog& wd = g_watchdog;
    if (wd.expiring) return;
    // The handler reads both when the timer fires: set them before it can.
    wd.on_expire = on_expire;
    wd.exit_code = exit_code;
    // Without a timer (process limits) there is no watchdog; the next arm tries again.
    if (!create_watchdog()) return;
    if (ms == 0) ms = 1;
    if (detail::serves_many_requests() && wd.running) {
        // The deadline first: an expiry from here on finds it and sets the timer for the
        // rest. One that came before this left `running` clear, and the timer is set below.
        uint64_t now = now_ns(), ns = uint64_t{ms} * 1000000u;
        wd.deadline = now + ns;
        wd.armed = 1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        // Kept while it expires in the second half of the time: only a request that runs
        // that long (past its script's own time-out) sees an expiry that sets the rest.
        uint64_t expiry = wd.expiry;
        if (wd.running && expiry <= now + ns && expiry >= now + ns / 2) return;
    }
    set_watchdog_timer(ms);
}

void watchdog_disarm() {
    Watchdog& wd = g_watchdog;
    if (wd.created && wd.running && !wd.expiring) set_watchdog_timer(0);
}

void watchdog_stand_down() {
    Watchdog& wd = g_watchdog;
    if (!wd.created || !wd.armed || wd.expiring) return;
    if (detail::serves_many_requests()) wd.armed = 0;
    else set_watchdog_timer(0);
}

}  // namespace kel::platform
