// The path by which the statement loop and the router call the host's command callback.
// It hands the host the entry points DLLServices and ViperAnswer, so it is defined with
// them in interp/abi/exports.cpp: the layer above implements what this one declares.
#pragma once
#include <cstdint>

#include "interp/base/instance.h"
#include "shared/abi.h"

namespace kel::interp {

// Calls the host's command callback for request `code` (a host keyword index - 1000, or a
// negative trace code). The result lands in inst.result. A negative return raises its
// error on the instance (1213, 2214, 3215, 9999, 9012, 1643 or 3210) with the extension
// error number set; the callback's return value is passed back.
int32_t call_host(Instance& inst, int32_t code, ExchangeValue* args, int32_t argc);
// Error number for a negative callback return.
uint16_t host_failure_error(int32_t rc);
// -4 to -7 end the calling statement at once; other failures go through error display.
inline bool host_failure_ends_statement(int32_t rc) { return rc <= -4 && rc >= -7; }

}  // namespace kel::interp
