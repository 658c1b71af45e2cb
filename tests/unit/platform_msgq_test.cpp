// The message queue: windows, post/send/get order, quit, timers, signals, the wait.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/msgq.h"
#include "platform/request_reset.h"

using namespace kel::platform;

namespace {

struct Seen {
    Hwnd hwnd;
    uint32_t msg;
    uintptr_t wparam;
};
std::vector<Seen> g_seen;

intptr_t record_proc(Hwnd w, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    g_seen.push_back({w, msg, wparam});
    if (msg == WM_USER + 7) return static_cast<intptr_t>(wparam) * 2;
    return default_window_proc(w, msg, wparam, lparam);
}

intptr_t refuse_proc(Hwnd, uint32_t msg, uintptr_t, intptr_t) { return msg == WM_CREATE ? -1 : 0; }

// Each test gets a fresh window and leaves the queue empty.
class MsgqTest : public ::testing::Test {
protected:
    void SetUp() override {
        register_class("KelTestClass", record_proc);  // false after the first test: fine
        w_ = create_window("KelTestClass", "test", 0);
        ASSERT_NE(w_, 0u);
        g_seen.clear();
    }
    void TearDown() override {
        if (is_window(w_)) destroy_window(w_);
        Msg m;
        while (peek_message(&m, true)) {
        }
        g_seen.clear();
    }
    Hwnd w_ = 0;
};

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

TEST_F(MsgqTest, CreateSendsCreateAndDestroySendsDestroy) {
    Hwnd w = create_window("keltestclass", "other", w_);  // class names ignore case
    ASSERT_NE(w, 0u);
    EXPECT_EQ(window_parent(w), w_);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].msg, WM_CREATE);
    g_seen.clear();
    EXPECT_TRUE(destroy_window(w_));  // takes the child with it
    EXPECT_FALSE(is_window(w_));
    EXPECT_FALSE(is_window(w));
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0].msg, WM_DESTROY);
    EXPECT_EQ(g_seen[0].hwnd, w_);
    EXPECT_EQ(g_seen[1].hwnd, w);
    EXPECT_FALSE(destroy_window(w_));
}

TEST_F(MsgqTest, UnknownClassAndRefusedCreate) {
    EXPECT_EQ(create_window("NoSuchClass", "", 0), 0u);
    EXPECT_EQ(create_window(nullptr, "", 0), 0u);
    EXPECT_EQ(create_window("KelTestClass", "", 9999), 0u);
    EXPECT_FALSE(register_class("KELTESTCLASS", record_proc));
    ASSERT_TRUE(register_class("KelRefuse", refuse_proc));
    EXPECT_EQ(create_window("KelRefuse", "", 0), 0u);
    EXPECT_TRUE(unregister_class("KelRefuse"));
    EXPECT_FALSE(unregister_class("KelTestClass"));  // a window still uses it
}

TEST_F(MsgqTest, PostedMessagesComeInOrder) {
    ASSERT_TRUE(post_message(w_, WM_USER + 1, 1, 0));
    ASSERT_TRUE(post_message(w_, WM_USER + 2, 2, 0));
    ASSERT_TRUE(post_message(w_, WM_USER + 3, 3, 0));
    EXPECT_FALSE(post_message(12345, WM_USER, 0, 0));
    Msg m;
    ASSERT_TRUE(peek_message(&m, false));
    EXPECT_EQ(m.message, WM_USER + 1u);
    for (uintptr_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(get_message(&m));
        EXPECT_EQ(m.hwnd, w_);
        EXPECT_EQ(m.wparam, i);
        dispatch_message(&m);
    }
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[2].msg, WM_USER + 3u);
    EXPECT_FALSE(peek_message(&m, true));
}

TEST_F(MsgqTest, SendCallsTheProcedureAtOnce) {
    EXPECT_EQ(send_message(w_, WM_USER + 7, 21, 0), 42);
    EXPECT_EQ(send_message(0, WM_USER + 7, 21, 0), 0);
    Msg m;
    EXPECT_FALSE(peek_message(&m, false));
}

TEST_F(MsgqTest, QuitAfterPostedMessages) {
    post_message(w_, WM_USER, 0, 0);
    post_quit_message(5);
    Msg m;
    ASSERT_TRUE(get_message(&m));
    EXPECT_EQ(m.message, WM_USER);
    EXPECT_FALSE(get_message(&m));
    EXPECT_EQ(m.message, WM_QUIT);
    EXPECT_EQ(m.wparam, 5u);
    EXPECT_FALSE(peek_message(&m, true));
}

TEST_F(MsgqTest, PumpDispatchesAndKeepsQuit) {
    EXPECT_TRUE(pump_messages());
    post_message(w_, WM_USER + 1, 0, 0);
    post_message(w_, WM_USER + 2, 0, 0);
    EXPECT_TRUE(pump_messages());
    EXPECT_EQ(g_seen.size(), 2u);
    post_quit_message(3);
    EXPECT_FALSE(pump_messages());
    EXPECT_FALSE(pump_messages());  // still pending for the run loop
    Msg m;
    EXPECT_FALSE(get_message(&m));
    EXPECT_EQ(m.wparam, 3u);
    EXPECT_TRUE(pump_messages());
}

TEST_F(MsgqTest, TimerFiresAndCoalesces) {
    ASSERT_TRUE(set_timer(w_, 7, 10));
    Msg m;
    ASSERT_TRUE(get_message(&m));  // blocks until the timer is due
    EXPECT_EQ(m.message, WM_TIMER);
    EXPECT_EQ(m.wparam, 7u);
    sleep_ms(60);  // several periods pass unobserved
    ASSERT_TRUE(peek_message(&m, true));
    EXPECT_EQ(m.message, WM_TIMER);
    EXPECT_FALSE(peek_message(&m, true));  // only one was pending
    EXPECT_TRUE(kill_timer(w_, 7));
}

