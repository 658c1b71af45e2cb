// Instance phases, ProcessDaBatBuffer preparation, DLLServices codes, ViperAnswer and the
// host-call path, through a fake host that allocates everything as tarnhost does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "interp/data/convert.h"
#include "interp/data/heap.h"
#include "interp/data/vars.h"
#include "interp/base/keywords.h"
#include "interp/front/textprep.h"
#include "interp_host_fixture.h"

using namespace kel;
using namespace kel::interp;

namespace {

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host_.start()); }
    void TearDown() override { host_.stop(); }
    test::FakeHost host_;
};

TEST(DoDaDllInit, PhaseZeroChecksInterfaceVersion) {
    EXPECT_EQ(DoDaDllInit(0, 0x300A, 0x1305, 0, 0, nullptr, nullptr), 66860);
    EXPECT_EQ(DoDaDllInit(0, 0x300A, 0x13FF, 0, 0, nullptr, nullptr), 66860);
    EXPECT_EQ(DoDaDllInit(0, 0x300A, 0x1205, 0, 0, nullptr, nullptr), 0);
    EXPECT_EQ(DoDaDllInit(0, 0x300A, 0x1305, 0x10000, 0, nullptr, nullptr), 66860);  // only low 16 bits of phase
}

TEST(DoDaDllInit, BadHandlesFailEachPhase) {
    EXPECT_EQ(DoDaDllInit(0, 0, 0, 1, 0, "x", nullptr), 0);
    EXPECT_EQ(DoDaDllInit(0, 12345, 0, 2, 10, "a", "b"), 0);
    EXPECT_EQ(DoDaDllInit(0, 12345, 0, 3, 0, nullptr, nullptr), 0);
    EXPECT_EQ(DoDaDllInit(0, 0, 0, 99, 0, nullptr, nullptr), 0);
}

TEST_F(ExportsTest, UnknownPhaseLeavesInstanceAlone) {
    EXPECT_EQ(DoDaDllInit(0, host_.inst_block, 0, 4, 0, nullptr, nullptr), 0);
    EXPECT_EQ(DoDaDllInit(0, host_.inst_block, 0, 98, 0, nullptr, nullptr), 0);
    test::Entered e(host_.inst_block);
    EXPECT_STREQ(e.inst().product_title, "Tarnwick");
    EXPECT_STREQ(e.inst().product_id1, "TARNWICK");
    EXPECT_STREQ(e.inst().product_id2, "FEN-PROD.INI");
}

TEST_F(ExportsTest, PhaseThreeFormatsHeapAndNeedsBase) {
    test::Entered e(host_.inst_block);
    EXPECT_TRUE(heap_check(e.inst()));
    EXPECT_EQ(e.inst().heap.desc, &host_.rec);
    EXPECT_EQ(DoDaDllInit(0, host_.inst_block, 0, 3, 4096, nullptr, nullptr), 0);
}

TEST_F(ExportsTest, PhaseNinetyNineFreesEverything) {
    size_t before = platform::gmem_live_count();
    {
        test::Entered e(host_.inst_block);
        Instance& inst = e.inst();
        int32_t v = var_find_or_create(inst, "s");
        inst.vars[v].str = heap_strdup(inst, "text");
        inst.vars[v].flags = kVtStr;
        ASSERT_EQ(frame_create(inst, 20), 1);
        ASSERT_EQ(frame_create(inst, 20), 2);
    }
    EXPECT_EQ(platform::gmem_live_count(), before + 2);
    EXPECT_EQ(DoDaDllInit(0, host_.inst_block, 0, 99, reinterpret_cast<uintptr_t>(&host_.live), nullptr, nullptr), 1);
    EXPECT_EQ(platform::gmem_live_count(), before);
    {
        platform::GmemLock l(host_.inst_block);
        EXPECT_EQ(instance_from_block(l.get()), nullptr);
    }
    // The instance is gone: entry points refuse it.
    EXPECT_EQ(host_.svc(37), 0);
    platform::gmem_free(host_.inst_block);
    platform::gmem_free(host_.table_block);
    platform::vm_release(host_.rec.region_base, host_.reserve);
    host_.inst_block = 0;
}

TEST_F(ExportsTest, ServiceZeroRecordsAboutText) {
    EXPECT_EQ(host_.svc(0, "Tarnwick 2019B", "notice", 9876), 1);
    test::Entered e(host_.inst_block);
    EXPECT_EQ(e.inst().about_name, "Tarnwick 2019B");
    EXPECT_EQ(e.inst().about_line, "notice");
}

