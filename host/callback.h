// The host's command callback, its message table and its function table (made, with
// the dispatch, from the one table of web functions in webfuncs.cpp). The web functions'
// request state is intake.h's; the timer is binding.h's.
#pragma once
#include <cstdint>
#include <string>
#include "shared/abi.h"
#include "shared/err.h"

KEL_EXPORT int32_t Parent_ProcessCommand2(kel::Hwnd window, uintptr_t module, uint32_t magic, int32_t code,
                                          kel::ResultCallback answer, kel::RequestRecord* req, uintptr_t reserved,
                                          kel::ExchangeValue* args, int32_t argc, kel::ExchangeValue* result);

namespace kel::host {

constexpr Err kNotImplemented = Err::HostNotImplemented;
constexpr size_t kResultSize = 4097;

struct HostState;

// The request being served. Its state belongs to host_main, which hands it down to
// everything it calls; only the entry points whose C signatures are fixed and carry no
// pointer of the host's (Parent_ProcessCommand2, the window procedure and the time-out's
// watchdog) reach it through this one pointer, which host_main sets for the duration of
// the request (RunningRequest) and clears afterwards. nullptr outside a request; the
// callback then answers message 10131.
HostState* running_request();
class RunningRequest {
public:
    explicit RunningRequest(HostState& h);
    ~RunningRequest();
    RunningRequest(const RunningRequest&) = delete;
    RunningRequest& operator=(const RunningRequest&) = delete;

private:
    HostState* previous_;
};

// Ids 0 to 32 and a closing record with id 9999 and name length 0.
const KeywordRecord* host_function_table();
size_t host_function_count();  // records before the closing one

// A message by number: the language file's (platform::language_file()) "X<number>" of
// section "Tarnwick" when there is one (numbers of 100 and up), else the built-in text;
// "~" becomes LF and "|" TAB.
std::string host_message(int number);

}  // namespace kel::host
