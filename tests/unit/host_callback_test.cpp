// The command callback's protocol, the message table, the host function table and the
// web functions that need no script.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/unit/scratch_program_dir.h"
#include "host/callback.h"
#include "host/intake.h"
#include "host/pages.h"
#include "host/webfuncs.h"
#include "platform/language.h"
#include "platform/process.h"

using namespace kel;
using namespace kel::host;

namespace {

struct Answer {
    int calls = 0;
    int32_t status = 0;
    uint32_t magic = 0;
    RequestRecord* req = nullptr;
    ExchangeValue value{};
    std::string text;
};
Answer g_answer;

// The request the calls below are made for, as host_main would hand it.
HostState g_request;

int32_t record_answer(int32_t status, uint32_t magic, RequestRecord* req, ExchangeValue* v) {
    g_answer.calls++;
    g_answer.status = status;
    g_answer.magic = magic;
    g_answer.req = req;
    g_answer.value = *v;
    g_answer.text = (v->flags & kVtStr) && v->str ? v->str : "";
    return 77;
}

// A call with no request being served.
int32_t call_outside_request(int32_t code, std::vector<std::string> args = {}) {
    g_answer = Answer{};
    std::vector<ExchangeValue> rec(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
        rec[i].str = args[i].data();
        rec[i].flags = kVtStr;
    }
    ExchangeValue result{};
    return Parent_ProcessCommand2(0, 0, kCallbackMagic, code, record_answer, reinterpret_cast<RequestRecord*>(0x1234),
                                  0, rec.data(), static_cast<int32_t>(rec.size()), &result);
}

int32_t call(int32_t code, std::vector<std::string> args = {}) {
    RunningRequest running(g_request);
    return call_outside_request(code, std::move(args));
}

}  // namespace

TEST(Callback, ReturnsWhatTheResultCallbackReturns) {
    EXPECT_EQ(call(1), 77);
    EXPECT_EQ(g_answer.calls, 1);
    EXPECT_EQ(g_answer.status, 0);
    EXPECT_EQ(g_answer.magic, kCallbackMagic);
    EXPECT_EQ(g_answer.req, reinterpret_cast<RequestRecord*>(0x1234));
    EXPECT_EQ(g_answer.text, "2019B");
}

TEST(Callback, TraceAndBreakpointDoNotAnswer) {
    EXPECT_EQ(call(-1), 1);
    EXPECT_EQ(g_answer.calls, 0);
    EXPECT_EQ(call(25), 0);
    EXPECT_EQ(g_answer.calls, 0);
    EXPECT_EQ(call(0x7FFF0000 | 25), 0);  // only the low 16 bits count
    EXPECT_EQ(g_answer.calls, 0);
}

TEST(Callback, UnknownCodesFail10102) {
    for (int32_t code : {26, 27, 28, 33, 99, -2, -32768, 9999}) {
        call(code);
        EXPECT_EQ(g_answer.status, -3) << code;
        EXPECT_EQ(g_answer.text, "10102: Tarnwick - Unrecognized ParentProcess request code") << code;
    }
}

TEST(Callback, IntegerResults) {
    call(0);
    EXPECT_EQ(g_answer.value.flags, kVtInt);
    EXPECT_EQ(g_answer.value.i, 1);
    call(29);
    EXPECT_EQ(g_answer.value.i, 14);
}

TEST(Callback, MissingArgumentsReadAsEmpty) {
    call(10);  // webhashcode with no argument record at all
    EXPECT_EQ(g_answer.status, -3);
    EXPECT_EQ(g_answer.text, "10113: WebHashCode: String not specified");
}

TEST(Callback, OutsideARequestNoFunctionRuns) {
    ASSERT_EQ(running_request(), nullptr);
    call_outside_request(1);  // version() needs no state, but nothing is served
    EXPECT_EQ(g_answer.status, -3);
    EXPECT_EQ(g_answer.text, "10131: Tarnwick - Function not available in this version of the host");
    call_outside_request(27);  // a constant's code is still no request code
    EXPECT_EQ(g_answer.text, "10102: Tarnwick - Unrecognized ParentProcess request code");
    EXPECT_EQ(call_outside_request(-1), 1);
    EXPECT_EQ(g_answer.calls, 0);
}

TEST(Callback, RunningRequestNestsAndRestores) {
    HostState a, b;
    EXPECT_EQ(running_request(), nullptr);
    {
        RunningRequest outer(a);
        EXPECT_EQ(running_request(), &a);
        {
            RunningRequest inner(b);
            EXPECT_EQ(running_request(), &b);
        }
        EXPECT_EQ(running_request(), &a);
    }
    EXPECT_EQ(running_request(), nullptr);
}

