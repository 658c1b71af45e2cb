// Calls of user-defined functions made in-process: what the caller gets back, whatever
// the call did or failed to do.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "interp/run/eval.h"
#include "interp/run/exec.h"
#include "interp/data/heap.h"
#include "interp/run/udf.h"
#include "interp/data/vars.h"
#include "interp_run_fixture.h"
#include "platform/gmem.h"

using namespace kel;
using namespace kel::interp;

namespace {

constexpr const char* kFunctions =
    "#DefineFunction twice(a)\n"
    "return a * 2\n"
    "#EndFunction\n"
    "#DefineFunction rearm(a)\n"
    "IntControl(73, 3, 0, `other`, 0)\n"
    "y = $\"inner\n"
    "$\" : a : `, a tail longer than the caller's own continuation line, so that it needs a bigger buffer`\n"
    "return a + 1\n"
    "#EndFunction\n"
    "#DefineFunction fails(a)\n"
    "return a / 0\n"
    "#EndFunction\n"
    "#DefineFunction echo(s)\n"
    "return s\n"
    "#EndFunction\n";

Value int_value(int32_t i) {
    Value v = empty_value();
    v.flags = kVtInt;
    v.i = i;
    return v;
}

class UdfCall : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h_.start());
        h_.run(kFunctions);
        ASSERT_EQ(h_.error(), 0);
    }
    int index(Instance& inst, const char* name) {
        int i = udf_find(inst, name);
        EXPECT_GE(i, 0) << name;
        return i;
    }
    // Calls `name` with one argument; `result` receives what it returns.
    void call(Instance& inst, const char* name, Value arg, Value& result, bool from_compiled = false) {
        call_user_function(inst, index(inst, name), &arg, 1, result, from_compiled);
    }
    test::RunHost h_;
};

// The caller's tokenizer and handler state, set to recognisable values.
struct CallerSetup {
    std::string long_text = std::string(60, 'T');
    void apply(Instance& inst, bool long_token) {
        ExecState& ex = exec_state(inst);
        ex.handlers.error_mode = 3;
        ex.handlers.error_func = "onerr";
        ex.handlers.cancel_mode = 1;
        ex.handlers.cancel_func = "oncancel";
        ex.handlers.cancel_inherited = false;
        ex.breakable = 1;
        ex.last_if = 1;
        TokenState& t = inst.tok;
        const char* text = long_token ? long_text.c_str() : "(";
        std::memset(t.text, 'x', 100);
        std::strcpy(t.text, text);
        t.type = kTokKeyword;
        t.kw = 42;
        t.var_index = 7;
        t.current_udf = 3;
        t.continued_line = " : rest of the caller's statement, long enough for the heap";
        t.pos = t.continued_line.c_str() + 5;
        t.start = t.continued_line.c_str() + 3;
        inst.assign_target = 0x12345;
        inst.assign_allowed = 1;
    }
    void check(Instance& inst, bool long_token) {
        check_all_but_tokenizer(inst);
        const TokenState& t = inst.tok;
        EXPECT_STREQ(t.text, long_token ? long_text.c_str() : "(");
        EXPECT_EQ(t.type, kTokKeyword);
        EXPECT_EQ(t.kw, 42);
        EXPECT_EQ(t.var_index, 7);
        EXPECT_EQ(t.continued_line, " : rest of the caller's statement, long enough for the heap");
        EXPECT_EQ(t.pos, t.continued_line.c_str() + 5);
        EXPECT_EQ(t.start, t.continued_line.c_str() + 3);
    }
    // What every call gives back, the function index ptrpersistent names included.
    void check_all_but_tokenizer(Instance& inst) {
        ExecState& ex = exec_state(inst);
        EXPECT_EQ(ex.handlers.error_mode, 3);
        EXPECT_EQ(ex.handlers.error_func, "onerr");
        EXPECT_EQ(ex.handlers.cancel_mode, 1);
        EXPECT_EQ(ex.handlers.cancel_func, "oncancel");
        EXPECT_FALSE(ex.handlers.cancel_inherited);
        EXPECT_EQ(ex.breakable, 1);
        EXPECT_EQ(ex.last_if, 1);
        EXPECT_EQ(inst.tok.current_udf, 3);
        EXPECT_EQ(inst.assign_target, 0x12345u);
        EXPECT_EQ(inst.assign_allowed, 1);
        EXPECT_EQ(inst.cur_frame, 0);
        EXPECT_EQ(platform::gmem_lock_count(inst.cur_table), 1u);
        for (int k = 1; k <= kMaxFrame; ++k) EXPECT_EQ(inst.frames[k].table, 0u) << k;
    }
};

TEST_F(UdfCall, ResultAndCallerStateWithAShortToken) {
    test::Entered e(h_.host.inst_block);
    Instance& inst = e.inst();
    CallerSetup c;
    c.apply(inst, false);
    Value result = empty_value();
    call(inst, "twice", int_value(21), result);
    EXPECT_EQ(inst.error(), 0);
    EXPECT_EQ(result.flags & kVtInt, kVtInt);
    EXPECT_EQ(result.i, 42);
    c.check(inst, false);
}

