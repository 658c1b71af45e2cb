// libFuzzer target: inflation of arbitrary bytes into a bounded target. The first two
// bytes choose the target's size; nothing may be written past it, and a stream that is
// accepted must inflate to the same bytes through zlib's own one-call routine.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <zlib.h>

#include "lib/binbuf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t cap = static_cast<size_t>(data[0]) << 8 | data[1];
    data += 2;
    size -= 2;
    // Exactly cap bytes on the heap, so that the address sanitizer sees any overrun.
    std::vector<uint8_t> out(cap ? cap : 1);
    size_t len = 0;
    bool ok = kel::lib::inflate_bounded(data, size, out.data(), cap, &len);
    if (!ok) return 0;
    if (len > cap) abort();
    std::vector<uint8_t> ref(cap + 1);
    uLongf ref_len = static_cast<uLongf>(ref.size());
    uLong src_len = static_cast<uLong>(size);
    if (uncompress2(ref.data(), &ref_len, data, &src_len) != Z_OK) abort();
    if (ref_len != len || (len && std::memcmp(ref.data(), out.data(), len) != 0)) abort();
    return 0;
}
