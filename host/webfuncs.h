// The web functions that scripts call through the host function table, one per request
// code. The protocol around them (result buffer, status, messages) is callback.cpp's.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "host/forms.h"
#include "shared/abi.h"
#include "shared/err.h"

namespace kel::host {

struct HostState;

// One call of a host function: string arguments in, one result or one failure out.
struct HostCall {
    HostState* host = nullptr;   // the request the script runs for
    const ExchangeValue* args = nullptr;
    int32_t argc = 0;
    char* buffer = nullptr;      // the shared 4097-byte result buffer, cleared on entry
    ExchangeValue* result = nullptr;
    int32_t status = 0;
    bool answer = true;          // false: return without calling the result callback
    std::string long_result;     // results beyond the buffer (webparamnames) live here

    std::string_view arg(int n) const;  // argument n from 1; "" when absent
    void ret_int(int32_t v);
    void ret_str(std::string_view s);   // cut to the result buffer
    void ret_long(std::string s);       // not cut; owned by the call until it returns
    void fail(Err message);             // status -3 with the message text
};

using HostFn = void (*)(HostCall&);

// The implementation behind a request code: nullptr for the named constants and for
// codes outside the table. Both this and the keyword records the interpreter reads
// (callback.h's host_function_table()) come from the one table of web functions.
HostFn web_function(int32_t code);

// WebBaseConv's writing rule.
std::string write_in_base(int32_t v, int base);
int32_t web_hash_code(std::string_view s);
int32_t web_verify_card(std::string_view s);

// Web-server log lines: fields 0..18 are "param1".."param9", "paramA".."paramJ". A line
// that does not parse leaves `fields` unchanged and returns false.
constexpr int kLogFields = 19;
bool parse_common_line(std::string_view line, std::string* fields);
bool parse_ms_line(std::string_view line, std::string* fields);
// The combined format (@ncsaformat): the common format, then the referrer and the user
// agent in double quotes, which go to paramD and paramE, the fields the common format
// leaves free. Anything after the user agent is ignored; a line without both quoted
// fields does not parse. Each quoted field holds fewer than kCombinedFieldLimit bytes.
constexpr size_t kCombinedFieldLimit = 1024;
bool parse_combined_line(std::string_view line, std::string* fields);

// webcounter's image with its header: 96 x 16 pixels, six digits right-aligned and
// padded with zeros; false with the message number for a bad counter.
enum class CounterFormat { Xbm, Png };
bool counter_image(std::string_view digits, std::string* out, Err* message,
                   CounterFormat format = CounterFormat::Xbm);

}  // namespace kel::host
