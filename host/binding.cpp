// The hidden window and its loop, KELRUN32's loading and binding, the instance's start
// and release, the run-request handler and the time-out. Pages are pages.cpp's.
#include "host/binding.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "host/callback.h"
#include "host/intake.h"
#include "host/pages.h"
#include "host/webfuncs.h"
#include "platform/dynlib.h"
#include "platform/errors.h"
#include "platform/gmem.h"
#include "platform/msgq.h"
#include "platform/process.h"
#include "platform/request_reset.h"
#include "platform/std_output.h"
#include "platform/vmem.h"

namespace kel::host {

namespace pf = kel::platform;

namespace {

constexpr const char* kProductCode = "TARNHOST-2019B";
constexpr const char* kNoticeLine = "Tarnwick web scripting host";
constexpr const char* kDisabledFunctions[] = {
    "about", "askcolor", "askdirectory", "askfilename", "askfiletext", "askfont", "askitemlist", "askline",
    "askpassword", "asktextbox", "askyesno", "beep", "binaryclipget", "binaryclipput", "buttonnames", "clipappend",
    "clipget", "clipgetex", "clipput", "debug", "debugdata", "dialog", "dialogbox", "display", "endsession",
    "filenameeval1", "filenameeval2", "iconarrange", "ignoreinput", "iskeydown", "itemselect", "keytoggleget",
    "keytoggleset", "message", "mouseclick", "mouseclickbtn", "mousecoords", "mousedrag", "mouseinfo", "mousemove",
    "mouseplay", "msgtextget", "pause", "playmedia", "playmidi", "playwaveform", "print", "runexit", "sendkey",
    "sendkeyschild", "sendkeysto", "sendmenusto", "sendmenustoex", "snapshot", "sounds", "soundvolume", "terminate",
    "textbox", "textboxsort", "textselect", "waitforkey", "waitforkeyex", "wallpaper", "winhelp",
};
static_assert(sizeof(kDisabledFunctions) / sizeof(kDisabledFunctions[0]) == 64);
// Disabled as well when TARNWICK.INI sets DisableDllCalls: the functions that call into
// native libraries.
constexpr const char* kDllFunctions[] = {
    "dllcall", "dllcallbackcreate", "dllcallbackdestroy", "dllcallcdecl", "dllfree", "dlllasterror",
    "dllload", "dllstructalloc", "dllstructfree", "dllstructpeek", "dllstructpoke",
};

struct Binding {
    void* lib = nullptr;
    DoDaDllInitFn init = nullptr;
    ProcessDaBatBufferFn run = nullptr;
    DllServicesFn services = nullptr;
    HostInstanceRecord rec{};
    bool started = false;
    // The keyword marks the loaded library holds (they live as long as it is loaded):
    // -1 none set yet, else whether the native-library functions are disabled too.
    int dll_calls_marked = -1;
    uint64_t live_instances = 0;
    uint64_t instances_started = 0;  // in this process, the last requests' included
};

Binding& binding() {
    static Binding b;
    return b;
}

void free_library() {
    Binding& b = binding();
    if (b.lib) pf::lib_free(b.lib);
    b.lib = nullptr;
    b.init = nullptr;
    b.run = nullptr;
    b.services = nullptr;
    b.rec = HostInstanceRecord{};
    b.started = false;
    b.dll_calls_marked = -1;
}

// The instance reported what it wrote when it stopped: a reused worker, which keeps the
// blocks' pages for the next request, clears just that.
void free_blocks() {
    HostInstanceRecord& r = binding().rec;
    const bool known = r.usage_known == 1;
    if (r.var_table_block) pf::gmem_free_used(r.var_table_block, known ? r.var_table_used : SIZE_MAX);
    if (r.instance_block) pf::gmem_free_used(r.instance_block, known ? r.instance_block_used : SIZE_MAX);
    r.var_table_block = r.instance_block = 0;
}

bool load_library() {
    Binding& b = binding();
    std::string own = pf::program_dir() + "/libkelrun32.so";
    b.lib = pf::lib_load_own(own.c_str());
    if (!b.lib) b.lib = pf::lib_load_own("libkelrun32.so");
    return b.lib != nullptr;
}

// The script path reaches Call verbatim: back quotes close KEL strings and "%" starts a
// substitution, so both are doubled.
bool build_call_line(const std::string& path, std::string* line) {
    std::string quoted;
    for (char c : path) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
        if (c == '/') c = '\\';
        quoted += c;
        if (c == '`' || c == '%') quoted += c;
    }
    *line = "Call(`" + quoted + "`,``)\r\n";
    return true;
}

constexpr const char* kTimeoutHeadline = "Tarnwick Error: Script timed out";
constexpr const char* kTimeoutDetail = "You can adjust the timeout value with the \"WebSetTimeout\" function";
constexpr const char* kStuckHeadline = "Tarnwick Error: Script did not stop after being cancelled";

constexpr uint64_t kWatchdogSlackMs = 500;

void end_stuck_script(const HostState& h) {
    // The watchdog's signal must not land on top of this ending and write the log a
    // second time (its lock is held by the interrupted append).
    pf::watchdog_disarm();
    error_log_append(h, kStuckHeadline, h.script_name);
    pf::process_exit(h.exit_code);
}

// Runs from the platform's watchdog signal, on top of a script stuck where no message is
// pumped; the platform ends the process afterwards. A signal handler is handed nothing:
// the request comes from running_request().
void on_watchdog() {
    HostState* h = running_request();
    if (!h) return;
    if (!h->timed_out.exchange(true)) error_page(*h, kTimeoutDetail, kTimeoutHeadline, true, 503);
    error_log_append(*h, kStuckHeadline, h->script_name);
}

// The watchdog ends a script that has neither stopped nor been cancelled one period
// after its time-out.
void arm_watchdog(const HostState& h, uint64_t ms) {
    if (ms > UINT32_MAX) ms = UINT32_MAX;
    pf::watchdog_arm(static_cast<uint32_t>(ms), &on_watchdog, pf::exit_status(h.exit_code));
}

void run_script(HostState& h) {
    Binding& b = binding();
    std::string line;
    if (!build_call_line(h.script_path.empty() ? h.script_name : h.script_path, &line)) {
        error_page(h, h.script_name, "Tarnwick Error: Script file name contains invalid path info", true, 400);
        return;
    }
    h.call_line = line.substr(0, line.size() - 2);
    size_t size = line.size() + 1 > 4506 ? line.size() + 1 : 4506;
    Handle block = pf::gmem_alloc(size, true);
    if (!block) {
        error_page(h, "Memory allocation failed", "Tarnwick Error", true);
        return;
    }
    if (void* p = pf::gmem_lock(block)) {
        std::memcpy(p, line.data(), line.size());
        pf::gmem_unlock(block);
    }
    h.script_started = true;
    if (h.timeout_seconds) {
        pf::set_timer(h.window, kTimeoutTimer, h.timeout_seconds * 1000);
        arm_watchdog(h, uint64_t{h.timeout_seconds} * 2000);
    }
    h.running = true;
    b.run(h.window, b.rec.instance_block, block, &Parent_ProcessCommand2, host_function_table());
    h.running = false;
    pf::watchdog_stand_down();
    pf::kill_timer(h.window, kTimeoutTimer);
    pf::gmem_free(block);
}

void handle_run_request(HostState& h) {
    const std::string& name = h.script_name;
    if (iequals(name, "dumpgif")) page_dumpgif(h);
    else if (iequals(name, "dumpinputdata")) page_dumpinputdata(h);
    else if (name.empty()) error_page(h, "", "Tarnwick Error: Script file name not specified", true, 400);
    else if (iequals(name, "deleteerrorlog")) page_deleteerrorlog(h);
    else if (iequals(name, "dumpauthorinfo")) page_dumpauthorinfo(h);
    else if (iequals(name, "dumperrorlog")) page_dumperrorlog(h);
    else if (name.size() >= 13 && iequals(std::string_view(name).substr(0, 13), "dumpinputdata")) page_dumpinputdata(h);
    else if (name.size() < 5 || !iequals(std::string_view(name).substr(name.size() - 4), ".web"))
        error_page(h, name, "Tarnwick Error: File does not have an extension of '.WEB'", true, 400);
    else run_script(h);
    pf::destroy_window(h.window);
}

void on_timer(HostState& h) {
    if (!h.running) return;
    if (h.timed_out) {
        end_stuck_script(h);  // a whole period after the cancel and the script still runs
        return;
    }
    if (h.timed_out.exchange(true)) return;
    // However cleanly the script stops, a worker does not serve again after a time-out.
    pf::mark_process_spent("the script timed out");
    error_page(h, kTimeoutDetail, kTimeoutHeadline, true, 503);
    pf::flush_std_output();  // the page is due now, however long the script takes to stop
    h.cancelled = true;
    call_service(7, "", "", 0, 0);
    // A script that still pumps messages is ended by this timer one period later; the
    // watchdog, a little after that, is only for a script that no longer pumps, so the
    // two never race for the same moment.
    arm_watchdog(h, uint64_t{h.timeout_seconds} * 1000 + kWatchdogSlackMs);
}

}  // namespace

