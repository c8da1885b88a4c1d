// The serving core under the loads that used to stop the service: idle connections, more
// blocking handlers than workers, descriptors running out. A line protocol keeps the exchange
// small: a request is one line; "hold" blocks its handler until released, "spin" computes until
// a "short" request has run, anything else is answered at once.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "event_server.h"
#include "net_util.h"
#include "test_util.h"

namespace {

// Handlers that block until let through, one per ticket (or all once open), and the order in
// which they started.
struct Gate {
    std::mutex mutex;
    std::condition_variable cond;
    bool open = false;               // guarded by mutex
    int tickets = 0;                 // guarded by mutex
    int running = 0;                 // guarded by mutex
    int peak = 0;                    // guarded by mutex
    std::vector<std::string> order;  // guarded by mutex
};
Gate gGate;
std::atomic<bool> gShortRan{false};
std::atomic<int> gSpinning{0};

class LineExchange : public serve::Exchange {
public:
    size_t readLimit() const override { return 256; }
    Next received(const char* data, size_t n) override {
        mLine.append(data, n);
        return mLine.find('\n') == std::string::npos ? Next::Read : Next::Handle;
    }
    Next ended(bool) override { return Next::Close; }
    Next retryBudget(bool) override { return Next::Close; }
    void handle(const serve::Peer&, int) override {
        if (mLine.compare(0, 4, "hold") == 0) {
            std::unique_lock<std::mutex> lock(gGate.mutex);
            gGate.order.push_back(mLine.substr(0, mLine.find('\n')));
            gGate.peak = std::max(gGate.peak, ++gGate.running);
            gGate.cond.wait_for(lock, std::chrono::seconds(10),
                                [] { return gGate.open || gGate.tickets > 0; });
            if (!gGate.open && gGate.tickets > 0) --gGate.tickets;
            --gGate.running;
        } else if (mLine.compare(0, 4, "spin") == 0) {
            ++gSpinning;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!gShortRan.load() && std::chrono::steady_clock::now() < deadline) {
            }
            --gSpinning;
        } else if (mLine.compare(0, 5, "short") == 0) {
            // Whether the spinners were still at it when this one ran.
            gShortRan.store(gSpinning.load() > 0);
        }
        mResponse.head = "ok\n";
    }
    const serve::Response& response() const override { return mResponse; }
    void written(size_t, bool) override {}

private:
    std::string mLine;
    serve::Response mResponse;
};

// A core server on an ephemeral loopback port, run on a thread of its own.
class Served {
public:
    explicit Served(int maxWorkers) {
        const char* failed = nullptr;
        Fd listener(listenTcp(htonl(INADDR_LOOPBACK), 0, &failed));
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sa), &len);
        mPort = ntohs(sa.sin_port);
        serve::Options o;
        o.newExchange = [](const serve::Peer&) { return std::make_unique<LineExchange>(); };
        o.maxWorkers = maxWorkers;
        mServer = std::make_unique<serve::Server>(std::move(listener), std::move(o));
        mThread = std::thread([this] { mServer->run(); });
    }
    ~Served() {
        {
            std::lock_guard<std::mutex> lock(gGate.mutex);
            gGate.open = true;
        }
        gGate.cond.notify_all();
        mServer->stop();
        mThread.join();
    }
    uint16_t port() const { return mPort; }
    serve::Server& server() { return *mServer; }

    // Sends line and returns the answer ("" when none came).
    std::string ask(const std::string& line) const {
        Fd s(testutil::connectTo("127.0.0.1", mPort));
        if (!s.valid() || !testutil::sendAll(s.get(), line + "\n")) return "";
        std::string out;
        return testutil::readUntilClosed(s.get(), &out) ? out : "";
    }

private:
    uint16_t mPort = 0;
    std::unique_ptr<serve::Server> mServer;
    std::thread mThread;
};

void resetGate() {
    std::lock_guard<std::mutex> lock(gGate.mutex);
    gGate.open = false;
    gGate.tickets = gGate.running = gGate.peak = 0;
    gGate.order.clear();
}

TEST(ServeCore, IdleConnectionsHoldNoThread) {
    Served s(8);
    ASSERT_EQ(s.ask("hello"), "ok\n");
    const int before = testutil::threadCount();
    std::vector<Fd> idle;
    for (int i = 0; i < 500; ++i) idle.emplace_back(testutil::connectTo("127.0.0.1", s.port()));
    ASSERT_TRUE(testutil::waitFor([&] { return s.server().counts().idle == 500; }));
    EXPECT_LE(testutil::threadCount(), before + 1);
    EXPECT_EQ(s.ask("hello"), "ok\n");
}

