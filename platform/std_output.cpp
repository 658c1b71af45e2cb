// Platform layer: the standard output's replaceable writer.
#include "platform/std_output.h"

#include <atomic>

#include "platform/internal.h"
#include "platform/process.h"

namespace kel::platform {

namespace detail {
const OutputSink* g_output_sink = nullptr;

namespace {
std::atomic<bool> g_finished{false};
}

void finish_std_output(int exit_code) {
    const OutputSink* s = g_output_sink;
    if (!s || g_finished.exchange(true)) return;
    s->finish(s->ctx, exit_code);
}

void reset_std_output() {
    g_output_sink = nullptr;
    g_finished = false;
}
}  // namespace detail

void set_std_output_sink(const OutputSink* sink) { detail::g_output_sink = sink; }

void finish_std_output_with(int32_t code) { detail::finish_std_output(exit_status(code)); }

}  // namespace kel::platform