intptr_t call_service(int32_t code, const char* s1, const char* s2, intptr_t n, intptr_t p) {
    Binding& b = binding();
    if (!b.started || !b.services) return 0;
    return b.services(b.rec.instance_block, code, s1, s2, n, p);
}

bool script_cancelled(const HostState& h) {
    pf::pump_messages();
    return h.cancelled;
}

uint32_t set_timeout(HostState& h, uint32_t seconds) {
    uint32_t previous = h.timeout_seconds;
    h.timeout_seconds = seconds;
    if (h.window && h.running) {
        if (seconds == 0) {
            pf::kill_timer(h.window, kTimeoutTimer);
            pf::watchdog_disarm();
        } else {
            pf::set_timer(h.window, kTimeoutTimer, seconds * 1000);
            if (!h.timed_out) arm_watchdog(h, uint64_t{seconds} * 2000);
        }
    }
    return previous;
}

// Disables (or enables) the named functions; false when the list's block cannot be had.
static bool mark_keywords(std::vector<const char*> names, bool disable) {
    // The interpreter looks the names up in one pass of its table: they go in sorted.
    std::sort(names.begin(), names.end(), [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    size_t total = 0;
    for (const char* n : names) total += std::strlen(n) + 1;
    Handle list = pf::gmem_alloc(total + 1, true);
    char* p = list ? static_cast<char*>(pf::gmem_lock(list)) : nullptr;
    if (!p) {
        if (list) pf::gmem_free(list);
        return false;
    }
    size_t at = 0;
    for (const char* n : names) {
        size_t len = std::strlen(n);
        std::memcpy(p + at, n, len);
        p[at + len] = '|';
        at += len + 1;
    }
    call_service(24, p, "|", disable ? 0 : 1, 0);
    pf::gmem_unlock(list);
    pf::gmem_free(list);
    return true;
}

bool register_window_class() { return pf::register_class(kWindowClass, &MainWndProc); }

int32_t host_main(bool process_continues) {
    HostState h;  // the request's state: made fresh for each request, handed down from here
    RunningRequest running(h);
    int32_t code = 0;
    if (intake_start(h)) {
        if (!register_window_class()) {
            error_page(h, "InitApplication failed", "Tarnwick Error", true);
        } else if (!start_window_and_interpreter(h)) {
            error_page(h, "InitInstance failed", "Tarnwick Error", true);
        } else {
            code = run_message_loop();
            stop_interpreter(h, !process_continues);
        }
    }
    intake_finish(h);
    if (h.exit_code != 0) code = h.exit_code;
    return code;
}

// Loads the library and binds its entry points; a reused worker's next request finds
// them bound (the library stays loaded between its requests).
int bind_library() {
    Binding& b = binding();
    if (b.lib) return -1;
    if (!load_library()) return static_cast<int>(pf::last_error() ? pf::last_error() : 126);
    void* fns[sizeof(kHostBoundExports) / sizeof(kHostBoundExports[0])];
    for (size_t i = 0; i < sizeof(kHostBoundExports) / sizeof(kHostBoundExports[0]); ++i) {
        fns[i] = pf::lib_symbol(b.lib, kHostBoundExports[i].name);
        if (!fns[i]) {
            pf::message_box("DLL GetProcAddress Failure", "Interface Error", 0);
            free_library();
            return 33;
        }
    }
    b.init = reinterpret_cast<DoDaDllInitFn>(pf::lib_symbol(b.lib, export_name(23)));
    b.run = reinterpret_cast<ProcessDaBatBufferFn>(pf::lib_symbol(b.lib, export_name(24)));
    b.services = reinterpret_cast<DllServicesFn>(pf::lib_symbol(b.lib, export_name(30)));
    return -1;
}

int start_instance(HostState& h) {
    Binding& b = binding();
    if (int code = bind_library(); code != -1) return code;
    if (((kInterfaceVersion >> 16) & 0xFF) != 10) {
        pf::message_box("Version Interface Incompatible", "OBJ mismatch", 0);
        free_library();
        return 34;
    }
    HostInstanceRecord& r = b.rec;
    r.module = reinterpret_cast<uintptr_t>(&h);
    int32_t size = b.init(h.window, kInterfaceVersion >> 16, kInterfaceVersion & 0xFFFF, 0, 0, nullptr, nullptr);
    if (size <= 0) {
        free_library();
        return 35;
    }
    // The instance block is tens of KB of zeros of which a short script touches a few
    // pages. A block of its own pages arrives zeroed by the kernel, page by page as it is
    // touched; from the heap it is cleared, and so faulted in, whole at every start.
    r.instance_block = pf::gmem_alloc_low(static_cast<size_t>(size));
    if (!r.instance_block) r.instance_block = pf::gmem_alloc(static_cast<size_t>(size), true);
    if (!r.instance_block) {
        free_library();
        return 36;
    }
    int32_t rec_size = b.init(h.window, r.instance_block, 0, 1, r.module, "Tarnwick", kProductCode);
    if (rec_size <= 0) {
        free_blocks();
        free_library();
        return 37;
    }
    // The variable table too: 2,000 records of which a script uses its few first.
    r.var_table_block = pf::gmem_alloc_low(static_cast<size_t>(rec_size) * kVarTableCapacity);
    if (!r.var_table_block)
        r.var_table_block = pf::gmem_alloc(static_cast<size_t>(rec_size) * kVarTableCapacity, true);
    if (!r.var_table_block) {
        free_blocks();
        free_library();
        return 38;
    }
    if (!b.init(h.window, r.instance_block, r.var_table_block, 2, kVarTableCapacity, "TARNWICK", "FEN-PROD.INI")) {
        free_blocks();
        free_library();
        return 39;
    }
    size_t page = pf::vm_page_size();
    size_t commit = (kCommitSize > 256 ? kCommitSize : 256);
    commit = (commit + page - 1) / page * page;
    size_t reserve = kRegionSize;
    void* base = nullptr;
    for (int attempt = 0; attempt < 5 && reserve >= commit; ++attempt) {
        base = pf::vm_reserve(reserve);
        if (base) break;
        reserve /= 2;
    }
    if (!base) {
        char text[64];
        std::snprintf(text, sizeof text, "VirtualAlloc returned %ld", static_cast<long>(pf::last_error()));
        pf::message_box(text, "DoDaBatStart error", 0);
        free_blocks();
        free_library();
        return reserve < commit ? 41 : 40;
    }
    if (!pf::vm_commit(base, commit)) {
        char text[64];
        std::snprintf(text, sizeof text, "VirtualAlloc returned %ld", static_cast<long>(pf::last_error()));
        pf::message_box(text, "DoDaBatStart error", 0);
        pf::vm_release(base, reserve);
        free_blocks();
        free_library();
        return 42;
    }
    r.region_base = static_cast<uint8_t*>(base);
    r.committed = commit;
    r.reserved = reserve;
    if (!b.init(h.window, r.instance_block, reinterpret_cast<uintptr_t>(base), 3, commit, "KELRUN32.DLL", &r)) {
        pf::vm_release(base, reserve);
        r.region_base = nullptr;
        free_blocks();
        free_library();
        return 43;
    }
    r.zero_word = 0;
    ++b.live_instances;
    ++b.instances_started;
    b.started = true;
    return -1;
}

bool start_window_and_interpreter(HostState& h) {
    std::string title = h.script_name.empty() ? "Tarnwick" : "Tarnwick - " + h.script_name;
    h.window = pf::create_window(kWindowClass, title.c_str(), 0);
    if (!h.window) return error_page(h, "Window Creation Error", "Fatal Error", true);
    int code = start_instance(h);
    if (code != -1) {
        if (code == 2 || code == 126 || code == 1157) {
            error_page(h, "KELRUN32.DLL not found", "Batch DLL initialization error", true);
        } else {
            char detail[32];
            std::snprintf(detail, sizeof detail, "Err num %d", code);
            error_page(h, detail, "Batch DLL initialization error", true);
        }
        pf::destroy_window(h.window);
        h.window = 0;
        return false;
    }
    call_service(0, "Tarnwick 2019B", kNoticeLine, 9876, 0);
    call_service(23, h.error_log_path.c_str(), "", 1, 0);

    // The keyword marks belong to the library, which a reused worker keeps loaded, and
    // only the host sets them: an earlier request left them as it set them, and only a
    // change of DisableDllCalls changes them (on a worker's last request too).
    Binding& b = binding();
    const int want = h.disable_dll_calls ? 1 : 0;
    bool marked = true;
    if (b.dll_calls_marked == -1) {
        // Not known (the first start, or one after a failure): as an earlier request may
        // have left them, the native-library functions are enabled first.
        if (b.instances_started > 1 && !want)
            marked = mark_keywords(std::vector<const char*>(std::begin(kDllFunctions), std::end(kDllFunctions)), false);
        std::vector<const char*> names(std::begin(kDisabledFunctions), std::end(kDisabledFunctions));
        if (want) names.insert(names.end(), std::begin(kDllFunctions), std::end(kDllFunctions));
        marked = marked && mark_keywords(std::move(names), true);
    } else if (b.dll_calls_marked != want) {
        marked = mark_keywords(std::vector<const char*>(std::begin(kDllFunctions), std::end(kDllFunctions)), want == 1);
    }
    b.dll_calls_marked = marked ? want : -1;
    if (!marked) {
        error_page(h, "Memory allocation failed", "Tarnwick Error", true);
        pf::destroy_window(h.window);
        h.window = 0;
        stop_interpreter(h);
        return false;
    }
    pf::post_message(h.window, kRunRequestMessage, 0, 0);
    return true;
}

bool host_reset_for_next_request(std::string* why) {
    // The request's state went with its host_main; the next one makes its own.
    return pf::reset_after_request(why);
}

int run_message_loop() {
    pf::Msg m{};
    while (pf::get_message(&m)) pf::dispatch_message(&m);
    return static_cast<int>(m.wparam);
}

void stop_interpreter(HostState& h, bool process_ends) {
    Binding& b = binding();
    if (!b.started) return;
    // On the stack, whose pages the run has already touched: as static buffers they would
    // each fault in a page of their own at the end of every request.
    char detail[kResultSize], headline[kResultSize];
    detail[0] = headline[0] = '\0';
    if (b.services(b.rec.instance_block, 25, detail, headline, kResultSize, 0)) {
        detail[kResultSize - 1] = headline[kResultSize - 1] = '\0';
        // An error on the wrapper line itself is the script's Call failing: the page
        // names the script, not the line the host made up.
        std::string_view line = detail;
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (!h.call_line.empty() && line == h.call_line) {
            bool missing = std::strncmp(headline, "1400:", 5) == 0;
            error_page(h, h.script_name, headline, false, missing ? 404 : 500);
        } else {
            error_page(h, detail, headline, false, 500);
        }
    }
    --b.live_instances;
    b.init(0, b.rec.instance_block, 0, 99, reinterpret_cast<uintptr_t>(&b.live_instances), nullptr,
           reinterpret_cast<const void*>(&Parent_ProcessCommand2));
    b.started = false;
    if (process_ends) return;
    free_blocks();
    HostInstanceRecord& r = b.rec;
    if (r.region_base) {
        char text[64];
        const bool known = r.usage_known == 1;
        if (!pf::vm_decommit_except(r.region_base, r.committed, known ? r.region_zero_from : 0,
                                    known ? r.region_zero_to : 0)) {
            std::snprintf(text, sizeof text, "VirtualFree (1) returned %ld", static_cast<long>(pf::last_error()));
            pf::message_box(text, "DoDaBatStop error", 0);
        }
        if (!pf::vm_release(r.region_base, r.reserved)) {
            std::snprintf(text, sizeof text, "VirtualFree (2) returned %ld", static_cast<long>(pf::last_error()));
            pf::message_box(text, "DoDaBatStop error", 0);
        }
        r.region_base = nullptr;
    }
    // The library stays loaded and bound for the worker's next request (the server
    // loaded it before forking: unloading it here would unmap nothing).
    r = HostInstanceRecord{};
}

}  // namespace kel::host

intptr_t MainWndProc(kel::Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    namespace pf = kel::platform;
    // The window procedure's signature is fixed: the request comes from running_request().
    kel::host::HostState* request = kel::host::running_request();
    switch (msg) {
    case pf::WM_CREATE:
        return 1;
    case kel::kRunRequestMessage:
        if (request) kel::host::handle_run_request(*request);
        return 1;
    case pf::WM_TIMER:
        if (request && wparam == kel::host::kTimeoutTimer) kel::host::on_timer(*request);
        return 0;
    case pf::WM_QUERYENDSESSION:
        if (request) request->cancelled = true;
        kel::host::call_service(7, "", "", 0, 0);
        return 1;
    case pf::WM_DESTROY:
        pf::post_quit_message(0);
        return pf::default_window_proc(w, msg, wparam, lparam);
    default:
        return pf::default_window_proc(w, msg, wparam, lparam);
    }
}
