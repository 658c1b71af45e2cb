// The counter as a PNG: a valid file whose pixels are the X bitmap's, inverted and with
// the bit order turned round.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host/png.h"
#include "host/webfuncs.h"

using namespace kel::host;
using kel::Err;
using kel::err_number;

namespace {

uint32_t be32(const std::string& s, size_t at) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8) | static_cast<uint8_t>(s[at + 3]);
}

struct Chunk {
    std::string type, data;
};

// Splits a PNG into chunks, checking every CRC; empty on any fault.
std::vector<Chunk> chunks(const std::string& png) {
    std::vector<Chunk> out;
    if (png.compare(0, 8, std::string("\x89PNG\r\n\x1a\n", 8)) != 0) return {};
    for (size_t at = 8; at < png.size();) {
        if (at + 12 > png.size()) return {};
        uint32_t n = be32(png, at);
        if (at + 12 + n > png.size()) return {};
        std::string body = png.substr(at + 4, 4 + n);
        uint32_t crc = static_cast<uint32_t>(
            crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
        if (crc != be32(png, at + 8 + n)) return {};
        out.push_back({body.substr(0, 4), body.substr(4)});
        at += 12 + n;
    }
    return out;
}

// The pixels of a 96 x 16 one-bit PNG, 1 for black, row by row.
std::vector<int> png_pixels(const std::string& png) {
    auto c = chunks(png);
    EXPECT_EQ(c.size(), 3u);
    if (c.size() != 3) return {};
    EXPECT_EQ(c[0].type, "IHDR");
    EXPECT_EQ(be32(c[0].data, 0), 96u);
    EXPECT_EQ(be32(c[0].data, 4), 16u);
    EXPECT_EQ(c[0].data.substr(8), std::string("\x01\x00\x00\x00\x00", 5));
    EXPECT_EQ(c[1].type, "IDAT");
    EXPECT_EQ(c[2].type, "IEND");
    std::string raw(16 * 13, '\0');
    uLongf n = raw.size();
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(raw.data()), &n,
                         reinterpret_cast<const Bytef*>(c[1].data.data()), static_cast<uLong>(c[1].data.size())),
              Z_OK);
    EXPECT_EQ(n, raw.size());
    std::vector<int> px;
    for (int r = 0; r < 16; ++r) {
        EXPECT_EQ(raw[static_cast<size_t>(r) * 13], '\0');  // filter: none
        for (int x = 0; x < 96; ++x) {
            auto byte = static_cast<uint8_t>(raw[static_cast<size_t>(r) * 13 + 1 + static_cast<size_t>(x / 8)]);
            px.push_back((byte >> (7 - x % 8)) & 1 ? 0 : 1);
        }
    }
    return px;
}

// The pixels of the X bitmap text, 1 for black.
std::vector<int> xbm_pixels(const std::string& xbm) {
    std::vector<int> px;
    for (size_t at = xbm.find('{'); (at = xbm.find("0x", at)) != std::string::npos; at += 2) {
        unsigned v = static_cast<unsigned>(std::strtoul(xbm.c_str() + at + 2, nullptr, 16));
        for (int b = 0; b < 8; ++b) px.push_back((v >> b) & 1);
    }
    return px;
}

}  // namespace

TEST(WebCounterPng, SamePixelsAsTheBitmap) {
    for (const char* n : {"0", "42", "123456", "987654", "1"}) {
        std::string xbm, png;
        Err msg{};
        ASSERT_TRUE(counter_image(n, &xbm, &msg, CounterFormat::Xbm));
        ASSERT_TRUE(counter_image(n, &png, &msg, CounterFormat::Png));
        const std::string head = "Content-type: image/png\r\n\r\n";
        ASSERT_EQ(png.substr(0, head.size()), head);
        std::vector<int> a = xbm_pixels(xbm), b = png_pixels(png.substr(head.size()));
        ASSERT_EQ(a.size(), 96u * 16u);
        EXPECT_EQ(a, b) << n;
    }
}

TEST(WebCounterPng, BadCountersAreRefusedAsForTheBitmap) {
    std::string img = "kept";
    Err msg{};
    EXPECT_FALSE(counter_image("1234567", &img, &msg, CounterFormat::Png));
    EXPECT_EQ(err_number(msg), 10115);
    EXPECT_FALSE(counter_image("-1", &img, &msg, CounterFormat::Png));
    EXPECT_EQ(err_number(msg), 10114);
    EXPECT_EQ(img, "kept");
}

TEST(Png, RefusesShortOrEmptyPixelData) {
    EXPECT_TRUE(png_1bit(9, 2, std::vector<uint8_t>(3)).empty());
    EXPECT_TRUE(png_1bit(0, 1, {}).empty());
    EXPECT_EQ(chunks(png_1bit(9, 2, std::vector<uint8_t>(4))).size(), 3u);
}
