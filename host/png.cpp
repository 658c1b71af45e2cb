#include "host/png.h"

#include "platform/zlib.h"

namespace kel::host {

namespace {

void put32(std::string& s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xff);
}

// A chunk: length, type, data, and the CRC-32 over type and data.
void chunk(std::string& png, const char* type, const std::string& data) {
    put32(png, static_cast<uint32_t>(data.size()));
    std::string body = type + data;
    png += body;
    put32(png, platform::crc32_update(0, body.data(), body.size()));
}

}  // namespace

std::string png_1bit(uint32_t width, uint32_t height, const std::vector<uint8_t>& rows) {
    size_t stride = (static_cast<size_t>(width) + 7) / 8;
    if (width == 0 || height == 0 || rows.size() < stride * height) return {};
    // Each scanline starts with its filter byte (0, none).
    std::string raw;
    raw.reserve((stride + 1) * height);
    for (uint32_t r = 0; r < height; ++r) {
        raw += '\0';
        raw.append(reinterpret_cast<const char*>(rows.data()) + r * stride, stride);
    }
    unsigned long packed_size = platform::z_compress_bound(raw.size());
    std::string packed(packed_size, '\0');
    if (platform::z_compress2(reinterpret_cast<unsigned char*>(packed.data()), &packed_size,
                              reinterpret_cast<const unsigned char*>(raw.data()), raw.size(), Z_BEST_COMPRESSION) != Z_OK)
        return {};
    packed.resize(packed_size);

    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string ihdr;
    put32(ihdr, width);
    put32(ihdr, height);
    ihdr += std::string("\x01\x00\x00\x00\x00", 5);  // bit depth 1, greyscale, deflate, filters 0, no interlace
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", "");
    return png;
}

}  // namespace kel::host
