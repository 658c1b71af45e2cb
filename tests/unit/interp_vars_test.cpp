// Variable tables, frames and variable pointers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "interp/data/heap.h"
#include "interp_host_fixture.h"
#include "platform/process.h"
#include "platform/request_reset.h"

using namespace kel;
using namespace kel::interp;

namespace {

class VarsTest : public ::testing::Test {
protected:
    void start(uint16_t cap) { ASSERT_TRUE(host_.start(cap)); }
    void TearDown() override { host_.stop(); }
    test::FakeHost host_;
};

TEST_F(VarsTest, CapacityTenHoldsNineRecords) {
    start(10);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    EXPECT_EQ(inst.cur_count, 1);
    for (int i = 0; i < 8; ++i) ASSERT_GE(var_find_or_create(inst, "v" + std::to_string(i)), 1) << i;
    EXPECT_EQ(inst.cur_count, 9);
    EXPECT_EQ(var_find_or_create(inst, "ninth"), -1);
    EXPECT_EQ(inst.error(), 3097);
    EXPECT_EQ(inst.cur_count, 9);
    inst.clear_error();
    var_drop(inst, static_cast<uint16_t>(var_lookup(inst, "v3")));
    EXPECT_EQ(inst.cur_count, 9);
    EXPECT_EQ(var_find_or_create(inst, "ninth"), 4);  // takes the dropped record
    EXPECT_EQ(inst.error(), 0);
}

TEST_F(VarsTest, DroppingTheLastRecordShrinksTheCount) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    int32_t a = var_find_or_create(inst, "a");
    int32_t b = var_find_or_create(inst, "b");
    EXPECT_EQ(inst.cur_count, 3);
    var_drop(inst, static_cast<uint16_t>(b));
    EXPECT_EQ(inst.cur_count, 2);
    var_drop(inst, static_cast<uint16_t>(a));
    EXPECT_EQ(inst.cur_count, 1);
}

TEST_F(VarsTest, NewVariableTakesHighestFreeRecord) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    for (const char* n : {"a", "b", "c", "d"}) var_find_or_create(inst, n);
    var_drop(inst, 1);
    var_drop(inst, 3);
    EXPECT_EQ(var_find_or_create(inst, "x"), 3);
    EXPECT_EQ(var_find_or_create(inst, "y"), 1);
}

TEST_F(VarsTest, NamesAreCaseInsensitiveAndCut) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    int32_t a = var_find_or_create(inst, "MyVar");
    EXPECT_EQ(var_find_or_create(inst, "myvar"), a);
    EXPECT_STREQ(inst.vars[a].name, "myvar");
    int32_t l = var_find_or_create(inst, std::string(40, 'Q'));
    EXPECT_EQ(std::strlen(inst.vars[l].name), 30u);
    EXPECT_EQ(inst.vars[a].flags, uint32_t{kVtUndef});
    EXPECT_EQ(inst.vars[a].i, -1);
}

TEST_F(VarsTest, NameKeyMatchesTheLowerCasedForm) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    // Every byte folds with the code page's case mapping (1252: C4 is the capital of E4);
    // the cut applies before matching.
    int32_t h = var_find_or_create(inst, "\xC4" "Bc");
    EXPECT_STREQ(inst.vars[h].name, "\xE4" "bc");
    EXPECT_EQ(var_find_or_create(inst, "\xE4" "bC"), h);
    EXPECT_EQ(var_lookup(inst, var_name_key("\xC4" "BC")), h);
    std::string longer = "A" + std::string(29, 'b');
    int32_t l = var_find_or_create(inst, longer + "XYZ");
    EXPECT_EQ(var_find_or_create(inst, longer + "q"), l);
    EXPECT_EQ(var_lookup(inst, var_name_key(longer)), l);
    EXPECT_EQ(var_find_or_create(inst, ""), -1);
    EXPECT_EQ(inst.error(), 3051);
    inst.clear_error();
    inst.create_defined = true;
    int32_t d = var_find_or_create(inst, "Defined");
    inst.create_defined = false;
    EXPECT_EQ(inst.vars[d].flags, uint32_t{kVtInt});
    EXPECT_STREQ(inst.vars[d].name, "defined");
}

