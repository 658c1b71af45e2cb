// libkelfcgi.so: tarnhost's FastCGI server. A supervisor keeps a pool of pre-forked
// workers. Each worker accepts one connection, reads the request completely through
// libfcgi's re-entrant interface (params, then the posted content), turns it into the
// CGI process state (the params as the environment, the content on descriptor 0, the
// FastCGI stdout stream as the standard output's writer) and runs the CGI request path
// with an interpreter instance of its own. Then the host and the platform put back
// everything the request changed in the process; where that cannot be done (a native
// library loaded, a program started, a time-out, a descriptor or thread left behind) or
// after MaxRequestsPerWorker requests, the worker exits and the supervisor forks its
// replacement. A request whose web server asked to keep the connection (nginx's
// fastcgi_keep_conn, Apache's enablereuse) leaves it open: the worker then waits on it
// for the next request, for at most KeptConnectionIdle seconds, and gives it up sooner
// when a new connection waits that no other worker is free to take.
#include <fcgiapp.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/fastcgi.h"
#include "platform/fileio.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/request_reset.h"
#include "platform/server.h"
#include "platform/std_output.h"

namespace kel::host::fastcgi {

namespace pf = kel::platform;

namespace {

// One slot per worker in memory shared with the workers: what the supervisor needs
// when a worker ends in the middle of a request.
struct Slot {
    std::atomic<int> request_id;      // the request's id once its params were read, else 0
    std::atomic<int> output_started;  // a byte of the response reached libfcgi
    std::atomic<int> finished;        // the request's end was sent
    std::atomic<uint64_t> busy_since; // tick_count64() when its connection was taken; 0 idle
    std::atomic<int> free_waiting;    // waiting for a new connection, holding none
};

struct Worker {
    int32_t pid = 0;
    int ctl = -1;         // supervisor's end of the worker's socket; closed: end when idle
    int park = -1;        // receiving end of the socket holding the worker's connection
    int conn = -1;        // the connection taken out of `park` once the worker ended
    bool killed = false;  // killed for the time limit
};

// The connection a worker serves is parked, as a message with its descriptor, in a
// socket both the worker and the supervisor hold the receiving end of. The worker takes
// the message out again after the request; the supervisor takes it only once the worker
// ended, and answers the request if its slot says it was not finished. So a request costs
// the supervisor nothing: it is not woken to hear of each connection.
constexpr char kTaken = 'T';

constexpr size_t kMaxWorkers = 256;
// libfcgi keeps a few bytes of some malformed records for good: a worker that has turned
// this many connections away without a request ends, and a fresh one takes its place.
constexpr int kMaxTurnedAway = 1000;
// Posted content left unread after a request on a kept connection (a body past
// MaxContentLength, a script that read less) is read and dropped up to this much, so that
// the next request's records follow; past it the connection is closed instead.
constexpr size_t kMaxDrainedContent = 1 << 20;
// How long a worker idle on a kept connection leaves a waiting new connection to a free
// worker before it gives up its kept one to take it itself.
constexpr int kYieldMs = 10;
// A kept connection is given up for a waiting new one only once it has been idle this
// long: the web server may have it in hand right after a response, and one it sends a
// request on while the worker closes it fails (nginx tries another connection for a GET,
// not for a POST). Under load the waiting one is taken sooner, at the end of a response.
constexpr uint64_t kGiveUpAfterMs = 20;

const Hooks* g_hooks = nullptr;
Slot* g_slots = nullptr;
// In the same shared memory, after the slots: the worker (slot index + 1) that gives up
// its idle kept connection for a waiting new one and has not yet tried to accept it, 0
// when none. One waiting connection costs one kept connection, not every idle one.
std::atomic<int>* g_giver = nullptr;
int g_listen = -1;
Settings g_settings;
bool g_stopping = false;

Settings load_settings() {
    std::string ini = pf::resolve_path(pf::program_dir() + "/TARNWICK.INI");
    std::vector<std::string> values = pf::profile_get_strings(ini.c_str(), kSection, kSettingKeys);
    std::vector<std::string> warnings;
    Settings s = settings_from(values, &warnings);
    for (const std::string& w : warnings) g_hooks->warn(w.c_str());
    return s;
}

// ---- the worker ----

struct Sink {
    FCGX_Request* req;
    Slot* slot;
    std::mutex lock;  // the watchdog thread may write the time-out page
};

bool sink_write(void* ctx, const void* buf, size_t n) {
    Sink* s = static_cast<Sink*>(ctx);
    std::lock_guard<std::mutex> g(s->lock);
    s->slot->output_started = 1;
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        int part = n > (1u << 30) ? 1 << 30 : static_cast<int>(n);
        if (FCGX_PutStr(p, part, s->req->out) != part) return false;
        p += part;
        n -= static_cast<size_t>(part);
    }
    return true;
}

// Whether connections come over a Unix socket (known once, in the supervisor).
bool g_unix_listen = false;
// Whether the request declared no content (then the web server sends nothing after its
// params but the end of the input).
bool g_no_content = false;

// The receiving end of the worker's parking socket, and whether the connection being
// served is parked in it.
int g_park_in = -1;
bool g_parked = false;

// Takes the parked connection back, dropping the supervisor's way to it: the request
// needs no answer from the supervisor any more. The parked copy held the connection
// open; without it, closing the worker's descriptor ends the connection.
void unpark() {
    if (!g_parked) return;
    pf::discard_message(g_park_in);
    g_parked = false;
}

// Closes the request's connection when libfcgi has not. libfcgi's close ends the stream,
// then reads and drops whatever the peer still sends until the peer closes, since closing
// a socket with unread input resets the connection, and a peer still sending its content
// would lose the response. On a Unix socket, for a request without content of which
// nothing is left unread, the close alone ends the stream: the peer reads the response
// and then the end, woken once for both where it is quick enough.
void close_connection(FCGX_Request& req) {
    unpark();
    if (req.ipcFd >= 0 && g_unix_listen && g_no_content && pf::file_pipe_available(pf::File{req.ipcFd}) == 0) {
        pf::close_fd(req.ipcFd);
        req.ipcFd = -1;
    }
    FCGX_Free(&req, 1);
}

// Other workers waiting for a new connection while holding none (of the pool this worker
// was forked for: after SIGHUP this one is being replaced anyway).
int free_workers(const Slot* self) {
    int n = 0;
    for (size_t i = 0; i < static_cast<size_t>(g_settings.workers); ++i)
        n += &g_slots[i] != self && g_slots[i].free_waiting;
    return n;
}

// Whether the request's connection is kept for the next request (the web server asked for
// it and this is not the worker's last request), and whether the request's end comes from
// the request path itself: an end from process_exit or the time-out watchdog ends the
// process, so the connection is not kept then.
bool g_keep = false;
bool g_finishing = false;
// Set when the connection was not kept for a new connection waiting that no free worker
// could take: this worker takes it next.
bool g_gave_up = false;

bool become_giver(const Slot* slot);
// Whether a connection waits on the listening socket (one system call).
bool connection_waiting();

// Reads the rest of the request's posted content up to its end: true when the end came
// within kMaxDrainedContent bytes and the connection is sound.
bool drain_content(FCGX_Request& req) {
    char buf[8192];
    size_t total = 0;
    for (int n; (n = FCGX_GetStr(buf, sizeof buf, req.in)) > 0;) {
        total += static_cast<size_t>(n);
        if (total > kMaxDrainedContent) return false;
    }
    return FCGX_GetError(req.in) == 0;
}

void sink_finish(void* ctx, int exit_code) {
    Sink* s = static_cast<Sink*>(ctx);
    std::lock_guard<std::mutex> g(s->lock);
    FCGX_Request& req = *s->req;
    FCGX_SetExitStatus(exit_code, req.out);
    bool keep = g_keep && g_finishing;
    // Given up here, before the end record leaves, the web server sees the connection end
    // with the response and sends it no other request; given up later, while idle, one
    // may already be under way.
    if (keep && free_workers(s->slot) == 0 && connection_waiting() && become_giver(s->slot)) {
        keep = false;
        g_gave_up = true;
    }
    if (keep) {
        // With content, the response leaves before the worker waits for the input's end;
        // without, that end came with the params.
        if (!g_no_content) FCGX_FFlush(req.out);
        keep = drain_content(req);
    }
    req.keepConnection = 1;  // libfcgi sends the end and keeps the connection for close_connection
    FCGX_Finish_r(&req);     // (it closes it itself after a failed write or read)
    g_keep = keep && req.ipcFd >= 0;
    if (!g_keep) close_connection(req);
    s->slot->finished = 1;
}

// Descriptors 0 and 1 are /dev/null (between requests, and for a request without content).
bool g_std_null = false;

void std_to_null() {
    if (g_std_null) return;
    pf::std_fds_to_null(true);
    g_std_null = true;
}

// Reads the posted content the CGI path will read into an in-memory file on
// descriptor 0 (a short body stays short, as a CGI input that ends early).
void content_to_stdin(FCGX_Request& req) {
    uint64_t want = g_hooks->content_to_read();
    int fd = want ? pf::memory_file() : -1;
    if (fd < 0) {
        std_to_null();
        return;
    }
    // One buffer for the worker's life: not allocated and cleared again for every post.
    static char buf[64 * 1024];
    while (want > 0) {
        int n = FCGX_GetStr(buf, static_cast<int>(want < sizeof buf ? want : sizeof buf), req.in);
        if (n <= 0 || !pf::write_all_fd(fd, buf, static_cast<size_t>(n))) break;
        want -= static_cast<uint64_t>(n);
    }
    pf::rewind_fd(fd);
    pf::move_to_fd(fd, 0);
    if (fd != 0) pf::close_fd(fd);
    if (!g_std_null) pf::std_fds_to_null(false);
    g_std_null = false;
}

// Serves the request; without `process_continues` the process ends with it.
void serve_one(FCGX_Request& req, Slot* slot, bool process_continues) {
    slot->request_id = req.requestId;
    pf::replace_environment(params_to_environment(req.envp));
    std::string declared;
    g_no_content = !pf::env_get("CONTENT_LENGTH", &declared) || declared.empty() || declared == "0";
    content_to_stdin(req);
    Sink sink{&req, slot, {}};
    const pf::OutputSink out{&sink_write, &sink_finish, &sink};
    pf::set_std_output_sink(&out);
    int32_t code = g_hooks->run_request(process_continues);
    g_finishing = true;
    pf::finish_std_output_with(code);
    g_finishing = false;
    if (!process_continues) pf::process_exit(code);
    // The request's input goes; the next one gets its own.
    std_to_null();
}

bool connection_waiting() {
    pf::PollFd fds[1] = {{g_listen}};
    return g_listen >= 0 && pf::poll_readable(fds, 0) > 0;
}

// Ends the kept connection the worker holds between requests (nothing of a request is
// unread on it).
void close_kept(int& conn) {
    if (conn < 0) return;
    unpark();
    pf::close_fd(conn);
    conn = -1;
}

enum class KeptWait {
    Request,  // bytes of the next request are there
    Close,    // closed by the peer or idle past KeptConnectionIdle
    GiveUp,   // to be given up for a new connection waiting on the listening socket
    Stop,     // the supervisor closed the worker's socket
};

// Waits on a kept connection for the next request. A new connection waiting on the
// listening socket is left for a moment to a free worker; when none is free (or it is
// still waiting after the moment) and no request bytes are there, the kept connection is
// given up so that this worker takes the new one. `*after` tells what becomes of the
// connection after the request that came: kept; closed, since the supervisor is stopping
// or replacing this worker; or given up for a new connection waiting that no free worker
// can take, so that a worker kept busy by one connection cannot leave a new one waiting.
enum class After { Keep, Close, GiveUp };

// Whether this worker is the one to give up its kept connection for a waiting new one.
bool become_giver(const Slot* slot) {
    int none = 0;
    return free_workers(slot) == 0 && g_giver->compare_exchange_strong(none, static_cast<int>(slot - g_slots) + 1);
}

// It tried to accept (or cannot): the next waiting connection may cost another.
void release_giver(const Slot* slot) {
    int me = static_cast<int>(slot - g_slots) + 1;
    g_giver->compare_exchange_strong(me, 0);
}

KeptWait wait_kept(int conn, int ctl, const Slot* slot, After* after) {
    *after = After::Keep;
    const uint64_t idle_end = pf::tick_count64() + uint64_t{static_cast<unsigned>(g_settings.kept_connection_idle)} * 1000;
    uint64_t yield_until = 0;
    const uint64_t start = pf::tick_count64();
    for (;;) {
        uint64_t now = pf::tick_count64();
        if (now >= idle_end) return KeptWait::Close;
        bool yielding = now < yield_until;
        uint64_t left = (yielding ? yield_until : idle_end) - now;
        pf::PollFd all[3] = {{ctl}, {conn}, {g_listen}};
        std::span<pf::PollFd> fds(all, !yielding && g_listen >= 0 ? 3 : 2);
        if (pf::poll_readable(fds, static_cast<int>(left > 1000000 ? 1000000 : left)) < 0) continue;
        bool waiting = fds.size() > 2 && fds[2].ready;
        if (fds[1].ready) {
            // Shut with nothing left to read: the peer closed (or reset) the connection.
            if (fds[1].hangup && pf::file_pipe_available(pf::File{conn}) <= 0) return KeptWait::Close;
            if (fds[0].ready) *after = After::Close;
            else if (waiting && become_giver(slot)) *after = After::GiveUp;
            return KeptWait::Request;
        }
        if (fds[0].ready) return KeptWait::Stop;
        if (!waiting) continue;
        if (now < start + kGiveUpAfterMs) {
            yield_until = start + kGiveUpAfterMs;
            continue;
        }
        if (become_giver(slot)) return KeptWait::GiveUp;
        // Another worker is free or giving up its connection: it takes the new one. One
        // still waiting right after the moment (a burst) is taken here too.
        if (yield_until == 0 || now >= yield_until + kYieldMs) {
            yield_until = now + kYieldMs;
            continue;
        }
        return KeptWait::GiveUp;
    }
}

[[noreturn]] void worker_main(int ctl, int park_in, int park_out, Slot* slot) {
    pf::reset_server_signals();
    ctl = pf::move_fd_high(ctl);
    park_in = pf::move_fd_high(park_in);
    park_out = pf::move_fd_high(park_out);
    g_park_in = park_in;
    // An inherited listening socket is descriptor 0, which each request's input takes.
    if (g_listen <= 2) g_listen = pf::move_fd_high(g_listen);
    std_to_null();
    // Every request sees a program started without arguments, as under CGI, from the
    // directory the server was started in (put back after each request).
    char* argv0[] = {const_cast<char*>(pf::arg(0)), nullptr};
    std::string name = argv0[0] ? argv0[0] : "tarnhost";
    argv0[0] = name.data();
    pf::process_init(1, argv0);
    const int max_requests = g_settings.max_requests_per_worker;
    // Idle workers wait for a connection without all waking for each one.
    int waits = pf::exclusive_wait_set({ctl}, g_listen);
    if (waits >= 0) waits = pf::move_fd_high(waits);
    pf::request_baseline();
    int conn = -1;          // the kept connection, between two of its requests
    bool take_now = false;  // a connection is waiting: accept before waiting
    for (int turned_away = 0, served = 0; turned_away < kMaxTurnedAway;) {
        After after = After::Keep;
        if (conn >= 0) {
            KeptWait w = wait_kept(conn, ctl, slot, &after);
            if (w == KeptWait::Stop) {
                close_kept(conn);
                pf::exit_at_once(0);
            }
            if (w != KeptWait::Request) {
                close_kept(conn);
                take_now = w == KeptWait::GiveUp;
                continue;
            }
        } else {
            slot->free_waiting = 1;
            if (!take_now) {
                pf::PollFd fds[2] = {{ctl}, {g_listen}};
                int r = waits >= 0 ? pf::wait_set_ready(waits, fds, -1) : pf::poll_readable(fds, -1);
                if (r >= 0 && fds[0].ready) pf::exit_at_once(0);  // the supervisor closed it: stop
                if (r < 0 || !fds[1].ready) continue;
            }
            take_now = false;
            conn = pf::accept_connection(g_listen);
            release_giver(slot);
            if (conn < 0) continue;  // another worker took it
            slot->free_waiting = 0;
            conn = pf::move_fd_high(conn);
            if (!pf::send_with_fd(park_out, &kTaken, 1, conn)) pf::exit_at_once(0);
            g_parked = true;
        }
        slot->request_id = 0;
        slot->output_started = 0;
        slot->finished = 0;
        slot->busy_since = pf::tick_count64();
        FCGX_Request req;
        FCGX_InitRequest(&req, -1, FCGI_FAIL_ACCEPT_ON_INTR);
        req.ipcFd = conn;  // accepted here: libfcgi reads the request from it
        req.keepConnection = 1;  // else its opening finish of "the previous request" closes it
        if (FCGX_Accept_r(&req) == 0) {
            bool last = ++served >= max_requests;
            if (last) pf::close_fd(g_listen);
            // The begin record's keep-connection flag, as libfcgi read it.
            g_keep = req.keepConnection && after == After::Keep && !last;
            serve_one(req, slot, !last);
            if (g_keep && slot->finished && req.ipcFd >= 0) {
                conn = req.ipcFd;
            } else {
                close_connection(req);  // without the flag the web server opens one connection per request
                conn = -1;
            }
            g_keep = false;
            take_now = after == After::GiveUp || g_gave_up;
            g_gave_up = false;
            std::string why;
            pf::request_hold_fd(conn);
            if (!g_hooks->reset_request(&why)) {
                close_kept(conn);
                pf::exit_at_once(0);
            }
            slot->busy_since = 0;
            continue;
        }
        // No complete request came (closed early, malformed): no script ran, so this
        // process is still clean and waits for the next connection.
        unpark();
        FCGX_Free(&req, 1);
        conn = -1;
        release_giver(slot);
        ++turned_away;
        slot->finished = 1;  // nothing for the supervisor to answer
        slot->busy_since = 0;
    }
    pf::exit_at_once(0);
}

// ---- the supervisor ----

std::vector<Worker> g_workers;

bool spawn(size_t index) {
    int pair[2], park[2];
    if (!pf::socket_pair(pair)) return false;
    if (!pf::socket_pair(park)) {
        pf::close_fd(pair[0]);
        pf::close_fd(pair[1]);
        return false;
    }
    pf::set_nonblocking(park[0]);  // neither end waits for a message that is not there
    g_slots[index].request_id = 0;
    g_slots[index].output_started = 0;
    g_slots[index].finished = 0;
    g_slots[index].busy_since = 0;
    g_slots[index].free_waiting = 0;
    int32_t pid = pf::fork_process();
    if (pid == 0) {
        for (Worker& w : g_workers) {
            pf::close_fd(w.ctl);
            pf::close_fd(w.park);
            pf::close_fd(w.conn);
        }
        pf::close_fd(pair[0]);
        worker_main(pair[1], park[0], park[1], &g_slots[index]);
    }
    pf::close_fd(pair[1]);
    pf::close_fd(park[1]);
    if (pid < 0) {
        pf::close_fd(pair[0]);
        pf::close_fd(park[0]);
        return false;
    }
    g_workers[index] = Worker{pid, pair[0], park[0], -1, false};
    return true;
}

void put_record(std::string& out, int type, int id, std::string_view content) {
    unsigned char h[8] = {1, static_cast<unsigned char>(type), static_cast<unsigned char>(id >> 8),
                          static_cast<unsigned char>(id), static_cast<unsigned char>(content.size() >> 8),
                          static_cast<unsigned char>(content.size()), 0, 0};
    out.append(reinterpret_cast<char*>(h), 8);
    out.append(content);
}

// The answer for a request whose worker ended without finishing it: an error page when
// nothing was sent yet, then the request's end; the connection closes either way.
void answer_lost_request(Worker& w, const Slot& slot) {
    if (w.conn < 0 || slot.finished) return;
    int id = slot.request_id ? slot.request_id.load() : 1;
    std::string rec;
    if (!slot.output_started) {
        const char* status = w.killed ? "503 Service Unavailable" : "500 Internal Server Error";
        const char* why = w.killed ? "the request ran past the server's time limit" : "the worker ended unexpectedly";
        std::string page = std::string("Status: ") + status + "\r\nContent-Type: text/html\r\n\r\n" +
                           "<HTML><HEAD><TITLE>Tarnwick Error</TITLE></HEAD><BODY><H2>Tarnwick Error</H2>"
                           "<P>The request was not completed: " + why + ".</P></BODY></HTML>\r\n";
        put_record(rec, 6, id, page);  // FCGI_STDOUT
        put_record(rec, 6, id, "");
    }
    put_record(rec, 3, id, std::string_view("\0\0\0\1\0\0\0\0", 8));  // END_REQUEST, status 1
    pf::set_nonblocking(w.conn);
    pf::write_all_fd(w.conn, rec.data(), rec.size());
}

void drop_connection(Worker& w) {
    pf::close_fd(w.conn);
    w.conn = -1;
}

// Tells the worker to end once it is idle (at once when it is).
void retire(Worker& w) {
    pf::close_fd(w.ctl);
    w.ctl = -1;
}

// The worker's socket ends when it does (it sends nothing on it).
void read_worker_message(Worker& w) {
    char c = 0;
    int fd = -1;
    int64_t n = pf::recv_with_fd(w.ctl, &c, 1, &fd);
    pf::close_fd(fd);
    if (n <= 0) retire(w);  // the worker is ending; its exit is reaped
}

// The connection the ended worker left parked: the one it was serving, if any.
void take_parked_connection(Worker& w) {
    char c = 0;
    for (int fd = -1; pf::recv_with_fd(w.park, &c, 1, &fd) > 0; fd = -1) {
        drop_connection(w);
        if (c == kTaken) w.conn = fd;
        else pf::close_fd(fd);
    }
}

void reap() {
    int code = 0, sig = 0;
    int32_t pid;
    while ((pid = pf::reap_child(&code, &sig)) > 0) {
        for (size_t i = 0; i < g_workers.size(); ++i) {
            Worker& w = g_workers[i];
            if (w.pid != pid) continue;
            take_parked_connection(w);
            answer_lost_request(w, g_slots[i]);
            g_slots[i].free_waiting = 0;
            release_giver(&g_slots[i]);
            drop_connection(w);
            pf::close_fd(w.ctl);
            pf::close_fd(w.park);
            w = Worker{};
        }
    }
}

size_t live_workers() {
    size_t n = 0;
    for (const Worker& w : g_workers) n += w.pid > 0;
    return n;
}

int listen_socket(const Address& a, std::string* error) {
    if (a.kind == Address::Unix) return pf::listen_unix(a.path, g_settings.listen_backlog, error);
    if (a.kind == Address::Tcp) return pf::listen_tcp("127.0.0.1", a.port, g_settings.listen_backlog, error);
    pf::set_backlog(0, g_settings.listen_backlog);
    return 0;
}

}  // namespace

