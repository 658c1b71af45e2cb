// Calls into native libraries: the loaded-library table (10 slots), DLL structures and
// callbacks of an interpreter instance. The builtins are in dll.cpp (libraries and
// calls), dll_struct.cpp (structures) and dll_callback.cpp (callbacks).
#pragma once
#include <cstdint>
#include <string_view>

#include "interp/api/library.h"
#include "interp/base/instance.h"

namespace kel::lib {

// The memory of a live structure handle, or nullptr.
void* dll_struct_memory(const interp::Instance& inst, int32_t handle);

// Callback handles run from 29796 to 30307.
constexpr int32_t kCallbackFirstHandle = 29796;
constexpr int kCallbackSlots = 512;
// The entry address of a live callback handle, or nullptr. `cdecl` records which call
// form passed it.
void* dll_callback_entry(const interp::Instance& inst, int32_t handle, bool cdecl);
// Callbacks in use by calls under way (raised for the duration of a call that passes one).
void dll_callbacks_in_use(const interp::Instance& inst, int delta);
// The error a callback recorded because it could not run (or its function failed), or
// 0; taking it clears it.
uint16_t dll_callback_take_error(const interp::Instance& inst);
// True while a callback runs or a call that passed one is under way.
bool dll_callbacks_active(const interp::Instance& inst);
// Releases the callbacks of the instance (dll_release_all calls it).
void dll_callback_release_all(const interp::Instance& inst);
void dll_struct_release_all(const interp::Instance& inst);

}  // namespace kel::lib
