// Array blocks and maps through the C++ API: limits, subscripts, sharing, reshaping behind
// the same handle, map tables, and the file helpers the array and map functions share.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "interp/data/array.h"
#include "interp/data/heap.h"
#include "interp/data/map.h"
#include "platform/gmem.h"
#include "platform/process.h"
#include "tests/unit/interp_host_fixture.h"

namespace kel::test {
namespace {

using interp::ArrayHeader;
using interp::ValueCore;

class ArrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.start());
        entered = std::make_unique<Entered>(host.inst_block);
        live_before = platform::gmem_live_count();
    }
    void TearDown() override {
        entered.reset();
        host.stop();
    }
    interp::Instance& inst() { return entered->inst(); }

    ValueCore make(std::initializer_list<int32_t> d, uint8_t flags = 0) {
        int32_t dims[interp::kMaxDims] = {};
        int n = 0;
        for (int32_t v : d) dims[n++] = v;
        ValueCore out{};
        EXPECT_GE(interp::array_create(inst(), out, dims, flags, n), 0);
        return out;
    }
    ValueCore text(const char* s) {
        ValueCore v{};
        v.flags = kVtStr;
        v.str = interp::heap_strdup(inst(), s);
        return v;
    }
    ValueCore num(int32_t i) {
        ValueCore v{};
        v.flags = kVtInt;
        v.i = i;
        return v;
    }
    std::string get_text(uint32_t arr, int64_t idx) {
        ValueCore out{};
        if (!interp::array_fetch(inst(), arr, idx, out)) return "<err " + std::to_string(inst().error()) + ">";
        std::string s = interp::heap_str(inst(), out.str);
        interp::release_value(inst(), out);
        return s;
    }
    std::string temp_path(const char* name) { return std::string(::testing::TempDir()) + name; }

    FakeHost host;
    std::unique_ptr<Entered> entered;
    size_t live_before = 0;
};

TEST_F(ArrayTest, CreatesWithLimits) {
    ValueCore a = make({2, 3});
    ArrayHeader* h = interp::array_header(a.str);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->dim_count, 2);
    EXPECT_EQ(h->count, 6);
    EXPECT_EQ(a.flags, static_cast<uint32_t>(kVtArray));
    interp::release_value(inst(), a);
    EXPECT_EQ(platform::gmem_live_count(), live_before);
}

TEST_F(ArrayTest, ZeroFirstDimensionGivesEmptyArray) {
    int32_t dims[5] = {0};
    ValueCore a{};
    EXPECT_EQ(interp::array_create(inst(), a, dims, 0, 1), 0);
    EXPECT_EQ(interp::array_header(a.str)->dim_count, 0);
    interp::release_value(inst(), a);
}

