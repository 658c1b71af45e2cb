// MD5 (RFC 1321) over a block of memory: binary-buffer checksums and any other digest of
// bytes the library makes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::lib {

void md5_digest(const uint8_t* data, size_t n, uint8_t out[16]);

}  // namespace kel::lib
