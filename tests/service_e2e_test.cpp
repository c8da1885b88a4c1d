// The daemon end to end: esm-synthd as a process with a real Directory Agent, proxy simulators,
// the monitor, a coordinates file and the node-loader stand-in, all on loopback. Its command line,
// its output lines and its exit; the handler's failure cases and concurrency run in process
// (service_test.cpp).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "Msg.h"
#include "msg_test_util.h"
#include "net_util.h"
#include "overlay_fixture.h"

using namespace overlay;
using msgtest::A;
using msgtest::chars;

namespace {

std::string synthReq(unsigned long id, unsigned long ver, const std::vector<std::string>& eps,
                     const std::vector<EndZone>& zones = {}) {
    std::vector<EndPoint> epv;
    for (const std::string& e : eps) epv.emplace_back(A(e.c_str()));
    std::vector<EndZone> zv = zones;
    testutil::DiagCapture quiet(DiagStream::Out);  // the builder logs every zone
    return chars(SynthESMReq(id, ver, epv, zv));
}

const char* const kCoords =
    "128.2.1.9 12.5 -3.0 7.25\n"
    "10.9.0.7 12.5 -3.0 7.25\n";

// Stands in for the service manager's notification socket ($NOTIFY_SOCKET), at a path in the
// test's temporary directory or at an abstract address ("@name").
class NotifySocket {
public:
    explicit NotifySocket(bool abstract) {
        static int sCount = 0;
        mName = abstract
                    ? "@esm-notify-" + std::to_string(getpid()) + "-" + std::to_string(++sCount)
                    : mDir.file("notify");
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        if (mName.size() >= sizeof a.sun_path) {
            ADD_FAILURE() << mName << " is too long for a socket address";
            return;
        }
        memcpy(a.sun_path, mName.data(), mName.size());
        if (abstract) a.sun_path[0] = '\0';
        if (bind(mFd, reinterpret_cast<sockaddr*>(&a),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + mName.size())) != 0) {
            ADD_FAILURE() << "bind " << mName << ": " << strerror(errno);
        }
    }
    ~NotifySocket() { close(mFd); }
    std::string env() const { return "NOTIFY_SOCKET=" + mName; }
    // The next datagram, or "" when none comes within timeoutMs.
    std::string next(int timeoutMs = 5000) const {
        pollfd p{mFd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return "";
        char buf[256];
        const ssize_t n = recv(mFd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

private:
    testutil::TempDir mDir;  // removed with the socket file in it
    std::string mName;
    int mFd = -1;
};

// A proxy the test answers by hand, so that a request stays in flight as long as the test wants.
class HeldProxy {
public:
    explicit HeldProxy(const std::string& addr) : mAddr(addr) {
        mListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = testutil::addrOf(addr.c_str());
        if (bind(mListener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(mListener, 8) != 0) {
            ADD_FAILURE() << "listen on " << addr << ": " << strerror(errno);
        }
        socklen_t len = sizeof a;
        getsockname(mListener, reinterpret_cast<sockaddr*>(&a), &len);
        mPort = ntohs(a.sin_port);
    }
    ~HeldProxy() { close(mListener); }
    std::string url() const { return "service:ESMProxy://" + mAddr + ":" + std::to_string(mPort); }
    // The daemon's next connection, or -1 when none comes within timeoutMs.
    int take(int timeoutMs = 10000) const {
        pollfd p{mListener, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return -1;
        return accept(mListener, nullptr, nullptr);
    }
    // Answers connection s with the message body and returns the request that came on it.
    static std::string answer(int s, const Msg& reply) {
        testutil::sendAll(s, okResponse(chars(reply)));
        shutdown(s, SHUT_WR);
        std::string request;
        if (!testutil::readUntilClosed(s, &request, 5000))
            ADD_FAILURE() << "the daemon kept it open";
        close(s);
        return request;
    }

private:
    std::string mAddr;
    int mListener = -1;
    uint16_t mPort = 0;
};

TEST(ServiceEndToEnd, RunningProxiesForTwoEndpointsAndAZone) {
    const Net net{21};
    ConfigDir config(kCoords);
    ProxySim p0(net.at(5), 7020), p1(net.at(6), 7021), q0(net.at(7), 7022);
    DirectoryAgent da(net.at(2), config.path(),
                      proxyReg(p0, "128.2.1.7", "255.255.255.255") +
                          proxyReg(p1, "128.2.1.8", "255.255.255.255") +
                          proxyReg(q0, "10.1.0.0", "255.255.0.0"));
    Monitor monitor(net.at(9));
    Daemon d(da.arg(), {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR=" + net.at(9)});

    EndZone zone(A("10.1.0.0"), A("255.255.0.0"));
    zone.setEP(A("10.1.2.3"));
    const std::string resp =
        post(d.port(), synthReq(1234, 5678, {"128.2.1.7", "128.2.1.8"}, {zone}));
    EXPECT_EQ(resp, okResponse(
                        "<?xml version=\"1.0\"?>\n<SynthESMOk><id>1234</id><version>5678</version>"
                        "<eptransportlist num=\"2\"><eptransport><addr>224.5.6.7</addr><port>7560"
                        "</port><ttl>0</ttl></eptransport><eptransport><addr>224.5.6.7</addr><port>"
                        "7560</port><ttl>0</ttl></eptransport></eptransportlist><zonetransportlist "
                        "num=\"1\"><zonetransport><addr>225.5.6.7</addr><port>7560</port><ttl>1"
                        "</ttl></zonetransport></zonetransportlist></SynthESMOk>\n"));

    EXPECT_EQ(grep(d.out(), "got proxy"),
              (std::vector<std::string>{"got proxy " + p0.hostPort(), "got proxy " + p1.hostPort(),
                                        "got proxy " + q0.hostPort()}));
    EXPECT_EQ(grep(d.out(), "ESM init failed").size(), 0u);
    EXPECT_EQ(da.queries(), (std::vector<std::string>{
                                "type=\"ESMProxy\" scope=\"default\" "
                                "predicate=\"(&(addr=128.2.1.7)(mask=255.255.255.255))\" urls=1",
                                "type=\"ESMProxy\" scope=\"default\" "
                                "predicate=\"(&(addr=128.2.1.8)(mask=255.255.255.255))\" urls=1",
                                "type=\"ESMProxy\" scope=\"default\" "
                                "predicate=\"(&(addr=10.1.0.0)(mask=255.255.0.0))\" urls=1"}));

    // One ESMInit and then one ESMCommit each, all with the same id and version.
    const std::vector<std::string> l0 = lines(p0.out()), l1 = lines(p1.out()), m0 = lines(q0.out());
    ASSERT_EQ(l0.size(), 2u);
    ASSERT_EQ(l1.size(), 2u);
    ASSERT_EQ(m0.size(), 2u);
    const std::string idver = l0[0].substr(8, l0[0].find(" data_port") - 8);  // "id=I version=V"
    EXPECT_EQ(l0[0], "ESMInit " + idver + " data_port=7560");
    EXPECT_EQ(l1[0], "ESMInit " + idver + " data_port=7560");
    EXPECT_EQ(m0[0], "ESMInit " + idver + " data_port=7560");
    EXPECT_EQ(l0[1], "ESMCommit " + idver + " group=224.5.6.7 data_port=7560 ttl=0 members=");
    EXPECT_EQ(l1[1], "ESMCommit " + idver + " group=224.5.6.7 data_port=7560 ttl=0 members=" +
                         p0.hostPort() + "," + q0.hostPort());
    EXPECT_EQ(m0[1], "ESMCommit " + idver + " group=225.5.6.7 data_port=7560 ttl=1 members=" +
                         p0.hostPort() + "," + p1.hostPort());
    EXPECT_EQ(monitor.out(), "");
    EXPECT_EQ(config.loaderCalls().size(), 0u);
    EXPECT_EQ(d.err().find("ThreadSanitizer"), std::string::npos) << d.err();
}

TEST(ServiceEndToEnd, ComputeNodeIsLoadedAfterTheRealWait) {
    const Net net{22};
    ConfigDir config(kCoords);
    ProxySim p0(net.at(5), 7020);
    const std::string node = net.at(20);
    DirectoryAgent da(net.at(2), config.path(),
                      proxyReg(p0, "128.2.1.7", "255.255.255.255") +
                          computeReg("service:CompResource://" + node + "/?x-GNP-num=1"));
    Monitor monitor(net.at(9));
    Daemon d(da.arg(), {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR=" + net.at(9)});

    const auto start = std::chrono::steady_clock::now();
    const std::string resp = post(d.port(), synthReq(77, 78, {"128.2.1.7", "128.2.1.9"}), 60000);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(10));  // the code gets time to arrive on the node
    EXPECT_EQ(resp,
              okResponse("<?xml version=\"1.0\"?>\n<SynthESMOk><id>77</id><version>78</version>"
                         "<eptransportlist num=\"2\"><eptransport><addr>224.5.6.7</addr><port>7560"
                         "</port><ttl>0</ttl></eptransport><eptransport><addr>" +
                         node +
                         "</addr><port>7560</port><ttl>255</ttl></eptransport></eptransportlist>"
                         "<zonetransportlist num=\"0\"/></SynthESMOk>\n"));

    EXPECT_TRUE(testutil::waitFor([&] { return lines(monitor.out()).size() >= 2; }));
    EXPECT_EQ(monitor.out(), "128.2.1.9 2\n" + node + " 6\n");

    const std::string loader =
        "-f anee2 " + node + " LOAD X=http://codeserver.example.net/executables/";
    const std::string start_args =
        loader +
        "viewer O=out.txt R=err.txt C=QuirenProxy S=-t S=timeserver.example.net S=-m "
        "S=rendezvous.example.net S=-p S=7020 S=./proxy S=-v S=1 S=-y7556:1 S=-y7557:1 "
        "S=-y7558:2 S=-y7559:2 S=-y7560:3 S=-y7561:3 S=-y7562:4 S=-y7563:4 S=-y7564:5 "
        "S=-x7560:7558 S=-m" +
        p0.hostPort().substr(0, p0.hostPort().find(':'));
    EXPECT_EQ(config.loaderCalls(), (std::vector<std::string>{loader + "proxy S=-C", start_args}));
    // The command as printed keeps its final blank.
    const std::string rule(53, '=');
    EXPECT_NE(d.out().find("loading proxy to " + node +
                           "...\ninvoking proxy using command line:\n" + rule + "\n" +
                           config.path() + "/abone/sc.linux " + start_args + " \n" + rule + "\n"),
              std::string::npos)
        << d.out();
    EXPECT_NE(d.out().find("coordinates: [12.5 -3.0 7.25]\n"), std::string::npos);
    EXPECT_EQ(grep(d.out(), "got proxy"),
              (std::vector<std::string>{"got proxy " + p0.hostPort(), "got proxy " + node + ":0"}));
    // The running proxy at position 0 is told about nobody.
    const std::vector<std::string> l0 = lines(p0.out());
    ASSERT_EQ(l0.size(), 2u);
    EXPECT_EQ(l0[1].substr(l0[1].find(" group=")),
              " group=224.5.6.7 data_port=7560 ttl=0 members=");
    EXPECT_EQ(da.queries().back(),
              "type=\"CompResource\" scope=\"default\" predicate=\"(|(foo=bar)(&(x-GNP-num=1)"
              "(x-GNP-clients=12.5 -3.0 7.25)))\" urls=1");
}

TEST(ServiceLimits, UnbackedCountsAndTooManyEntriesAreRefusedBeforeAnyLookup) {
    const Net net{38};
    ConfigDir config(kCoords);
    ProxySim p0(net.at(5), 7020);
    DirectoryAgent da(net.at(2), config.path(), proxyReg(p0, "128.2.1.7", "255.255.255.255"));
    Monitor monitor(net.at(9));
    Daemon d(da.arg(),
             {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR=" + net.at(9), "ESM_MAX_ENTRIES=2"});
    auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    const std::string three = synthReq(1, 1, {"128.2.1.7", "128.2.1.8", "128.2.1.9"});
    const struct {
        std::string body;
        std::string line;
    } cases[] = {
        {replaced(synthReq(1, 1, {}), "num=\"0\"/>", "num=\"100000\"/>"),
         "request lists announce counts other than the entries they hold\n"},
        {replaced(three, "num=\"3\"", "num=\"0\""),
         "request lists announce counts other than the entries they hold\n"},
        {three, "SynthESMReq of 3 endpoints and zones refused: the limit is 2\n"},
    };
    for (const auto& c : cases) {
        const size_t before = grep(d.err(), c.line.substr(0, c.line.size() - 1)).size();
        EXPECT_EQ(post(d.port(), c.body), kErrorResponse);
        EXPECT_EQ(grep(d.err(), c.line.substr(0, c.line.size() - 1)).size(), before + 1) << d.err();
    }
    EXPECT_TRUE(da.queries().empty());
    EXPECT_EQ(monitor.out(), "");
    EXPECT_EQ(p0.out(), "");
    // Up to the limit, requests are served as before.
    EXPECT_NE(post(d.port(), synthReq(2, 2, {"128.2.1.7", "128.2.1.7"})).find("200 OK"),
              std::string::npos);
    EXPECT_EQ(da.queries().size(), 2u);
}

TEST(ServiceLifecycle, WrongArgumentCountsPrintUsage) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"1"}, {"1", "2", "3"}}) {
        testutil::Child c(ESM_SYNTHD_PATH, args);
        const int status = c.wait(5000);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 255);
        EXPECT_EQ(c.out(), "arg: port DA\n");
        EXPECT_EQ(c.err(), "");
    }
}

// A setting that is not valid stops the start (and --check) with one line naming it, and status
// 78 so that the service manager does not start it again; a valid one passes --check.
TEST(ServiceLifecycle, BadSettingsStopTheStart) {
    struct Case {
        const char* setting;
        const char* accepted;  // "" for a valid setting
    };
    for (const Case& c : {
             Case{"ESM_MEMORY_BUDGET=1.5GiB", "a size of at least 16MiB"},
             Case{"ESM_MEMORY_BUDGET=8MiB", "a size of at least 16MiB"},
             Case{"ESM_MAX_ENTRIES=0", "a number from 1 to 2097152"},
             Case{"ESM_MAX_ENTRIES=12x", "a number from 1 to 2097152"},
             Case{"ESM_MAX_WORKERS=-1", "a number from 1 to 4096"},
             Case{"ESM_PROXY_TIMEOUT=0", "a number of seconds from 1 to 3600"},
             Case{"ESM_METRICS_ADDR=127.0.0.1", "ADDR:PORT"},
             Case{"ESM_METRICS_ADDR=127.0.0.1:0", "ADDR:PORT"},
             Case{"ESM_MAX_WORKERS=8", ""},
         }) {
        SCOPED_TRACE(c.setting);
        const std::string line = std::string("esm-synthd: ") + c.setting + " is not valid: ";
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"0", "127.0.0.1:9"}, {"--check"}}) {
            if (c.accepted[0] == '\0' && args.size() == 2) continue;  // it would serve
            testutil::Child d(ESM_SYNTHD_PATH, args, {c.setting, "VARNO_PATH"});
            const int status = d.wait(5000);
            ASSERT_TRUE(WIFEXITED(status));
            if (c.accepted[0] == '\0') {
                EXPECT_EQ(WEXITSTATUS(status), 0) << d.err();
                EXPECT_NE(d.out().find(std::string(c.setting) + "\n"), std::string::npos);
                continue;
            }
            EXPECT_EQ(WEXITSTATUS(status), 78);
            EXPECT_EQ(d.err().rfind(line + c.accepted, 0), 0u) << d.err();
            EXPECT_EQ(testutil::lines(d.err()).size(), 1u) << d.err();
            EXPECT_EQ(d.out(), "");
        }
    }
}

TEST(ServiceLifecycle, PortTextIsReadLikeStrtol) {
    // 65616 is 80 after truncation, which needs privileges: 8080abc is tried instead, and a port
    // without digits lets the system pick one.
    testutil::Child c(ESM_SYNTHD_PATH, {"8080abc", "127.0.0.1:9"});
    ASSERT_TRUE(testutil::waitFor([&] {
        return c.err().find("Listening on port") != std::string::npos ||
               c.err().find("Couldn't open") != std::string::npos;
    }));
    if (c.err().find("Couldn't open") != std::string::npos) GTEST_SKIP() << "port 8080 is taken";
    EXPECT_EQ(c.err(), daemonStartLines(8080, "127.0.0.1:9"));
    EXPECT_TRUE(testutil::waitListening("127.0.0.1", 8080));
    testutil::Child any(ESM_SYNTHD_PATH, {"abc", "127.0.0.1:9"});
    EXPECT_TRUE(testutil::waitFor(
        [&] { return any.err().find("Listening on port") != std::string::npos; }));
    EXPECT_EQ(any.err(), daemonStartLines(0, "127.0.0.1:9"));
}

TEST(ServiceLifecycle, EndsAfterTheHundredAndFirstAnsweredRequest) {
    const Net net{27};
    ConfigDir config("");
    DirectoryAgent da(net.at(2), config.path(), "");
    const NotifySocket manager(false);
    Daemon d(da.arg(), {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR", manager.env()});
    EXPECT_EQ(manager.next(), "READY=1");
    const std::string empty = synthReq(1, 1, {});
    const std::string other = chars(ESMInit(1, 1, 7560));
    // Error responses never count: a request of another type, and one whose proxy fails.
    EXPECT_EQ(post(d.port(), other), kErrorResponse);
    EXPECT_EQ(post(d.port(), synthReq(1, 1, {"128.2.1.50"})), kErrorResponse);
    for (int i = 0; i < 100; ++i) {
        ASSERT_NE(post(d.port(), empty).find("200 OK"), std::string::npos) << i;
    }
    EXPECT_EQ(d.child().wait(500), -1);  // the 100th does not end it
    EXPECT_EQ(d.err().find("utime"), std::string::npos);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(post(d.port(), empty).find("200 OK"), std::string::npos);
    EXPECT_EQ(manager.next(), "STOPPING=1");
    const int status = d.child().wait(10000);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << d.err();
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LE(took, std::chrono::seconds(8));
    const std::vector<std::string> times = grep(d.err(), "utime ");
    ASSERT_EQ(times.size(), 1u);
    unsigned long utime = 0, stime = 0;
    char tail = 0;
    EXPECT_EQ(sscanf(times[0].c_str(), "utime %lu, stime %lu%c", &utime, &stime, &tail), 2)
        << times[0];
    EXPECT_EQ(grep(d.out(), "Got SynthESMReq from 127.0.0.1:").size(), 102u);
    EXPECT_EQ(grep(d.out(), "Not getting the right request!").size(), 1u);
    EXPECT_EQ(d.err().find("ThreadSanitizer"), std::string::npos) << d.err();
}

// Requests in flight when the 101st is answered are answered too before the daemon exits, even
// when that takes longer than its closing pause.
TEST(ServiceLifecycle, RequestsInFlightAtTheLimitAreAnswered) {
    const Net net{28};
    ConfigDir config("");
    const HeldProxy proxy(net.at(5));
    DirectoryAgent da(net.at(2), config.path(),
                      reg(proxy.url(), {"addr=128.2.1.7", "mask=255.255.255.255"}));
    Daemon d(da.arg(), {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR"});
    const std::string empty = synthReq(1, 1, {});
    for (int i = 0; i < 100; ++i)
        ASSERT_NE(post(d.port(), empty).find("200 OK"), std::string::npos);
    std::string held;
    std::thread client([&] { held = post(d.port(), synthReq(41, 42, {"128.2.1.7"}), 30000); });
    const int init = proxy.take();
    ASSERT_GE(init, 0);
    EXPECT_NE(post(d.port(), empty).find("200 OK"), std::string::npos);  // the 101st
    // Past the closing pause: the request in flight still holds the daemon.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(d.child().wait(0), -1);
    HeldProxy::answer(init, ESMInitOk(41, 42, A("224.5.6.7"), 0));
    const int commit = proxy.take();
    ASSERT_GE(commit, 0);
    HeldProxy::answer(commit, ESMCommitOk(41, 42));
    client.join();
    EXPECT_NE(held.find("200 OK"), std::string::npos) << held;
    const int status = d.child().wait(10000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(grep(d.err(), "utime ").size(), 1u) << d.err();
}

// SIGHUP reads the coordinates file again: a host appended to it is found afterwards; a file
// made invalid leaves the table as it was. The daemon serves on through both.
TEST(ServiceLifecycle, HangupReloadsTheCoordinates) {
    const Net net{29};
    ConfigDir config(kCoords);
    DirectoryAgent da(net.at(2), config.path(), "");
    Daemon d(da.arg(), {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR"});
    const std::string file = config.path() + "/gnp.coords";
    const std::string request = synthReq(1, 1, {"128.2.1.50"});
    auto coordinatesFound = [&] { return grep(d.out(), "coordinates: [1.5 2.5]").size(); };
    EXPECT_EQ(post(d.port(), request), kErrorResponse);  // loads the table: no 128.2.1.50
    EXPECT_EQ(coordinatesFound(), 0u);
    struct Step {
        const char* append;
        std::string line;   // the daemon's line after SIGHUP
        size_t foundAfter;  // requests that found the host's coordinates so far
    };
    for (const Step& step : {
             Step{"128.2.1.50 1.5 2.5\n", "esm-synthd: SIGHUP: reloaded " + file + ": 3 hosts", 1},
             Step{"no-blank-here\n",
                  "esm-synthd: SIGHUP: " + file +
                      " is invalid at line 4 (no blank between host and coordinates); kept the "
                      "table of 3 hosts",
                  2},
         }) {
        ASSERT_TRUE(testutil::spit(file, testutil::slurp(file) + step.append));
        d.child().signal(SIGHUP);
        ASSERT_TRUE(testutil::waitFor([&] { return !grep(d.err(), step.line).empty(); }))
            << d.err();
        EXPECT_EQ(post(d.port(), request), kErrorResponse);  // no compute node registered
        EXPECT_EQ(coordinatesFound(), step.foundAfter) << d.out();
    }
    EXPECT_NE(post(d.port(), synthReq(2, 2, {})).find("200 OK"), std::string::npos);
    EXPECT_EQ(d.child().wait(0), -1);
}

// Plays the service manager: esm-synthd started with socket as descriptor 3, LISTEN_FDS=1 and
// its own pid in LISTEN_PID, as socket activation starts it.
std::unique_ptr<testutil::Child> startHanded(int socket, uint16_t port, const std::string& daArg,
                                             const std::vector<std::string>& env) {
    std::vector<std::string> vars = env;
    vars.push_back("LISTEN_FDS=1");
    return std::make_unique<testutil::Child>(
        "/bin/sh",
        std::vector<std::string>{"-c", "LISTEN_PID=$$ exec \"$0\" \"$@\"", ESM_SYNTHD_PATH,
                                 std::to_string(port), daArg},
        vars, std::vector<int>{socket});
}

// With the listening socket in the manager's hands, connections made while the daemon is away
// (after its 101st request, until it starts again) wait in the queue and are answered then.
TEST(ServiceLifecycle, HandedOverSocketQueuesWhileTheDaemonIsAway) {
    const uint16_t port = testutil::freePort();
    const char* failed = nullptr;
    Fd manager(listenTcp(htonl(INADDR_ANY), port, &failed));
    ASSERT_TRUE(manager.valid()) << failed;
    const std::vector<std::string> env{"VARNO_PATH", "VARNO_GNPMONITOR"};
    auto first = startHanded(manager.get(), port, "127.0.0.1:9", env);
    ASSERT_TRUE(testutil::waitFor([&] {
        return first->err().find("Listening") != std::string::npos;
    })) << first->err();
    EXPECT_EQ(first->err(), daemonStartLines(port, "127.0.0.1:9"));
    const std::string empty = synthReq(1, 1, {});
    for (int i = 0; i < 101; ++i) ASSERT_NE(post(port, empty).find("200 OK"), std::string::npos);
    std::vector<std::string> answers(5);
    std::vector<std::thread> clients;
    for (std::string& a : answers) clients.emplace_back([&] { a = post(port, empty, 20000); });
    const int status = first->wait(10000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto second = startHanded(manager.get(), port, "127.0.0.1:9", env);
    for (std::thread& t : clients) t.join();
    for (const std::string& a : answers) EXPECT_NE(a.find("200 OK"), std::string::npos) << a;

    // Anything but a listening TCP/IPv4 socket on the port is refused with one line.
    Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
    Fd other(listenTcp(htonl(INADDR_LOOPBACK), 0, &failed));
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    Fd pipeRead(pipeFds[0]), pipeWrite(pipeFds[1]);
    for (const auto& [fd, what] : std::vector<std::pair<int, std::string>>{
             {udp.get(), "a UDP/IPv4 socket on port 0"},
             {other.get(), "a TCP/IPv4 socket listening on port "},
             {pipeRead.get(), "not a socket"}}) {
        auto bad = startHanded(fd, port, "127.0.0.1:9", env);
        const int code = bad->wait(5000);
        ASSERT_TRUE(WIFEXITED(code));
        EXPECT_EQ(WEXITSTATUS(code), 1);
        EXPECT_EQ(bad->err().rfind("esm-synthd: the socket handed over is not a listening "
                                   "TCP/IPv4 socket on port " +
                                       std::to_string(port) + ": it is " + what,
                                   0),
                  0u)
            << bad->err();
    }
}

}  // namespace

namespace {

TEST(ServiceStop, TellsTheManagerWhenReadyAndWhenStopping) {
    const NotifySocket manager(true);
    const uint16_t port = testutil::freePort();
    testutil::Child d(ESM_SYNTHD_PATH, {std::to_string(port), "127.0.0.1:9"}, {manager.env()});
    EXPECT_EQ(manager.next(), "READY=1");
    // Ready means listening: the line that follows listen() is out by then.
    EXPECT_EQ(d.err(), daemonStartLines(port, "127.0.0.1:9"));
    d.signal(SIGTERM);
    EXPECT_EQ(manager.next(), "STOPPING=1");
    const int status = d.wait(5000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Nothing beyond the usual lines.
    EXPECT_EQ(d.out(), "waiting for request\n");
    EXPECT_EQ(d.err(), daemonStartLines(port, "127.0.0.1:9"));
}

// SIGTERM while a request waits for its proxy: new connections are refused at once, the request
// in flight is still answered, and the daemon ends with status 0 as soon as it is; when it takes
// longer than 10 s, the daemon ends all the same.
struct DrainCase {
    int net;
    bool proxyAnswers;
};

class ServiceDrain : public ::testing::TestWithParam<DrainCase> {};

TEST_P(ServiceDrain, RequestInFlightAtSigterm) {
    const Net net{GetParam().net};
    ConfigDir config(kCoords);
    const HeldProxy proxy(net.at(5));
    DirectoryAgent da(net.at(2), config.path(),
                      reg(proxy.url(), {"addr=128.2.1.7", "mask=255.255.255.255"}));
    const NotifySocket manager(false);
    // The proxy's own limit beyond the drain's 10 s: the request is still in flight then.
    Daemon d(da.arg(), {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR", manager.env(),
                        "ESM_PROXY_TIMEOUT=60"});
    ASSERT_EQ(manager.next(), "READY=1");

    std::string resp;
    std::thread client([&] { resp = post(d.port(), synthReq(41, 42, {"128.2.1.7"}), 20000); });
    const int init = proxy.take();  // the request is in flight
    ASSERT_GE(init, 0);
    const auto sigterm = std::chrono::steady_clock::now();
    d.child().signal(SIGTERM);
    EXPECT_EQ(manager.next(), "STOPPING=1");
    EXPECT_EQ(testutil::connectTo("127.0.0.1", d.port()), -1);

    if (GetParam().proxyAnswers) {
        EXPECT_NE(HeldProxy::answer(init, ESMInitOk(41, 42, A("224.5.6.7"), 0)).find("<ESMInit>"),
                  std::string::npos);
        const int commit = proxy.take();
        ASSERT_GE(commit, 0);
        HeldProxy::answer(commit, ESMCommitOk(41, 42));
    }
    const int status = d.child().wait(15000);
    const auto took = std::chrono::steady_clock::now() - sigterm;
    client.join();
    if (!GetParam().proxyAnswers) close(init);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    if (GetParam().proxyAnswers) {
        EXPECT_EQ(resp, okResponse("<?xml version=\"1.0\"?>\n<SynthESMOk><id>41</id><version>42"
                                   "</version><eptransportlist num=\"1\"><eptransport><addr>"
                                   "224.5.6.7</addr><port>7560</port><ttl>0</ttl></eptransport>"
                                   "</eptransportlist><zonetransportlist num=\"0\"/></SynthESMOk>"
                                   "\n"));
        EXPECT_LT(took, std::chrono::seconds(5));
    } else {
        EXPECT_EQ(resp, "");  // cut off when the time was up
        EXPECT_GE(took, std::chrono::milliseconds(9900));
        EXPECT_LT(took, std::chrono::seconds(13));
    }
    EXPECT_EQ(grep(d.err(), "accept").size(), 0u) << d.err();
    EXPECT_EQ(grep(d.err(), "serverThread").size(), 0u) << d.err();
    EXPECT_EQ(d.err().find("ThreadSanitizer"), std::string::npos) << d.err();
}

INSTANTIATE_TEST_SUITE_P(Cases, ServiceDrain,
                         ::testing::Values(DrainCase{31, true}, DrainCase{32, false}),
                         [](const ::testing::TestParamInfo<DrainCase>& param) {
                             return param.param.proxyAnswers ? "AnsweredThenExits"
                                                             : "CutOffAfterTenSeconds";
                         });

}  // namespace
