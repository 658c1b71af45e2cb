// Binary buffers: 128 fixed-size byte areas per interpreter instance, named by handles
// 987659 to 987786. The table is created on the first allocation and released with the
// instance (phase 99). The builtins are in binbuf.cpp (table, numbers, strings, ranges),
// binbuf_search.cpp (search, replace, records, translation), binbuf_tags.cpp (tagged
// sections) and binbuf_io.cpp (files, checksums, compression); the host reaches the
// buffers through DLLServices 1, 28, 33, 43 and 44.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/api/library.h"
#include "interp/base/instance.h"
#include "platform/gmem.h"

namespace kel::lib {

class Call;

constexpr int32_t kBinBufFirstHandle = 987659;
constexpr int kBinBufSlots = 128;

// The slot index (0 ... 127) of a live buffer's handle, or -1.
int binbuf_slot(const interp::Instance& inst, int32_t handle);
// A new zero-filled buffer: its handle, or 0 with error 3024 (no free slot) or 1126
// (negative size, no memory).
int32_t binbuf_alloc(interp::Instance& inst, int32_t size);
// False for an invalid handle.
bool binbuf_free(interp::Instance& inst, int32_t handle);
// Live buffers of an instance (tests and leak checks).
int binbuf_count(const interp::Instance& inst);

// The same inflation into any memory: the output never passes `cap` bytes. True with the
// length in *out_len for a complete stream that fits.
bool inflate_bounded(const uint8_t* src, size_t n, uint8_t* dst, size_t cap, size_t* out_len);

// The pieces the builtins share.
// The buffer named by argument n, or nullptr with 3023 raised.
BinBuf* binbuf_arg(Call& c, int n);
inline void binbuf_raise_eod(BinBuf& b, int64_t end) {
    if (end > b.eod) b.eod = static_cast<int32_t>(end);
}
// True when [offset, offset + count) lies within `limit`, the sum taken in 64 bits so that
// no offset and count of 32-bit arguments can wrap past it. Offset and count must be >= 0.
inline bool binbuf_range_ok(int64_t offset, int64_t count, int64_t limit) { return offset + count <= limit; }

// A decimal integer of up to 64 bits: blanks, at most one sign, then digits only (at least
// one). False for anything else or a magnitude beyond 2^64 - 1.
bool parse_decimal64(std::string_view s, bool* negative, uint64_t* magnitude);

// The first position p >= from with p + pattern <= end where the pattern matches (bytes
// compared after upper-case mapping when nocase), or -1; an empty pattern never matches.
int64_t binbuf_find(const uint8_t* data, int64_t from, int64_t end, std::string_view pat, bool nocase);

// Hex text to bytes: pairs of hex digits (either case), with spaces, CR and LF between
// pairs ignored. False for any other character or an odd digit.
bool hex_to_bytes(std::string_view hex, std::string* out);

// The tag functions' state string, as a record (binbuf_tags.cpp).
struct TagState {
    int32_t slot = 0;
    int32_t offset = 0;
    int32_t state = 0;
    int32_t data_len = 0;
    std::string_view start_tag;
    std::string_view end_tag;
};
constexpr int32_t kTagInit = 73;
constexpr int32_t kTagFound = 70;
constexpr int32_t kTagReplaced = 82;
// Reads a tag string: false when it is not one that binarytaginit could have made (too
// short, a length field that differs from its real length, fields that are not hex
// digits or negative, a state other than 70, 73 or 82, tags of the wrong lengths).
bool tag_parse(std::string_view text, TagState* out);
// The tag string of a state, or "" when it cannot be represented (longer than 65535).
std::string tag_format(const TagState& t);

}  // namespace kel::lib