TEST_F(VarsTest, FindVarTellsMissingFromUninitialized) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    var_find_or_create(inst, "made");
    EXPECT_EQ(find_var(inst, "never", false), kNoIndex);
    EXPECT_EQ(inst.error(), 3051);
    inst.clear_error();
    EXPECT_EQ(find_var(inst, "made", false), kNoIndex);
    EXPECT_EQ(inst.error(), 3052);
    inst.clear_error();
    EXPECT_EQ(find_var(inst, "", false), kNoIndex);  // the scratch record is never matched
    inst.clear_error();
    int32_t i = var_find_or_create(inst, "made");
    inst.vars[i].flags = kVtInt;
    inst.vars[i].i = 7;
    EXPECT_EQ(find_var(inst, "MADE", false), i);
}

TEST_F(VarsTest, ReportWritesSettingsFileAndInfo) {
    start(100);
    std::string dir = ::testing::TempDir() + "kelvars_report";
    ASSERT_TRUE(platform::env_set("XDG_CONFIG_HOME", dir.c_str()));
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    var_find_or_create(inst, "ghost");
    EXPECT_EQ(find_var(inst, "ghost", true), kNoIndex);
    EXPECT_EQ(inst.error(), 3052);
    EXPECT_NE(inst.add_info.find("Uninitialized variable or undefined function:\n\n    ghost"), std::string::npos);
    EXPECT_EQ(error_report_path(), dir + "/Pellmoor/Settings/FENSCRPT.INI");
    platform::env_set("XDG_CONFIG_HOME", nullptr);
}

TEST_F(VarsTest, PointerLengthsOutsideRangeAreNotPointers) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    std::string p = make_var_pointer(inst, "x");
    ASSERT_EQ(p.size(), 38u);
    uint16_t f;
    std::string name;
    EXPECT_TRUE(check_var_pointer(inst, p, &f, &name));
    EXPECT_EQ(name, "x");
    EXPECT_FALSE(check_var_pointer(inst, p.substr(0, 37), &f, &name));
    EXPECT_EQ(inst.error(), 3813);
    inst.clear_error();
    EXPECT_FALSE(check_var_pointer(inst, make_var_pointer(inst, std::string(30, 'a')) + "b", &f, &name));
    EXPECT_EQ(inst.error(), 3813);
    inst.clear_error();
    EXPECT_TRUE(check_var_pointer(inst, make_var_pointer(inst, std::string(30, 'a')), &f, &name));
    std::string bad = p;
    bad[0] = '$';
    EXPECT_FALSE(check_var_pointer(inst, bad, &f, &name));
    EXPECT_EQ(inst.error(), 3813);
}

TEST_F(VarsTest, StaleFramePointerIsRefusedAfterReuse) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    int32_t k = frame_create(inst, 50);
    ASSERT_EQ(k, 1);
    FrameRef back;
    ASSERT_TRUE(frame_switch(inst, static_cast<uint16_t>(k), &back));
    int32_t li = var_find_or_create(inst, "local");
    inst.vars[li].flags = kVtInt;
    inst.vars[li].i = 42;
    std::string p = make_var_pointer(inst, "local");
    ASSERT_TRUE(frame_switch(inst, back.index, nullptr));
    uint16_t f;
    int32_t idx;
    ASSERT_TRUE(resolve_var_pointer(inst, p, false, &f, &idx));
    EXPECT_EQ(f, 1);
    EXPECT_EQ(idx, li);
    EXPECT_EQ(inst.cur_frame, 0);
    ASSERT_TRUE(frame_free(inst, 1));
    ASSERT_EQ(frame_create(inst, 50), 1);  // same slot, new serial
    EXPECT_FALSE(resolve_var_pointer(inst, p, false, &f, &idx));
    EXPECT_EQ(inst.error(), 3814);
    inst.clear_error();
    std::string gone = p;
    gone.replace(9, 4, "0063");  // frame 99: empty
    std::string name;
    EXPECT_FALSE(check_var_pointer(inst, gone, &f, &name));
    EXPECT_EQ(inst.error(), 3814);
}

