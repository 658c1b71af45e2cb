// The watchdog: one thread for the whole process, re-armed and disarmed in place.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <thread>

#include "platform/msgq.h"

using namespace kel::platform;

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

[[noreturn]] void stuck() {
    for (;;) sleep_ms(1000);
}

int thread_count() {
    auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

TEST(Watchdog, NearerRearmWakesTheWaitingThread) {
    // Without the wake-up the thread would sleep towards the first deadline, ten minutes
    // away, and this test would hang.
    EXPECT_EXIT(
        {
            watchdog_arm(600000, [] { std::fputs("first\n", stderr); }, 3);
            sleep_ms(20);  // the thread is now waiting for the far deadline
            watchdog_arm(20, [] { std::fputs("second\n", stderr); }, 4);
            stuck();
        },
        ::testing::ExitedWithCode(4), "second");
}

TEST(Watchdog, RearmAfterDisarmFiresWithTheNewSettings) {
    EXPECT_EXIT(
        {
            watchdog_arm(300, [] { std::fputs("old\n", stderr); }, 3);
            watchdog_disarm();
            sleep_ms(600);  // the old deadline passes unobserved
            watchdog_arm(20, [] { std::fputs("again\n", stderr); }, 5);
            stuck();
        },
        ::testing::ExitedWithCode(5), "again");
}

TEST(Watchdog, OneThreadHowEverOftenArmed) {
    EXPECT_EXIT(
        {
            int before = thread_count();
            // Deadlines far enough away that a loaded machine cannot reach one mid-loop.
            for (int i = 0; i < 50; ++i) {
                watchdog_arm(60000, nullptr, 3);
                if (i % 2) watchdog_disarm();
            }
            watchdog_disarm();
            sleep_ms(40);
            std::exit(thread_count() - before);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(Watchdog, ExitCodeKeepsItsLowByte) {
    EXPECT_EXIT(
        {
            watchdog_arm(10, nullptr, 0x1FE);
            stuck();
        },
        ::testing::ExitedWithCode(0xFE), "");
}

}  // namespace
