// The proxy locator, the proxy initializer and the handler in process, against a real Directory
// Agent, proxy simulators, the monitor and the node-loader stand-in. The coordinate table is
// loaded once per process, so every test here uses the same coordinates file text.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "ESM.h"
#include "msg_test_util.h"
#include "mutex_lock.h"
#include "overlay_fixture.h"

using namespace overlay;
using msgtest::A;
using msgtest::chars;
using testutil::captured;
using testutil::DiagCapture;

namespace {

const char* const kCoords =
    "128.2.1.9 12.5 -3.0 7.25\n"
    "10.9.0.7 12.5 -3.0 7.25\n"
    "128.2.1.51 \n";

// Sets environment variables for one test and restores them after.
class ScopedEnv {
public:
    void set(const char* name, const std::string& value) {
        save(name);
        setenv(name, value.c_str(), 1);
    }
    void unset(const char* name) {
        save(name);
        unsetenv(name);
    }
    ~ScopedEnv() {
        for (auto& [name, old] : mSaved) {
            if (old.first) {
                setenv(name.c_str(), old.second.c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

private:
    void save(const char* name) {
        if (mSaved.count(name)) return;
        const char* v = getenv(name);
        mSaved[name] = {v != nullptr, v != nullptr ? v : ""};
    }
    std::map<std::string, std::pair<bool, std::string>> mSaved;
};

TransportEndPoint locate(const std::string& endpoint, const DirectoryAgent& da) {
    EndPoint ep(A(endpoint.c_str()));
    ESMProxyLocator locator(ep, da.arg(), "default");
    return locator.getESMProxy();
}

std::string describe(const TransportEndPoint& t) {
    return t.getStr() + (t.isAboneNode() ? " abone" : "");
}

class LocatorTest : public ::testing::Test {
protected:
    void SetUp() override { env.set("VARNO_PATH", config.path()); }
    ConfigDir config{kCoords};
    ScopedEnv env;
};

TEST_F(LocatorTest, RegisteredProxyWinsAndTheFirstAnswerIsTaken) {
    const Net net{41};
    Monitor monitor(net.at(9));
    env.set("VARNO_GNPMONITOR", net.at(9));
    DirectoryAgent da(
        net.at(2), config.path(),
        reg("service:ESMProxy://10.0.0.5:7020", {"addr=128.2.1.9", "mask=255.255.255.255"}) +
            reg("service:ESMProxy://10.0.0.6:7021", {"addr=128.2.1.9", "mask=255.255.255.255"}) +
            computeReg("service:CompResource://10.0.0.9/?x-GNP-num=1"));
    TransportEndPoint proxy;
    const std::string printed = captured(DiagStream::Out, [&] { proxy = locate("128.2.1.9", da); });
    EXPECT_EQ(describe(proxy), "10.0.0.5:7020");
    EXPECT_EQ(printed, "");  // neither the coordinates nor the monitor were needed
    EXPECT_EQ(monitor.out(), "");
    EXPECT_EQ(da.queries().size(), 1u);
}

TEST_F(LocatorTest, ComputeNodeUrlForms) {
    const Net net{42};
    Monitor monitor(net.at(9));
    env.set("VARNO_GNPMONITOR", net.at(9));
    const std::vector<std::pair<std::string, std::string>> cases{
        {"service:CompResource://10.0.0.9/?x-GNP-num=1", "10.0.0.9:0 abone"},
        {"service:CompResource://10.0.0.9:5000", "10.0.0.9:0 abone"},
        // The port stays inside the host part, which then is no address.
        {"service:CompResource://10.0.0.9:5000/?x-GNP-num=1", "0.0.0.0:0 abone"},
    };
    std::string expectMonitor;
    for (const auto& [url, want] : cases) {
        DirectoryAgent da(net.at(2), config.path(), computeReg(url));
        TransportEndPoint proxy;
        const std::string printed =
            captured(DiagStream::Out, [&] { proxy = locate("128.2.1.9", da); });
        EXPECT_EQ(describe(proxy), want) << url;
        EXPECT_NE(printed.find("coordinates: [12.5 -3.0 7.25]\n"), std::string::npos) << printed;
        expectMonitor += "128.2.1.9 2\n" + want.substr(0, want.find(':')) + " 6\n";
        EXPECT_TRUE(testutil::waitFor([&] { return monitor.out() == expectMonitor; }));
    }
    EXPECT_EQ(monitor.out(), expectMonitor);
}

TEST_F(LocatorTest, ZoneUsesItsRepresentativeAndTellsTheMonitorNothing) {
    const Net net{43};
    Monitor monitor(net.at(9));
    env.set("VARNO_GNPMONITOR", net.at(9));
    DirectoryAgent da(net.at(2), config.path(),
                      computeReg("service:CompResource://10.0.0.9/?x-GNP-num=1"));
    EndZone zone(A("10.9.0.0"), A("255.255.0.0"));
    zone.setEP(A("10.9.0.7"));
    DiagCapture out(DiagStream::Out);
    TransportEndPoint proxy = ESMProxyLocator(zone, da.arg(), "default").getESMProxy();
    // A zone with a full mask asks exactly what an endpoint would.
    EndZone host(A("128.2.1.7"), A("255.255.255.255"));
    ESMProxyLocator(host, da.arg(), "default");
    locate("128.2.1.7", da);
    const std::string printed = out.text();

    EXPECT_EQ(describe(proxy), "10.0.0.9:0 abone");
    EXPECT_NE(printed.find("finding coordinates for 10.9.0.7...\n"), std::string::npos) << printed;
    const std::vector<std::string> q = da.queries();
    ASSERT_EQ(q.size(), 4u) << da.log();
    EXPECT_EQ(q[0],
              "type=\"ESMProxy\" scope=\"default\" "
              "predicate=\"(&(addr=10.9.0.0)(mask=255.255.0.0))\" urls=0");
    EXPECT_EQ(q[1],
              "type=\"CompResource\" scope=\"default\" "
              "predicate=\"(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=12.5 -3.0 7.25)))\" urls=1");
    EXPECT_EQ(q[2], q[3]);
    EXPECT_TRUE(testutil::waitFor([&] { return !monitor.out().empty(); }));
    EXPECT_EQ(monitor.out(), "128.2.1.7 2\n");  // only the endpoint's lookup told the monitor
}

TEST_F(LocatorTest, NothingFoundLeavesTheDefault) {
    const Net net{44};
    Monitor monitor(net.at(9));
    env.set("VARNO_GNPMONITOR", net.at(9));
    DirectoryAgent da(net.at(2), config.path(), "");
    TransportEndPoint missing, empty;
    const std::string printed = captured(DiagStream::Out, [&] {
        missing = locate("128.2.1.50", da);  // no line in the file
        empty = locate("128.2.1.51", da);    // an empty value
    });
    EXPECT_EQ(describe(missing), "0.0.0.0:0");
    EXPECT_EQ(describe(empty), "0.0.0.0:0");
    EXPECT_EQ(grep(printed, "coordinates not found, returning now...").size(), 2u) << printed;
    EXPECT_TRUE(testutil::waitFor([&] { return lines(monitor.out()).size() == 2; }));
    EXPECT_EQ(monitor.out(), "128.2.1.50 2\n128.2.1.51 2\n");
}

TEST_F(LocatorTest, DirectoryAgentDownCountsAsNothingFound) {
    // Nothing listens there: both lookups fail fast, and the result is the default.
    EndPoint ep(A("128.2.1.9"));
    TransportEndPoint proxy;
    const std::string printed = captured(DiagStream::Out, [&] {
        proxy = ESMProxyLocator(ep, "127.0.44.3:9", "default").getESMProxy();
    });
    EXPECT_EQ(describe(proxy), "0.0.0.0:0");
    EXPECT_NE(printed.find("coordinates: [12.5 -3.0 7.25]"), std::string::npos) << printed;
}

// ---- The initializer ----

struct InitorRun {
    bool ok;
    std::string ep, zone;  // the transports, joined
    std::string out, err;  // what it printed
};

// Runs one initializer with the wait counted instead of slept; keeps what it printed.
InitorRun runInitor(std::vector<TransportEndPoint> eps, std::vector<TransportEndPoint> zones,
                    int* waits = nullptr) {
    DiagCapture out(DiagStream::Out), err(DiagStream::Err);
    ESMProxyInitor initor(eps, zones, [waits] {
        if (waits != nullptr) ++*waits;
    });
    InitorRun r{initor.initOk(), "", "", out.text(), err.text()};
    for (const MulticastEndPoint& t : initor.getEPTransports()) r.ep += t.getStr() + ";";
    for (const MulticastEndPoint& t : initor.getZoneTransports()) r.zone += t.getStr() + ";";
    return r;
}

TransportEndPoint at(const std::string& addr, unsigned short port) {
    return TransportEndPoint(A(addr.c_str()), port);
}

TransportEndPoint abone(const std::string& addr) {
    TransportEndPoint t(A(addr.c_str()), 0);
    t.setAboneNode();
    return t;
}

TEST(Initor, NothingToBringUp) {
    const InitorRun r = runInitor({}, {});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.ep + r.zone, "");
    EXPECT_EQ(r.out + r.err, "");
}

TEST(Initor, StopsAtTheFirstFailureKeepingWhatCameBefore) {
    const Net net{45};
    ProxySim good0(net.at(5), 7020), good1(net.at(6), 7020),
        failInit(net.at(7), 7020, "--fail-init"), failCommit(net.at(8), 7020, "--fail-commit"),
        wrong(net.at(10), 7020, "--wrong-reply");

    // Failing its ESMInit, the first proxy records nothing.
    InitorRun r = runInitor({at(net.at(7), 7020), at(net.at(5), 7020)}, {});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.ep, "");
    // Failing its ESMCommit, it has recorded its own transport.
    r = runInitor({at(net.at(8), 7020)}, {});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.ep, "224.5.6.7:7560 [ttl 0];");
    // The third proxy failing keeps the first two.
    r = runInitor({at(net.at(5), 7020)}, {at(net.at(6), 7020), at(net.at(7), 7020)});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.ep, "224.5.6.7:7560 [ttl 0];");
    EXPECT_EQ(r.zone, "225.5.6.7:7560 [ttl 1];");
    // An ESMInit answered with an ESMCommitOk is a failure.
    r = runInitor({at(net.at(10), 7020)}, {});
    EXPECT_FALSE(r.ok);
    // A proxy that was not found cannot be reached.
    r = runInitor({TransportEndPoint()}, {});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err, "sending ESMInit to 0.0.0.0:0...");
    // Proxies after a failure are never contacted.
    EXPECT_EQ(grep(good1.out(), "ESMInit").size(), 1u);
}

