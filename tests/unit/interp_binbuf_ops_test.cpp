// Binary buffer operations: end-of-data rules, offsets and counts near the 32-bit limits,
// hostile compressed data, the tag string, and the host's inflate services.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

#include "interp_run_fixture.h"
#include "lib/binbuf.h"

using namespace kel;
using namespace kel::lib;
using kel::test::Entered;
using kel::test::RunHost;

namespace {

// Runs a script in a fresh instance; the caller reads its output and error.
struct Script {
    RunHost rh;
    explicit Script(const std::string& text) {
        EXPECT_TRUE(rh.start());
        rh.run(text);
    }
    uint16_t error() { return rh.error(); }
    // The bytes and end of data of the first buffer the script allocated.
    std::string bytes(int slot = 0) {
        Entered e(rh.host.inst_block);
        const BinBuf* b = binbuf_get(e.inst(), kBinBufFirstHandle + slot);
        return b ? std::string(reinterpret_cast<const char*>(b->data), static_cast<size_t>(b->size)) : "";
    }
    int32_t eod(int slot = 0) {
        Entered e(rh.host.inst_block);
        const BinBuf* b = binbuf_get(e.inst(), kBinBufFirstHandle + slot);
        return b ? b->eod : -1;
    }
};

const char kSetup[] = "h = binaryalloc(16)\nbinarypokestr(h, 0, \"0123456789abcdef\")\nbinaryeodset(h, 8)\n";

std::vector<uint8_t> deflate_of(const std::string& data) {
    uLongf n = compressBound(static_cast<uLong>(data.size()));
    std::vector<uint8_t> out(n);
    EXPECT_EQ(compress2(out.data(), &n, reinterpret_cast<const Bytef*>(data.data()), data.size(), 9), Z_OK);
    out.resize(n);
    return out;
}

}  // namespace

TEST(BinBufBounds, CountsAndOffsetsAreCheckedIn64Bits) {
    struct Case {
        const char* call;
        uint16_t error;
    } cases[] = {
        {"binarycopy(h, 1, h, 0, -1)", 1549},
        {"binarycopy(h, 1, h, 0, 2147483647)", 3328},
        {"binarycopy(h, 0, h, 1, 2147483647)", 3328},
        {"binarycopy(h, 0, h, 2147483647, 1)", 3327},
        {"binarycompare(h, 1, h, 0, 2147483647)", 1544},
        {"binarycompare(h, 0, h, 0, -2147483648)", 1549},
        {"binaryand(h, 1, h, 0, 2147483647)", 1544},
        {"binaryor(h, 0, h, 1, -1)", 1549},
        {"binaryxor(h, 2147483647, h, 0, 1)", 1543},
        {"binarypeekhex(h, 1, 2147483647)", 1551},
        {"binarypeek4(h, 2147483646)", 3325},
        {"binarypoke2(h, 2147483647, 1)", 3325},
        {"binarypeek8(h, 2147483641)", 3325},
        {"binarypokehex(h, 15, \"0102\")", 1721},
        {"binarypokestr(h, 2147483647, \"a\")", 2332},
        {"binarypeekstr(h, -1, 2147483647)", 2331},
        {"binarywriteex(h, 1, \"never.bin\", \"0\", 2147483647)", 1544},
        {"binarywriteex(h, 1, \"never.bin\", \"0\", -2)", 1549},
        {"binarystrcnt(h, 0, 2147483647, \"a\")", 3333},
        {"binaryindex(h, -2147483648, \"a\", 0)", 1548},
        {"binarysort(h, 16, 2147483647, 1, 0)", 1477},
        {"binarysort(h, 4, 1, 2147483647, 0)", 1477},
    };
    for (const Case& k : cases) {
        Script s(std::string(kSetup) + k.call + "\n");
        EXPECT_EQ(s.error(), k.error) << k.call;
        EXPECT_EQ(s.bytes(), "0123456789abcdef") << k.call;
    }
}

TEST(BinBufBounds, ReadsStopAtTheEndOfData) {
    Script s(std::string(kSetup) +
             "out(binarypeekstr(h, 4, 2147483647))\n"
             "out(binaryindexex(h, 0, \"89\", 0, 1))\n"
             "out(binaryindexex(h, 15, \"67\", 1, 1))\n"
             "out(binarychecksum(h, 2))\n"
             "out(binarycompare(h, 0, h, 4, 5))\n");
    EXPECT_EQ(s.error(), 0);
    EXPECT_EQ(s.rh.out, "4567\n-1\n6\n2d803af5\n0\n");  // CRC-32 of "01234567"
}

