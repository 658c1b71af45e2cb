// Platform layer: the standard output's replaceable writer.
#include "platform/std_output.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/process.h"
#include "platform/server.h"

namespace kel::platform {

namespace detail {
const OutputSink* g_output_sink = nullptr;

namespace {
std::atomic<bool> g_finished{false};

// Writes to descriptor 1 collect here and leave in one write: at the end, before a
// program starts or native code runs (either may write there too), when the time-out page
// is due, and whenever the buffer is full.
constexpr size_t kBufferSize = 64 * 1024;
char g_buffer[kBufferSize];
size_t g_used = 0;

}  // namespace

bool write_std_output(const void* buf, size_t n) {
    if (g_output_sink) [[unlikely]]
        return g_output_sink->write(g_output_sink->ctx, buf, n);
    if (n <= kBufferSize - g_used) {
        std::memcpy(g_buffer + g_used, buf, n);
        g_used += n;
        return true;
    }
    if (!flush_std_output_buffer()) return false;
    if (n < kBufferSize) {
        std::memcpy(g_buffer, buf, n);
        g_used = n;
        return true;
    }
    return write_all_fd(1, buf, n);
}

bool flush_std_output_buffer() {
    size_t n = g_used;
    g_used = 0;  // a failed write is not tried again: the reader is gone
    return n == 0 || write_all_fd(1, g_buffer, n);
}

void finish_std_output(int exit_code) {
    flush_std_output_buffer();
    const OutputSink* s = g_output_sink;
    if (!s || g_finished.exchange(true)) return;
    s->finish(s->ctx, exit_code);
}

void reset_std_output() {
    g_output_sink = nullptr;
    g_finished = false;
}
}  // namespace detail

void set_std_output_sink(const OutputSink* sink) {
    detail::flush_std_output_buffer();
    detail::g_output_sink = sink;
}

bool flush_std_output() { return detail::flush_std_output_buffer(); }

void finish_std_output_with(int32_t code) { detail::finish_std_output(exit_status(code)); }

}  // namespace kel::platform
