// The daemon says why a request failed: for each fault, broken one at a time, the client (with
// its default time limit) gets the error response, the daemon's log has one outcome line naming
// the party and the reason, and the metrics count the request under that cause.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "overlay_fixture.h"
#include "slp_test_util.h"

using namespace overlay;

namespace {

const Net kNet{70};
const char kEndpoint[] = "128.2.1.7";

// What the daemon asks: slp-da holding the registrations of the row, a port where nothing
// listens, an agent that never answers, or one of the test's own that answers the given URL or
// error code.
enum class Agent { Real, Closed, Silent, Scripted };

struct Case {
    const char* breaks;
    Agent agent;
    const char* proxyFault;  // nullptr: no proxy registered; "down": registered, not running
    const char* coords;      // nullptr: no coordinates file
    const char* cause;
    std::string party;   // in the outcome line; {DA}, {PROXY} and {FILE} stand for themselves
    std::string metric;  // a second series the fault moves to 1
    std::string url = "";
    uint16_t daError = 0;
};

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

std::string metricsText(const std::string& addr, uint16_t port) {
    const int s = testutil::connectTo(addr.c_str(), port);
    if (s < 0) return "";
    std::string text;
    if (testutil::sendAll(s, "GET /metrics HTTP/1.0\r\n\r\n")) text = testutil::readAll(s);
    close(s);
    return text;
}

TEST(Outcome, EveryFailureNamesItsPartyAndCause) {
    const std::string proxy = kNet.at(6) + ":7020";
    const std::string none = "esm_synth_locate_total{kind=\"none\"} 1";
    const std::vector<Case> cases = {
        {"agent down", Agent::Closed, nullptr, nullptr, "da_refused",
         "no Directory Agent answered: Directory Agent {DA} refused (nothing listens there)", none},
        {"agent silent", Agent::Silent, nullptr, nullptr, "da_silent",
         "Directory Agent {DA} no answer (timed out after its retries)", none},
        {"agent answers an error", Agent::Scripted, nullptr, nullptr, "da_error",
         "Directory Agent {DA} answered error 4 (SCOPE_NOT_SUPPORTED)", none, "", 4},
        {"nothing registered, no coordinates file", Agent::Real, nullptr, nullptr, "coords_missing",
         "{FILE} cannot be opened: No such file or directory", none},
        {"coordinates file invalid", Agent::Real, nullptr, "10.0.0.1 1 2\n\n", "coords_invalid",
         "{FILE} is invalid at line 2", none},
        {"nothing registered, host not listed", Agent::Real, nullptr, "10.0.0.1 1 2\n", "not_found",
         "{FILE} does not list 128.2.1.7", none},
        {"registered URL with a bad port", Agent::Scripted, nullptr, nullptr, "bad_url",
         "service:ESMProxy://{PROXY}0 has port 70200, not in 1..65535", none,
         "service:ESMProxy://" + proxy + "0"},
        {"proxy refuses", Agent::Real, "--fail-init", nullptr, "proxy_refused",
         "proxy {PROXY} (endpoint 128.2.1.7): ESMInit: answered with the error response (HTTP "
         "400 Bad Request)",
         "esm_synth_proxy_exchanges_total{step=\"init\",outcome=\"refused\"} 1"},
        {"proxy down", Agent::Real, "down", nullptr, "proxy_refused",
         "proxy {PROXY} (endpoint 128.2.1.7): ESMInit: connection refused",
         "esm_synth_proxy_exchanges_total{step=\"init\",outcome=\"refused\"} 1"},
        {"proxy hangs", Agent::Real, "--hang", nullptr, "proxy_timeout",
         "proxy {PROXY} (endpoint 128.2.1.7): ESMInit: no answer within 10 s",
         "esm_synth_proxy_exchanges_total{step=\"init\",outcome=\"timeout\"} 1"},
        {"proxy answers wrongly", Agent::Real, "--wrong-reply", nullptr, "proxy_wrong_reply",
         "proxy {PROXY} (endpoint 128.2.1.7): ESMInit: answered ESMCommitOk instead of ESMInitOk",
         "esm_synth_proxy_exchanges_total{step=\"init\",outcome=\"wrong_reply\"} 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.breaks);
        ConfigDir config(c.coords != nullptr ? c.coords : "");
        const std::string file = config.path() + "/gnp.coords";
        if (c.coords == nullptr) unlink(file.c_str());
        std::unique_ptr<ProxySim> sim;
        if (c.proxyFault != nullptr && std::string(c.proxyFault) != "down")
            sim = std::make_unique<ProxySim>(kNet.at(6), 7020, c.proxyFault);
        std::unique_ptr<DirectoryAgent> real;
        std::unique_ptr<slptest::SilentAgent> silent;
        std::unique_ptr<slptest::FakeDa> scripted;
        std::string da = kNet.at(2) + ":" + std::to_string(testutil::freePort(kNet.at(2).c_str()));
        if (c.agent == Agent::Real) {
            const std::string regs = c.proxyFault == nullptr
                                         ? ""
                                         : reg("service:ESMProxy://" + proxy,
                                               {"addr=128.2.1.7", "mask=255.255.255.255"});
            real = std::make_unique<DirectoryAgent>(kNet.at(2), config.path(), regs);
            da = real->arg();
        } else if (c.agent == Agent::Silent) {
            silent = std::make_unique<slptest::SilentAgent>(kNet.at(2).c_str());
            da = silent->da();
        } else if (c.agent == Agent::Scripted) {
            std::vector<slpwire::UrlEntry> urls;
            if (!c.url.empty()) urls.push_back({65535, c.url});
            scripted = std::make_unique<slptest::FakeDa>(kNet.at(2).c_str(),
                                                         slptest::answer(urls, c.daError));
            da = kNet.at(2) + ":" + std::to_string(scripted->port());
        }
        const uint16_t metricsPort = testutil::freePort(kNet.at(1).c_str());
        Daemon d(da, {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR",
                      "ESM_METRICS_ADDR=" + kNet.at(1) + ":" + std::to_string(metricsPort)});

        testutil::Child client(ESM_SYNTH_PATH,
                               {"127.0.0.1:" + std::to_string(d.port()), "--endpoint", kEndpoint});
        const int status = client.wait(70000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << client.err();
        EXPECT_NE(client.err().find("refused the request (HTTP 400 Bad Request)"),
                  std::string::npos)
            << client.err();

        const std::vector<std::string> outcome = grep(d.err(), "request from 127.0.0.1:");
        ASSERT_EQ(outcome.size(), 1u) << d.err();
        EXPECT_EQ(outcome[0].rfind("request from 127.0.0.1:", 0), 0u) << outcome[0];
        EXPECT_NE(outcome[0].find(" 1 endpoint, 0 zones, failed in "), std::string::npos);
        EXPECT_NE(outcome[0].find(std::string(" s: ") + c.cause + ": "), std::string::npos)
            << outcome[0];
        const std::string party =
            replaced(replaced(replaced(c.party, "{DA}", da), "{PROXY}", proxy), "{FILE}", file);
        EXPECT_NE(outcome[0].find(party), std::string::npos) << outcome[0] << "\n" << party;

        const std::string metrics = metricsText(kNet.at(1), metricsPort);
        EXPECT_NE(metrics.find(std::string("esm_synth_request_failures_total{cause=\"") + c.cause +
                               "\"} 1\n"),
                  std::string::npos)
            << metrics;
        EXPECT_NE(metrics.find(c.metric + "\n"), std::string::npos) << c.metric;
    }
}

}  // namespace
