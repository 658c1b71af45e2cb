// Platform layer: zlib through dlopen on its first use, and the CRC-32 it would give.
#include "platform/zlib.h"

#include <array>

#include "platform/dynlib.h"
#include "platform/errors.h"

namespace kel::platform {

namespace {

struct Zlib {
    uLong (*bound)(uLong) = nullptr;
    int (*compress2)(Bytef*, uLongf*, const Bytef*, uLong, int) = nullptr;
    int (*inflate_init)(z_streamp, const char*, int) = nullptr;
    int (*inflate)(z_streamp, int) = nullptr;
    int (*inflate_end)(z_streamp) = nullptr;
    uLong (*crc32)(uLong, const Bytef*, uInt) = nullptr;
    bool ok = false;
};

const Zlib& zlib() {
    static const Zlib z = [] {
        Zlib r;
        uint32_t saved = last_error();
        // The library stays loaded for the life of the process.
        void* lib = lib_load("libz.so.1");
        if (!lib) {
            set_last_error(saved);
            return r;
        }
        r.ok = lib_bind(lib, "compressBound", &r.bound) && lib_bind(lib, "compress2", &r.compress2) &&
               lib_bind(lib, "inflateInit_", &r.inflate_init) && lib_bind(lib, "inflate", &r.inflate) &&
               lib_bind(lib, "inflateEnd", &r.inflate_end);
        lib_bind(lib, "crc32", &r.crc32);
        set_last_error(saved);
        return r;
    }();
    return z;
}

constexpr std::array<uint32_t, 256> kCrcTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}();

}  // namespace

uint32_t crc32_update(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    // zlib's is several times faster on long data; it takes 32-bit lengths.
    if (const Zlib& z = zlib(); z.crc32) {
        uLong c = crc;
        while (n) {
            uInt piece = n > (size_t{1} << 30) ? (1u << 30) : static_cast<uInt>(n);
            c = z.crc32(c, p, piece);
            p += piece;
            n -= piece;
        }
        return static_cast<uint32_t>(c);
    }
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = kCrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

unsigned long z_compress_bound(unsigned long n) {
    const Zlib& z = zlib();
    if (z.ok) return z.bound(n);
    // zlib's own bound, for a caller that sizes a buffer before the compress fails.
    return n + (n >> 12) + (n >> 14) + (n >> 25) + 13;
}

int z_compress2(unsigned char* dst, unsigned long* dst_len, const unsigned char* src, unsigned long n, int level) {
    const Zlib& z = zlib();
    return z.ok ? z.compress2(dst, dst_len, src, n, level) : Z_VERSION_ERROR;
}

int z_inflate_init(z_stream* s) {
    const Zlib& z = zlib();
    return z.ok ? z.inflate_init(s, ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) : Z_VERSION_ERROR;
}

int z_inflate(z_stream* s, int flush) {
    const Zlib& z = zlib();
    return z.ok ? z.inflate(s, flush) : Z_STREAM_ERROR;
}

int z_inflate_end(z_stream* s) {
    const Zlib& z = zlib();
    return z.ok ? z.inflate_end(s) : Z_STREAM_ERROR;
}

}  // namespace kel::platform