TEST(Initor, EveryRunningProxyGetsTheFixedGroupWhateverItAnswers) {
    const Net net{46};
    ProxySim p0(net.at(5), 7020), p1(net.at(6), 7021);
    const InitorRun r = runInitor({at(net.at(5), 7020), at(net.at(6), 7021)}, {});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.ep, "224.5.6.7:7560 [ttl 0];224.5.6.7:7560 [ttl 0];");
    EXPECT_EQ(r.err, "sending ESMInit to " + net.at(5) + ":7020...sending ESMInit to " + net.at(6) +
                         ":7021...");
    EXPECT_EQ(r.out,
              "got ESMInitOk\nsending ESMCommit...got ESMCommitOk\n"
              "got ESMInitOk\nsending ESMCommit...got ESMCommitOk\n");
    // Both exchanges of both proxies carry one id and one version.
    const std::string a = lines(p0.out())[0], b = lines(p1.out())[0];
    EXPECT_EQ(a, b);
}

TEST(Initor, AboneProxiesAreLoadedThenStartedWithTheFirstMember) {
    const Net net{47};
    ConfigDir config(kCoords);
    ScopedEnv env;
    env.set("VARNO_PATH", config.path());
    ProxySim p0(net.at(5), 7020), p1(net.at(6), 7021);
    int waits = 0;
    const InitorRun r =
        runInitor({at(net.at(5), 7020), at(net.at(6), 7021)}, {abone(net.at(20))}, &waits);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(r.zone, net.at(20) + ":7560 [ttl 255];");
    const std::vector<std::string> calls = config.loaderCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "-f anee2 " + net.at(20) +
                            " LOAD X=http://codeserver.example.net/executables/proxy S=-C");
    // Position 2: exactly one member token, naming position 0, and the command ends in a blank.
    const std::string tail = "S=-x7560:7558 S=-m" + net.at(5);
    EXPECT_EQ(calls[1].substr(calls[1].size() - tail.size()), tail);
    EXPECT_EQ(grep(r.out, "S=-m" + net.at(5) + " ").size(), 1u) << r.out;
    EXPECT_EQ(r.out.find("S=-m" + net.at(6)), std::string::npos);
    // The running proxies hear of the node with port 0.
    EXPECT_EQ(lines(p1.out())[1].substr(lines(p1.out())[1].find("members=")),
              "members=" + net.at(5) + ":7020," + net.at(20) + ":0");

    // At position 0 (a zone, with no endpoints) the node gets no member token.
    waits = 0;
    const InitorRun first = runInitor({}, {abone(net.at(21)), at(net.at(5), 7020)}, &waits);
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.zone, net.at(21) + ":7560 [ttl 255];225.5.6.7:7560 [ttl 1];");
    const std::vector<std::string> more = config.loaderCalls();
    ASSERT_EQ(more.size(), 4u);
    EXPECT_EQ(more[3].find("S=-m1"), std::string::npos);
    EXPECT_EQ(more[3].substr(more[3].size() - 13), "S=-x7560:7558");
}

