// zlib, libffi and libm: opened on first use, and then the libraries' own behaviour.
#include <gtest/gtest.h>

#include <cerrno>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/mathlib.h"
#include "platform/nativecall.h"
#include "platform/zlib.h"

using namespace kel::platform;

namespace {

bool mapped(const char* name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(name) != std::string::npos) return true;
    return false;
}

int32_t add3(int32_t a, int32_t b, int32_t c) { return a + b + c; }

TEST(LazyLibs, ZlibAndFfiAreMappedOnlyOnceUsed) {
    // In a child of its own: other tests of this binary may have loaded them already.
    EXPECT_EXIT(
        {
            int bad = 0;
            if (mapped("libz.so") || mapped("libffi.so")) bad |= 1;
            unsigned char out[64];
            unsigned long len = sizeof out;
            const unsigned char in[] = "abc";
            if (z_compress2(out, &len, in, 3, 6) != Z_OK || !mapped("libz.so")) bad |= 2;
            if (mapped("libffi.so")) bad |= 4;
            NativeArg args[3];
            for (int i = 0; i < 3; ++i) args[i].v.s32 = i + 1;
            NativeResult r;
            if (!native_call(reinterpret_cast<void*>(&add3), args, 3, NativeType::kS32, &r) || r.bits != 6) bad |= 8;
            if (!mapped("libffi.so")) bad |= 16;
            std::exit(bad);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(LazyLibs, Crc32MatchesTheStandardCheckValues) {
    EXPECT_EQ(crc32_update(0, "", 0), 0u);
    EXPECT_EQ(crc32_update(0, "123456789", 9), 0xCBF43926u);
    const char* fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(crc32_update(0, fox, std::strlen(fox)), 0x414FA339u);
    // Continued in pieces, the same as in one go.
    uint32_t crc = crc32_update(0, fox, 10);
    EXPECT_EQ(crc32_update(crc, fox + 10, std::strlen(fox) - 10), 0x414FA339u);
}

TEST(LazyLibs, CompressAndInflateRoundTrip) {
    std::string text;
    for (int i = 0; i < 500; ++i) text += "line " + std::to_string(i) + "\r\n";
    std::vector<unsigned char> packed(z_compress_bound(text.size()));
    unsigned long len = packed.size();
    ASSERT_EQ(z_compress2(packed.data(), &len, reinterpret_cast<const unsigned char*>(text.data()), text.size(), 9), Z_OK);
    EXPECT_LT(len, text.size());

    std::string back(text.size(), '\0');
    z_stream z{};
    ASSERT_EQ(z_inflate_init(&z), Z_OK);
    z.next_in = packed.data();
    z.avail_in = static_cast<uInt>(len);
    z.next_out = reinterpret_cast<Bytef*>(back.data());
    z.avail_out = static_cast<uInt>(back.size());
    EXPECT_EQ(z_inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z_inflate_end(&z), Z_OK);
    EXPECT_EQ(back, text);
}

TEST(LazyLibs, CompressAndInflateReportFailures) {
    const unsigned char in[] = "some text that does not fit in four bytes";
    unsigned char out[4];
    unsigned long len = sizeof out;
    EXPECT_EQ(z_compress2(out, &len, in, sizeof in, 6), Z_BUF_ERROR);

    unsigned char junk[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    unsigned char dst[16];
    z_stream z{};
    ASSERT_EQ(z_inflate_init(&z), Z_OK);
    z.next_in = junk;
    z.avail_in = sizeof junk;
    z.next_out = dst;
    z.avail_out = sizeof dst;
    EXPECT_EQ(z_inflate(&z, Z_FINISH), Z_DATA_ERROR);
    z_inflate_end(&z);
}

TEST(LazyLibs, MathFunctionsKeepTheLibrarysResultsAndFlags) {
    EXPECT_EQ(math1(MathFn::kSqrt, 2.0), std::sqrt(2.0));
    EXPECT_EQ(math1(MathFn::kSin, 1.0), std::sin(1.0));
    EXPECT_EQ(math1(MathFn::kTanh, 0.5), std::tanh(0.5));
    EXPECT_EQ(math_pow(2.0, 10.0), 1024.0);
    EXPECT_EQ(math_pow(1.5, 2.5), std::pow(1.5, 2.5));

    fp_clear_flags();
    EXPECT_EQ(fp_test_flags(FE_ALL_EXCEPT), 0);
    errno = 0;
    EXPECT_TRUE(std::isnan(math1(MathFn::kSqrt, -1.0)));
    EXPECT_TRUE(fp_test_flags(FE_INVALID));
    EXPECT_EQ(errno, EDOM);

    fp_clear_flags();
    EXPECT_TRUE(std::isinf(math1(MathFn::kLog, 0.0)));
    EXPECT_TRUE(fp_test_flags(FE_DIVBYZERO));
    EXPECT_FALSE(fp_test_flags(FE_INVALID));

    fp_clear_flags();
    errno = 0;
    EXPECT_TRUE(std::isinf(math_pow(10.0, 400.0)));
    EXPECT_TRUE(fp_test_flags(FE_OVERFLOW));
    EXPECT_EQ(errno, ERANGE);
}

}  // namespace