TEST(BinBufEod, WritesAndNarrowPeeksRaiseIt) {
    Script s("h = binaryalloc(32)\n"
             "out(binaryeodget(h))\n"
             "binarypoke(h, 9, 1)\n"
             "out(binaryeodget(h))\n"
             "binarypoke4(h, 0, 1)\n"  // lower: unchanged
             "out(binaryeodget(h))\n"
             "x = binarypeek2(h, 11)\n"
             "out(binaryeodget(h))\n"
             "binarypokestr(h, 20, \"\")\n"  // nothing written
             "out(binaryeodget(h))\n"
             "binarypokestrw(h, 14, \"ab\")\n"
             "out(binaryeodget(h))\n"
             "x = binarypeekflt(h, 20)\n"
             "out(binaryeodget(h))\n"
             "g = binaryalloc(4)\n"
             "binarycopy(g, 1, h, 28, 2)\n"
             "out(binaryeodget(g) : \",\" : binaryeodget(h))\n"
             "x = binarycompare(h, 0, g, 0, 1)\n"
             "x = binarychecksum(g, 0)\n"
             "out(binaryeodget(g))\n");
    EXPECT_EQ(s.error(), 0);
    EXPECT_EQ(s.rh.out, "0\n10\n10\n13\n13\n18\n28\n3,28\n3\n");
}

TEST(BinBufEod, AFailedCopyKeepsTheRaisedTarget) {
    // The target's end of data is raised before the source range is checked.
    Script s("t = binaryalloc(16)\ns = binaryalloc(4)\nbinarycopy(t, 2, s, 1, 8)\n");
    EXPECT_EQ(s.error(), 3329);
    EXPECT_EQ(s.eod(0), 10);
    Script r("t = binaryalloc(16)\ns = binaryalloc(4)\nbinarycopy(t, 9, s, 0, 8)\n");
    EXPECT_EQ(r.error(), 3328);
    EXPECT_EQ(r.eod(0), 0);
}

TEST(BinBufInflate, NeverWritesOrTakesMoreThanTheTarget) {
    // 64 MiB of zeros deflate to about 64 KiB; the target holds 1 MiB.
    std::string big(64u << 20, '\0');
    std::vector<uint8_t> bomb = deflate_of(big);
    ASSERT_LT(bomb.size(), 100000u);
    std::vector<uint8_t> out((1u << 20) + 16, 0xAB);
    size_t len = 0;
    EXPECT_FALSE(inflate_bounded(bomb.data(), bomb.size(), out.data(), 1u << 20, &len));
    for (size_t i = 1u << 20; i < out.size(); ++i) ASSERT_EQ(out[i], 0xAB);

    std::string text = "a small text, a small text, a small text";
    std::vector<uint8_t> z = deflate_of(text);
    EXPECT_TRUE(inflate_bounded(z.data(), z.size(), out.data(), text.size(), &len));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), len), text);
    EXPECT_FALSE(inflate_bounded(z.data(), z.size(), out.data(), text.size() - 1, &len));
    EXPECT_FALSE(inflate_bounded(z.data(), z.size() - 1, out.data(), out.size(), &len));  // truncated
    std::vector<uint8_t> bad = z;
    bad[bad.size() - 1] ^= 1;  // the Adler-32 check fails
    EXPECT_FALSE(inflate_bounded(bad.data(), bad.size(), out.data(), out.size(), &len));
    EXPECT_FALSE(inflate_bounded(nullptr, 0, out.data(), out.size(), &len));
}

TEST(BinBufInflate, ServiceAndExportLeaveTheTargetAloneOnFailure) {
    kel::test::FakeHost host;
    ASSERT_TRUE(host.start());
    int32_t h;
    {
        Entered e(host.inst_block);
        h = binbuf_alloc(e.inst(), 8);
        binbuf_store(e.inst(), h, "keep", 4);
    }
    std::string text = "12345678";
    std::vector<uint8_t> z = deflate_of(text);
    std::vector<uint8_t> big = deflate_of(std::string(100000, 'x'));
    auto s1 = [](const std::vector<uint8_t>& v) { return reinterpret_cast<const char*>(v.data()); };
    EXPECT_EQ(host.svc(33, s1(big), nullptr, static_cast<intptr_t>(big.size()), h), 0);
    EXPECT_EQ(host.svc(43, "", reinterpret_cast<const char*>(static_cast<intptr_t>(h)), 3), 4);
    EXPECT_EQ(host.svc(33, s1(z), nullptr, static_cast<intptr_t>(z.size()), h), 8);
    EXPECT_EQ(host.svc(33, s1(z), nullptr, static_cast<intptr_t>(z.size()), h + 1), 0);
    {
        platform::GmemLock lock(host.inst_block);
        EXPECT_EQ(UncompressBuffer(lock.get(), big.data(), static_cast<int32_t>(big.size()), h), -1);
        EXPECT_EQ(UncompressBuffer(lock.get(), z.data(), static_cast<int32_t>(z.size()), h), 8);
        EXPECT_EQ(UncompressBuffer(lock.get(), z.data(), -1, h), -1);
        EXPECT_EQ(UncompressBuffer(nullptr, z.data(), static_cast<int32_t>(z.size()), h), -1);
    }
    {
        Entered e(host.inst_block);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(binbuf_get(e.inst(), h)->data), 8), text);
        EXPECT_EQ(e.inst().err_code, 0);
    }
    host.stop();
}

