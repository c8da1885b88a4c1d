// gnp-monitor as a child process on a loopback address of its own.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "test_util.h"

namespace {

// The descriptors open in process pid.
int openFds(pid_t pid) {
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n - 2;  // "." and ".."
}

TEST(GnpMonitor, PollThatFailsForGoodEndsTheMonitor) {
    testutil::Child m(GNP_MONITOR_PATH, {"127.0.0.74"});
    ASSERT_TRUE(testutil::waitFor([&] { return m.err().find("listening") != std::string::npos; }))
        << m.err();
    const int before = openFds(m.pid());
    int conns[8];
    for (int& c : conns) ASSERT_GE(c = testutil::connectTo("127.0.0.74", 5646), 0);
    ASSERT_TRUE(testutil::waitFor([&] { return openFds(m.pid()) == before + 8; }));
    // Nine descriptors to poll under a limit of eight open ones: every poll fails (EINVAL). A byte
    // wakes the monitor from the poll it is in. (Once they are closed, a sanitizer's exit check
    // still finds room to open what it reads.)
    const rlimit eight{8, 8};
    ASSERT_EQ(prlimit(m.pid(), RLIMIT_NOFILE, &eight, nullptr), 0);
    ASSERT_TRUE(testutil::sendAll(conns[0], "1"));
    const int status = m.wait(3000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(m.err(), "gnp-monitor listening on 127.0.0.74:5646\npoll: Invalid argument\n");
    for (int c : conns) close(c);
}

}  // namespace