TEST_F(VarsTest, FrameSwitchKeepsCountsApart) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    var_find_or_create(inst, "g1");
    var_find_or_create(inst, "g2");
    int32_t k = frame_create(inst, 10);
    FrameRef back;
    ASSERT_TRUE(frame_switch(inst, static_cast<uint16_t>(k), &back));
    EXPECT_EQ(inst.cur_count, 1);
    EXPECT_EQ(var_lookup(inst, "g1"), -1);
    var_find_or_create(inst, "l1");
    ASSERT_TRUE(frame_switch(inst, back.index, nullptr));
    EXPECT_EQ(inst.cur_count, 3);
    EXPECT_FALSE(frame_free(inst, 0));
    EXPECT_FALSE(frame_switch(inst, 77, &back));
    EXPECT_FALSE(frame_switch(inst, 101, &back));
    EXPECT_TRUE(frame_free(inst, static_cast<uint16_t>(k)));
}

TEST_F(VarsTest, FramesRunOutAtOneHundred) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(frame_create(inst, 4), i);
    EXPECT_EQ(frame_create(inst, 4), -1);
    for (uint16_t i = 1; i <= 100; ++i) frame_free(inst, i);
}

TEST_F(VarsTest, ReusedFrameTableStartsEmptyAndIsKeptAfterTheLastFrame) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    size_t live_before = platform::gmem_live_count();
    ASSERT_EQ(frame_create(inst, 100), 1);  // the caller's frame stays while the callee comes and goes
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(frame_create(inst, 100), 2) << round;
        FrameRef back;
        ASSERT_TRUE(frame_switch(inst, 2, &back));
        EXPECT_EQ(inst.cur_count, 1);
        EXPECT_EQ(var_lookup(inst, "local"), -1);
        int32_t li = var_find_or_create(inst, "local");
        ASSERT_GE(li, 1);
        inst.vars[li].flags = kVtInt;
        inst.vars[li].i = round;
        std::string p = make_var_pointer(inst, "local");
        ASSERT_TRUE(frame_switch(inst, back.index, nullptr));
        ASSERT_TRUE(frame_free(inst, 2));
        uint16_t f;
        int32_t idx;
        EXPECT_FALSE(resolve_var_pointer(inst, p, false, &f, &idx));
        inst.clear_error();
    }
    ASSERT_TRUE(frame_free(inst, 1));
    // Both tables wait for the next calls; the instance frees them (below).
    EXPECT_EQ(platform::gmem_live_count(), live_before + 2);
}

TEST(FrameTables, SpareTablesGoWithTheInstance) {
    size_t before = platform::gmem_live_count();
    {
        test::FakeHost host;
        ASSERT_TRUE(host.start(100));
        {
            test::Entered e(host.inst_block);
            Instance& inst = e.inst();
            // Every slot in use at once, then all given back: each table is kept.
            for (uint16_t k = 1; k <= kMaxFrame; ++k) ASSERT_EQ(frame_create(inst, 100), k);
            EXPECT_EQ(frame_create(inst, 100), -1);
            for (uint16_t k = 1; k <= kMaxFrame; ++k) ASSERT_TRUE(frame_free(inst, k));
            EXPECT_EQ(platform::gmem_live_count(), before + 2 + Instance::kSpareTables);
            // The next frames take them back instead of allocating.
            for (uint16_t k = 1; k <= 10; ++k) ASSERT_EQ(frame_create(inst, 100), k);
            EXPECT_EQ(platform::gmem_live_count(), before + 2 + Instance::kSpareTables);
            for (uint16_t k = 1; k <= 10; ++k) ASSERT_TRUE(frame_free(inst, k));
        }
        host.stop();
    }
    EXPECT_EQ(platform::gmem_live_count(), before);
}

TEST_F(VarsTest, LowestFreeSlotIsTakenWhateverOrderFramesWereFreedIn) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    for (int k = 1; k <= 5; ++k) ASSERT_EQ(frame_create(inst, 10), k);
    ASSERT_TRUE(frame_free(inst, 3));
    ASSERT_TRUE(frame_free(inst, 1));
    EXPECT_EQ(frame_create(inst, 10), 1);
    EXPECT_EQ(frame_create(inst, 10), 3);
    EXPECT_EQ(frame_create(inst, 10), 6);
    FrameRef prev;
    ASSERT_TRUE(frame_free(inst, 2));
    EXPECT_EQ(frame_enter(inst, 10, &prev), 2);
    ASSERT_TRUE(frame_leave(inst, 2, prev));
    ASSERT_TRUE(frame_free(inst, 5));
    EXPECT_EQ(frame_create(inst, 10), 2);
    EXPECT_EQ(frame_create(inst, 10), 5);
    EXPECT_EQ(frame_create(inst, 10), 7);
    for (uint16_t k = 1; k <= 7; ++k) ASSERT_TRUE(frame_free(inst, k));
    EXPECT_EQ(frame_create(inst, 10), 1);
    ASSERT_TRUE(frame_free(inst, 1));
}