TEST_F(ExportsTest, ServiceOneAndTwoSetAndReadVariable) {
    EXPECT_EQ(host_.svc(1, "LogName", "hello"), 1);
    char out[16] = {};
    EXPECT_NE(host_.svc(2, "logname", out, sizeof out), 0);
    EXPECT_STREQ(out, "hello");
    char small[3] = {};
    EXPECT_NE(host_.svc(2, "logname", small, sizeof small), 0);
    EXPECT_STREQ(small, "he");
    EXPECT_EQ(host_.svc(2, "nothere", out, sizeof out), 0);
    EXPECT_EQ(host_.svc(2, "arr[1]", out, sizeof out), 0);
    EXPECT_EQ(host_.svc(1, "", "x"), 0);
    EXPECT_EQ(host_.svc(1, std::string(31, 'n').c_str(), "x"), 0);
    EXPECT_EQ(host_.svc(1, "LogName", "again"), 1);  // replaces, freeing the old string
    EXPECT_NE(host_.svc(2, "logname", out, sizeof out), 0);
    EXPECT_STREQ(out, "again");
    test::Entered e(host_.inst_block);
    uint32_t n = 0;
    ASSERT_TRUE(heap_check(e.inst(), &n));
    EXPECT_EQ(n, 2u);  // "hello" was freed above the block now holding "again"
}

TEST_F(ExportsTest, StopFlagServices) {
    EXPECT_EQ(host_.svc(37), 0);
    EXPECT_EQ(host_.svc(7, "", "", 0), 1);
    EXPECT_EQ(host_.svc(37), 1);
}

TEST_F(ExportsTest, ServiceThirteenReplacesRestoredError) {
    {
        test::Entered e(host_.inst_block);
        e.inst().fail(kel::Err::DivideByZero);
    }
    EXPECT_EQ(host_.svc(37), 0);
    {
        test::Entered e(host_.inst_block);
        EXPECT_EQ(e.inst().error(), 3062);  // put back after the service
    }
    EXPECT_EQ(host_.svc(13, nullptr, nullptr, 1234), 1);
    test::Entered e(host_.inst_block);
    EXPECT_EQ(e.inst().error(), 1234);
}

TEST_F(ExportsTest, ServiceWithErrorReturnsZero) {
    char buf[40] = {};
    EXPECT_EQ(host_.svc(45, "unknown", buf), 0);
    test::Entered e(host_.inst_block);
    EXPECT_EQ(e.inst().error(), 0);
}

TEST_F(ExportsTest, ServiceTwentyThreeSetsErrorLog) {
    EXPECT_EQ(host_.svc(23, "/tmp/err.log", "", 1), 0);
    EXPECT_EQ(host_.svc(23, "", "", 5), 1);  // other values leave the switch
    EXPECT_EQ(host_.svc(23, std::string(300, 'p').c_str(), "", 0), 1);
    test::Entered e(host_.inst_block);
    EXPECT_EQ(e.inst().html_log, 0);
    EXPECT_EQ(e.inst().html_log_path, "/tmp/err.log");
}

TEST_F(ExportsTest, ServiceTwentyFourDisablesInTableOrder) {
    EXPECT_EQ(host_.svc(24, "beep|display|", "|", 0), 1);
    int beep = find_builtin("beep");
    ASSERT_GE(beep, 0);
    EXPECT_TRUE(is_disabled(keyword(beep)));
    EXPECT_EQ(host_.svc(24, "display|beep|", "|", 0), 0);  // beep lies before display
    EXPECT_EQ(host_.svc(24, "beep|display|", "|", 1), 1);
    EXPECT_FALSE(is_disabled(keyword(beep)));
    EXPECT_EQ(host_.svc(24, "nosuchfunction", "|", 0), 0);
}

TEST_F(ExportsTest, ServiceTwentyFiveCopiesPendingTexts) {
    char a[4097] = {}, b[4097] = {};
    EXPECT_EQ(host_.svc(25, a, b, 4097), 0);
    {
        test::Entered e(host_.inst_block);
        e.inst().pending_for_host = true;
        e.inst().pending_line = "x = 1/0";
        e.inst().pending_message = "3062:  Attempt to divide by zero";
    }
    EXPECT_EQ(host_.svc(25, a, b, 4097), 1);
    EXPECT_STREQ(a, "x = 1/0");
    EXPECT_STREQ(b, "3062:  Attempt to divide by zero");
}

