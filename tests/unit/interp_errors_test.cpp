// Error classes, the message line, additional information, the log entry, and the
// per-line decision (ErrorMode, LastError, ErrorEvent, handlers of modes 1 to 3, cancel
// handlers, the host's stop request) through scripts run in-process.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "interp/run/errors.h"
#include "interp/base/messages.h"
#include "interp_run_fixture.h"
#include "platform/fileio.h"
#include "platform/process.h"

using namespace kel;
using namespace kel::interp;

namespace {

TEST(ErrorClass, RangesByCode) {
    EXPECT_EQ(error_class(0), ErrorClass::kNone);
    EXPECT_EQ(error_class(1), ErrorClass::kMinor);
    EXPECT_EQ(error_class(2000), ErrorClass::kMinor);
    EXPECT_EQ(error_class(2001), ErrorClass::kModerate);
    EXPECT_EQ(error_class(3000), ErrorClass::kModerate);
    EXPECT_EQ(error_class(3001), ErrorClass::kSevere);
    EXPECT_EQ(error_class(8999), ErrorClass::kSevere);
    EXPECT_EQ(error_class(9000), ErrorClass::kControl);
    EXPECT_EQ(error_class(9999), ErrorClass::kControl);
}

TEST(MessageLine, CodeColonTwoBlanksText) {
    EXPECT_EQ(message_line(3062), "3062:  Attempt to divide by zero");
    EXPECT_EQ(message_line(3357), "3357:  End Error: No match  found");
    EXPECT_EQ(message_line(65000), "65000:  Error 65000");
}

TEST(MessageLine, ExtensionErrorsUseTheCalleesText) {
    test::FakeHost h;
    ASSERT_TRUE(h.start());
    {
        test::Entered e(h.inst_block);
        Instance& inst = e.inst();
        inst.ext_error_text = "10112: WebBaseConv: Illegal character in string";
        EXPECT_EQ(error_message_line(inst, 3215), inst.ext_error_text);
        EXPECT_EQ(error_message_line(inst, 1213), inst.ext_error_text);
        EXPECT_EQ(error_message_line(inst, 3062), "3062:  Attempt to divide by zero");
        inst.ext_error_text.clear();
        EXPECT_EQ(error_message_line(inst, 3215), "3215:  Cmd Extender: Severe error occurred");
    }
    h.stop();
}

TEST(AdditionalInfo, SeparatorBetweenItemsAndCut) {
    test::FakeHost h;
    ASSERT_TRUE(h.start());
    {
        test::Entered e(h.inst_block);
        Instance& inst = e.inst();
        inst.add_info.clear();
        inst.info("first");
        EXPECT_EQ(inst.add_info, "first");
        inst.info("second");
        EXPECT_EQ(inst.add_info, "first\n\n" + std::string(40, '-') + "\n\xA0\nsecond");
        inst.info(std::string(5000, 'x'));
        EXPECT_EQ(inst.add_info.size(), kAddInfoMax);
        inst.info("lost");
        EXPECT_EQ(inst.add_info.size(), kAddInfoMax);
        EXPECT_EQ(inst.add_info.find("lost"), std::string::npos);
        inst.add_info.clear();
    }
    h.stop();
}

TEST(ErrorLog, EntryLayout) {
    std::string e = error_log_entry("Tarnwick", "3062:  Attempt to divide by zero", "x = 1 / 0");
    // "MM/DD/YY  HH:MM:SS  title"
    ASSERT_GT(e.size(), 20u);
    EXPECT_EQ(e[2], '/');
    EXPECT_EQ(e[5], '/');
    EXPECT_EQ(e.substr(8, 2), "  ");
    EXPECT_EQ(e.substr(20), "Tarnwick\r\n\r\n3062:  Attempt to divide by zero\r\n\r\nx = 1 / 0\r\n\r\n<HR>\r\n\r\n");
    std::string empty = error_log_entry("T", "", "");
    EXPECT_EQ(empty.substr(20), "T\r\n\r\n\r\n\r\n<HR>\r\n\r\n");
}

TEST(ErrorLog, ControlBytesOfRequestTextAreEscaped) {
    EXPECT_EQ(escape_log_text("a\r\nb\tc\x7F\x01"), "a%0D%0Ab\tc%7F%01");
    std::string e = error_log_entry("T", "1:  x", "webout(\"evil\r\n<HR>\")");
    EXPECT_NE(e.find("webout(\"evil%0D%0A<HR>\")\r\n"), std::string::npos);
}

class ErrorRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(h_.start()); }
    std::string log_path() { return platform::temp_dir() + "kel_errors_test_" + std::to_string(std::random_device{}()) + ".log"; }
    void html_log() {
        log_ = log_path();
        platform::file_delete(log_.c_str());
        h_.host.svc(23, log_.c_str(), nullptr, 1);
    }
    void TearDown() override {
        if (!log_.empty()) platform::file_delete(log_.c_str());
    }
    test::RunHost h_;
    std::string log_;
};