TEST_F(VarsTest, SpareTableIsReusedOnlyForItsCapacity) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    ASSERT_EQ(frame_create(inst, 50), 1);
    Handle first = inst.frames[1].table;
    ASSERT_TRUE(frame_free(inst, 1));
    ASSERT_EQ(frame_create(inst, 60), 1);
    EXPECT_NE(inst.frames[1].table, first);
    EXPECT_EQ(platform::gmem_size(inst.frames[1].table), 60 * sizeof(VarRecord));
    ASSERT_TRUE(frame_free(inst, 1));
    ASSERT_EQ(frame_create(inst, 50), 1);
    EXPECT_EQ(inst.frames[1].table, first);
    ASSERT_TRUE(frame_free(inst, 1));
}

TEST_F(VarsTest, EnterKeepsTheCallersLockAndLeaveGivesEverythingBack) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    var_find_or_create(inst, "g");
    Handle root = inst.cur_table;
    ASSERT_EQ(platform::gmem_lock_count(root), 1u);
    uint32_t serial = inst.frame_serial_counter;
    FrameRef prev{77};
    ASSERT_EQ(frame_enter(inst, inst.cur_capacity, &prev), 1);
    EXPECT_EQ(prev.index, 0);
    EXPECT_EQ(inst.cur_frame, 1);
    EXPECT_EQ(inst.cur_count, 1);
    EXPECT_EQ(inst.cur_serial, serial);
    EXPECT_EQ(inst.frames[0].count, 2);
    EXPECT_NE(prev.held, nullptr);
    EXPECT_EQ(platform::gmem_lock_count(root), 1u);
    EXPECT_EQ(platform::gmem_lock_count(inst.cur_table), 1u);
    EXPECT_EQ(var_lookup(inst, "g"), -1);
    // A pointer into the caller's frame switches there and back in between.
    Handle callee = inst.cur_table;
    FrameRef ptr_back;
    ASSERT_TRUE(frame_switch(inst, 0, &ptr_back));
    EXPECT_EQ(platform::gmem_lock_count(root), 2u);
    EXPECT_EQ(platform::gmem_lock_count(callee), 0u);
    EXPECT_EQ(var_lookup(inst, "g"), 1);
    ASSERT_TRUE(frame_switch(inst, ptr_back.index, nullptr));
    EXPECT_EQ(platform::gmem_lock_count(root), 1u);
    EXPECT_EQ(platform::gmem_lock_count(callee), 1u);
    uint64_t free_before = 0, free_after = 0;
    ASSERT_TRUE(heap_check(inst, nullptr, &free_before));
    int32_t s = var_find_or_create(inst, "s");
    inst.vars[s].str = heap_strdup(inst, "local text");
    inst.vars[s].flags = kVtStr;
    std::string p = make_var_pointer(inst, "s");
    Handle local = inst.cur_table;
    ASSERT_TRUE(frame_leave(inst, 1, prev));
    EXPECT_EQ(inst.cur_frame, 0);
    EXPECT_EQ(inst.cur_count, 2);
    EXPECT_EQ(inst.frames[1].table, 0u);
    EXPECT_EQ(platform::gmem_lock_count(root), 1u);
    // Kept as a spare, still locked once for the next call.
    EXPECT_EQ(platform::gmem_lock_count(local), 1u);
    EXPECT_TRUE(heap_check(inst, nullptr, &free_after));
    EXPECT_EQ(free_after, free_before);  // the local string went with the frame
    uint16_t f;
    int32_t idx;
    EXPECT_FALSE(resolve_var_pointer(inst, p, false, &f, &idx));
    EXPECT_EQ(inst.error(), 3814);
    inst.clear_error();
    // The next call gets the same table back, empty.
    ASSERT_EQ(frame_enter(inst, inst.cur_capacity, &prev), 1);
    EXPECT_EQ(inst.cur_table, local);
    EXPECT_EQ(inst.cur_count, 1);
    EXPECT_EQ(var_lookup(inst, "s"), -1);
    // Same slot, same table: the old pointer still names a frame that is gone.
    EXPECT_FALSE(resolve_var_pointer(inst, p, false, &f, &idx));
    EXPECT_EQ(inst.error(), 3814);
    inst.clear_error();
    std::string fresh = make_var_pointer(inst, "s");
    EXPECT_NE(fresh.substr(0, 37), p.substr(0, 37));
    EXPECT_NE(fresh.substr(29, 8), "00000000");  // stamped when the first pointer was made
    EXPECT_EQ(platform::gmem_lock_count(local), 1u);
    ASSERT_TRUE(frame_leave(inst, 1, prev));
    EXPECT_EQ(platform::gmem_lock_count(root), 1u);
}