TEST_F(ExportsTest, ServiceTwentyNineReadsTable) {
    host_.svc(1, "a", "1");
    host_.svc(1, "b", "2");
    EXPECT_EQ(host_.svc(29, nullptr, nullptr, 1), 3);
    auto* rec = reinterpret_cast<VarRecord*>(host_.svc(29, nullptr, nullptr, 2, 2));
    ASSERT_NE(rec, nullptr);
    EXPECT_STREQ(rec->name, "b");
    EXPECT_EQ(host_.svc(29, nullptr, nullptr, 2, 3), 0);
    EXPECT_EQ(host_.svc(29, nullptr, nullptr, 2, -1), 0);
    EXPECT_EQ(host_.svc(29, nullptr, nullptr, 3), 0);
}

TEST_F(ExportsTest, IncludeModeService) {
    EXPECT_EQ(host_.svc(39, nullptr, nullptr, 1), 3);
    EXPECT_EQ(host_.svc(39, nullptr, nullptr, 7), 1);
    EXPECT_EQ(host_.svc(39, nullptr, nullptr, 0), 1);
}

TEST_F(ExportsTest, HeapServicesAllocateAndResolve) {
    intptr_t off = host_.svc(42, "copied");
    ASSERT_GT(off, 0);
    auto* p = reinterpret_cast<const char*>(host_.svc(41, nullptr, nullptr, 0, off));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "copied");
    EXPECT_EQ(host_.svc(41, nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(host_.svc(41, nullptr, nullptr, 0, 1 << 30), 0);
    intptr_t empty = host_.svc(42, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(host_.svc(41, nullptr, nullptr, 0, empty)), "");
}

TEST_F(ExportsTest, ValueTextServices) {
    host_.svc(1, "greeting", "hi there");
    EXPECT_EQ(host_.svc(45, "greeting"), 9);
    char buf[32];
    EXPECT_EQ(host_.svc(46, "greeting", buf, sizeof buf), 9);
    EXPECT_STREQ(buf, "hi there");
    {
        test::Entered e(host_.inst_block);
        var_find_or_create(e.inst(), "undef");
    }
    EXPECT_EQ(host_.svc(46, "undef", buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "---");
}

TEST_F(ExportsTest, ValueTextOfNumbersIsTheScriptsText) {
    auto set = [&](const char* name, uint32_t flags, int32_t i, double f) {
        test::Entered e(host_.inst_block);
        Instance& inst = e.inst();
        VarRecord& r = inst.vars[var_find_or_create(inst, name)];
        r.flags = flags;
        r.i = i;
        r.f = f;
    };
    set("n", kVtInt, -2147483647 - 1, 0);
    set("whole", kVtFloat, 0, 2.0);
    set("zero", kVtFloat, 0, 0.0);
    set("big", kVtFloat, 0, 1e10);
    char buf[64];
    std::string expect_whole, expect_big;
    {
        test::Entered e(host_.inst_block);
        expect_whole = format_float(2.0, e.inst().decimals);
        expect_big = format_float(1e10, e.inst().decimals);
    }
    EXPECT_EQ(host_.svc(46, "n", buf, sizeof buf), 12);
    EXPECT_STREQ(buf, "-2147483648");
    host_.svc(46, "whole", buf, sizeof buf);
    EXPECT_EQ(buf, expect_whole);
    EXPECT_STREQ(buf, "2.0");
    host_.svc(46, "zero", buf, sizeof buf);
    EXPECT_STREQ(buf, "0.0");
    host_.svc(46, "big", buf, sizeof buf);
    EXPECT_EQ(buf, expect_big);
}

TEST_F(ExportsTest, ServiceFortySevenSetsAdditionalText) {
    EXPECT_EQ(host_.svc(47, "first"), 1);
    EXPECT_EQ(host_.svc(47, "second"), 1);
    test::Entered e(host_.inst_block);
    EXPECT_EQ(e.inst().add_info, "first\n\n" + std::string(40, '-') + "\n\xA0\nsecond");
}

TEST_F(ExportsTest, UnbuiltServicesReportFailure) {
    EXPECT_EQ(host_.svc(28, "data", "4", 0, 987659), -1);
    EXPECT_EQ(host_.svc(33), 0);
    EXPECT_EQ(host_.svc(43, "", "987659", 1), 0);
    EXPECT_EQ(host_.svc(44, "", "987659", -1, 5), 0);
    EXPECT_EQ(host_.svc(12345), 0);
}

Handle make_buffer(const void* data, size_t n) {
    Handle h = platform::gmem_alloc(n, true);
    std::memcpy(platform::gmem_lock(h), data, n);
    platform::gmem_unlock(h);
    return h;
}

TEST_F(ExportsTest, ProcessDaBatBufferRunsAndPrepares) {
    const char text[] = "Call(`x.web`,``)\r\nline2\rline3";
    Handle b = make_buffer(text, sizeof text);
    EXPECT_EQ(ProcessDaBatBuffer(0, host_.inst_block, b, nullptr, nullptr), 1);
    EXPECT_STREQ(static_cast<char*>(platform::gmem_lock(b)), "Call(`x.web`,``) \nline2\nline3");
    platform::gmem_unlock(b);
    platform::gmem_free(b);
    EXPECT_EQ(ProcessDaBatBuffer(0, host_.inst_block, 0, nullptr, nullptr), 0);
    EXPECT_EQ(ProcessDaBatBuffer(0, 999999, b, nullptr, nullptr), 0);
}

TEST_F(ExportsTest, ProcessDaBatBufferConvertsUtf16) {
    const unsigned char text[] = {0xFF, 0xFE, 'a', 0, 0xE9, 0, '\r', 0, '\n', 0, 0xAC, 0x20, 0, 0};
    Handle b = make_buffer(text, sizeof text);
    EXPECT_EQ(ProcessDaBatBuffer(0, host_.inst_block, b, nullptr, nullptr), 1);
    EXPECT_STREQ(static_cast<char*>(platform::gmem_lock(b)), "a\xE9 \n\x80");
    platform::gmem_unlock(b);
    platform::gmem_free(b);
}

TEST_F(ExportsTest, ProcessDaBatBufferRefusesBareByteOrderMark) {
    const unsigned char text[] = {0xFF, 0xFE, 0, 0};
    Handle b = make_buffer(text, sizeof text);
    EXPECT_EQ(ProcessDaBatBuffer(0, host_.inst_block, b, nullptr, nullptr), 0);
    platform::gmem_free(b);
}

TEST_F(ExportsTest, ProcessDaBatBufferSurvivesUnterminatedBuffer) {
    Handle b = make_buffer("abcd", 4);
    EXPECT_EQ(ProcessDaBatBuffer(0, host_.inst_block, b, nullptr, nullptr), 1);
    platform::gmem_free(b);
}

TEST(TextPrep, NormalizesLineEnds) {
    char t[] = "a\r\nb\rc\n\r";
    normalize_line_ends(t, sizeof t - 1);
    EXPECT_STREQ(t, "a \nb\nc\n\n");
}

// A scripted host callback: answers through the result callback, then returns `rc`.
struct Script {
    int32_t status = 0;
    int32_t rc = 0;
    ExchangeValue answer{};
    int32_t seen_code = 0;
    uint32_t seen_magic = 0;
    RequestRecord seen_req{};
};
Script g_script;

int32_t fake_parent(Hwnd, uintptr_t, uint32_t magic, int32_t code, ResultCallback answer, RequestRecord* req,
                    uintptr_t, ExchangeValue*, int32_t, ExchangeValue* result) {
    g_script.seen_code = code;
    g_script.seen_magic = magic;
    g_script.seen_req = *req;
    *result = g_script.answer;
    int32_t r = answer(g_script.status, kCallbackMagic, req, result);
    return g_script.rc ? g_script.rc : r;
}

class HostCallTest : public ExportsTest {
protected:
    int32_t call(int32_t code) {
        test::Entered e(host_.inst_block);
        Instance& inst = e.inst();
        inst.parent = fake_parent;
        inst.clear_error();
        int32_t rc = call_host(inst, code, args_, 0);
        err_ = inst.error();
        ext_ = inst.ext_error;
        result_ = inst.result;
        if (result_.flags & kVtStr) text_ = heap_str(inst, result_.str);
        return rc;
    }
    ExchangeValue args_[kMaxCallArgs]{};
    uint16_t err_ = 0;
    int32_t ext_ = 0;
    Value result_{};
    std::string text_;
};

TEST_F(HostCallTest, BuildsRequestRecord) {
    g_script = {};
    g_script.answer.flags = kVtInt;
    g_script.answer.i = 77;
    EXPECT_EQ(call(5), 0);
    EXPECT_EQ(g_script.seen_code, 5);
    EXPECT_EQ(g_script.seen_magic, kCallbackMagic);
    EXPECT_EQ(g_script.seen_req.tag, 1010);
    EXPECT_EQ(g_script.seen_req.size, static_cast<int32_t>(sizeof(RequestRecord)));
    EXPECT_EQ(g_script.seen_req.instance_block, host_.inst_block);
    EXPECT_EQ(g_script.seen_req.services, &DLLServices);
    EXPECT_EQ(result_.flags, uint32_t{kVtInt});
    EXPECT_EQ(result_.i, 77);
    EXPECT_EQ(err_, 0);
}

TEST_F(HostCallTest, StringResultIsCopiedToHeap) {
    g_script = {};
    char s[] = "from host";
    g_script.answer.flags = kVtStr;
    g_script.answer.str = s;
    EXPECT_EQ(call(1), 0);
    EXPECT_EQ(result_.flags, uint32_t{kVtStr});
    EXPECT_EQ(text_, "from host");
}

TEST_F(HostCallTest, NegativeReturnsRaiseTheirErrors) {
    const std::pair<int32_t, uint16_t> cases[] = {{-1, 1213}, {-2, 2214}, {-3, 3215}, {-4, 3210},
                                                  {-5, 9999}, {-6, 9012}, {-7, 1643}, {-42, 3210}};
    for (auto [rc, err] : cases) {
        g_script = {};
        g_script.status = rc;
        char s[] = "10119: WebLogLine: Invalid log file handle";
        g_script.answer.flags = kVtStr;
        g_script.answer.str = s;
        EXPECT_EQ(call(3), rc);
        EXPECT_EQ(err_, err) << rc;
        EXPECT_EQ(ext_, 10119) << rc;
    }
}

TEST_F(HostCallTest, ExtensionNumberStaysAt999WithoutNumber) {
    g_script = {};
    g_script.status = -3;
    char s[] = "no number here";
    g_script.answer.flags = kVtStr;
    g_script.answer.str = s;
    EXPECT_EQ(call(3), -3);
    EXPECT_EQ(ext_, 999);
    g_script.answer.flags = kVtInt;  // not a string: message 866 becomes the text
    EXPECT_EQ(call(3), -3);
    test::Entered e(host_.inst_block);
    EXPECT_EQ(e.inst().ext_error_text, "Extender Error: Undefined error occurred");
}

TEST_F(HostCallTest, ViperAnswerStatusHandling) {
    g_script = {};
    g_script.answer.flags = 0;  // success with no type
    EXPECT_EQ(call(1), -4);
    EXPECT_EQ(err_, 3210);
    g_script.answer.flags = kVtVariant | kVtArray;
    EXPECT_EQ(call(1), -4);
    g_script.answer.flags = kVtFloat | kVtInt;  // float wins over integer
    g_script.answer.f = 2.5;
    EXPECT_EQ(call(1), 0);
    EXPECT_EQ(result_.flags, uint32_t{kVtFloat});
    EXPECT_EQ(result_.f, 2.5);
    char16_t w[] = u"wide";
    g_script.answer.flags = kVtWide;
    g_script.answer.wstr = w;
    EXPECT_EQ(call(1), 0);
    EXPECT_EQ(result_.flags, uint32_t{kVtWide});
    EXPECT_EQ(ViperAnswer(0, kCallbackMagic, nullptr, nullptr), -4);
}

TEST_F(HostCallTest, CancelReturnEndsStatement) {
    EXPECT_TRUE(host_failure_ends_statement(-5));
    EXPECT_TRUE(host_failure_ends_statement(-4));
    EXPECT_FALSE(host_failure_ends_statement(-3));
    EXPECT_FALSE(host_failure_ends_statement(-8));
    EXPECT_EQ(host_failure_error(-5), 9999);
}

TEST_F(ExportsTest, ExportedHeapAndLookup) {
    host_.svc(1, "found", "yes");
    platform::GmemLock l(host_.inst_block);
    uint32_t off = VMalloc(l.get(), 10);
    EXPECT_NE(off, 0u);
    VFree(l.get(), off);
    EXPECT_EQ(VMalloc(nullptr, 10), 0u);
    EXPECT_NE(find_var(l.get(), "found", 0), 0xFFFFu);
    EXPECT_EQ(find_var(l.get(), "lost", 0), 0xFFFFu);
    EXPECT_EQ(DoDllAbout(), 0);
    EXPECT_EQ(ClientCallback(), 0);
}

}  // namespace
