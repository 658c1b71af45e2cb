// zlib, loaded on first use: most requests compress nothing, and a library that is not
// mapped at start-up costs the loader nothing. The types and constants are zlib's own.
#pragma once
#include <zlib.h>

#include "platform/api.h"

namespace kel::platform {

// The CRC-32 of zlib and PNG (reflected polynomial 0xEDB88320), continued from `crc`
// (0 to start): zlib's own, or the same sums computed here when zlib cannot be loaded.
KEL_PLATFORM_API uint32_t crc32_update(uint32_t crc, const void* data, size_t n);

// zlib's compressBound(), compress2(), inflateInit(), inflate() and inflateEnd(). When
// zlib cannot be loaded, compress and inflate_init answer Z_VERSION_ERROR and the bound
// is still a safe one.
KEL_PLATFORM_API unsigned long z_compress_bound(unsigned long n);
KEL_PLATFORM_API int z_compress2(unsigned char* dst, unsigned long* dst_len, const unsigned char* src,
                                 unsigned long n, int level);
KEL_PLATFORM_API int z_inflate_init(z_stream* z);
KEL_PLATFORM_API int z_inflate(z_stream* z, int flush);
KEL_PLATFORM_API int z_inflate_end(z_stream* z);

}  // namespace kel::platform