int serve(const Hooks* hooks, const Address* address) {
    g_hooks = hooks;
    g_settings = load_settings();
    std::string error;
    g_listen = listen_socket(*address, &error);
    if (g_listen < 0) {
        hooks->warn(("cannot listen: " + error).c_str());
        return 1;
    }
    if (FCGX_Init() != 0) {
        hooks->warn("the FastCGI library did not start");
        return 1;
    }
    pf::set_nonblocking(g_listen);
    g_unix_listen = pf::is_unix_socket(g_listen);
    pf::std_fds_to_null(g_listen != 0);
    g_slots = static_cast<Slot*>(pf::shared_memory(sizeof(Slot) * kMaxWorkers + sizeof(std::atomic<int>)));
    g_giver = reinterpret_cast<std::atomic<int>*>(g_slots + kMaxWorkers);
    if (!g_slots || !pf::install_server_signals()) {
        hooks->warn("the supervisor could not start");
        return 1;
    }
    hooks->preload();
    g_workers.assign(kMaxWorkers, Worker{});

    bool& stopping = g_stopping;
    uint64_t drain_until = 0;
    for (;;) {
        unsigned sig = pf::take_server_signals();
        reap();
        if (sig & pf::kServerStop && !stopping) {
            // Idle workers see their socket close and end; busy ones finish their request.
            stopping = true;
            drain_until = pf::tick_count64() + uint64_t{static_cast<unsigned>(g_settings.request_time_limit)} * 1000;
            for (Worker& w : g_workers)
                if (w.pid > 0) retire(w);
            // New connections are refused from now on.
            pf::close_fd(g_listen);
            g_listen = -1;
        }
        if (sig & pf::kServerReload && !stopping) {
            g_settings = load_settings();
            pf::set_backlog(g_listen, g_settings.listen_backlog);
            // Every worker is replaced: the idle ones now, the busy ones after their
            // request. The new ones read the settings and files each keeps (the language
            // file, the drive map) afresh.
            for (Worker& w : g_workers)
                if (w.pid > 0) retire(w);
        }
        uint64_t now = pf::tick_count64();
        uint64_t limit_ms = uint64_t{static_cast<unsigned>(g_settings.request_time_limit)} * 1000;
        for (size_t i = 0; i < g_workers.size(); ++i) {
            Worker& w = g_workers[i];
            uint64_t since = g_slots[i].busy_since;
            if (w.pid > 0 && since && !w.killed && ((now > since && now - since >= limit_ms) || (stopping && now >= drain_until))) {
                w.killed = true;
                pf::signal_process(w.pid, pf::kSigKill);
            }
        }
        if (stopping) {
            if (live_workers() == 0) break;
        } else {
            for (size_t i = 0; i < static_cast<size_t>(g_settings.workers); ++i)
                if (g_workers[i].pid == 0 && !spawn(i)) break;
        }

        std::vector<pf::PollFd> fds = {{pf::server_signal_fd()}};
        std::vector<size_t> who;
        int wait_ms = 1000;
        for (size_t i = 0; i < g_workers.size(); ++i) {
            Worker& w = g_workers[i];
            if (w.ctl >= 0) {
                fds.push_back({w.ctl});
                who.push_back(i);
            }
            uint64_t since = g_slots[i].busy_since;
            if (w.pid > 0 && since && !w.killed) {
                uint64_t end = since + limit_ms;
                int left = end > now ? static_cast<int>(end - now > 1000 ? 1000 : end - now) : 0;
                if (left < wait_ms) wait_ms = left;
            }
        }
        if (live_workers() < static_cast<size_t>(g_settings.workers) && !stopping) wait_ms = 100;  // fork failed
        if (pf::poll_readable(fds, wait_ms) <= 0) continue;
        for (size_t k = 1; k < fds.size(); ++k)
            if (fds[k].ready && g_workers[who[k - 1]].ctl >= 0) read_worker_message(g_workers[who[k - 1]]);
    }
    if (address->kind == Address::Unix) pf::file_delete(address->path.c_str());
    return 0;
}

}  // namespace kel::host::fastcgi

extern "C" __attribute__((visibility("default"))) int kel_fastcgi_main(const kel::host::fastcgi::Hooks* hooks,
                                                                       const kel::host::fastcgi::Address* address) {
    if (!hooks || hooks->version != kel::host::fastcgi::kHooksVersion) return 1;
    return kel::host::fastcgi::serve(hooks, address);
}
