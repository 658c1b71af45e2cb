// A reused FastCGI worker serves one request after another in one process. Between two,
// the platform puts back what a request may have changed in the process and a fresh
// process would not have, and tells when it cannot: the worker then ends and a fresh one
// takes its place.
#pragma once
#include <string>
#include "platform/api.h"

namespace kel::platform {

// Records the process as it is between requests: its descriptors and its directory.
// Called once in the worker, before its first request.
KEL_PLATFORM_API void request_baseline();

// The server keeps fd open from one request to the next (a kept connection; -1: none):
// the check after a request counts it as one of the process's own.
KEL_PLATFORM_API void request_hold_fd(int fd);

// The request did something no reset can take back (loaded a native library, started a
// program, made a native callback): the process must not serve another.
KEL_PLATFORM_API void mark_process_spent(const char* why);

// After a request: the message queue, windows, timers, memory blocks, regions, the
// directory, random numbers, caches read from files and the standard output are as in a
// fresh process. False, with the reason, when the process must end instead: it was
// marked spent, a descriptor or a thread the request made is still there.
KEL_PLATFORM_API bool reset_after_request(std::string* why);

}  // namespace kel::platform
