// A minimal PNG writer for the counter image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kel::host {

// A 1-bit greyscale PNG (signature, IHDR, one IDAT, IEND) of `width` x `height` pixels.
// `rows` holds height rows of (width + 7) / 8 bytes each, leftmost pixel in the most
// significant bit, 1 white and 0 black as PNG reads them. Empty when rows is short or
// zlib fails.
std::string png_1bit(uint32_t width, uint32_t height, const std::vector<uint8_t>& rows);

}  // namespace kel::host