TEST_F(ArrayTest, RejectsBadDimensions) {
    ValueCore a{};
    int32_t gap[5] = {3, 0, 4};
    EXPECT_EQ(interp::array_create(inst(), a, gap, 0, 3), -1);
    EXPECT_EQ(inst().error(), 1630);
    inst().clear_error();
    int32_t neg[5] = {3, -1};
    EXPECT_EQ(interp::array_create(inst(), a, neg, 0, 2), -1);
    EXPECT_EQ(inst().error(), 1628);
    inst().clear_error();
    // The product overflows 32 bits (and would overflow 64 bits without the early cut).
    int32_t big[5] = {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
    EXPECT_EQ(interp::array_create(inst(), a, big, 0, 5), -1);
    EXPECT_EQ(inst().error(), 1644);
    inst().clear_error();
    int32_t just[5] = {90909090};  // 44 * n + 48 >= 4,000,000,000
    EXPECT_EQ(interp::array_create(inst(), a, just, 0, 1), -1);
    EXPECT_EQ(inst().error(), 1644);
    EXPECT_EQ(platform::gmem_live_count(), live_before);
}

TEST_F(ArrayTest, AllocationFailureIs1631) {
    platform::gmem_fail_next(1);
    ValueCore a{};
    int32_t dims[5] = {4};
    EXPECT_EQ(interp::array_create(inst(), a, dims, 0, 1), -1);
    EXPECT_EQ(inst().error(), 1631);
    EXPECT_EQ(platform::gmem_live_count(), live_before);
}

TEST_F(ArrayTest, GrowthFlagAddsSpareCapacity) {
    ValueCore a = make({10}, interp::kArrGrows);
    EXPECT_EQ(interp::array_header(a.str)->capacity, 10 + 185);
    ValueCore b = make({200}, interp::kArrGrows);
    EXPECT_EQ(interp::array_header(b.str)->capacity, 200 + 371);
    interp::release_value(inst(), a);
    interp::release_value(inst(), b);
}

TEST_F(ArrayTest, SubscriptsCheckedPerDimension) {
    ValueCore a = make({2, 3});
    int32_t ok[2] = {1, 2};
    EXPECT_EQ(interp::array_index(inst(), a.str, ok, 2), 5);
    // [0,3] would be linear index 3 (a valid element) but is outside dimension 2.
    int32_t past[2] = {0, 3};
    EXPECT_EQ(interp::array_index(inst(), a.str, past, 2), -1);
    EXPECT_EQ(inst().error(), 1636);
    inst().clear_error();
    int32_t neg[2] = {-1, 0};
    EXPECT_EQ(interp::array_index(inst(), a.str, neg, 2), -1);
    EXPECT_EQ(inst().error(), 1636);
    inst().clear_error();
    EXPECT_EQ(interp::array_index(inst(), a.str, ok, 1), -1);
    EXPECT_EQ(inst().error(), 1635);
    interp::release_value(inst(), a);
}

TEST_F(ArrayTest, StoreAndFetchCopyStrings) {
    ValueCore a = make({3});
    ValueCore s = text("hello");
    ASSERT_TRUE(interp::array_store(inst(), a.str, 1, s));
    interp::release_value(inst(), s);  // the element owns its own copy
    EXPECT_EQ(get_text(a.str, 1), "hello");
    ValueCore out{};
    EXPECT_FALSE(interp::array_fetch(inst(), a.str, 0, out));
    EXPECT_EQ(inst().error(), 1640);
    inst().clear_error();
    EXPECT_FALSE(interp::array_fetch(inst(), a.str, 3, out));
    EXPECT_EQ(inst().error(), 1636);
    inst().clear_error();
    ValueCore nested = make({1});
    EXPECT_FALSE(interp::array_store(inst(), a.str, 0, nested));
    EXPECT_EQ(inst().error(), 3647);
    inst().clear_error();
    interp::release_value(inst(), nested);
    interp::release_value(inst(), a);
    EXPECT_TRUE(interp::heap_check(inst()));
}

TEST_F(ArrayTest, SharingKeepsArrayUntilLastReference) {
    ValueCore a = make({2});
    ValueCore b = a;
    interp::array_addref(b.str);
    EXPECT_EQ(interp::array_refs(a.str), 2u);
    ValueCore s = text("x");
    interp::array_store(inst(), a.str, 0, s);
    interp::release_value(inst(), s);
    interp::release_value(inst(), a);
    EXPECT_NE(interp::array_header(b.str), nullptr);
    EXPECT_EQ(get_text(b.str, 0), "x");
    uint32_t h = b.str;
    interp::release_value(inst(), b);
    EXPECT_EQ(interp::array_header(h), nullptr);
    EXPECT_EQ(platform::gmem_live_count(), live_before);
    EXPECT_TRUE(interp::heap_check(inst()));
}

TEST_F(ArrayTest, PinningSurvivesReshape) {
    ValueCore a = make({3});
    ASSERT_TRUE(interp::array_lock(a.str));
    int32_t dims[5] = {6};
    EXPECT_TRUE(interp::array_redim(inst(), a.str, dims, 1));
    interp::array_unlock(a.str);
    EXPECT_EQ(interp::array_header(a.str)->count, 6);
    interp::release_value(inst(), a);
}

TEST_F(ArrayTest, RedimKeepsElementsBySubscript) {
    ValueCore a = make({2, 2});
    for (int i = 0; i < 4; ++i) {
        ValueCore v = text(std::to_string(i).c_str());
        interp::array_store(inst(), a.str, i, v);
        interp::release_value(inst(), v);
    }
    ValueCore other = a;  // a second holder sees the new shape
    interp::array_addref(other.str);
    int32_t dims[5] = {3, 1};
    ASSERT_TRUE(interp::array_redim(inst(), a.str, dims, 2));
    ArrayHeader* h = interp::array_header(other.str);
    EXPECT_EQ(h->dims[0], 3);
    EXPECT_EQ(h->dims[1], 1);
    EXPECT_EQ(get_text(other.str, 0), "0");
    EXPECT_EQ(get_text(other.str, 1), "2");
    EXPECT_EQ(interp::array_element_flags(other.str, 2), 0u);
    interp::release_value(inst(), a);
    interp::release_value(inst(), other);
    EXPECT_EQ(platform::gmem_live_count(), live_before);
    EXPECT_TRUE(interp::heap_check(inst()));
}

TEST_F(ArrayTest, RedimGrowsInPlaceWithinCapacity) {
    ValueCore a = make({5}, interp::kArrGrows);
    Handle before = interp::array_header(a.str)->elements;
    int32_t dims[5] = {100};
    ASSERT_TRUE(interp::array_redim(inst(), a.str, dims, 1));
    EXPECT_EQ(interp::array_header(a.str)->elements, before);
    EXPECT_EQ(interp::array_header(a.str)->count, 100);
    interp::release_value(inst(), a);
}

TEST_F(ArrayTest, SpliceInsertsAndRemovesRowsAndColumns) {
    ValueCore a = make({2, 2});
    for (int i = 0; i < 4; ++i) {
        ValueCore v = text(std::to_string(i).c_str());
        interp::array_store(inst(), a.str, i, v);
        interp::release_value(inst(), v);
    }
    ValueCore fill = text("f");
    ASSERT_TRUE(interp::array_splice(inst(), a.str, 1, 1, 1, &fill));  // column before 1
    interp::release_value(inst(), fill);
    ArrayHeader* h = interp::array_header(a.str);
    EXPECT_EQ(h->dims[1], 3);
    EXPECT_EQ(get_text(a.str, 0), "0");
    EXPECT_EQ(get_text(a.str, 1), "f");
    EXPECT_EQ(get_text(a.str, 2), "1");
    EXPECT_EQ(get_text(a.str, 5), "3");
    ASSERT_TRUE(interp::array_splice(inst(), a.str, 0, 0, -1, nullptr));  // first row
    EXPECT_EQ(h->dims[0], 1);
    EXPECT_EQ(get_text(a.str, 0), "2");
    ASSERT_TRUE(interp::array_splice(inst(), a.str, 0, 0, -1, nullptr));
    EXPECT_EQ(h->count, 0);
    EXPECT_EQ(h->dim_count, 2);
    interp::release_value(inst(), a);
    EXPECT_EQ(platform::gmem_live_count(), live_before);
    EXPECT_TRUE(interp::heap_check(inst()));
}

TEST_F(ArrayTest, ArrayFunctionsRefuseMaps) {
    ValueCore m{};
    ASSERT_TRUE(interp::map_create(inst(), m, 0));
    EXPECT_EQ(interp::array_of(inst(), m), nullptr);
    EXPECT_EQ(inst().error(), 1637);
    inst().clear_error();
    ValueCore n = num(3);
    EXPECT_EQ(interp::array_of(inst(), n), nullptr);
    EXPECT_EQ(inst().error(), 1641);
    inst().clear_error();
    ValueCore a = make({1});
    EXPECT_EQ(interp::map_of(inst(), a), nullptr);
    EXPECT_EQ(inst().error(), 1637);
    inst().clear_error();
    interp::release_value(inst(), a);
    interp::release_value(inst(), m);
}

TEST_F(ArrayTest, ExportedCreateMyArray) {
    void* block = platform::gmem_lock(host.inst_block);
    ValueCore out{};
    EXPECT_EQ(CreateMyArray(block, &out, 2, 2, 0, 0, 0, 0, 2), 1);
    EXPECT_EQ(interp::array_header(out.str)->count, 4);
    EXPECT_EQ(CreateMyArray(block, &out, 0, 0, 0, 0, 0, 0, 1), 0);
    ValueCore bad{};
    EXPECT_EQ(CreateMyArray(block, &bad, -1, 0, 0, 0, 0, 0, 1), -1);
    EXPECT_EQ(CreateMyArray(nullptr, &bad, 1, 0, 0, 0, 0, 0, 1), -1);
    platform::gmem_unlock(host.inst_block);
    inst().clear_error();
}

using MapTest = ArrayTest;

TEST_F(MapTest, HashIsFnv1aOfLowerCase) {
    EXPECT_EQ(interp::map_hash(""), 2166136261u);
    EXPECT_EQ(interp::map_hash("a"), 0xE40C292Cu);
    EXPECT_EQ(interp::map_hash("A"), interp::map_hash("a"));
}

TEST_F(MapTest, KeysIgnoreCase) {
    ValueCore m{};
    ASSERT_TRUE(interp::map_create(inst(), m, 4));
    ValueCore two = text("2");
    ASSERT_TRUE(interp::map_store(inst(), m.str, "B", two));
    interp::release_value(inst(), two);
    ValueCore out{};
    ASSERT_TRUE(interp::map_lookup(inst(), m.str, "b", out));
    EXPECT_STREQ(interp::heap_str(inst(), out.str), "2");
    interp::release_value(inst(), out);
    EXPECT_FALSE(interp::map_lookup(inst(), m.str, "c", out));
    EXPECT_EQ(inst().error(), 1636);
    inst().clear_error();
    ASSERT_NE(interp::map_find_or_insert(inst(), m.str, "u"), nullptr);
    EXPECT_FALSE(interp::map_lookup(inst(), m.str, "U", out));
    EXPECT_EQ(inst().error(), 1640);
    inst().clear_error();
    EXPECT_EQ(interp::array_header(m.str)->count, 2);
    interp::release_value(inst(), m);
    EXPECT_EQ(platform::gmem_live_count(), live_before);
    EXPECT_TRUE(interp::heap_check(inst()));
}

TEST_F(MapTest, SmallCapacityStillGetsEntries) {
    ValueCore m{};
    ASSERT_TRUE(interp::map_create(inst(), m, 3));  // 3 / 8 would be an empty pool
    for (int i = 0; i < 20; ++i) {
        ValueCore v = num(i);
        ASSERT_TRUE(interp::map_store(inst(), m.str, "k" + std::to_string(i), v));
    }
    EXPECT_EQ(interp::array_header(m.str)->count, 20);
    interp::release_value(inst(), m);
}

TEST_F(MapTest, RemovingLastEntryResetsTable) {
    ValueCore m{};
    ASSERT_TRUE(interp::map_create(inst(), m, 0));
    ValueCore v = num(1);
    ASSERT_TRUE(interp::map_store(inst(), m.str, "only", v));
    EXPECT_TRUE(interp::map_remove(inst(), m.str, "ONLY"));
    EXPECT_FALSE(interp::map_remove(inst(), m.str, "only"));
    EXPECT_EQ(interp::map_table(m.str)->buckets, nullptr);
    ASSERT_TRUE(interp::map_store(inst(), m.str, "again", v));
    EXPECT_NE(interp::map_find(inst(), m.str, "again"), nullptr);
    EXPECT_EQ(interp::map_table(m.str)->bucket_count, 33);
    interp::release_value(inst(), m);
    EXPECT_EQ(platform::gmem_live_count(), live_before);
}

TEST_F(MapTest, IteratesNewestFirstWithinBucket) {
    ValueCore m{};
    ASSERT_TRUE(interp::map_create(inst(), m, 1));  // one bucket: pure insertion order
    ValueCore v = num(0);
    for (const char* k : {"a", "b", "c"}) interp::map_store(inst(), m.str, k, v);
    std::string order;
    interp::map_for_each(m.str, [&](const interp::MapEntry& e) {
        order += interp::heap_str(inst(), e.key);
        return true;
    });
    EXPECT_EQ(order, "cba");
    interp::release_value(inst(), m);
}

using ArrayFiles = ArrayTest;

TEST_F(ArrayFiles, ReadsLinesOnceDroppingCr) {
    std::string p = temp_path("kel_lines.txt");
    {
        std::ofstream f(p, std::ios::binary);
        f << "one\r\ntwo\nth\rree";
        f.write("\0x", 2);
    }
    std::vector<std::string> lines;
    ASSERT_TRUE(interp::read_file_lines(inst(), p, false, "#", &lines));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "one");
    EXPECT_EQ(lines[2], "three#x");
    EXPECT_FALSE(interp::read_file_lines(inst(), p, true, "", &lines));
    EXPECT_EQ(inst().error(), 1806);
    inst().clear_error();
    std::remove(p.c_str());
    EXPECT_FALSE(interp::read_file_lines(inst(), p, false, "", &lines));
    EXPECT_EQ(inst().error(), 1800);
    inst().clear_error();
}