TEST_F(VarsTest, WithoutALockedTableNothingStaysLocked) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    Handle root = inst.cur_table;
    VarRecord* vars = inst.vars;
    platform::gmem_unlock(root);
    inst.vars = nullptr;
    FrameRef prev;
    ASSERT_EQ(frame_enter(inst, 10, &prev), 1);
    EXPECT_EQ(prev.held, nullptr);
    EXPECT_EQ(platform::gmem_lock_count(inst.cur_table), 0u);
    EXPECT_EQ(platform::gmem_lock_count(root), 0u);
    EXPECT_TRUE(frame_leave(inst, 1, prev));
    EXPECT_EQ(inst.cur_frame, 0);
    EXPECT_EQ(inst.frames[1].table, 0u);
    EXPECT_EQ(platform::gmem_lock_count(root), 0u);
    EXPECT_EQ(inst.vars, nullptr);
    platform::gmem_lock(root);
    inst.vars = vars;
}

TEST_F(VarsTest, EnterFailsWithoutChangingAnything) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    platform::gmem_fail_next(1);
    FrameRef prev{5};
    EXPECT_EQ(frame_enter(inst, 100, &prev), -1);
    EXPECT_EQ(prev.index, 5);
    EXPECT_EQ(inst.cur_frame, 0);
    EXPECT_EQ(inst.frames[1].table, 0u);
    EXPECT_EQ(platform::gmem_lock_count(inst.cur_table), 1u);
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(frame_create(inst, 4), i);
    EXPECT_EQ(frame_enter(inst, 4, &prev), -1);
    EXPECT_EQ(inst.cur_frame, 0);
    for (uint16_t i = 1; i <= 100; ++i) frame_free(inst, i);
}

TEST_F(VarsTest, LeavingAFrameThatIsNotCurrentSwitchesThenFrees) {
    start(100);
    test::Entered e(host_.inst_block);
    Instance& inst = e.inst();
    FrameRef prev;
    ASSERT_EQ(frame_enter(inst, 10, &prev), 1);
    FrameRef back;
    ASSERT_TRUE(frame_switch(inst, 0, &back));  // e.g. a pointer left the root current
    EXPECT_TRUE(frame_leave(inst, 1, prev));
    EXPECT_EQ(inst.cur_frame, 0);
    EXPECT_EQ(inst.frames[1].table, 0u);
    EXPECT_EQ(platform::gmem_lock_count(inst.cur_table), 1u);
    // An empty slot to go back to: refused, the frame stays.
    ASSERT_EQ(frame_enter(inst, 10, &prev), 1);
    EXPECT_FALSE(frame_leave(inst, 1, FrameRef{9}));
    EXPECT_EQ(inst.cur_frame, 1);
    EXPECT_NE(inst.frames[1].table, 0u);
    EXPECT_TRUE(frame_leave(inst, 1, prev));
    EXPECT_EQ(inst.cur_frame, 0);
    EXPECT_EQ(platform::gmem_lock_count(inst.cur_table), 1u);
}

TEST(PersistentName, MangledWithFunctionIndex) {
    EXPECT_EQ(persistent_name(10, "Count"), "?0a__count");
    EXPECT_EQ(persistent_name(0, std::string(25, 'x')), "?00__" + std::string(25, 'x'));
    EXPECT_EQ(persistent_name(0, std::string(26, 'x')), "");
}

}  // namespace

