// What the end-to-end tests cannot see from outside: closed standard streams
// stay closed, and the guard leaves no descriptor behind.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>

#include "reader/output_guard.hpp"

namespace {

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

long open_descriptors() {
    return static_cast<long>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator{}));
}

TEST(OutputGuard, KeepsClosedStreamsClosedAndLeavesNothingOpen) {
    // The test's own output is set aside; the null device, opened while both
    // are closed, takes stdout's number.
    std::fflush(stdout);
    const int test_out = dup(STDOUT_FILENO);
    const int test_err = dup(STDERR_FILENO);
    ASSERT_GE(test_out, 0);
    ASSERT_GE(test_err, 0);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    const long before = open_descriptors();
    bool open_during = false;
    {
        const vellicor::output_guard quiet;
        open_during = is_open(STDOUT_FILENO) && is_open(STDERR_FILENO);
    }
    const bool closed_after = !is_open(STDOUT_FILENO) && !is_open(STDERR_FILENO);
    const long after = open_descriptors();
    dup2(test_out, STDOUT_FILENO);
    dup2(test_err, STDERR_FILENO);
    close(test_out);
    close(test_err);

    // In between, the null device stood in for both, for the library's sake.
    EXPECT_TRUE(open_during);
    EXPECT_TRUE(closed_after);
    EXPECT_EQ(after, before);
}

}  // namespace
