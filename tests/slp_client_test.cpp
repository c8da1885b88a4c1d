// The SLP client library and the lookup classes against scripted Directory Agents on loopback
// addresses of their own.

#include <gtest/gtest.h>
#include <slp.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "SLP.h"
#include "slp_agents.h"
#include "slp_test_util.h"
#include "slp_wire.h"

using slptest::answer;
using slptest::Bytes;
using slptest::FakeDa;
using slptest::srvRply;
using slptest::xidOf;
using slpwire::UrlEntry;
using Clock = std::chrono::steady_clock;

namespace {

struct Call {
    bool nullUrl;
    std::string url;
    unsigned short lifetime;
    SLPError err;
};

struct Calls {
    std::vector<Call> calls;
    size_t stopAfter = 0;         // return SLP_FALSE from this call on (0: never)
    SLPHandle reenter = nullptr;  // call SLPFindSrvs on this handle from inside the callback
    SLPError reenterResult = SLP_OK;
    SLPHandle close = nullptr;  // SLPClose this handle from inside the first callback
};

SLPBoolean record(SLPHandle, const char* url, unsigned short life, SLPError err, void* cookie) {
    auto* c = static_cast<Calls*>(cookie);
    c->calls.push_back({url == nullptr, url != nullptr ? url : "", life, err});
    if (c->close != nullptr) SLPClose(std::exchange(c->close, nullptr));
    if (c->reenter != nullptr) {
        Calls inner;
        c->reenterResult = SLPFindSrvs(c->reenter, "ESMProxy", "default", "", record, &inner);
    }
    return (c->stopAfter != 0 && c->calls.size() >= c->stopAfter) ? SLP_FALSE : SLP_TRUE;
}

std::string da(const char* addr, uint16_t port) {
    return std::string(addr) + ":" + std::to_string(port);
}

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Answers every request with the given entries (and error).
FakeDa::Script silent() {
    return [](const Bytes&, int, bool) { return std::vector<Bytes>{}; };
}

const UrlEntry kA{65535, "service:ESMProxy://127.0.0.5:7020"};
const UrlEntry kB{300, "service:ESMProxy://127.0.0.6:7021"};

class SlpLookup : public ::testing::Test {
protected:
    void SetUp() override {
        SLPSetProperty("net.slp.port", "427");
        SLPSetProperty("net.slp.maxResults", "-1");
        ASSERT_EQ(SLPOpen("en", SLP_FALSE, &mH), SLP_OK);
    }
    void TearDown() override { SLPClose(mH); }

    SLPError find(const std::string& agents, Calls* calls, const char* type = "ESMProxy",
                  const char* scope = "default", const char* filter = "(addr=128.2.1.7)") {
        SLPSetProperty("net.slp.DAAddresses", agents.c_str());
        return SLPFindSrvs(mH, type, scope, filter, record, calls);
    }

    SLPHandle mH = nullptr;
};

}  // namespace

TEST(SlpProperties, DefaultsOverridesAndUnknownNames) {
    EXPECT_STREQ(SLPGetProperty("net.slp.useScopes"), "DEFAULT");
    EXPECT_STREQ(SLPGetProperty("net.slp.locale"), "en");
    EXPECT_STREQ(SLPGetProperty("net.slp.unicastMaximumWait"), "5000");
    EXPECT_STREQ(SLPGetProperty("esm.slp.DAHoldDown"), "30000");  // our own, in milliseconds
    EXPECT_EQ(SLPGetProperty("net.slp.noSuchProperty"), nullptr);
    EXPECT_EQ(SLPGetProperty(nullptr), nullptr);

    const char* before = SLPGetProperty("net.slp.port");
    EXPECT_STREQ(before, "427");
    SLPSetProperty("net.slp.port", "4270");
    EXPECT_STREQ(SLPGetProperty("net.slp.port"), "4270");
    EXPECT_STREQ(before, "427");  // texts handed out earlier stay valid
    SLPSetProperty("x.project.flag", "yes");
    EXPECT_STREQ(SLPGetProperty("x.project.flag"), "yes");
    SLPSetProperty("net.slp.port", nullptr);  // ignored
    EXPECT_STREQ(SLPGetProperty("net.slp.port"), "4270");
}