// A reused worker serves one request after another: what one request's script opened
// (the web log, its reading position, the exit code) is that request's alone.
TEST(Callback, EachRequestHasItsOwnWebLog) {
    std::string path = ::testing::TempDir() + "host_weblog_" + std::to_string(::getpid()) + ".log";
    {
        std::ofstream f(path, std::ios::binary);
        f << "127.0.0.1 - ann [10/Oct/2000:13:55:36 -0700] \"GET /a.gif HTTP/1.0\" 200 2326\r\n"
             "127.0.0.2 - bob [11/Oct/2000:13:55:36 -0700] \"GET /b.gif HTTP/1.0\" 404 7\r\n";
    }
    HostState first, second;
    std::string fd;
    {
        RunningRequest running(first);
        call_outside_request(13, {path, "1"});
        ASSERT_EQ(g_answer.status, 0);
        fd = std::to_string(g_answer.value.i);
        call_outside_request(12, {fd, "0"});
        EXPECT_EQ(g_answer.value.i, 1);
        EXPECT_EQ(first.weblog.fields[0], "127.0.0.1");
        call_outside_request(2, {"1000", "7", "", "", ""});
    }
    {
        RunningRequest running(second);
        call_outside_request(12, {fd, "0"});  // the first request's handle means nothing here
        EXPECT_EQ(g_answer.text, "10119: WebLogLine: Invalid log file handle");
        call_outside_request(13, {path, "1"});
        std::string own = std::to_string(g_answer.value.i);
        call_outside_request(12, {own, "0"});
        EXPECT_EQ(g_answer.value.i, 1);
        EXPECT_EQ(second.weblog.fields[0], "127.0.0.1");  // from its own start
        EXPECT_EQ(second.exit_code, 0);
        call_outside_request(3, {own});
        EXPECT_EQ(g_answer.value.i, 1);
    }
    {
        RunningRequest running(first);
        call_outside_request(12, {fd, "0"});
        EXPECT_EQ(g_answer.value.i, 1);
        EXPECT_EQ(first.weblog.fields[0], "127.0.0.2");  // where it left off
        EXPECT_EQ(first.weblog.fields[8], "404");
        call_outside_request(12, {fd, "0"});
        EXPECT_EQ(g_answer.value.i, 0);  // end of the log
        call_outside_request(3, {fd});
    }
    EXPECT_EQ(first.exit_code, 7);
    std::remove(path.c_str());
}

TEST(WebBaseConv, Examples) {
    call(21, {"FF", "16", "10"});
    EXPECT_EQ(g_answer.value.flags, kVtInt);
    EXPECT_EQ(g_answer.value.i, 255);
    call(21, {"255", "10", "16"});
    EXPECT_EQ(g_answer.text, "FF");
    call(21, {"-255", "10", "2"});
    EXPECT_EQ(g_answer.text, "-11111111");
    call(21, {"FFFFFFFF", "16", "10"});
    EXPECT_EQ(g_answer.value.i, -1);
    call(21, {"1:", "16", "10"});
    EXPECT_EQ(g_answer.value.i, 26);
    call(21, {"1", "1", "10"});
    EXPECT_EQ(g_answer.text, "10111: WebBaseConv: Invalid base");
    call(21, {"1", "10", "37"});
    EXPECT_EQ(g_answer.status, -3);
    call(21, {"1G", "16", "10"});
    EXPECT_EQ(g_answer.text, "10112: WebBaseConv: Illegal character in string");
    EXPECT_EQ(write_in_base(INT32_MIN, 16), "-2147483648");
    EXPECT_EQ(write_in_base(0, 2), "0");
}

TEST(WebHashCode, Examples) {
    EXPECT_EQ(web_hash_code("A"), 65);
    EXPECT_EQ(web_hash_code("AB"), 196);
    int32_t h = web_hash_code(std::string(100, '\xF0'));
    EXPECT_GT(h, -1000);
    EXPECT_LT(h, 1000);
}

TEST(WebVerifyCard, Luhn) {
    EXPECT_EQ(web_verify_card("4111 1111 1111 1111"), 1);
    EXPECT_EQ(web_verify_card("4111-1111-1111-1112"), 0);
    EXPECT_EQ(web_verify_card("79927398713"), 1);
    EXPECT_EQ(web_verify_card(""), 0);
    EXPECT_EQ(web_verify_card("--"), 0);
}

TEST(WebVerifyCard, LettersOfTheCodePageCount) {
    // "é" is a letter of the default page 1252: kept as code 233, doubled to 466 - 9.
    EXPECT_EQ(web_verify_card("\xE9" "9"), 1);
    EXPECT_EQ(web_verify_card("\xE9" "8"), 0);
    // "§" is not alphanumeric and is skipped like a blank.
    EXPECT_EQ(web_verify_card("\xA7" "0"), 1);
    // Letters use their code minus 48 like digits: "A" is 17, doubled 34, less 9 is 25.
    EXPECT_EQ(web_verify_card("A5"), 1);
    EXPECT_EQ(web_verify_card("A-5"), 1);
    EXPECT_EQ(web_verify_card("A6"), 0);
}

