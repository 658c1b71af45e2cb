// Platform layer: the standard output's replaceable writer.
#include "platform/std_output.h"

#include <atomic>

#include "platform/internal.h"

namespace kel::platform {

namespace detail {
const OutputSink* g_output_sink = nullptr;

void finish_std_output(int exit_code) {
    static std::atomic<bool> finished{false};
    const OutputSink* s = g_output_sink;
    if (!s || finished.exchange(true)) return;
    s->finish(s->ctx, exit_code);
}
}  // namespace detail

void set_std_output_sink(const OutputSink* sink) { detail::g_output_sink = sink; }

}  // namespace kel::platform
