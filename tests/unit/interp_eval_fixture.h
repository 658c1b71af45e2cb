// A real instance for evaluating one expression at a time; results are compact texts
// ("i:15", "f:2.5", "s:abc", "w:abc", "a" for an array, "E3057" for an error).
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "interp/data/convert.h"
#include "interp/run/eval.h"
#include "interp/data/heap.h"
#include "interp/run/tokenizer.h"
#include "interp_host_fixture.h"

namespace kel::test {

using namespace kel::interp;

class EvalFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.start());
        in = std::make_unique<test::Entered>(host.inst_block);
    }
    void TearDown() override {
        in.reset();
        host.stop();
    }
    Instance& inst() { return in->inst(); }

    // "i:15", "f:2.5", "s:abc", "w:abc", "a" for an array, or "E3057".
    std::string run(const std::string& text, bool assign = false, bool deref = false) {
        line = text;
        inst().clear_error();
        inst().add_info.clear();
        token_begin(inst(), line.c_str());
        get_token(inst());
        if (inst().error()) return "E" + std::to_string(inst().error());
        Value v = empty_value();
        eval_expression(inst(), v, assign, deref, line.c_str());
        if (inst().error()) return "E" + std::to_string(inst().error());
        std::string r;
        if (v.flags & kVtArray)
            r = "a";
        else if (v.flags & kVtInt)
            r = "i:" + format_int(v.i);
        else if (v.flags & kVtFloat)
            r = "f:" + format_float(v.f, inst().decimals);
        else if (v.flags & kVtStr)
            r = "s:" + std::string(heap_str(inst(), v.str));
        else if (v.flags & kVtWide)
            r = "w:" + wide_to_ansi(value_wide(inst(), v));
        else
            r = "?";
        release_value(inst(), v);
        return r;
    }
    std::string let(const std::string& text) { return run(text, true); }

    test::FakeHost host;
    std::unique_ptr<test::Entered> in;
    std::string line;
};

}  // namespace kel::test
