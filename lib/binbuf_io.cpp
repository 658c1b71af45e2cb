// Binary buffers and the world outside: whole and partial file transfer, checksums, and
// zlib compression (also behind the UncompressBuffer export). Files are opened through
// the platform's path layer with the share modes of IntControl 39 and 40.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "platform/zlib.h"

#include "interp/api/services.h"
#include "lib/binbuf.h"
#include "interp/api/builtin.h"
#include "lib/md5.h"
#include "platform/file_length.h"
#include "platform/fileio.h"

namespace kel::lib {

namespace pf = kel::platform;

int32_t binbuf_inflate(interp::Instance& inst, const uint8_t* src, size_t n, int32_t handle) {
    BinBuf* b = binbuf_get(inst, handle);
    if (!b) {
        inst.fail(Err::BadBinaryHandle);
        return -1;
    }
    // Inflated aside first, so that a stream that fails half-way leaves the target as it
    // was; the scratch block is never larger than the target.
    auto* tmp = static_cast<uint8_t*>(std::malloc(b->size ? static_cast<size_t>(b->size) : 1));
    size_t len = 0;
    bool ok = tmp && inflate_bounded(src, n, tmp, static_cast<size_t>(b->size), &len);
    if (ok) {
        std::memcpy(b->data, tmp, len);
        b->eod = static_cast<int32_t>(len);
    }
    std::free(tmp);
    if (!ok) {
        inst.fail(Err::UncompressFailed);
        return -1;
    }
    return static_cast<int32_t>(len);
}

namespace {

// The file name argument (code 8): the narrow form, which the router keeps beside a wide one.
std::string file_arg(Call& c, int n) { return std::string(c.str(n)); }

// Closes on every path; a failed close after writing is a failed write.
struct OpenFile {
    pf::File f;
    ~OpenFile() {
        if (f.valid()) pf::file_close(f);
    }
    bool close() {
        bool ok = pf::file_close(f);
        f = pf::File{};
        return ok;
    }
};

// Reads exactly n bytes at the current position, fewer only at the end of the file;
// -1 on a read error.
int64_t read_fully(pf::File f, uint8_t* dst, int64_t n) {
    int64_t total = 0;
    while (total < n) {
        int64_t r = pf::file_read(f, dst + total, static_cast<size_t>(n - total));
        if (r < 0) return -1;
        if (r == 0) break;
        total += r;
    }
    return total;
}

// binaryread(h, file): the whole file to offset 0; the end of data becomes its size.
void binaryread_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    std::string name = file_arg(c, 2);
    OpenFile of{pf::file_open_shared(name.c_str(), pf::Open::Read, interp::script_state(c.inst).share_read)};
    if (!of.f.valid()) return (void)c.fail(Err::FileOpenFailed).info(name);
    int64_t size = pf::file_size(of.f);
    if (size < 0) return (void)c.fail(Err::BinaryReadFailed).info(name);
    if (size > b->size) return (void)c.fail(Err::BinaryReadTooLarge).info(name);
    // A file that shrinks meanwhile gives fewer bytes; one that grows is read to the size
    // measured, never past the buffer.
    int64_t got = read_fully(of.f, b->data, size);
    if (got < 0) return (void)c.fail(Err::BinaryReadFailed).info(name);
    b->eod = static_cast<int32_t>(got);
    c.ret_int(b->eod);
}

// binarywrite(h, file): bytes 0 ... EOD - 1 to a new or truncated file.
void binarywrite_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    std::string name = file_arg(c, 2);
    OpenFile of{pf::file_open_shared(name.c_str(), pf::Open::WriteTruncate, interp::script_state(c.inst).share_write)};
    if (!of.f.valid()) return (void)c.fail(Err::FileOpenFailed).info(name);
    if (!pf::file_write(of.f, b->data, static_cast<size_t>(b->eod)) || !of.close())
        return (void)c.fail(Err::BinaryWriteFailed).info(name);
    c.ret_int(b->eod);
}

