// The standard output's writer. Descriptor 1 unless a server mode puts a stream of its own
// in its place: every write to the standard output handle then goes to that stream, and
// the stream is finished (with the exit code) before the process ends, on every exit path.
#pragma once
#include "platform/api.h"

namespace kel::platform {

struct OutputSink {
    bool (*write)(void* ctx, const void* buf, size_t n);  // all n bytes, false on error
    void (*finish)(void* ctx, int exit_code);             // flush and close; called once
    void* ctx;
};

// nullptr puts descriptor 1 back. The sink must live until the process ends.
KEL_PLATFORM_API void set_std_output_sink(const OutputSink* sink);

}  // namespace kel::platform