TEST_F(ArrayFiles, LongLineIs1591WithLineNumber) {
    std::string p = temp_path("kel_long.txt");
    {
        std::ofstream f(p, std::ios::binary);
        f << "short\n" << std::string(interp::kMaxFileLine + 1, 'x') << "\n";
    }
    std::vector<std::string> lines;
    EXPECT_FALSE(interp::read_file_lines(inst(), p, false, "", &lines));
    EXPECT_EQ(inst().error(), 1591);
    EXPECT_NE(inst().add_info.find("at or near line 2"), std::string::npos);
    inst().clear_error();
    std::remove(p.c_str());
}

TEST_F(ArrayFiles, FailedWriteLeavesTargetAlone) {
    std::string p = temp_path("kel_out.txt");
    ASSERT_TRUE(interp::write_file_replacing(inst(), p, "abc\r\n"));
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    EXPECT_EQ(ss.str(), "abc\r\n");
    EXPECT_FALSE(interp::write_file_replacing(inst(), temp_path("no/such/dir/x.txt"), "x"));
    EXPECT_EQ(inst().error(), 1800);
    inst().clear_error();
    std::remove(p.c_str());
}

TEST_F(ArrayFiles, LineTerminatorFollowsSetting) {
    EXPECT_EQ(interp::line_terminator(inst()), "\r\n");
    inst().file_line_term = 4;
    EXPECT_EQ(interp::line_terminator(inst()), "\t");
    inst().file_line_term = 0;
    EXPECT_EQ(interp::line_terminator(inst()), "");
    inst().file_line_term = 1;
}

}  // namespace
}  // namespace kel::test