// The file offset of binaryreadex and binarywriteex: a decimal string, so that it can pass
// 32 bits; -1 after 1548 for an empty, non-numeric or negative one.
int64_t file_offset_arg(Call& c, int n) {
    bool neg = false;
    uint64_t v = 0;
    if (!parse_decimal64(c.str(n), &neg, &v) || (neg && v != 0) || v > static_cast<uint64_t>(INT64_MAX)) {
        c.fail(Err::BinBadOffset);
        return -1;
    }
    return static_cast<int64_t>(v);
}

// binaryreadex(h, offset, file, file-offset, count): count -1 reads to the end of the file;
// a count past the end is cut to what remains. Returns the bytes read.
void binaryreadex_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int64_t off = c.integer(2), count = c.integer(5);
    if (off < 0) return (void)c.fail(Err::BinBadOffset);
    if (off >= b->size) return (void)c.fail(Err::BinOffsetsBeyondBuffer);
    if (count < -1) return (void)c.fail(Err::BinBadCount);
    int64_t foff = file_offset_arg(c, 4);
    if (foff < 0) return;
    std::string name = file_arg(c, 3);
    OpenFile of{pf::file_open_shared(name.c_str(), pf::Open::Read, interp::script_state(c.inst).share_read)};
    if (!of.f.valid()) return (void)c.fail(Err::FileOpenFailed).info(name);
    int64_t size = pf::file_size(of.f);
    if (size < 0) return (void)c.fail(Err::BinaryReadFailed).info(name);
    if (foff > size) return (void)c.fail(Err::BinOffsetBeyondFile);
    int64_t n = size - foff;
    if (count >= 0 && count < n) n = count;
    if (n > INT32_MAX) return (void)c.fail(Err::ReadExTooLarge);
    if (!binbuf_range_ok(off, n, b->size)) return (void)c.fail(Err::BinCountBeyondBuffer);
    if (!pf::file_seek(of.f, foff)) return (void)c.fail(Err::BinSeekError);
    int64_t got = read_fully(of.f, b->data + off, n);
    if (got < 0) return (void)c.fail(Err::BinaryReadFailed).info(name);
    if (got > 0) binbuf_raise_eod(*b, off + got);
    c.ret_int(static_cast<int32_t>(got));
}

// binarywriteex(h, offset, file, file-offset, count): count bytes from offset written at
// file-offset of a file created when missing. A shorter file is first extended to
// file-offset with a hole that reads back as zeros; count -1 only sets the file's length
// to file-offset. Returns the bytes written.
void binarywriteex_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int64_t off = c.integer(2), count = c.integer(5);
    if (count != -1) {
        if (count < 0) return (void)c.fail(Err::BinBadCount);
        if (off < 0) return (void)c.fail(Err::BinBadOffset);
        if (off >= b->size) return (void)c.fail(Err::BinOffsetsBeyondBuffer);
        if (off >= b->eod) return (void)c.fail(Err::BinOffsetBeyondEod);
        if (!binbuf_range_ok(off, count, b->size)) return (void)c.fail(Err::BinCountBeyondBuffer);
        if (!binbuf_range_ok(off, count, b->eod)) return (void)c.fail(Err::BinCountBeyondEod);
    }
    int64_t foff = file_offset_arg(c, 4);
    if (foff < 0) return;
    std::string name = file_arg(c, 3);
    OpenFile of{pf::file_open_shared(name.c_str(), pf::Open::WriteCreate, interp::script_state(c.inst).share_write)};
    if (!of.f.valid()) return (void)c.fail(Err::FileOpenFailed).info(name);
    if (count == -1) {
        if (!pf::file_set_length(of.f, foff) || !of.close()) return (void)c.fail(Err::BinaryWriteFailed).info(name);
        return c.ret_int(0);
    }
    int64_t size = pf::file_size(of.f);
    if (size < 0) return (void)c.fail(Err::BinaryWriteFailed).info(name);
    if (size < foff && !pf::file_set_length(of.f, foff)) return (void)c.fail(Err::BinaryWriteFailed).info(name);
    if (!pf::file_seek(of.f, foff)) return (void)c.fail(Err::BinSeekError);
    if (!pf::file_write(of.f, b->data + off, static_cast<size_t>(count)) || !of.close())
        return (void)c.fail(Err::BinaryWriteFailed).info(name);
    c.ret_int(static_cast<int32_t>(count));
}

