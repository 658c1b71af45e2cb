// Binary buffers: 128 fixed-size byte areas per interpreter instance, named by handles
// 987659 to 987786. The table is created on the first allocation and released with the
// instance (phase 99). The builtins are in binbuf.cpp; the host reaches the buffers through
// DLLServices 1, 28, 43 and 44.
#pragma once
#include <cstddef>
#include <cstdint>

#include "interp/instance.h"
#include "platform/gmem.h"

namespace kel::lib {

constexpr int32_t kBinBufFirstHandle = 987659;
constexpr int kBinBufSlots = 128;

struct BinBuf {
    platform::Handle mem = 0;  // movable block, locked from allocation to free
    uint8_t* data = nullptr;
    int32_t size = 0;
    int32_t eod = 0;
};

// The buffer behind a handle, or nullptr for a handle out of range or of a free slot.
// Sets no error: callers choose their own.
BinBuf* binbuf_get(const interp::Instance& inst, int32_t handle);
// A new zero-filled buffer: its handle, or 0 with error 3024 (no free slot) or 1126
// (negative size, no memory).
int32_t binbuf_alloc(interp::Instance& inst, int32_t size);
// False for an invalid handle.
bool binbuf_free(interp::Instance& inst, int32_t handle);
// Frees every buffer of the instance and forgets its table.
void binbuf_release_all(const interp::Instance& inst);
// Live buffers of an instance (tests and leak checks).
int binbuf_count(const interp::Instance& inst);

// Copies min(n, size) bytes to the start of the buffer and sets the end of data to the
// bytes copied: 1 when everything fitted, 0 when cut, -1 for a bad handle or no data
// (a valid buffer is then left with end of data 0).
intptr_t binbuf_store(interp::Instance& inst, int32_t handle, const char* data, size_t n);

}  // namespace kel::lib
