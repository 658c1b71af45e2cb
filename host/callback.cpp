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

constexpr uint8_t kFuncParams[8] = {0x11, 0x11, 0x01, 0, 0, 0, 0, 0};

constexpr KeywordRecord make_record(int32_t id, const char* name, int32_t kind, int required, int32_t value) {
    KeywordRecord r{};
    r.id = id;
    r.kind = kind;
    if (kind == 2)
        for (int i = 0; i < 8; ++i) r.ptypes[i] = kFuncParams[i];
    if (kind == 3) {
        r.u.value = value;
    } else {
        r.u.args.required = static_cast<uint8_t>(required);
        r.u.args.optional = 0;
        r.u.args.zero = 0;
    }
    uint16_t len = 0;
    while (name[len]) {
        r.name[len] = name[len];
        ++len;
    }
    r.name_len = len;
    return r;
}

constexpr int32_t kFunc = 2, kConst = 3, kStatement = 4;

const KeywordRecord kHostTable[] = {
    make_record(0, "reload", kFunc, 0, 0),
    make_record(1, "version", kFunc, 0, 0),
    make_record(2, "intcontrol", kFunc, 5, 0),
    make_record(3, "webcloselog", kFunc, 1, 0),
    make_record(4, "webcmddata", kFunc, 0, 0),
    make_record(5, "webconbuf", kFunc, 1, 0),
    make_record(6, "webcondata", kFunc, 0, 0),
    make_record(7, "webconsize", kFunc, 0, 0),
    make_record(8, "webcounter", kFunc, 1, 0),
    make_record(9, "webdatdata", kFunc, 3, 0),
    make_record(10, "webhashcode", kFunc, 1, 0),
    make_record(11, "webislocal", kFunc, 0, 0),
    make_record(12, "weblogline", kFunc, 2, 0),
    make_record(13, "webopenlog", kFunc, 2, 0),
    make_record(14, "webout", kFunc, 2, 0),
    make_record(15, "weboutfile", kFunc, 1, 0),
    make_record(16, "webparambuf", kFunc, 2, 0),
    make_record(17, "webparamdata", kFunc, 1, 0),
    make_record(18, "webparamfile", kFunc, 2, 0),
    make_record(19, "webparamsize", kFunc, 1, 0),
    make_record(20, "webparamnames", kFunc, 0, 0),
    make_record(21, "webbaseconv", kFunc, 3, 0),
    make_record(22, "webverifycard", kFunc, 1, 0),
    make_record(23, "webdumperror", kFunc, 2, 0),
    make_record(24, "websettimeout", kFunc, 1, 0),
    make_record(25, "breakpoint", kStatement, 0, 0),
    make_record(26, "@commonformat", kConst, 0, 1),
    make_record(27, "@ncsaformat", kConst, 0, 2),
    make_record(28, "@msformat", kConst, 0, 3),
    make_record(29, "rtstatus", kFunc, 0, 0),
    make_record(30, "weboutbinary", kFunc, 1, 0),
    make_record(31, "dirscript", kFunc, 0, 0),
    make_record(32, "webcmdrawdata", kFunc, 1, 0),
    make_record(9999, "", 0, 0, 0),
};
static_assert(sizeof(kHostTable) / sizeof(kHostTable[0]) == kHostFunctionCount + 1);

char g_result_buffer[kResultSize];

}  // namespace

const KeywordRecord* host_function_table() { return kHostTable; }
size_t host_function_count() { return kHostFunctionCount; }

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
    if (request == 25) return 0;   // breakpoint: nothing to answer
    kel::ExchangeValue scratch{};
    HostCall call;
    call.args = args;
    call.argc = argc < 0 ? 0 : argc;
    call.buffer = g_result_buffer;
    call.result = result ? result : &scratch;
    HostFn fn = (request >= 0 && request < kHostFunctionCount) ? kHostFunctions[request] : nullptr;
    if (fn) fn(call);
    else call.fail(kel::Err::HostBadRequestCode);
    if (!call.answer) return 0;
    if (!answer) return call.status;
    return answer(call.status, kel::kCallbackMagic, req, call.result);
}
