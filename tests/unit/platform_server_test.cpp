// Waiting on the worker's and the supervisor's descriptors: a few on the stack, a larger
// set (the supervisor's, one socket per worker) beyond it.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/server.h"

namespace pf = kel::platform;

namespace {

// n socket pairs; the ends polled are pairs[i][0].
std::vector<std::array<int, 2>> pairs_of(size_t n) {
    std::vector<std::array<int, 2>> pairs(n);
    for (auto& p : pairs) EXPECT_TRUE(pf::socket_pair(p.data()));
    return pairs;
}

void close_all(std::vector<std::array<int, 2>>& pairs) {
    for (auto& p : pairs) {
        pf::close_fd(p[0]);
        pf::close_fd(p[1]);
    }
}

}  // namespace

// 8 fit on the stack, 9 do not: in both, only the readable one and the shut one are ready.
TEST(PollReadable, AtAndPastTheDescriptorsKeptOnTheStack) {
    for (size_t n : {size_t{8}, size_t{9}, size_t{40}}) {
        auto pairs = pairs_of(n);
        std::vector<pf::PollFd> fds;
        for (auto& p : pairs) fds.push_back({p[0]});
        char c = 'x';
        ASSERT_TRUE(pf::write_all_fd(pairs[n - 1][1], &c, 1));
        pf::close_fd(pairs[1][1]);
        pairs[1][1] = -1;
        EXPECT_EQ(pf::poll_readable(fds, 0), 2) << n;
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(fds[i].ready, i == 1 || i == n - 1) << n << " " << i;
            EXPECT_EQ(fds[i].hangup, i == 1) << n << " " << i;
        }
        close_all(pairs);
    }
}
