// binarycomp and binaryuncomp against Python's zlib module on random data: streams
// either side makes are read by the other, through the real tarnhost.
#include <gtest/gtest.h>

#include "tests/run/run_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace fs = std::filesystem;
using kel_run::read_all;
using kel_run::stage_binaries;

namespace {

class BinBufZlib : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("python3 -c 'import zlib' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
        dir_ = stage_binaries("kel_zlib_");
    }
    void TearDown() override {
        if (!dir_.empty() && !::testing::Test::HasFailure()) fs::remove_all(dir_);
    }
    int sh(const std::string& cmd) { return std::system(("cd '" + dir_.string() + "' && " + cmd).c_str()); }
    std::string run(const std::string& script) {
        std::ofstream(dir_ / "t.web", std::ios::binary) << script;
        sh("timeout 60 ./tarnhost /TarnwickLocal:out.txt t.web >/dev/null 2>err.txt");
        return read_all(dir_ / "out.txt");
    }
    fs::path dir_;
};

}  // namespace

TEST_F(BinBufZlib, RoundTripsWithPython) {
    // Random bytes, text-like bytes and one of each size edge, made by Python with a seed.
    ASSERT_EQ(sh("python3 - <<'EOF'\n"
                 "import random, zlib\n"
                 "r = random.Random(16)\n"
                 "data = {'rand.bin': bytes(r.getrandbits(8) for _ in range(200000)),\n"
                 "        'text.bin': bytes(r.choice(b'abc ') for _ in range(300000)),\n"
                 "        'one.bin': b'\\x00'}\n"
                 "for name, d in data.items():\n"
                 "    open(name, 'wb').write(d)\n"
                 "    open(name + '.py.z', 'wb').write(zlib.compress(d, r.choice([1, 6, 9])))\n"
                 "EOF"),
              0);
    std::string out = run(
        "webout(\"Content-type: text/plain\", 1)\n"
        "webout(\"\", 1)\n"
        "src = binaryalloc(400000)\n"
        "z = binaryalloc(400000)\n"
        "back = binaryalloc(400000)\n"
        "for i = 1 to 3\n"
        "  name = itemextract(i, \"rand.bin,text.bin,one.bin\", \",\")\n"
        "  n = binaryread(src, name)\n"
        "  binaryread(z, name : \".py.z\")\n"
        "  m = binaryuncomp(z, back)\n"
        "  webout(name : \" \" : (m == n) : binarycompare(src, 0, back, 0, n), 1)\n"
        "  binarycomp(src, z, 9)\n"
        "  binarywrite(z, name : \".kel.z\")\n"
        "next\n");
    EXPECT_EQ(out, "Content-type: text/plain\r\n\r\nrand.bin 11\r\ntext.bin 11\r\none.bin 11\r\n")
        << read_all(dir_ / "err.txt");
    EXPECT_EQ(sh("python3 -c \"import zlib, sys\n"
                 "for n in ['rand.bin', 'text.bin', 'one.bin']:\n"
                 "    z = open(n + '.kel.z', 'rb').read()\n"
                 "    assert z[0] == 0x78, n\n"
                 "    assert zlib.decompress(z) == open(n, 'rb').read(), n\n\""),
              0);
}
