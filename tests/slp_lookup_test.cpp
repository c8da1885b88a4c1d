// The lookup classes over the client library, asking slp-da as a child process on loopback with
// the predicates of the proxy locator.

#include <gtest/gtest.h>
#include <slp.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "SLP.h"
#include "slp_test_util.h"

using slptest::Agent;
using slptest::kVectorRegs;
using Clock = std::chrono::steady_clock;

namespace {

const char kHostFilter[] = "(&(addr=128.2.1.7)(mask=255.255.255.255))";
const char kZoneFilter[] = "(&(addr=10.1.0.0)(mask=255.255.0.0))";
const char kGnpFilter[] = "(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=12.5 -3.0 7.25)))";

std::vector<std::string> urlsOf(SLPService& svc) {
    std::vector<ServiceInstance> v;
    svc.getSIvec(v);
    std::vector<std::string> out;
    for (const ServiceInstance& si : v) out.push_back(si.getServiceURL());
    return out;
}

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

TEST(SlpLookupViaAgent, TheLocatorPredicatesFindTheirProxies) {
    Agent agent("127.0.0.51", kVectorRegs);
    ASSERT_NE(agent.port(), 0);
    ASSERT_NE(agent.log().find("registrations=4"), std::string::npos);

    SLPService host("ESMProxy", kHostFilter, agent.da(), "default");
    ASSERT_EQ(host.FindServices(), 1);
    EXPECT_EQ(host.serviceAt(0)->getServiceURL(), "service:ESMProxy://127.0.0.5:7020");
    EXPECT_EQ(host.serviceAt(0)->getLifetime(), 65535);
    EXPECT_EQ(host.serviceAt(0)->getAddrStr(), "127.0.0.5");
    EXPECT_EQ(host.serviceAt(0)->getPort(), 7020);

    SLPService zone("ESMProxy", kZoneFilter, agent.da(), "default");
    ASSERT_EQ(zone.FindServices(), 1);
    EXPECT_EQ(zone.serviceAt(0)->getAddrStr(), "127.0.0.6");
    EXPECT_EQ(zone.serviceAt(0)->getPort(), 7021);

    SLPService gnp("CompResource", kGnpFilter, agent.da(), "default");
    ASSERT_EQ(gnp.FindServices(), 2);
    EXPECT_EQ(urlsOf(gnp),
              (std::vector<std::string>{"service:CompResource://127.0.0.9/?x-GNP-num=1",
                                        "service:CompResource://127.0.0.10/?x-GNP-num=1"}));
    EXPECT_EQ(gnp.serviceAt(1)->getAddrStr(), "127.0.0.10");
    EXPECT_EQ(gnp.serviceAt(1)->getPort(), 0);

    EXPECT_TRUE(testutil::waitFor([&] {
        return agent.log().find("SrvRqst type=\"CompResource\" scope=\"default\" predicate=\"" +
                                std::string(kGnpFilter) + "\" urls=2 error=0\n") !=
               std::string::npos;
    }));

    // SIGTERM ends the agent cleanly (a sanitizer finding would make the status non-zero).
    agent.child().signal(SIGTERM);
    int st = agent.child().wait(5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(SlpLookupViaAgent, NothingFoundIsZeroAndLeavesNoResults) {
    Agent agent("127.0.0.52", kVectorRegs);
    SLPService none("ESMProxy", "(&(addr=128.2.1.8)(mask=255.255.255.255))", agent.da(), "default");
    EXPECT_EQ(none.FindServices(), 0);
    EXPECT_EQ(none.numFound(), 0);
    std::vector<ServiceInstance> v = {ServiceInstance("untouched", 5)};
    EXPECT_EQ(none.getSIvec(v), 0);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].getServiceURL(), "untouched");
    EXPECT_EQ(none.serviceAt(0), nullptr);

    SLPService otherScope("ESMProxy", "", agent.da(), "elsewhere");
    EXPECT_EQ(otherScope.FindServices(), -1);  // SCOPE_NOT_SUPPORTED
    SLPService malformed("ESMProxy", "(&(addr=128.2.1.7)", agent.da(), "default");
    EXPECT_EQ(malformed.FindServices(), -1);  // PARSE_ERROR
}

TEST(SlpLookupViaAgent, AgentDownOrSilentGivesMinusOneInBoundedTime) {
    uint16_t closed = testutil::freePort(SOCK_DGRAM);
    SLPService down("ESMProxy", kHostFilter, "127.0.0.53:" + std::to_string(closed), "default");
    auto start = Clock::now();
    EXPECT_EQ(down.FindServices(), -1);
    EXPECT_LT(secondsSince(start), 1.0);

    // An agent that receives and never answers.
    slptest::FakeDa mute("127.0.0.54", [](const slptest::Bytes&, int, bool) {
        return std::vector<slptest::Bytes>{};
    });
    SLPService silent("ESMProxy", kHostFilter, "127.0.0.54:" + std::to_string(mute.port()),
                      "default");
    start = Clock::now();
    EXPECT_EQ(silent.FindServices(), -1);
    EXPECT_LT(secondsSince(start), 5.5);
    EXPECT_FALSE(mute.received().empty());
}

TEST(SlpLookupViaAgent, SixteenThreadsLookUpAtOnce) {
    Agent agent("127.0.0.55", kVectorRegs);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&agent, &wrong, t] {
            for (int i = 0; i < 10; ++i) {
                if (t % 2 == 0) {
                    SLPService svc("ESMProxy", kHostFilter, agent.da(), "default");
                    if (svc.FindServices() != 1 || svc.serviceAt(0)->getPort() != 7020) ++wrong;
                } else {
                    SLPService svc("CompResource", kGnpFilter, agent.da(), "default");
                    if (svc.FindServices() != 2) ++wrong;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(SlpLookupViaAgent, LargeAnswersComeOverTcp) {
    std::string regs;
    for (int i = 0; i < 40; ++i) {
        regs += "service:ESMProxy://127.0.1." + std::to_string(i) +
                ":7020/with-a-path-long-enough,en,65535\naddr=10.0.0.1\n\n";
    }
    Agent agent("127.0.0.56", regs);
    SLPService svc("ESMProxy", "(addr=10.0.0.1)", agent.da(), "default");
    ASSERT_EQ(svc.FindServices(), 40);
    EXPECT_EQ(svc.serviceAt(39)->getServiceURL(),
              "service:ESMProxy://127.0.1.39:7020/with-a-path-long-enough");
    EXPECT_TRUE(testutil::waitFor(
        [&] { return agent.log().find(" urls=40 error=0") != std::string::npos; }));
    EXPECT_NE(agent.log().find("slp-da: udp "), std::string::npos);
    EXPECT_NE(agent.log().find("slp-da: tcp "), std::string::npos);
}