TEST(SlpProperties, SetAndGetFromSixteenThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([t, &bad] {
            std::string mine = "127.0.0." + std::to_string(100 + t) + ":427";
            for (int i = 0; i < 500; ++i) {
                SLPSetProperty("net.slp.DAAddresses", mine.c_str());
                const char* v = SLPGetProperty("net.slp.DAAddresses");
                if (v == nullptr || strncmp(v, "127.0.0.", 8) != 0) ++bad;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(SlpApi, BadArgumentsAreRefused) {
    SLPHandle h = reinterpret_cast<SLPHandle>(0x1);
    EXPECT_EQ(SLPOpen("en", SLP_FALSE, nullptr), SLP_PARAMETER_BAD);
    EXPECT_EQ(SLPOpen("en", SLP_TRUE, &h), SLP_NOT_IMPLEMENTED);
    EXPECT_EQ(h, nullptr);

    Calls calls;
    int notAHandle = 0;
    EXPECT_EQ(SLPFindSrvs(nullptr, "ESMProxy", "default", "", record, &calls), SLP_PARAMETER_BAD);
    EXPECT_EQ(SLPFindSrvs(&notAHandle, "ESMProxy", "default", "", record, &calls),
              SLP_PARAMETER_BAD);
    SLPClose(&notAHandle);  // unknown handles are ignored
    ASSERT_EQ(SLPOpen(nullptr, SLP_FALSE, &h), SLP_OK);
    EXPECT_EQ(SLPFindSrvs(h, "", "default", "", record, &calls), SLP_PARAMETER_BAD);
    EXPECT_EQ(SLPFindSrvs(h, nullptr, "default", "", record, &calls), SLP_PARAMETER_BAD);
    EXPECT_EQ(SLPFindSrvs(h, "ESMProxy", "default", "", nullptr, &calls), SLP_PARAMETER_BAD);
    SLPClose(h);
    EXPECT_EQ(SLPFindSrvs(h, "ESMProxy", "default", "", record, &calls), SLP_PARAMETER_BAD);
    EXPECT_TRUE(calls.calls.empty());
}

TEST_F(SlpLookup, OneCallPerUrlThenTheLastCall) {
    FakeDa fake("127.0.0.31", answer({kA, kB, kA, {10, ""}}));
    Calls c;
    ASSERT_EQ(find(da("127.0.0.31", fake.port()), &c), SLP_OK);
    ASSERT_EQ(c.calls.size(), 3u);  // the repeated and the empty URL are dropped
    EXPECT_EQ(c.calls[0].url, kA.url);
    EXPECT_EQ(c.calls[0].lifetime, 65535);
    EXPECT_EQ(c.calls[0].err, SLP_OK);
    EXPECT_EQ(c.calls[1].url, kB.url);
    EXPECT_EQ(c.calls[1].lifetime, 300);
    EXPECT_EQ(c.calls[1].err, SLP_OK);
    EXPECT_TRUE(c.calls[2].nullUrl);
    EXPECT_EQ(c.calls[2].lifetime, 0);
    EXPECT_EQ(c.calls[2].err, SLP_LAST_CALL);

    // The request carries type, scope and predicate exactly as given, unicast, no PRList.
    std::vector<slptest::Received> got = fake.received();
    ASSERT_EQ(got.size(), 1u);
    Bytes expected;
    slpwire::encodeSrvRqst(xidOf(got[0].bytes), "en", 0, "", "ESMProxy", "default",
                           "(addr=128.2.1.7)", "", &expected);
    EXPECT_EQ(got[0].bytes, expected);
}

TEST_F(SlpLookup, NothingFoundGivesOnlyTheLastCall) {
    FakeDa fake("127.0.0.32", answer({}));
    Calls c;
    ASSERT_EQ(find(da("127.0.0.32", fake.port()), &c), SLP_OK);
    ASSERT_EQ(c.calls.size(), 1u);
    EXPECT_TRUE(c.calls[0].nullUrl);
    EXPECT_EQ(c.calls[0].err, SLP_LAST_CALL);
}

TEST_F(SlpLookup, CallbackThatStopsGetsNoMoreCalls) {
    FakeDa fake("127.0.0.33", answer({kA, kB}));
    Calls c;
    c.stopAfter = 1;
    ASSERT_EQ(find(da("127.0.0.33", fake.port()), &c), SLP_OK);
    ASSERT_EQ(c.calls.size(), 1u);
    EXPECT_EQ(c.calls[0].url, kA.url);

    SLPSetProperty("net.slp.maxResults", "1");
    Calls capped;
    ASSERT_EQ(find(da("127.0.0.33", fake.port()), &capped), SLP_OK);
    ASSERT_EQ(capped.calls.size(), 2u);
    EXPECT_EQ(capped.calls[0].url, kA.url);
    EXPECT_EQ(capped.calls[1].err, SLP_LAST_CALL);
}

TEST_F(SlpLookup, RepliesWithAnotherXidOrMalformedAreDropped) {
    FakeDa fake("127.0.0.34", [](const Bytes& req, int, bool) {
        uint16_t xid = xidOf(req);
        Bytes garbage = {2, 2, 0, 0, 5};
        return std::vector<Bytes>{srvRply(static_cast<uint16_t>(xid + 1), 0, {kB}), garbage,
                                  srvRply(xid, 0, {kA})};
    });
    Calls c;
    ASSERT_EQ(find(da("127.0.0.34", fake.port()), &c), SLP_OK);
    ASSERT_EQ(c.calls.size(), 2u);
    EXPECT_EQ(c.calls[0].url, kA.url);
}

TEST_F(SlpLookup, RetransmitsWithTheSameXidUntilAnswered) {
    FakeDa fake("127.0.0.35", [](const Bytes& req, int index, bool) {
        if (index < 2) return std::vector<Bytes>{};
        return std::vector<Bytes>{srvRply(xidOf(req), 0, {kA})};
    });
    Calls c;
    auto start = Clock::now();
    ASSERT_EQ(find(da("127.0.0.35", fake.port()), &c), SLP_OK);
    EXPECT_GE(secondsSince(start), 1.2);  // answered only after waits of 0.5 and 0.75 s
    std::vector<slptest::Received> got = fake.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].bytes, got[0].bytes);
    EXPECT_EQ(got[2].bytes, got[0].bytes);
    EXPECT_EQ(c.calls.size(), 2u);
}

TEST_F(SlpLookup, BusyAgentIsAskedAgain) {
    FakeDa fake("127.0.0.36", [](const Bytes& req, int index, bool) {
        uint16_t error = index == 0 ? slpwire::kDaBusyNow : 0;
        return std::vector<Bytes>{srvRply(
            xidOf(req), error, error ? std::vector<UrlEntry>{} : std::vector<UrlEntry>{kA})};
    });
    Calls c;
    ASSERT_EQ(find(da("127.0.0.36", fake.port()), &c), SLP_OK);
    EXPECT_EQ(fake.received().size(), 2u);
    EXPECT_EQ(c.calls.size(), 2u);
}

TEST_F(SlpLookup, AgentErrorCodesComeBackNegatedWithoutCallbacks) {
    const std::pair<uint16_t, SLPError> cases[] = {
        {slpwire::kScopeNotSupported, SLP_SCOPE_NOT_SUPPORTED},
        {slpwire::kParseError, SLP_PARSE_ERROR},
        {slpwire::kLanguageNotSupported, SLP_LANGUAGE_NOT_SUPPORTED},
        {slpwire::kMsgNotSupported, SLP_NOT_IMPLEMENTED},
        {slpwire::kInternalError, SLP_INTERNAL_SYSTEM_ERROR},
    };
    for (const auto& [code, expected] : cases) {
        FakeDa fake("127.0.0.37", answer({}, code));
        Calls c;
        EXPECT_EQ(find(da("127.0.0.37", fake.port()), &c), expected) << code;
        EXPECT_TRUE(c.calls.empty());
    }
}

TEST_F(SlpLookup, OverflowRepeatsTheRequestOverTcp) {
    FakeDa fake("127.0.0.38", [](const Bytes& req, int, bool tcp) {
        if (tcp) return std::vector<Bytes>{srvRply(xidOf(req), 0, {kA, kB})};
        Bytes cut = srvRply(xidOf(req), 0, {kA, kB}, 60);  // room for kA only, OVERFLOW set
        return std::vector<Bytes>{cut};
    });
    Calls c;
    ASSERT_EQ(find(da("127.0.0.38", fake.port()), &c), SLP_OK);
    ASSERT_EQ(c.calls.size(), 3u);
    EXPECT_EQ(c.calls[1].url, kB.url);
    std::vector<slptest::Received> got = fake.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FALSE(got[0].tcp);
    EXPECT_TRUE(got[1].tcp);
    EXPECT_EQ(got[1].bytes, got[0].bytes);  // same request, same XID
}

TEST_F(SlpLookup, TruncatedDatagramIsAlsoRepeatedOverTcp) {
    FakeDa fake("127.0.0.39", [](const Bytes& req, int, bool tcp) {
        Bytes full = srvRply(xidOf(req), 0, {kA, kB});
        if (!tcp) full.resize(30);  // header length above what arrived, no flag
        return std::vector<Bytes>{full};
    });
    Calls c;
    ASSERT_EQ(find(da("127.0.0.39", fake.port()), &c), SLP_OK);
    EXPECT_EQ(c.calls.size(), 3u);
}

TEST_F(SlpLookup, AgentThatIsDownFailsFast) {
    uint16_t port = testutil::freePort(SOCK_DGRAM);
    Calls c;
    auto start = Clock::now();
    EXPECT_EQ(find(da("127.0.0.40", port), &c), SLP_NETWORK_ERROR);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_TRUE(c.calls.empty());
}

TEST_F(SlpLookup, SilentAgentTimesOutWithinTheCap) {
    FakeDa fake("127.0.0.41", silent());
    Calls c;
    auto start = Clock::now();
    EXPECT_EQ(find(da("127.0.0.41", fake.port()), &c), SLP_NETWORK_TIMED_OUT);
    double took = secondsSince(start);
    EXPECT_GE(took, 3.5);  // 0.5 + 0.75 + 1 + 1.5 s
    EXPECT_LE(took, 5.5);
    EXPECT_TRUE(c.calls.empty());
    std::vector<slptest::Received> got = fake.received();
    ASSERT_EQ(got.size(), 4u);
    for (const auto& r : got) EXPECT_EQ(xidOf(r.bytes), xidOf(got[0].bytes));
}

TEST_F(SlpLookup, NoAgentConfiguredFailsWithoutMulticast) {
    Calls c;
    EXPECT_EQ(find("", &c), SLP_NETWORK_INIT_FAILED);
    EXPECT_EQ(find(" , ", &c), SLP_NETWORK_INIT_FAILED);
    EXPECT_TRUE(c.calls.empty());
}

TEST_F(SlpLookup, AgentsAreAskedInTurn) {
    uint16_t down = testutil::freePort(SOCK_DGRAM);
    FakeDa good("127.0.0.43", answer({kA}));
    FakeDa refusing("127.0.0.44", answer({}, slpwire::kScopeNotSupported));
    Calls c;
    EXPECT_EQ(find(da("127.0.0.42", down) + "," + da("127.0.0.43", good.port()), &c), SLP_OK);
    EXPECT_EQ(c.calls.size(), 2u);

    // An agent's own error tells more than a later agent that is down.
    Calls none;
    EXPECT_EQ(find(da("127.0.0.44", refusing.port()) + "," + da("127.0.0.42", down), &none),
              SLP_SCOPE_NOT_SUPPORTED);
    EXPECT_EQ(find(da("127.0.0.42", down) + "," + da("127.0.0.44", refusing.port()), &none),
              SLP_SCOPE_NOT_SUPPORTED);
    EXPECT_TRUE(none.calls.empty());
}

TEST_F(SlpLookup, EntryWithoutPortUsesTheSlpPort) {
    FakeDa fake("127.0.0.45", answer({kA}));
    SLPSetProperty("net.slp.port", std::to_string(fake.port()).c_str());
    Calls c;
    EXPECT_EQ(find("127.0.0.45", &c), SLP_OK);
    EXPECT_EQ(c.calls.size(), 2u);
    for (const char* bad : {"127.0.0.45:0", "127.0.0.45:70000", "127.0.0.45:x", ":427"}) {
        EXPECT_EQ(find(bad, &c), SLP_PARAMETER_BAD) << bad;
    }
}

TEST_F(SlpLookup, EmptyScopeAndNullFilterUseTheDefaults) {
    FakeDa fake("127.0.0.46", answer({}));
    Calls c;
    ASSERT_EQ(find(da("127.0.0.46", fake.port()), &c, "ESMProxy", "", nullptr), SLP_OK);
    std::vector<slptest::Received> got = fake.received();
    ASSERT_EQ(got.size(), 1u);
    slpwire::Request req;
    ASSERT_TRUE(slpwire::parseRequest(got[0].bytes.data(), got[0].bytes.size(), &req));
    EXPECT_EQ(req.rqst.scopes, "DEFAULT");
    EXPECT_EQ(req.rqst.predicate, "");
}

TEST_F(SlpLookup, HandleServesOneLookupAtATime) {
    FakeDa fake("127.0.0.47", answer({kA}));
    Calls c;
    c.reenter = mH;
    ASSERT_EQ(find(da("127.0.0.47", fake.port()), &c), SLP_OK);
    EXPECT_EQ(c.reenterResult, SLP_HANDLE_IN_USE);
}

TEST_F(SlpLookup, HandleClosedDuringItsLookupIsFreedWhenTheLookupEnds) {
    FakeDa fake("127.0.0.49", answer({kA, kB}));
    SLPHandle h = nullptr;
    ASSERT_EQ(SLPOpen("en", SLP_FALSE, &h), SLP_OK);
    Calls c;
    c.close = h;
    SLPSetProperty("net.slp.DAAddresses", da("127.0.0.49", fake.port()).c_str());
    EXPECT_EQ(SLPFindSrvs(h, "ESMProxy", "default", "", record, &c), SLP_OK);
    EXPECT_EQ(c.calls.size(), 3u);  // the lookup ran to its end
    EXPECT_EQ(SLPFindSrvs(h, "ESMProxy", "default", "", record, &c), SLP_PARAMETER_BAD);
}

TEST_F(SlpLookup, ServiceKeepsUrlsWithLifetimeAndForgetsThemAfterAFailure) {
    auto fake =
        std::make_unique<FakeDa>("127.0.0.48", answer({{0, "service:ESMProxy://127.0.0.9:1"}, kA}));
    SLPService svc("ESMProxy", "(addr=128.2.1.7)", da("127.0.0.48", fake->port()), "default");
    ASSERT_EQ(svc.FindServices(), 1);  // lifetime 0 is not collected
    EXPECT_EQ(svc.numFound(), 1);
    std::vector<ServiceInstance> v;
    ASSERT_EQ(svc.getSIvec(v), 1);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].getServiceURL(), kA.url);
    EXPECT_EQ(v[0].getLifetime(), 65535);
    ASSERT_NE(svc.serviceAt(0), nullptr);
    EXPECT_EQ(svc.serviceAt(0)->getAddrStr(), "127.0.0.5");
    EXPECT_EQ(svc.serviceAt(0)->getPort(), 7020);
    EXPECT_EQ(svc.serviceAt(1), nullptr);
    EXPECT_EQ(svc.serviceAt(-1), nullptr);

    fake.reset();  // the agent goes away: the next lookup is refused
    EXPECT_EQ(svc.FindServices(), -1);
    EXPECT_EQ(svc.numFound(), 0);
    std::vector<ServiceInstance> after = {ServiceInstance("keep", 1)};
    EXPECT_EQ(svc.getSIvec(after), 0);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].getServiceURL(), "keep");
    EXPECT_EQ(svc.serviceAt(0), nullptr);
}