TEST(Initor, AboneProxyNeedsTheConfigurationDirectory) {
    ScopedEnv env;
    env.unset("VARNO_PATH");
    int waits = 0;
    const InitorRun r = runInitor({abone("10.0.0.9")}, {}, &waits);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.ep, "");
    EXPECT_EQ(waits, 0);
    EXPECT_EQ(r.out, "VARNO_PATH not set, returning now...\n");
}

// ---- The handler ----

int answeredRequests() {
    MutexLock lock(&term_mut);
    return num_of_requests;
}

// A SynthESMReq for the endpoints as the server hands it over: decoded from its text.
std::unique_ptr<SynthESMReq> decodedRequest(unsigned long id, unsigned long version,
                                            const std::vector<std::string>& endpoints) {
    std::vector<EndPoint> eps;
    for (const std::string& e : endpoints) eps.emplace_back(A(e.c_str()));
    std::vector<EndZone> zones;
    return msgtest::decodeAs<SynthESMReq>(chars(SynthESMReq(id, version, eps, zones)),
                                          MsgTable::Requests);
}

// Each failure gives no reply, "ESM init failed!?" and the line of its cause, and is not counted.
TEST(Handler, FailuresGiveNoReplyAndAreNotCounted) {
    const Net net{23};
    ConfigDir config(kCoords);
    ScopedEnv env;
    env.set("VARNO_PATH", config.path());
    env.unset("VARNO_GNPMONITOR");
    ProxySim failInit(net.at(5), 7020, "--fail-init"), wrong(net.at(6), 7020, "--wrong-reply"),
        failCommit(net.at(7), 7020, "--fail-commit"), cut(net.at(8), 7020, "--close-mid-reply");
    DirectoryAgent da(net.at(2), config.path(),
                      proxyReg(failInit, "128.2.1.11", "255.255.255.255") +
                          proxyReg(wrong, "128.2.1.12", "255.255.255.255") +
                          proxyReg(failCommit, "128.2.1.13", "255.255.255.255") +
                          proxyReg(cut, "128.2.1.14", "255.255.255.255"));
    const std::string daArg = da.arg();
    DAstr = daArg.c_str();
    const std::pair<const char*, std::string> cases[] = {
        // No registration and no coordinates: the 0.0.0.0:0 proxy cannot be reached.
        {"128.2.1.50", "coordinates not found, returning now..."},
        {"128.2.1.11", "got proxy " + failInit.hostPort()},
        {"128.2.1.12", "got proxy " + wrong.hostPort()},
        {"128.2.1.13", "got ESMInitOk"},
        {"128.2.1.14", "got proxy " + cut.hostPort()},
    };
    for (const auto& [endpoint, line] : cases) {
        std::unique_ptr<SynthESMReq> req = decodedRequest(5, 6, {endpoint});
        const int before = answeredRequests();
        std::unique_ptr<Msg> reply;
        const std::string out =
            captured(DiagStream::Out, [&] { reply.reset(RecvCallback(req.get())); });
        EXPECT_EQ(reply, nullptr) << endpoint;
        EXPECT_EQ(grep(out, "ESM init failed!?").size(), 1u) << out;
        EXPECT_EQ(grep(out, line).size(), 1u) << out;
        EXPECT_EQ(answeredRequests(), before) << endpoint;
    }
}