TEST(WebSetTimeout, ValidatesAndReturnsPrevious) {
    g_request.timeout_seconds = 60;
    call(24, {"-5"});
    EXPECT_EQ(g_answer.value.i, 60);
    EXPECT_EQ(g_request.timeout_seconds, 60u);
    call(24, {"4294968"});
    EXPECT_EQ(g_answer.text, "10122: WebSetTimeout: Invalid timeout value");
    call(24, {"abc"});
    EXPECT_EQ(g_answer.status, -3);
    call(24, {"30"});
    EXPECT_EQ(g_answer.value.i, 60);
    EXPECT_EQ(g_request.timeout_seconds, 30u);
    g_request.timeout_seconds = 60;
}

TEST(IntControl, OnlyRequest1000SetsTheExitCode) {
    g_request.exit_code = 0;
    call(2, {"1000", "3", "", "", ""});
    EXPECT_EQ(g_answer.value.i, 0);
    EXPECT_EQ(g_request.exit_code, 3);
    call(2, {"999", "3", "", "", ""});
    EXPECT_EQ(g_answer.text, "10103: IntControl: Unrecognized Request");
    g_request.exit_code = 0;
}

TEST(WebCmdRawData, FlagsChooseTheForm) {
    g_request.raw_cmd = "+a\\\\b";
    g_request.raw_cmd_unescaped = "+a\\b";
    call(32, {"0"});
    EXPECT_EQ(g_answer.text, "+a\\\\b");
    call(32, {"1"});
    EXPECT_EQ(g_answer.text, "+a\\b");
    call(32, {""});
    EXPECT_EQ(g_answer.text, "10130: WebCmdRawData: Invalid flags");
}

TEST(HostTable, RecordsAndTerminator) {
    const KeywordRecord* t = host_function_table();
    ASSERT_EQ(host_function_count(), 33u);
    for (size_t i = 0; i < 33; ++i) {
        EXPECT_EQ(t[i].id, static_cast<int32_t>(i));
        EXPECT_EQ(t[i].name_len, std::strlen(t[i].name));
    }
    EXPECT_STREQ(t[14].name, "webout");
    EXPECT_EQ(t[14].kind, 2);
    EXPECT_EQ(t[14].u.args.required, 2);
    EXPECT_EQ(t[14].ptypes[0], 0x11);
    EXPECT_EQ(t[14].ptypes[2], 0x01);
    EXPECT_EQ(t[25].kind, 4);
    EXPECT_EQ(t[26].kind, 3);
    EXPECT_EQ(t[26].u.value, 1);
    EXPECT_EQ(t[28].u.value, 3);
    EXPECT_EQ(t[33].id, 9999);
    EXPECT_EQ(t[33].name_len, 0);
}

TEST(Messages, BuiltInTexts) {
    EXPECT_EQ(host_message(10119), "10119: WebLogLine: Invalid log file handle");
    EXPECT_EQ(host_message(12345), "");
}

TEST(Messages, LanguageFileOverrides) {
    ScratchProgramDir prog;
    std::string dir = platform::program_dir();
    std::string fen = dir + "/FENSCRPT.INI", lang = dir + "/FENDLANG.tst";
    {
        std::ofstream(fen) << "[MAIN]\r\nLanguage=tst\r\n";
        std::ofstream(lang) << "[Tarnwick]\r\nX10119=10119: Handle~bad|here\r\nX10112=10112: never\r\n";
    }
    platform::reset_language_file();
    EXPECT_EQ(platform::language_file(), lang);
    EXPECT_EQ(host_message(10119), "10119: Handle\nbad\there");
    EXPECT_EQ(host_message(10112), "10112: WebBaseConv: Illegal character in string");
    EXPECT_EQ(host_message(10120), "10120: WebLogLine: Error reading log file");
    std::remove(fen.c_str());
    std::remove(lang.c_str());
    platform::reset_language_file();
}

TEST(ErrorLog, ControlBytesEscaped) {
    EXPECT_EQ(escape_log_text("a\r\nb\tc\x7f"), "a%0D%0Ab\tc%7F");
    EXPECT_EQ(html_escape("<a href=\"x\">&"), "&lt;a href=&quot;x&quot;&gt;&amp;");
}

TEST(ErrorLog, OneEntryPerCallWithEscapedRequestText) {
    std::string path = ::testing::TempDir() + "host_errlog_test.log";
    std::remove(path.c_str());
    HostState& h = g_request;
    h.error_log_path = path;
    h.script_name = "x.web\r\n01/01/01";
    EXPECT_TRUE(error_log_append(h, "Head", "Detail\r\nforged"));
    EXPECT_TRUE(error_log_append(h, "", ""));
    std::ifstream f(path, std::ios::binary);
    std::string log((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("  Tarnwick - x.web%0D%0A01/01/01\r\n\r\nHead\r\n\r\nDetail%0D%0Aforged\r\n\r\n<HR>\r\n\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("  Tarnwick - x.web%0D%0A01/01/01\r\n\r\n\r\n\r\n<HR>\r\n\r\n"), std::string::npos);
    h.script_name.clear();
    h.error_log_path.clear();
    EXPECT_FALSE(error_log_append(h, "a", "b"));
    std::remove(path.c_str());
}
