#include "platform/random.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/internal.h"

namespace kel::platform {

void random_bytes(void* out, size_t n) {
    auto* p = static_cast<unsigned char*>(out);
    size_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(p + got, n - got, GRND_NONBLOCK);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        break;
    }
    if (got == n) return;
    timespec ts{};
    detail::read_clock(CLOCK_MONOTONIC, &ts);
    uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 32) ^
                 (static_cast<uint64_t>(getpid()) << 16) ^ reinterpret_cast<uintptr_t>(out);
    for (; got < n; ++got) {
        x ^= x << 13;  // xorshift: spreads the few changing bits over every byte
        x ^= x >> 7;
        x ^= x << 17;
        p[got] = static_cast<unsigned char>(x >> 56);
    }
}

}  // namespace kel::platform
