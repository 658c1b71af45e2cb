// The standard output's writer. Descriptor 1 unless a server mode puts a stream of its own
// in its place: every write to the standard output handle then goes to that stream, and
// the stream is finished (with the exit code) before the process ends, on every exit path.
#pragma once
#include <cstddef>
#include <cstdint>
#include "platform/api.h"

namespace kel::platform {

struct OutputSink {
    bool (*write)(void* ctx, const void* buf, size_t n);  // all n bytes, false on error
    void (*finish)(void* ctx, int exit_code);             // flush and close; called once
    void* ctx;
};

// nullptr puts descriptor 1 back. The sink must live until the process ends, or until
// the request ends in a reused worker (request_reset.h puts descriptor 1 back).
KEL_PLATFORM_API void set_std_output_sink(const OutputSink* sink);
// Writes what descriptor 1 has collected (writes to it are buffered); false when the
// reader has gone. Every exit path flushes, and so does starting a program.
KEL_PLATFORM_API bool flush_std_output();
// The sink's finish with the request's exit code, as the process's end would call it;
// only the first call of a request counts.
KEL_PLATFORM_API void finish_std_output_with(int32_t code);

}  // namespace kel::platform