TEST_F(MsgqTest, PostedMessagesBeforeTimers) {
    ASSERT_TRUE(set_timer(w_, 1, 10));
    sleep_ms(20);
    post_message(w_, WM_USER, 0, 0);
    Msg m;
    ASSERT_TRUE(get_message(&m));
    EXPECT_EQ(m.message, WM_USER);
    ASSERT_TRUE(get_message(&m));
    EXPECT_EQ(m.message, WM_TIMER);
    kill_timer(w_, 1);
}

TEST_F(MsgqTest, KillTimerStopsIt) {
    ASSERT_TRUE(set_timer(w_, 2, 10));
    EXPECT_TRUE(kill_timer(w_, 2));
    EXPECT_FALSE(kill_timer(w_, 2));
    sleep_ms(30);
    Msg m;
    EXPECT_FALSE(peek_message(&m, true));
    EXPECT_FALSE(wait_for_event(20));  // nothing can wake it
}

TEST_F(MsgqTest, DestroyDropsMessagesAndTimers) {
    set_timer(w_, 3, 10);
    post_message(w_, WM_USER, 0, 0);
    destroy_window(w_);
    sleep_ms(30);
    Msg m;
    EXPECT_FALSE(peek_message(&m, true));
    EXPECT_FALSE(set_timer(w_, 4, 10));
}

TEST_F(MsgqTest, WaitReturnsEarlyForWork) {
    EXPECT_FALSE(wait_for_event(0));
    EXPECT_FALSE(wait_for_event(15));
    post_message(w_, WM_USER, 0, 0);
    EXPECT_TRUE(wait_for_event(-1));  // already queued: no sleep at all
    Msg m;
    ASSERT_TRUE(peek_message(&m, true));
    set_timer(w_, 5, 10);
    EXPECT_TRUE(wait_for_event(10000));  // the timer ends the wait
    ASSERT_TRUE(peek_message(&m, true));
    EXPECT_EQ(m.message, WM_TIMER);
    kill_timer(w_, 5);
}

TEST_F(MsgqTest, TerminationSignalsBecomeEndSession) {
    install_signal_handlers();
    install_signal_handlers();
    Hwnd second = create_window("KelTestClass", "second", 0);
    std::raise(SIGTERM);
    std::raise(SIGPIPE);  // ignored: must not end the process
    EXPECT_TRUE(wait_for_event(-1));
    Msg m;
    std::vector<Hwnd> got;
    while (peek_message(&m, true)) {
        EXPECT_EQ(m.message, WM_QUERYENDSESSION);
        got.push_back(m.hwnd);
    }
    EXPECT_EQ(got, (std::vector<Hwnd>{w_, second}));
    destroy_window(second);
}

TEST(Watchdog, EndsTheProcessAfterOnExpire) {
    EXPECT_EXIT(
        {
            watchdog_arm(20, [] { std::fputs("watchdog fired\n", stderr); }, 3);
            for (;;) sleep_ms(1000);  // stuck in a native call
        },
        ::testing::ExitedWithCode(3), "watchdog fired");
}

TEST(Watchdog, DisarmKeepsTheProcess) {
    EXPECT_EXIT(
        {
            watchdog_arm(30, nullptr, 3);
            watchdog_disarm();
            sleep_ms(80);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// A process serving many requests leaves the timer running when a request ends: its
// expiry must not end the process, and the next arm must still end a stuck script.
TEST(Watchdog, ServerDisarmLeavesTheTimerHarmlessAndTheNextArmWorks) {
    EXPECT_EXIT(
        {
            request_baseline();
            watchdog_arm(20, [] { std::fputs("stale expiry\n", stderr); }, 3);
            watchdog_stand_down();
            sleep_ms(80);  // the timer left running expires in here
            watchdog_arm(20, [] { std::fputs("second arm fired\n", stderr); }, 4);
            for (;;) sleep_ms(1000);
        },
        ::testing::ExitedWithCode(4), "second arm fired");
}

// The next arm keeps a timer left running that expires in the second half of its own
// time: that expiry must neither end the process early nor leave the script without its
// watchdog.
TEST(Watchdog, AnArmKeepingAnEarlierTimerEndsAStuckScriptAtItsOwnDeadline) {
    EXPECT_EXIT(
        {
            request_baseline();
            watchdog_arm(100, [] { std::fputs("stale expiry\n", stderr); }, 3);
            watchdog_stand_down();
            watchdog_arm(150, [] { std::fputs("second arm fired\n", stderr); }, 4);
            for (;;) sleep_ms(1000);
        },
        ::testing::ExitedWithCode(4), "second arm fired");
    EXPECT_EXIT(
        {
            request_baseline();
            watchdog_arm(1000, nullptr, 3);
            watchdog_stand_down();
            watchdog_arm(1900, nullptr, 4);
            sleep_ms(1100);  // the earlier timer expires in here: it only sets the rest
            watchdog_stand_down();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

static bool sleep_uninterrupted_80ms() {
    struct timespec ts = {0, 80 * 1000000L};
    return nanosleep(&ts, nullptr) == 0;
}

// A disarm in the middle of a script (its time-out switched off) stops the timer even
// after an earlier request's end left it running.
TEST(Watchdog, DisarmAfterAStandDownStopsTheTimer) {
    EXPECT_EXIT(
        {
            request_baseline();
            watchdog_arm(20, nullptr, 3);
            watchdog_stand_down();
            watchdog_disarm();
            // With the timer still running, its expiry would interrupt this wait.
            std::exit(sleep_uninterrupted_80ms() ? 0 : 5);
        },
        ::testing::ExitedWithCode(0), "");
}