namespace {

bool zero_from(const uint8_t* p, size_t from, size_t to, size_t* at) {
    for (size_t i = from; i < to; ++i)
        if (p[i]) {
            *at = i;
            return false;
        }
    return true;
}

}  // namespace

// A reused worker clears only what a stopped instance reports it wrote. The report must
// cover every byte written, whatever the request did (many variables, long strings that
// grow the heap, records dropped again, function frames), and a request that uses less
// than the one before must still find everything zero.
TEST(InstanceUsage, TheReportCoversEveryByteWrittenAndTheNextInstanceStartsClean) {
    platform::request_baseline();  // keeps the pages between instances, as a worker does
    struct Load {
        int vars;
        size_t text;
        int dropped;
    };
    for (const Load& load : {Load{1500, 300, 200}, Load{3, 10, 0}, Load{600, 5000, 599}, Load{1, 1, 0}}) {
        SCOPED_TRACE(load.vars);
        test::FakeHost host;
        host.low = true;
        ASSERT_TRUE(host.start());
        {
            test::Entered e(host.inst_block);
            Instance& inst = e.inst();
            for (int i = 0; i < load.vars; ++i)
                var_set_text(inst, "v" + std::to_string(i), std::string(load.text + i % 7, 'x'), true);
            for (int i = 0; i < load.dropped; ++i)
                var_drop(inst, static_cast<uint16_t>(var_lookup(inst, "v" + std::to_string(load.vars - 1 - i))));
            FrameRef back;
            int32_t k = frame_enter(inst, 100, &back);
            ASSERT_GE(k, 1);
            for (int i = 0; i < 50; ++i) var_set_text(inst, "f" + std::to_string(i), "in a function", true);
            ASSERT_TRUE(frame_leave(inst, static_cast<uint16_t>(k), back));
            ASSERT_EQ(inst.error(), 0);
        }
        host.stop_instance();
        ASSERT_EQ(host.rec.usage_known, 1u);
        const size_t table_bytes = platform::gmem_size(host.table_block);
        const size_t block_bytes = platform::gmem_size(host.inst_block);
        const uint64_t committed = host.rec.committed;
        EXPECT_GE(host.rec.var_table_used, uint64_t{static_cast<unsigned>(load.vars) + 1} * kVarRecordSize);
        size_t at = 0;
        EXPECT_TRUE(zero_from(static_cast<uint8_t*>(platform::gmem_lock(host.table_block)), host.rec.var_table_used,
                              table_bytes, &at))
            << "table byte " << at;
        platform::gmem_unlock(host.table_block);
        EXPECT_TRUE(zero_from(static_cast<uint8_t*>(platform::gmem_lock(host.inst_block)),
                              host.rec.instance_block_used, block_bytes, &at))
            << "instance block byte " << at;
        platform::gmem_unlock(host.inst_block);
        EXPECT_LE(host.rec.region_zero_to, committed);
        EXPECT_TRUE(zero_from(host.rec.region_base, host.rec.region_zero_from, host.rec.region_zero_to, &at))
            << "region byte " << at;
        uint8_t* region = host.rec.region_base;
        host.free_as_reported();

        // What the next instance is given: the same pages, all zero.
        platform::Handle t = platform::gmem_alloc_low(table_bytes);
        platform::Handle b = platform::gmem_alloc_low(block_bytes);
        auto* tp = static_cast<uint8_t*>(platform::gmem_lock(t));
        auto* bp = static_cast<uint8_t*>(platform::gmem_lock(b));
        EXPECT_TRUE(zero_from(tp, 0, table_bytes, &at)) << "kept table byte " << at;
        EXPECT_TRUE(zero_from(bp, 0, block_bytes, &at)) << "kept instance block byte " << at;
        platform::gmem_unlock(t);
        platform::gmem_unlock(b);
        platform::gmem_free(t);
        platform::gmem_free(b);
        auto* r = static_cast<uint8_t*>(platform::vm_reserve(host.reserve));
        EXPECT_EQ(r, region) << "the region is kept";
        ASSERT_TRUE(platform::vm_commit(r, committed));
        EXPECT_TRUE(zero_from(r, 0, committed, &at)) << "kept region byte " << at;
        platform::vm_release(r, host.reserve);
    }
}