// CRC-16 with the reflected polynomial 0xA001, starting from 0.
uint16_t crc16(const uint8_t* p, size_t n) {
    static const auto table = [] {
        struct T {
            uint16_t v[256];
        } t{};
        for (int i = 0; i < 256; ++i) {
            uint16_t r = static_cast<uint16_t>(i);
            for (int k = 0; k < 8; ++k) r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0xA001) : static_cast<uint16_t>(r >> 1);
            t.v[i] = r;
        }
        return t;
    }();
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ table.v[(crc ^ p[i]) & 0xFF]);
    return crc;
}

// binarychecksum(h, request): 0 MD5 as four groups of eight hex digits joined by "-",
// 1 CRC-16 ("%04x"), 2 CRC-32 ("%08lx"), over bytes 0 ... EOD - 1.
void binarychecksum_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    size_t n = static_cast<size_t>(b->eod);
    char text[40];
    switch (c.integer(2)) {
    case 0: {
        uint8_t d[16];
        md5_digest(b->data, n, d);
        char* o = text;
        for (int i = 0; i < 16; ++i) {
            if (i && i % 4 == 0) *o++ = '-';
            o += std::snprintf(o, 3, "%02x", d[i]);
        }
        break;
    }
    case 1: std::snprintf(text, sizeof text, "%04x", crc16(b->data, n)); break;
    case 2: std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(platform::crc32_update(0, b->data, n))); break;
    default: return (void)c.fail(Err::ChecksumBadRequest);
    }
    c.ret_str(text);
}

// binarycomp(source, target, level): one zlib stream of the source's data; the target's
// size is the limit, and the target is unchanged when the stream does not fit.
void binarycomp_fn(Call& c) {
    BinBuf* s = binbuf_arg(c, 1);
    if (!s) return;
    BinBuf* t = binbuf_arg(c, 2);
    if (!t) return;
    auto* tmp = static_cast<uint8_t*>(std::malloc(t->size ? static_cast<size_t>(t->size) : 1));
    unsigned long len = static_cast<unsigned long>(t->size);
    bool ok = tmp && platform::z_compress2(tmp, &len, s->data, static_cast<unsigned long>(s->eod), c.integer(3)) == Z_OK;
    if (ok) {
        std::memcpy(t->data, tmp, len);
        t->eod = static_cast<int32_t>(len);
    }
    std::free(tmp);
    if (!ok) return (void)c.fail(Err::CompressFailed);
    c.ret_int(static_cast<int32_t>(len));
}

// binaryuncomp(source, target): the stream carries no length: the target must be large
// enough, and is unchanged when it is not, or when the stream is corrupt or truncated.
void binaryuncomp_fn(Call& c) {
    BinBuf* s = binbuf_arg(c, 1);
    if (!s) return;
    if (!binbuf_arg(c, 2)) return;
    int32_t len = binbuf_inflate(c.inst, s->data, static_cast<size_t>(s->eod), c.integer(2));
    if (len >= 0) c.ret_int(len);
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kBinBufIoBuiltins[] = {
    {"binarychecksum", binarychecksum_fn},
    {"binarycomp", binarycomp_fn},
    {"binaryread", binaryread_fn},
    {"binaryreadex", binaryreadex_fn},
    {"binaryuncomp", binaryuncomp_fn},
    {"binarywrite", binarywrite_fn},
    {"binarywriteex", binarywriteex_fn},
};

}  // namespace
KEL_BUILTIN_FAMILY(kBinBufIoBuiltins)

}  // namespace kel::lib
