// The lookup classes over the client library, asking slp-da as a child process on loopback with
// the predicates of the proxy locator; with several agents, how lookups fail over.

#include <gtest/gtest.h>
#include <slp.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include "SLP.h"
#include "slp_agents.h"
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

    slptest::SilentAgent mute("127.0.0.54");
    SLPService silent("ESMProxy", kHostFilter, mute.da(), "default");
    start = Clock::now();
    EXPECT_EQ(silent.FindServices(), -1);
    EXPECT_LT(secondsSince(start), 5.5);
    EXPECT_GT(mute.drain(), 0);
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

// ---- Several agents: failing over once per outage ----

namespace {

// Sets SLP properties for one test and puts the earlier values back afterwards.
class Props {
public:
    Props(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = SLPGetProperty(name);
            mOld.emplace_back(name, old != nullptr ? old : "");
            SLPSetProperty(name, value);
        }
    }
    ~Props() {
        for (const auto& [name, value] : mOld) SLPSetProperty(name.c_str(), value.c_str());
    }

private:
    std::vector<std::pair<std::string, std::string>> mOld;
};

// What the agent observer hears while this is alive, one "<agent> <outcome> <error>" line per
// report.
class Heard {
public:
    Heard() { SLPSetAgentObserver(&Heard::hear, this); }
    ~Heard() { SLPSetAgentObserver(nullptr, nullptr); }
    std::vector<std::string> take() {
        std::vector<std::string> out;
        std::lock_guard<std::mutex> lock(mMu);
        out.swap(mLines);
        return out;
    }

private:
    static void hear(const SLPAgentReport* r, void* self) {
        static const char* const kNames[] = {"found",   "none",  "timeout",
                                             "refused", "error", "skipped"};
        auto* h = static_cast<Heard*>(self);
        std::lock_guard<std::mutex> lock(h->mMu);
        h->mLines.push_back(std::string(r->agent) + " " + kNames[r->outcome] + " " +
                            std::to_string(r->error));
    }
    std::mutex mMu;
    std::vector<std::string> mLines;  // guarded by mMu
};

std::string line(const std::string& agent, const char* outcome, SLPError err = SLP_OK) {
    return agent + " " + outcome + " " + std::to_string(err);
}

// Stops (SIGSTOP) or resumes an agent and waits until the kernel shows it so.
void setStopped(Agent& agent, bool stopped) {
    agent.child().signal(stopped ? SIGSTOP : SIGCONT);
    const std::string stat = "/proc/" + std::to_string(agent.child().pid()) + "/stat";
    ASSERT_TRUE(testutil::waitFor([&] {
        std::ifstream in(stat);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return (text.find(") T ") != std::string::npos) == stopped;
    }));
}

// One locator lookup of 128.2.1.7's proxy through agents `das`: the URL found, or "".
std::string lookUp(const std::string& das) {
    SLPService svc("ESMProxy", kHostFilter, das, "default");
    return svc.FindServices() > 0 ? svc.serviceAt(0)->getServiceURL() : "";
}

const char kProxy[] = "service:ESMProxy://127.0.0.5:7020";
const SLPError kTimedOut = SLP_NETWORK_TIMED_OUT;

}  // namespace

// Skipped while held down, asked again once the hold-down has run out, trusted again at once.
TEST(SlpFailover, AgentThatStopsAnsweringIsPassedOverUntilItsHoldDownEnds) {
    Props props({{"esm.slp.DAHoldDown", "1500"},
                 {"net.slp.unicastTimeouts", "100,100"},
                 {"net.slp.unicastMaximumWait", "200"}});
    Agent first("127.0.0.57", kVectorRegs), second("127.0.0.58", kVectorRegs);
    const std::string das = first.da() + "," + second.da();
    const std::string firstDa = first.da(), secondDa = second.da();
    Heard heard;

    EXPECT_EQ(lookUp(das), kProxy);  // both healthy: only the first is asked
    EXPECT_EQ(heard.take(), std::vector<std::string>{line(firstDa, "found")});

    setStopped(first, true);
    const Clock::time_point failing = Clock::now();  // the hold-down starts after this
    EXPECT_EQ(lookUp(das), kProxy);
    const Clock::time_point heldAt = Clock::now();  // and before this
    EXPECT_EQ(heard.take(), (std::vector<std::string>{line(firstDa, "timeout", kTimedOut),
                                                      line(secondDa, "found")}));
    setStopped(first, false);

    const std::vector<std::string> skipping = {line(secondDa, "found"),
                                               line(firstDa, "skipped", kTimedOut)};
    EXPECT_EQ(lookUp(das), kProxy);
    ASSERT_LT(secondsSince(heldAt), 1.5);
    EXPECT_EQ(heard.take(), skipping);

    std::vector<std::string> last;
    ASSERT_TRUE(testutil::waitFor([&] {
        EXPECT_EQ(lookUp(das), kProxy);
        last = heard.take();
        return last != skipping;
    }));
    EXPECT_GE(secondsSince(failing), 1.5);
    EXPECT_EQ(last, std::vector<std::string>{line(firstDa, "found")});
    EXPECT_EQ(lookUp(das), kProxy);
    EXPECT_EQ(heard.take(), std::vector<std::string>{line(firstDa, "found")});
}

