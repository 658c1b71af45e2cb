// The web functions that scripts call through the host function table, one per request
// code. The protocol around them (result buffer, status, messages) is callback.cpp's.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "shared/abi.h"

namespace kel::host {

// One call of a host function: string arguments in, one result or one failure out.
struct HostCall {
    const ExchangeValue* args = nullptr;
    int32_t argc = 0;
    char* buffer = nullptr;      // the shared 4097-byte result buffer, cleared on entry
    ExchangeValue* result = nullptr;
    int32_t status = 0;
    bool answer = true;          // false: return without calling the result callback

    std::string_view arg(int n) const;  // argument n from 1; "" when absent
    void ret_int(int32_t v);
    void ret_str(std::string_view s);   // cut to the result buffer
    void fail(int message);             // status -3 with the message text
};

using HostFn = void (*)(HostCall&);
constexpr int kHostFunctionCount = 33;
// Indexed by request code; the named constants' codes (26 to 28) hold nullptr.
extern const HostFn kHostFunctions[kHostFunctionCount];

// WebBaseConv's writing rule.
std::string write_in_base(int32_t v, int base);
int32_t web_hash_code(std::string_view s);
int32_t web_verify_card(std::string_view s);

}  // namespace kel::host