// The callee arms a handler of its own and closes a multi-line constant, which replaces
// the continuation line the caller's read position is on.
TEST_F(UdfCall, CalleeChangesComeUndoneWithALongToken) {
    test::Entered e(h_.host.inst_block);
    Instance& inst = e.inst();
    CallerSetup c;
    c.apply(inst, true);
    Value result = empty_value();
    call(inst, "rearm", int_value(1), result);
    EXPECT_EQ(inst.error(), 0);
    EXPECT_EQ(result.i, 2);
    c.check(inst, true);
}

// A call from a compiled line keeps the tokenizer as the callee left it (such a line
// reads no token after the call) but gives back everything else, the function index
// ptrpersistent names included.
TEST_F(UdfCall, FromACompiledLineGivesBackAllButTheTokenizer) {
    test::Entered e(h_.host.inst_block);
    Instance& inst = e.inst();
    CallerSetup c;
    c.apply(inst, false);
    Value result = empty_value();
    call(inst, "rearm", int_value(4), result, true);
    EXPECT_EQ(inst.error(), 0);
    EXPECT_EQ(result.i, 5);
    EXPECT_EQ(exec_state(inst).depth, 0);
    c.check_all_but_tokenizer(inst);
    // An error inside surfaces the same way as from a line read from the text.
    ::testing::internal::CaptureStderr();
    call(inst, "fails", int_value(1), result, true);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(inst.error(), 9015);
    EXPECT_EQ(inst.real_code, 3062);
    c.check_all_but_tokenizer(inst);
}

TEST_F(UdfCall, StringArgumentIsACopy) {
    test::Entered e(h_.host.inst_block);
    Instance& inst = e.inst();
    Value arg = empty_value();
    arg.flags = kVtStr;
    arg.str = heap_strdup(inst, "text");
    Value result = empty_value();
    call_user_function(inst, index(inst, "echo"), &arg, 1, result);
    EXPECT_EQ(inst.error(), 0);
    ASSERT_TRUE(result.flags & kVtStr);
    EXPECT_STREQ(heap_str(inst, result.str), "text");
    EXPECT_NE(result.str, arg.str);
    release_value(inst, result);
    release_value(inst, arg);
    EXPECT_TRUE(heap_check(inst));
}

TEST_F(UdfCall, ErrorInsideSurfacesAsNineThousandFifteen) {
    test::Entered e(h_.host.inst_block);
    Instance& inst = e.inst();
    CallerSetup c;
    c.apply(inst, false);
    Value result = int_value(99);
    ::testing::internal::CaptureStderr();
    call(inst, "fails", int_value(1), result);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(inst.error(), 9015);
    EXPECT_EQ(inst.real_code, 3062);
    EXPECT_EQ(result.flags, 0u);
    c.check(inst, false);
}

TEST_F(UdfCall, FullStructureStackLeavesTheCallerAsItWas) {
    test::Entered e(h_.host.inst_block);
    Instance& inst = e.inst();
    CallerSetup c;
    c.apply(inst, true);
    ExecState& ex = exec_state(inst);
    ex.depth = kStructMax;
    Value result = empty_value();
    call(inst, "twice", int_value(1), result);
    EXPECT_EQ(inst.error(), 3353);
    EXPECT_EQ(ex.depth, kStructMax);
    ex.depth = 0;
    c.check(inst, true);
}

TEST_F(UdfCall, NoMemoryForTheFrameIsSixteenSeventyTwo) {
    test::Entered e(h_.host.inst_block);
    Instance& inst = e.inst();
    CallerSetup c;
    c.apply(inst, false);
    ASSERT_EQ(inst.spare_count, 0);
    platform::gmem_fail_next(1);
    Value result = empty_value();
    call(inst, "twice", int_value(1), result);
    EXPECT_EQ(inst.error(), 1672);
    EXPECT_EQ(exec_state(inst).depth, 0);
    c.check(inst, false);
}

TEST_F(UdfCall, ManyCallsKeepFrameNumbersAndTablesSteady) {
    test::Entered e(h_.host.inst_block);
    Instance& inst = e.inst();
    size_t live = 0;
    for (int i = 0; i < 50; ++i) {
        Value result = empty_value();
        call(inst, "twice", int_value(i), result);
        ASSERT_EQ(result.i, 2 * i);
        if (i == 1) {
            live = platform::gmem_live_count();
        } else if (i > 1) {
            ASSERT_EQ(platform::gmem_live_count(), live) << i;
        }
    }
    EXPECT_EQ(inst.frame_low_free, 1);
    EXPECT_EQ(platform::gmem_lock_count(inst.cur_table), 1u);
}

}  // namespace
