// Parent_ProcessCommand2: the protocol of the host's command callback, the message
// table with its language-file override, and the host function table.
#include "host/callback.h"

#include <array>
#include <cstring>
#include <string_view>

#include "host/intake.h"
#include "host/webfuncs.h"
#include "platform/language.h"
#include "platform/profile.h"
#include "shared/err.h"

namespace kel::host {

namespace pf = kel::platform;

namespace {

struct Message {
    int number;
    std::string_view text;
};

consteval auto all_messages() {
    return std::to_array<Message>({
#define MSG(name, number, text) {number, text},
#include "shared/messages.inc"
#undef MSG
    });
}

consteval size_t host_message_count() {
    size_t n = 0;
    for (const Message& m : all_messages()) n += m.number >= kFirstHostMessage ? 1 : 0;
    return n;
}

// The host's rows of the message table; the interpreter's texts stay out of this program.
constexpr auto kMessages = [] {
    std::array<Message, host_message_count()> out{};
    size_t i = 0;
    for (const Message& m : all_messages())
        if (m.number >= kFirstHostMessage) out[i++] = m;
    return out;
}();

char g_result_buffer[kResultSize];

// See running_request() in callback.h: the only global the host's request reaches.
HostState* g_running = nullptr;

}  // namespace

HostState* running_request() { return g_running; }

RunningRequest::RunningRequest(HostState& h) : previous_(g_running) { g_running = &h; }
RunningRequest::~RunningRequest() { g_running = previous_; }

std::string host_message(int number) {
    std::string text;
    const std::string& file = pf::language_file();
    if (number >= 100 && number != Err::WebBaseConvBadChar && !file.empty()) {
        std::string key = "X" + std::to_string(number);
        text = pf::profile_get_string(file.c_str(), "Tarnwick", key.c_str(), "");
    }
    if (text.empty()) {
        for (const Message& m : kMessages)
            if (m.number == number) text = m.text;
    }
    for (char& c : text) {
        if (c == '~') c = '\n';
        else if (c == '|') c = '\t';
    }
    return text;
}

std::string_view HostCall::arg(int n) const {
    if (!args || n < 1 || n > argc || n > kMaxCallArgs) return {};
    const char* s = args[n - 1].str;
    return s ? std::string_view(s) : std::string_view();
}

void HostCall::ret_int(int32_t v) {
    result->i = v;
    result->flags = kVtInt;
    result->str = nullptr;
    status = 0;
}

void HostCall::ret_str(std::string_view s) {
    size_t n = s.size() < kResultSize - 1 ? s.size() : kResultSize - 1;
    if (s.data() != buffer) std::memmove(buffer, s.data(), n);
    buffer[n] = '\0';
    result->i = 0;
    result->flags = kVtStr;
    result->str = buffer;
    status = 0;
}

void HostCall::ret_long(std::string s) {
    long_result = std::move(s);
    result->i = 0;
    result->flags = kVtStr;
    result->str = long_result.data();
    status = 0;
}

void HostCall::fail(Err message) {
    ret_str(host_message(err_number(message)));
    status = -3;
}

}  // namespace kel::host

int32_t Parent_ProcessCommand2(kel::Hwnd window, uintptr_t module, uint32_t magic, int32_t code,
                               kel::ResultCallback answer, kel::RequestRecord* req, uintptr_t reserved,
                               kel::ExchangeValue* args, int32_t argc, kel::ExchangeValue* result) {
    using namespace kel::host;
    std::memset(g_result_buffer, 0, sizeof g_result_buffer);
    int16_t request = static_cast<int16_t>(code & 0xFFFF);
    if (request == -1) return 1;   // the interpreter's trace notification
    kel::ExchangeValue scratch{};
    HostCall call;
    call.host = running_request();
    call.args = args;
    call.argc = argc < 0 ? 0 : argc;
    call.buffer = g_result_buffer;
    call.result = result ? result : &scratch;
    HostFn fn = web_function(request);
    if (!fn) call.fail(kel::Err::HostBadRequestCode);
    else if (!call.host) call.fail(kNotImplemented);  // no request is being served
    else fn(call);
    if (!call.answer) return 0;
    if (!answer) return call.status;
    return answer(call.status, kel::kCallbackMagic, req, call.result);
}