TEST(ServeCore, RequestsBeyondTheWorkerCapWaitInOrder) {
    resetGate();
    Served s(2);
    std::vector<std::thread> clients;
    std::vector<std::string> answers(6);
    auto started = [](size_t n) {
        return testutil::waitFor([n] {
            std::lock_guard<std::mutex> lock(gGate.mutex);
            return gGate.order.size() == n;
        });
    };
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&, i] { answers[i] = s.ask("hold " + std::to_string(i)); });
        // Each is queued before the next, so their order is known.
        ASSERT_TRUE(testutil::waitFor([&] { return s.server().counts().busy == i + 1; }));
    }
    ASSERT_TRUE(started(2));
    EXPECT_EQ(s.server().workers(), 2);
    // One handler through at a time: the worker it frees takes the oldest waiting request.
    for (size_t k = 3; k <= 6; ++k) {
        {
            std::lock_guard<std::mutex> lock(gGate.mutex);
            ++gGate.tickets;
        }
        gGate.cond.notify_all();
        ASSERT_TRUE(started(k));
    }
    {
        std::lock_guard<std::mutex> lock(gGate.mutex);
        gGate.open = true;
    }
    gGate.cond.notify_all();
    for (std::thread& t : clients) t.join();
    for (const std::string& a : answers) EXPECT_EQ(a, "ok\n");
    std::lock_guard<std::mutex> lock(gGate.mutex);
    EXPECT_EQ(gGate.peak, 2);
    EXPECT_EQ(gGate.order, (std::vector<std::string>{"hold 0", "hold 1", "hold 2", "hold 3",
                                                     "hold 4", "hold 5"}));
}

// Handlers that compute for long, one per CPU, do not hold a short request back until they end.
TEST(ServeCore, LongComputingHandlersDoNotHoldShortOnesBack) {
    gShortRan.store(false);
    Served s(16);
    const int cpus = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> clients;
    for (int i = 0; i < cpus; ++i) clients.emplace_back([&] { s.ask("spin"); });
    ASSERT_TRUE(testutil::waitFor([&] { return gSpinning.load() == cpus; }));
    EXPECT_EQ(s.ask("short"), "ok\n");
    EXPECT_TRUE(gShortRan.load()) << "the short request ran only after the spinners gave up";
    gShortRan.store(true);
    for (std::thread& t : clients) t.join();
}

// With every descriptor taken, a new connection closes the one that has waited longest for its
// request, instead of waiting for idle peers to leave.
TEST(ServeCore, OutOfDescriptorsTheLongestIdleMakesRoom) {
    Served s(4);
    // Once before descriptors run out: the sanitizers check a type the first time they see it
    // through a pipe, which then could not be opened.
    ASSERT_EQ(s.ask("hello"), "ok\n");
    testutil::DiagCapture err(DiagStream::Err);
    Fd oldest(testutil::connectTo("127.0.0.1", s.port()));
    ASSERT_TRUE(testutil::waitFor([&] { return s.server().counts().idle == 1; }));
    std::vector<Fd> idle;
    for (int i = 0; i < 20; ++i) idle.emplace_back(testutil::connectTo("127.0.0.1", s.port()));
    ASSERT_TRUE(testutil::waitFor([&] { return s.server().counts().idle == 21; }));
    Fd fresh(socket(AF_INET, SOCK_STREAM, 0));
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    // Every descriptor below the limit is taken: the server's next accept fails with EMFILE.
    const int lowestFree = dup(0);
    close(lowestFree);
    rlimit low{static_cast<rlim_t>(lowestFree), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(s.port());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fresh.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    const bool sent = testutil::sendAll(fresh.get(), "hello\n");
    std::string out;
    const bool answered = testutil::readUntilClosed(fresh.get(), &out);
    std::string gone;
    const bool oldestClosed = testutil::readUntilClosed(oldest.get(), &gone, 5000);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(connected && sent && answered);
    EXPECT_EQ(out, "ok\n");
    EXPECT_TRUE(oldestClosed);
    EXPECT_NE(err.text().find("out of descriptors: closed"), std::string::npos) << err.text();
}

TEST(ServeCore, DescriptorLimitIsRaisedToTheHardLimit) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_GT(saved.rlim_max, 1024u);
    rlimit low{1024, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_EQ(raiseDescriptorLimit(), saved.rlim_max);
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
