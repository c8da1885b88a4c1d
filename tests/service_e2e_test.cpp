// The daemon end to end: esm-synthd as a process with a real Directory Agent, proxy simulators,
// the monitor, a coordinates file and the node-loader stand-in, all on loopback. Its command line,
// its output lines and its exit; the handler's failure cases and concurrency run in process
// (service_test.cpp).
#include <gtest/gtest.h>

#include "Msg.h"
#include "msg_test_util.h"
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

TEST(ServiceLifecycle, PortTextIsReadLikeStrtol) {
    // 65616 is 80 after truncation, which needs privileges: 8080abc is tried instead, and a port
    // without digits lets the system pick one.
    testutil::Child c(ESM_SYNTHD_PATH, {"8080abc", "127.0.0.1:9"});
    ASSERT_TRUE(testutil::waitFor([&] {
        return c.err().find("Listening on port") != std::string::npos ||
               c.err().find("Couldn't open") != std::string::npos;
    }));
    if (c.err().find("Couldn't open") != std::string::npos) GTEST_SKIP() << "port 8080 is taken";
    EXPECT_EQ(c.err(), "Listening on port 8080\n");
    EXPECT_TRUE(testutil::waitListening("127.0.0.1", 8080));
    testutil::Child any(ESM_SYNTHD_PATH, {"abc", "127.0.0.1:9"});
    EXPECT_TRUE(testutil::waitFor(
        [&] { return any.err().find("Listening on port") != std::string::npos; }));
    EXPECT_EQ(any.err(), "Listening on port 0\n");
}

TEST(ServiceLifecycle, EndsAfterTheHundredAndFirstAnsweredRequest) {
    const Net net{27};
    ConfigDir config("");
    DirectoryAgent da(net.at(2), config.path(), "");
    Daemon d(da.arg(), {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR"});
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

}  // namespace