// Better a slow answer than none: held-down agents are asked when nobody else can answer.
TEST(SlpFailover, AgentsHeldDownAreAskedWhenNoOtherAnswers) {
    Props props({{"net.slp.unicastTimeouts", "100,100"}, {"net.slp.unicastMaximumWait", "200"}});
    slptest::SilentAgent silent("127.0.0.59");
    Agent agent("127.0.0.60", kVectorRegs);
    const std::string das = silent.da() + "," + agent.da();
    const std::string agentDa = agent.da();
    Heard heard;

    setStopped(agent, true);
    EXPECT_EQ(lookUp(das), "");
    EXPECT_EQ(heard.take(), (std::vector<std::string>{line(silent.da(), "timeout", kTimedOut),
                                                      line(agentDa, "timeout", kTimedOut)}));
    setStopped(agent, false);

    // Every agent held down: all are asked, in list order.
    silent.drain();
    EXPECT_EQ(lookUp(das), kProxy);
    EXPECT_EQ(heard.take(), (std::vector<std::string>{line(silent.da(), "timeout", kTimedOut),
                                                      line(agentDa, "found")}));
    EXPECT_GT(silent.drain(), 0);

    // The agent that answered is trusted again; the silent one is still held down.
    EXPECT_EQ(lookUp(das), kProxy);
    EXPECT_EQ(heard.take(), (std::vector<std::string>{line(agentDa, "found"),
                                                      line(silent.da(), "skipped", kTimedOut)}));
    EXPECT_EQ(silent.drain(), 0);

    // The one agent asked fails without an answer: the one passed over is asked after all.
    setStopped(agent, true);
    EXPECT_EQ(lookUp(das), "");
    EXPECT_EQ(heard.take(), (std::vector<std::string>{line(agentDa, "timeout", kTimedOut),
                                                      line(silent.da(), "timeout", kTimedOut)}));
    setStopped(agent, false);
}

// Lookups running at once share what one of them learns: one waits on the silent agent.
TEST(SlpFailover, ConcurrentLookupsWaitOnASilentAgentOnce) {
    Props props(
        {{"net.slp.unicastTimeouts", "200,200,200,200"}, {"net.slp.unicastMaximumWait", "800"}});
    slptest::SilentAgent silent("127.0.0.61");
    Agent agent("127.0.0.62", kVectorRegs);
    const std::string das = silent.da() + "," + agent.da();
    Heard heard;

    constexpr int kThreads = 8, kEach = 3;
    std::atomic<int> ready{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ++ready;
            if (!testutil::waitFor([&] { return ready.load() == kThreads; })) ++wrong;
            for (int i = 0; i < kEach; ++i) {
                if (lookUp(das) != kProxy) ++wrong;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);

    int timeouts = 0, skipped = 0, found = 0;
    for (const std::string& l : heard.take()) {
        if (l == line(silent.da(), "timeout", kTimedOut)) ++timeouts;
        if (l == line(silent.da(), "skipped", kTimedOut)) ++skipped;
        if (l == line(agent.da(), "found")) ++found;
    }
    EXPECT_EQ(timeouts, 1);
    EXPECT_EQ(skipped, kThreads * kEach - 1);
    EXPECT_EQ(found, kThreads * kEach);
    // Four tries of the one that waited, at most one of each lookup that started alongside.
    EXPECT_LE(silent.drain(), 4 + kThreads - 1);
}