TEST_F(SlpLookup, ServiceWithoutHandleOrAgentFails) {
    SLPService svc("ESMProxy", "", "", "default");
    SLPSetProperty("net.slp.DAAddresses", "");
    EXPECT_EQ(svc.FindServices(), -1);
    std::vector<ServiceInstance> v;
    EXPECT_EQ(svc.getSIvec(v), 0);
    EXPECT_EQ(svc.serviceAt(0), nullptr);
}

namespace {

struct AgentLog {
    std::mutex mu;
    std::vector<std::pair<std::string, SLPAgentReport>> reports;  // guarded by mu
};

void logAgent(const SLPAgentReport* r, void* cookie) {
    auto* log = static_cast<AgentLog*>(cookie);
    std::lock_guard<std::mutex> lock(log->mu);
    log->reports.emplace_back(r->agent, *r);
}

}  // namespace

// Each agent asked is reported with what it did, in the order asked, until one answers.
TEST_F(SlpLookup, ObserverHearsWhatEachAgentDid) {
    const std::string timeouts = SLPGetProperty("net.slp.unicastTimeouts");
    const std::string maxWait = SLPGetProperty("net.slp.unicastMaximumWait");
    SLPSetProperty("net.slp.unicastTimeouts", "100,100");
    SLPSetProperty("net.slp.unicastMaximumWait", "200");
    const uint16_t closed = testutil::freePort("127.0.0.41", SOCK_DGRAM);
    FakeDa scopeless("127.0.0.42", answer({}, slpwire::kScopeNotSupported));
    FakeDa silentDa("127.0.0.43", silent());
    FakeDa empty("127.0.0.44", answer({}));
    FakeDa full("127.0.0.45", answer({kA}));
    AgentLog log;
    SLPSetAgentObserver(logAgent, &log);
    AgentLog own;  // the handle's own observer hears the same
    ASSERT_EQ(SLPSetHandleAgentObserver(mH, logAgent, &own), SLP_OK);
    Calls c;
    const std::string agents = da("127.0.0.41", closed) + ",no-such-host.invalid," +
                               da("127.0.0.42", scopeless.port()) + "," +
                               da("127.0.0.43", silentDa.port());
    EXPECT_EQ(find(agents, &c), SLP_SCOPE_NOT_SUPPORTED);
    EXPECT_EQ(find(da("127.0.0.44", empty.port()) + "," + da("127.0.0.45", full.port()), &c),
              SLP_OK);  // an empty answer is an answer: the second agent is not asked
    EXPECT_EQ(find(da("127.0.0.45", full.port()), &c), SLP_OK);
    SLPSetAgentObserver(nullptr, nullptr);
    SLPSetProperty("net.slp.unicastTimeouts", timeouts.c_str());
    SLPSetProperty("net.slp.unicastMaximumWait", maxWait.c_str());

    struct Want {
        std::string agent;
        SLPAgentOutcome outcome;
        SLPError error;
        unsigned short daError;
    };
    const std::vector<Want> want = {
        {da("127.0.0.41", closed), SLP_AGENT_REFUSED, SLP_NETWORK_ERROR, 0},
        {"no-such-host.invalid", SLP_AGENT_ERROR, SLP_PARAMETER_BAD, 0},
        {da("127.0.0.42", scopeless.port()), SLP_AGENT_ERROR, SLP_SCOPE_NOT_SUPPORTED,
         slpwire::kScopeNotSupported},
        {da("127.0.0.43", silentDa.port()), SLP_AGENT_TIMEOUT, SLP_NETWORK_TIMED_OUT, 0},
        {da("127.0.0.44", empty.port()), SLP_AGENT_NONE, SLP_OK, 0},
    };
    std::lock_guard<std::mutex> lock(log.mu);
    ASSERT_EQ(log.reports.size(), want.size() + 1);
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].agent);
        EXPECT_EQ(log.reports[i].first, want[i].agent);
        EXPECT_EQ(log.reports[i].second.outcome, want[i].outcome);
        EXPECT_EQ(log.reports[i].second.error, want[i].error);
        EXPECT_EQ(log.reports[i].second.daError, want[i].daError);
    }
    EXPECT_EQ(log.reports.back().second.outcome, SLP_AGENT_FOUND);
    ASSERT_EQ(own.reports.size(), log.reports.size());
    for (size_t i = 0; i < own.reports.size(); ++i) {
        EXPECT_EQ(own.reports[i].first, log.reports[i].first);
        EXPECT_EQ(own.reports[i].second.outcome, log.reports[i].second.outcome);
    }
}
