#pragma once

// Runs the current test again in a child process as the unprivileged user
// nobody (65534), for tests of what happens when a folder cannot be listed
// or written: root may do both. A test begins with
//
//     if (::geteuid() == 0)
//         return CloudSyncTest::expectPassesAsUnprivilegedUser();
//
// The child is a fresh process of this binary with only this test, so that
// its server, database and folders are its own and permissions count. The
// test passes when the child passes; the child's own report shows above on
// failure. Bounded: a child that does not end within 240 s is killed.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <grp.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace CloudSyncTest {

inline void expectPassesAsUnprivilegedUser() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(126);
        ::execl("/proc/self/exe", "unprivileged_test", filter.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    pid_t ended = 0;
    while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (ended == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the unprivileged run did not end within 240 s";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the unprivileged run ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged run failed (126: privileges not dropped, 127: not "
                                         "started; else its report above)";
}

} // namespace CloudSyncTest