TEST(BinBufTags, FormatAndParseRoundTrip) {
    TagState t;
    t.slot = 127;
    t.offset = 0x7FFFFFFF;
    t.state = kTagFound;
    t.data_len = 5;
    t.start_tag = "<a>";
    t.end_tag = "</a>";
    std::string s = tag_format(t);
    EXPECT_EQ(s, "002D007F7FFFFFFF00460003000400000005<a> </a> ");
    TagState back;
    ASSERT_TRUE(tag_parse(s, &back));
    EXPECT_EQ(back.slot, 127);
    EXPECT_EQ(back.offset, 0x7FFFFFFF);
    EXPECT_EQ(back.state, kTagFound);
    EXPECT_EQ(back.data_len, 5);
    EXPECT_EQ(back.start_tag, "<a>");
    EXPECT_EQ(back.end_tag, "</a>");
    // Lower-case hex digits are read too.
    std::string lower = s;
    lower[9] = 'f';
    EXPECT_TRUE(tag_parse(lower, &back));
}

TEST(BinBufTags, EditedStringsAreRefused) {
    TagState t;
    t.state = kTagInit;
    t.start_tag = "<<";
    t.end_tag = ">>";
    const std::string s = tag_format(t);
    TagState out;
    ASSERT_TRUE(tag_parse(s, &out));
    // Any digit of the fixed part made a non-digit, or any field changed so that the
    // lengths, the state or the slot no longer hold.
    for (size_t i = 0; i < 36; ++i) {
        std::string e = s;
        e[i] = 'G';
        EXPECT_FALSE(tag_parse(e, &out)) << i;
    }
    auto with = [&](size_t at, const char* field) {
        std::string e = s;
        e.replace(at, std::strlen(field), field);
        return e;
    };
    EXPECT_FALSE(tag_parse(with(4, "0080"), &out));          // slot 128
    EXPECT_FALSE(tag_parse(with(8, "80000000"), &out));      // negative offset
    EXPECT_FALSE(tag_parse(with(28, "FFFFFFFF"), &out));     // negative data length
    EXPECT_FALSE(tag_parse(with(16, "0000"), &out));         // state
    EXPECT_FALSE(tag_parse(with(20, "0003"), &out));         // start tag length
    EXPECT_FALSE(tag_parse(with(36, "<<x>> "), &out));       // no space after the start tag
    EXPECT_FALSE(tag_parse(s.substr(0, 35), &out));
    EXPECT_FALSE(tag_parse(s + " ", &out));
    EXPECT_FALSE(tag_parse("", &out));
    // The longest representable tag string, and one past it.
    const std::string longest(65535 - 36 - 3, 'a'), too_long(65535 - 36 - 2, 'a');
    t.start_tag = longest;  // the state only views its tags
    t.end_tag = "b";
    std::string max = tag_format(t);
    EXPECT_EQ(max.size(), 65535u);
    EXPECT_TRUE(tag_parse(max, &out));
    t.start_tag = too_long;
    EXPECT_EQ(tag_format(t), "");
}

TEST(BinBufNumbers, DecimalStringsOf64Bits) {
    bool neg = false;
    uint64_t v = 0;
    EXPECT_TRUE(parse_decimal64("18446744073709551615", &neg, &v));
    EXPECT_EQ(v, UINT64_MAX);
    EXPECT_FALSE(parse_decimal64("18446744073709551616", &neg, &v));
    EXPECT_TRUE(parse_decimal64("  -12", &neg, &v));
    EXPECT_TRUE(neg);
    EXPECT_EQ(v, 12u);
    for (const char* bad : {"", " ", "-", "+", "1 ", "1.0", "--1", "0x10", "1e3"})
        EXPECT_FALSE(parse_decimal64(bad, &neg, &v)) << bad;
}