TEST_F(ErrorRun, SevereErrorStopsWithReport) {
    h_.run("out(`before`)\nx = 1 / 0\nout(`never`)\n");
    EXPECT_EQ(h_.out, "before\n");
    EXPECT_EQ(h_.error(), 3062);
    EXPECT_NE(h_.stderr_text.find("3062:  Attempt to divide by zero"), std::string::npos);
    EXPECT_NE(h_.stderr_text.find("x = 1 / 0"), std::string::npos);
    EXPECT_NE(h_.stderr_text.find("KEL Version: 2019B"), std::string::npos);
    EXPECT_NE(h_.stderr_text.find("Near line 2"), std::string::npos);
}

TEST_F(ErrorRun, HtmlLogSwitchWritesOneEntryAndKeepsTextsForHost) {
    html_log();
    h_.run("x = 1 / 0\n");
    EXPECT_EQ(h_.stderr_text, "");
    std::string head, detail;
    ASSERT_TRUE(h_.pending(&head, &detail));
    EXPECT_EQ(head, "3062:  Attempt to divide by zero");
    EXPECT_EQ(detail, "x = 1 / 0");
    std::string log = test::read_text_file(log_);
    EXPECT_NE(log.find("\r\n\r\n3062:  Attempt to divide by zero\r\n\r\nx = 1 / 0\r\n\r\n<HR>\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(log.find("<HR>"), log.rfind("<HR>"));
}

TEST_F(ErrorRun, HostFailureSurfacesWithTheHostsText) {
    html_log();
    h_.run("x = hostfail(`10112: WebBaseConv: Illegal character in string`, `-3`)\n");
    EXPECT_EQ(h_.error(), 3215);
    std::string head, detail;
    ASSERT_TRUE(h_.pending(&head, &detail));
    EXPECT_EQ(head, "10112: WebBaseConv: Illegal character in string");
    std::string log = test::read_text_file(log_);
    EXPECT_NE(log.find("10112: WebBaseConv: Illegal character in string\r\n"), std::string::npos);
    EXPECT_EQ(log.find("Cmd Extender"), std::string::npos);
}

TEST_F(ErrorRun, HostFailureLogKeepsTheShortCopy) {
    html_log();
    std::string text = "10119: " + std::string(600, 'w');
    h_.run("x = hostfail(`" + text + "`, `-3`)\n");
    std::string head, detail;
    ASSERT_TRUE(h_.pending(&head, &detail));
    EXPECT_EQ(head, text);
    std::string log = test::read_text_file(log_);
    // The message line of the entry is the short copy; the failing line follows it.
    EXPECT_NE(log.find("\r\n\r\n" + text.substr(0, 255) + "\r\n\r\nx = hostfail("), std::string::npos);
}

TEST_F(ErrorRun, HostFailureInHandlerVariables) {
    h_.run(
        "IntControl(73, 1, 0, 0, 0)\n"
        "x = hostfail(`10112: WebBaseConv: Illegal character in string`, `-3`)\n"
        "exit\n"
        ":tkerrorhandler\n"
        "out(tkerrortextstring)\n"
        "out(tkerroradditionalinfo)\n"
        "out(tkerrorarray[0])\n");
    EXPECT_EQ(h_.out,
              "10112: WebBaseConv: Illegal character in string\n"
              "10112: WebBaseConv: Illegal character in string\n"
              "10112\n");
}

TEST_F(ErrorRun, MinorHostFailureLastErrorGivesRealNumber) {
    h_.run(
        "ErrorMode(@OFF)\n"
        "x = hostfail(`10119: WebLogLine: Invalid log file handle`, `-1`)\n"
        "out(LastError())\n"
        "out(LastError())\n");
    EXPECT_EQ(h_.out, "10119\n0\n");
    EXPECT_EQ(h_.stderr_text, "");
}

TEST_F(ErrorRun, ErrorModeReturnsPreviousAndMapsValues) {
    h_.run(
        "out(ErrorMode(5))\n"
        "out(ErrorMode(0))\n"
        "out(ErrorMode(1))\n"
        "out(ErrorMode(-7))\n"
        "out(ErrorMode(1))\n");
    EXPECT_EQ(h_.out, "1\n2\n0\n1\n2\n");
}

TEST_F(ErrorRun, ErrorModeOffSuppressesMinorAndFillsHandlerVariables) {
    h_.run(
        "ErrorMode(@OFF)\n"
        "ErrorEvent(-1, 7001, `minor one`)\n"
        "out(`went on`)\n"
        "out(tkerrortextstring)\n"
        "out(tkerroradditionalinfo)\n"
        "out(tkerrorarray[0])\n"
        "out(LastError())\n"
        "out(LastError())\n");
    EXPECT_EQ(h_.out, "went on\nMinor user-defined error\nminor one\n7001\n1668\n0\n");
    EXPECT_EQ(h_.stderr_text, "");
}

TEST_F(ErrorRun, ErrorModeOffStillStopsOnSevere) {
    h_.run("ErrorMode(@OFF)\nx = 1 / 0\nout(`never`)\n");
    EXPECT_EQ(h_.out, "");
    EXPECT_EQ(h_.error(), 3062);
}

TEST_F(ErrorRun, NotifyOffersContinueForModerate) {
    platform::env_set("KEL_DIALOG_ANSWER", "continue");
    h_.run(
        "ErrorMode(@NOTIFY)\n"
        "x = hostfail(`2: moderate`, `-2`)\n"
        "out(`continued`)\n"
        "ErrorMode(@CANCEL)\n"
        "x = hostfail(`2: moderate`, `-2`)\n"
        "out(`never`)\n");
    platform::env_set("KEL_DIALOG_ANSWER", nullptr);
    EXPECT_EQ(h_.out, "continued\n");
    EXPECT_EQ(h_.error(), 2214);
}

TEST_F(ErrorRun, NotifyWithoutAnswerExits) {
    h_.run("ErrorMode(@NOTIFY)\nx = hostfail(`2: moderate`, `-2`)\nout(`never`)\n");
    EXPECT_EQ(h_.out, "");
}

TEST_F(ErrorRun, ErrorEventChecksSeverityAndCode) {
    h_.run("ErrorEvent(-4, 7001, `x`)\n");
    EXPECT_EQ(h_.error(), 1666);
    h_.run("ErrorEvent(-1, 6999, `x`)\n");
    EXPECT_EQ(h_.error(), 1667);
    h_.run("ErrorEvent(-1, 8000, `x`)\n");
    EXPECT_EQ(h_.error(), 1667);
}

TEST_F(ErrorRun, ErrorEventWithoutHandlerShowsAtOnce) {
    h_.run("ErrorEvent(-2, 7001, `x`)\nout(`never`)\n");
    EXPECT_NE(h_.stderr_text.find("User-Defined Error:  7001: x"), std::string::npos);
    EXPECT_EQ(h_.out, "");
    EXPECT_EQ(h_.error(), 9016);
    EXPECT_EQ(h_.real_code(), 7001);
}

TEST_F(ErrorRun, HandlerVariablesOfModeOne) {
    h_.run(
        "IntControl(73, 1, 0, 0, 0)\n"
        "out(`start`)\n"
        "answer = 1 / 0\n"
        "exit\n"
        ":tkerrorhandler\n"
        "out(tkerrorhandlerline)\n"
        "out(tkerrorhandlerassignment)\n"
        "out(tkerrortextstring)\n"
        "out(`[` : tkerrorinsegment : `]`)\n"
        "out(tkerrorhandlerlinenumber)\n"
        "out(tkerrorhandleroffset > 0)\n"
        "out(ArrInfo(tkerrorarray, 1))\n"
        "out(tkerrorarray[1])\n"
        "out(tkerrorarray[5])\n"
        "out(tkerrorarray[11])\n");
    EXPECT_EQ(h_.out,
              "start\nanswer = 1 / 0\nanswer\nAttempt to divide by zero\n[]\n3\n1\n12\nanswer = 1 / 0\n"
              "Attempt to divide by zero\n0\n");
}

TEST_F(ErrorRun, ModeOneDisarmsAfterUse) {
    h_.run(
        "IntControl(73, 1, 0, 0, 0)\n"
        "x = 1 / 0\n"
        "exit\n"
        ":tkerrorhandler\n"
        "out(`once`)\n"
        "y = 1 / 0\n"
        "out(`never`)\n");
    EXPECT_EQ(h_.out, "once\n");
    EXPECT_EQ(h_.error(), 3062);
}

TEST_F(ErrorRun, MissingHandlerLabelKeepsTheCode) {
    h_.run("IntControl(73, 1, 0, 0, 0)\nx = 1 / 0\nout(`never`)\n");
    EXPECT_EQ(h_.error(), 3062);
    EXPECT_EQ(h_.out, "");
}

TEST_F(ErrorRun, ModeTwoReturnsToTheNextLine) {
    h_.run(
        "IntControl(73, 2, 0, 0, 0)\n"
        "x = 1 / 0\n"
        "out(`back`)\n"
        "exit\n"
        ":tkerrorhandler\n"
        "out(`handled`)\n"
        "return\n");
    EXPECT_EQ(h_.out, "handled\nback\n");
}

TEST_F(ErrorRun, ModeThreeFlagsKeepArmedOrEnd) {
    // Bit 1 of the result keeps the handler armed: kept for 3062, dropped for 5.
    h_.run(
        "#DefineFunction h(a)\n"
        "out(`h ` : a[0])\n"
        "return a[0] == 3062\n"
        "#EndFunction\n"
        "IntControl(73, 3, 0, `H`, 0)\n"
        "x = 1 / 0\n"
        "x = hostfail(`5: five`, `-3`)\n"
        "out(`disarmed now`)\n"
        "x = 1 / 0\n"
        "out(`never`)\n");
    EXPECT_EQ(h_.out, "h 3062\nh 5\ndisarmed now\n");
    EXPECT_EQ(h_.error(), 3062);
}

TEST_F(ErrorRun, ModeThreeResultTwoEndsScript) {
    h_.run(
        "#DefineFunction h(a)\n"
        "return 2\n"
        "#EndFunction\n"
        "IntControl(73, 3, 0, `h`, 0)\n"
        "x = 1 / 0\n"
        "out(`never`)\n");
    EXPECT_EQ(h_.out, "");
}

TEST_F(ErrorRun, ModeThreeHandlerErrorEndsScript) {
    h_.run(
        "#DefineFunction h(a)\n"
        "return undefinedthing\n"
        "#EndFunction\n"
        "IntControl(73, 3, 0, `h`, 0)\n"
        "x = 1 / 0\n"
        "out(`never`)\n");
    EXPECT_EQ(h_.out, "");
    EXPECT_NE(h_.error(), 0);
}

TEST_F(ErrorRun, ModeThreeNeedsOneParameter) {
    h_.run(
        "#DefineFunction h(a, b)\n"
        "out(`called`)\n"
        "return 1\n"
        "#EndFunction\n"
        "IntControl(73, 3, 0, `h`, 0)\n"
        "x = 1 / 0\n");
    EXPECT_EQ(h_.out, "");
    EXPECT_EQ(h_.error(), 3062);
}

TEST_F(ErrorRun, IntControlReturnsPreviousModeAndKeepsBadValues) {
    h_.run(
        "out(IntControl(73, 2, 0, 0, 0))\n"
        "out(IntControl(73, 9, 0, 0, 0))\n"
        "out(IntControl(73, 0, 0, 0, 0))\n"
        "out(IntControl(72, 1, 0, 0, 0))\n"
        "out(IntControl(72, 0, 0, 0, 0))\n");
    EXPECT_EQ(h_.out, "0\n2\n2\n0\n1\n");
}

TEST_F(ErrorRun, HandlerInsideFunctionNamesTheSegment) {
    h_.run(
        "#DefineFunction f()\n"
        "IntControl(73, 1, 0, 0, 0)\n"
        "z = 1 / 0\n"
        "return 1\n"
        ":tkerrorhandler\n"
        "out(`in [` : tkerrorinsegment : `] line ` : tkerrorarray[9] : ` file line ` : tkerrorarray[8] : ` ` : tkerrorhandlerlinenumber)\n"
        "return 7\n"
        "#EndFunction\n"
        "out(f())\n");
    EXPECT_EQ(h_.out, "in [f] line 2 file line 3 3\n7\n");
}

TEST_F(ErrorRun, ErrorInFunctionReportsOnLineIn) {
    h_.run(
        "#DefineFunction f()\n"
        "z = 1 / 0\n"
        "return 1\n"
        "#EndFunction\n"
        "out(f())\n");
    EXPECT_EQ(h_.out, "");
    EXPECT_NE(h_.stderr_text.find("3062:  Attempt to divide by zero"), std::string::npos);
    EXPECT_NE(h_.stderr_text.find("In f"), std::string::npos);
}

TEST_F(ErrorRun, HandlerStateResetInsideFunction) {
    // A function starts with the error handler off: the error is reported inside it and
    // surfaces in the caller as 9015 (already reported), which no handler takes.
    h_.run(
        "#DefineFunction f()\n"
        "z = 1 / 0\n"
        "return 1\n"
        "#EndFunction\n"
        "IntControl(73, 1, 0, 0, 0)\n"
        "r = f()\n"
        "exit\n"
        ":tkerrorhandler\n"
        "out(`main handler ` : tkerrorarray[0])\n");
    EXPECT_EQ(h_.out, "");
    EXPECT_EQ(h_.error(), 9015);
    EXPECT_EQ(h_.real_code(), 3062);
    EXPECT_NE(h_.stderr_text.find("3062:  Attempt to divide by zero"), std::string::npos);
}

TEST_F(ErrorRun, CancelWithoutHandlerEnds) {
    h_.run("hostcancel()\nout(`never`)\n");
    EXPECT_EQ(h_.out, "");
    EXPECT_EQ(h_.error(), 9999);
}

TEST_F(ErrorRun, CancelHandlerModeOneJumpsToCancel) {
    h_.run(
        "IntControl(72, 1, 0, 0, 0)\n"
        "hostcancel()\n"
        "out(`never`)\n"
        "exit\n"
        ":cancel\n"
        "out(tkerrorarray[5] : `/` : tkerrorarray[6] : `/` : tkerrorarray[0])\n");
    EXPECT_EQ(h_.out, "Cancel/User pressed Cancel/9999\n");
    EXPECT_EQ(h_.error(), 0);
}

TEST_F(ErrorRun, CancelHandlerModeTwoReturns) {
    h_.run(
        "IntControl(72, 2, 0, 0, 0)\n"
        "hostcancel()\n"
        "out(`after`)\n"
        "hostcancel()\n"
        "out(`never: disarmed`)\n"
        "exit\n"
        ":cancel\n"
        "out(`cancelled`)\n"
        "return\n");
    EXPECT_EQ(h_.out, "cancelled\nafter\n");
    EXPECT_EQ(h_.error(), 9999);
}

TEST_F(ErrorRun, CancelHandlerModeThreeCallsFunction) {
    h_.run(
        "#DefineFunction oncancel(a)\n"
        "out(`fn ` : a[5])\n"
        "return 1\n"
        "#EndFunction\n"
        "IntControl(72, 3, 0, `oncancel`, 0)\n"
        "hostcancel()\n"
        "hostcancel()\n"
        "out(`went on`)\n");
    EXPECT_EQ(h_.out, "fn Cancel\nfn Cancel\nwent on\n");
}

TEST_F(ErrorRun, StopRequestEndsBetweenStatementsOnce) {
    html_log();
    h_.run("out(`one`)\nhoststop()\nout(`never`)\n");
    EXPECT_EQ(h_.out, "one\n");
    EXPECT_EQ(h_.error(), 9013);
    EXPECT_EQ(h_.real_code(), 194);
    std::string head, detail;
    ASSERT_TRUE(h_.pending(&head, &detail));
    EXPECT_EQ(head, "194:  Execution terminated by user request");
}

TEST_F(ErrorRun, StopRequestEndsEndlessLoop) {
    h_.run("n = 0\nwhile 1\nn = n + 1\nif n == 50 then hoststop()\nendwhile\n");
    EXPECT_EQ(h_.error(), 9013);
}

TEST_F(ErrorRun, ExitIsNotAnError) {
    h_.run("out(`a`)\nexit\nout(`b`)\n");
    EXPECT_EQ(h_.out, "a\n");
    EXPECT_EQ(h_.stderr_text, "");
}

}  // namespace
