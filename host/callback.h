// The host's command callback, its message table and its function table.
// The web functions' request state is intake.h's; the timer is binding.h's.
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

// Ids 0 to 32 and a closing record with id 9999 and name length 0.
const KeywordRecord* host_function_table();
size_t host_function_count();  // records before the closing one

// A message by number: the language file's (platform::language_file()) "X<number>" of
// section "Tarnwick" when there is one (numbers of 100 and up), else the built-in text;
// "~" becomes LF and "|" TAB.
std::string host_message(int number);

}  // namespace kel::host
