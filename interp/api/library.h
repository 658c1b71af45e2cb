// What the entry points (interp/abi/) ask of the builtin library besides its builtins:
// the binary buffers the host reaches through DLLServices 1, 28, 33, 43 and 44 and
// UncompressBuffer, and the release of an instance's library state at phase 99. Declared
// here by the interpreter, defined by lib/ (lib/binbuf.cpp, lib/binbuf_io.cpp, lib/dll.cpp,
// lib/files.cpp).
#pragma once
#include <cstddef>
#include <cstdint>

#include "interp/base/instance.h"
#include "platform/gmem.h"

namespace kel::lib {

struct BinBuf {
    platform::Handle mem = 0;  // movable block, locked from allocation to free
    uint8_t* data = nullptr;
    int32_t size = 0;
    int32_t eod = 0;
    int32_t ole_type = 0;  // how an automation call would pass the buffer (binaryoletype)
};

// The buffer behind a handle, or nullptr for a handle out of range or of a free slot.
// Sets no error: callers choose their own.
BinBuf* binbuf_get(const interp::Instance& inst, int32_t handle);
// Frees every buffer of the instance and forgets its table.
void binbuf_release_all(const interp::Instance& inst);

// Copies min(n, size) bytes to the start of the buffer and sets the end of data to the
// bytes copied: 1 when everything fitted, 0 when cut, -1 for a bad handle or no data
// (a valid buffer is then left with end of data 0).
intptr_t binbuf_store(interp::Instance& inst, int32_t handle, const char* data, size_t n);

// Inflates one zlib stream of n bytes into the buffer (UncompressBuffer, service 33, and
// binaryuncomp): the decompressed length, which becomes the end of data, or -1 with 1593
// raised and the buffer unchanged when the stream is corrupt, truncated or does not fit.
int32_t binbuf_inflate(interp::Instance& inst, const uint8_t* src, size_t n, int32_t handle);

// Releases every library, structure and callback of the instance (its end).
void dll_release_all(const interp::Instance& inst);

namespace files {
// Closes the files the script left open when its instance ends, as the process's end
// would close them (their locks go with them).
void files_release_all(interp::Instance& inst);
}  // namespace files

}  // namespace kel::lib
