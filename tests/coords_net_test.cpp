// Monitor notifications to listeners on loopback addresses of their own, and concurrent first
// lookups of the coordinate table.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "coords.h"
#include "coords_fixture.h"
#include "test_util.h"

namespace {

using namespace coordstest;

constexpr uint16_t kMonitorPort = 5646;

// A socket bound to addr:5646, listening when listen is true; -1 when the address is taken.
int bindMonitorPort(const char* addr, bool listening) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kMonitorPort);
    sa.sin_addr.s_addr = testutil::addrOf(addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ||
        (listening && listen(s, 8) < 0)) {
        close(s);
        return -1;
    }
    return s;
}

struct Received {
    bool accepted = false;
    bool closed = false;  // end of stream seen, not a time-out
    std::string bytes;
};

// Accepts one connection within timeoutMs and reads it to its end.
Received acceptAndRead(int listener, int timeoutMs = 5000) {
    Received r;
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return r;
    int c = accept(listener, nullptr, nullptr);
    if (c < 0) return r;
    r.accepted = true;
    r.closed = testutil::readUntilClosed(c, &r.bytes, timeoutMs);
    close(c);
    return r;
}

bool pendingConnection(int listener) {
    pollfd p{listener, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

class MonitorTest : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("VARNO_GNPMONITOR"); }
};

TEST_F(MonitorTest, SendsAddressAndColourThenCloses) {
    int listener = bindMonitorPort("127.0.0.71", true);
    if (listener < 0) GTEST_SKIP() << "127.0.0.71:5646 is taken";
    setenv("VARNO_GNPMONITOR", "127.0.0.71", 1);
    testutil::DiagCapture out(DiagStream::Out);
    testutil::DiagCapture err(DiagStream::Err);
    gnpmon_color("128.2.1.7", 6);
    gnpmon_color("10.0.0.2", 2);

    // One connection per notification, each ended by the close.
    Received first = acceptAndRead(listener);
    Received second = acceptAndRead(listener);
    close(listener);
    EXPECT_TRUE(first.accepted);
    EXPECT_TRUE(first.closed);
    EXPECT_EQ(first.bytes, "128.2.1.7 6");
    EXPECT_TRUE(second.accepted);
    EXPECT_TRUE(second.closed);
    EXPECT_EQ(second.bytes, "10.0.0.2 2");
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
}

TEST_F(MonitorTest, UnsetVariablePrintsLineAndConnectsNowhere) {
    // A text that is not an address means 0.0.0.0, which Linux delivers to 127.0.0.1; nothing
    // may arrive there either.
    int listener = bindMonitorPort("127.0.0.1", true);
    unsetenv("VARNO_GNPMONITOR");
    testutil::DiagCapture out(DiagStream::Out);
    testutil::DiagCapture err(DiagStream::Err);
    gnpmon_color("128.2.1.7", 2);
    EXPECT_EQ(out.text(), "VARNO_GNPMONITOR not set, returning now\n");
    EXPECT_EQ(err.text(), "");
    if (listener >= 0) {
        EXPECT_FALSE(pendingConnection(listener));
        close(listener);
    }
}

TEST_F(MonitorTest, HostNameGoesToAddressZero) {
    int listener = bindMonitorPort("127.0.0.1", true);
    if (listener < 0) GTEST_SKIP() << "127.0.0.1:5646 is taken";
    setenv("VARNO_GNPMONITOR", "monitor.invalid", 1);
    gnpmon_color("10.1.2.3", 6);
    Received r = acceptAndRead(listener);
    close(listener);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "10.1.2.3 6");
}

TEST_F(MonitorTest, UnreachableMonitorCostsOnlyThePerrorLine) {
    // Bound but not listening: the port is ours, and a connection to it is refused.
    int holder = bindMonitorPort("127.0.0.73", false);
    if (holder < 0) GTEST_SKIP() << "127.0.0.73:5646 is taken";
    setenv("VARNO_GNPMONITOR", "127.0.0.73", 1);
    testutil::DiagCapture out(DiagStream::Out);
    testutil::DiagCapture err(DiagStream::Err);
    gnpmon_color("128.2.1.7", 6);
    close(holder);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), std::string("gnpmon_color: connect:: ") + strerror(ECONNREFUSED) + "\n");
}

// Eight threads start looking up together, so the first load happens while the others wait;
// every thread must get the file's answers and every printed line must be whole.
TEST(CoordsConcurrencyTest, EightThreadsDuringFirstLoadGetSameAnswers) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        constexpr int kHosts = 2000;
        constexpr int kThreads = 8;
        std::string file;
        for (int i = 0; i < kHosts; ++i) {
            file += "10.9." + std::to_string(i / 256) + "." + std::to_string(i % 256) + " " +
                    std::to_string(i) + ".5 -" + std::to_string(i) + "\n";
        }
        d.write(file);
        std::vector<std::string> hosts;
        std::vector<std::string> want;
        for (int i = 0; i < kHosts; i += 97) {
            hosts.push_back("10.9." + std::to_string(i / 256) + "." + std::to_string(i % 256));
            want.push_back(std::to_string(i) + ".5 -" + std::to_string(i));
        }
        hosts.push_back("10.10.0.1");  // absent
        want.push_back("");

        testutil::DiagCapture out(DiagStream::Out);
        std::atomic<int> ready{0};
        std::vector<std::vector<std::string>> got(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ++ready;
                auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (ready.load() < kThreads && std::chrono::steady_clock::now() < end) {
                    std::this_thread::yield();
                }
                for (const std::string& h : hosts) {
                    got[t].push_back(getCoordinates(testutil::addrOf(h.c_str())));
                }
            });
        }
        for (std::thread& th : threads) th.join();
        const std::string printed = out.text();

        for (int t = 0; t < kThreads; ++t) {
            c.that("thread " + std::to_string(t) + " got other answers", got[t] == want);
        }
        // Every line is one lookup line of a looked-up host; none is a load failure.
        size_t lines = 0;
        size_t pos = 0;
        while (pos < printed.size()) {
            size_t nl = printed.find('\n', pos);
            if (nl == std::string::npos) nl = printed.size();
            const std::string line = printed.substr(pos, nl - pos + 1);
            bool known = false;
            for (const std::string& h : hosts) known = known || line == finding(h.c_str());
            c.that("unexpected line: " + visible(line), known);
            ++lines;
            pos = nl + 1;
        }
        c.eq("lookup lines", std::to_string(lines), std::to_string(kThreads * hosts.size()));
    });
}

}  // namespace