TEST(Handler, ConcurrentRequestsEachGetTheirOwnAnswer) {
    const Net net{28};
    ConfigDir config(kCoords);
    ScopedEnv env;
    env.set("VARNO_PATH", config.path());
    env.unset("VARNO_GNPMONITOR");
    ProxySim p0(net.at(5), 7020);
    DirectoryAgent da(net.at(2), config.path(), proxyReg(p0, "128.2.1.7", "255.255.255.255"));
    const std::string daArg = da.arg();
    DAstr = daArg.c_str();
    std::vector<std::unique_ptr<SynthESMReq>> reqs;
    for (int i = 0; i < 20; ++i) reqs.push_back(decodedRequest(1000 + i, 2000 + i, {"128.2.1.7"}));
    std::vector<std::string> answers(20);
    const int before = answeredRequests();
    {
        DiagCapture quiet(DiagStream::Out);
        std::vector<std::thread> threads;
        for (int i = 0; i < 20; ++i) {
            threads.emplace_back([&, i] {
                std::unique_ptr<Msg> reply(RecvCallback(reqs[i].get()));
                answers[i] = reply ? chars(*reply) : "(none)";
            });
        }
        for (auto& t : threads) t.join();
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(
            answers[i],
            msgtest::wire("<SynthESMOk><id>" + std::to_string(1000 + i) + "</id><version>" +
                          std::to_string(2000 + i) +
                          "</version><eptransportlist num=\"1\"><eptransport><addr>224.5.6.7"
                          "</addr><port>7560</port><ttl>0</ttl></eptransport></eptransportlist>"
                          "<zonetransportlist num=\"0\"/></SynthESMOk>"));
    }
    EXPECT_EQ(answeredRequests(), before + 20);
    EXPECT_EQ(grep(p0.out(), "ESMCommit ").size(), 20u);
}

}  // namespace
