// The daemon's metrics, scraped with the Prometheus client's own parser after a known sequence
// of requests.

#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <sstream>

#include "Msg.h"
#include "esm_version.h"
#include "msg_test_util.h"
#include "net_util.h"
#include "overlay_fixture.h"

using namespace overlay;
using msgtest::A;
using msgtest::chars;

namespace {

std::string at(int host) {
    return "127.0.60." + std::to_string(host);
}

std::string synthReq(const char* endpoint) {
    std::vector<EndPoint> epv{EndPoint(A(endpoint))};
    std::vector<EndZone> none;
    return chars(SynthESMReq(7, 8, epv, none));
}

std::string proxyReg(const ProxySim& sim, const std::string& addr) {
    return reg(sim.url(), {"addr=" + addr, "mask=255.255.255.255"});
}

// Every sample of the scrape, one "name{labels} value" line each.
std::set<std::string> scrape(const std::string& url, std::string* err) {
    testutil::Child python("/usr/bin/python3", {SCRAPE_PY, url});
    const int status = python.wait(20000);
    *err = python.err();
    std::set<std::string> lines;
    if (status != 0) return lines;
    std::istringstream in(python.out());
    for (std::string l; std::getline(in, l);) lines.insert(l);
    return lines;
}

TEST(ServiceMetrics, CountWhatTheDaemonDid) {
    ProxySim good(at(5), 7020);
    ProxySim failing(at(6), 7020, "--fail-init");
    ConfigDir config("");
    DirectoryAgent da(at(2), config.path(),
                      proxyReg(good, "128.2.1.7") + proxyReg(failing, "128.2.1.8"));
    const uint16_t metricsPort = testutil::freePort();
    const std::string metricsAddr = at(1) + ":" + std::to_string(metricsPort);
    Daemon d(da.arg(), {"VARNO_PATH=" + config.path(), "VARNO_GNPMONITOR",
                        "ESM_METRICS_ADDR=" + metricsAddr, "ESM_MEMORY_BUDGET=64MiB"});
    ASSERT_TRUE(testutil::waitListening(at(1).c_str(), metricsPort));

    EXPECT_EQ(post(d.port(), synthReq("128.2.1.7")).compare(0, 15, "HTTP/1.1 200 OK"), 0);
    EXPECT_EQ(post(d.port(), synthReq("128.2.1.8")), kErrorResponse);       // the proxy fails
    EXPECT_EQ(post(d.port(), chars(ESMInit(1, 2, 7000))), kErrorResponse);  // not a SynthESMReq
    EXPECT_EQ(post(d.port(), "<not xml"), kErrorResponse);                  // refused unread
    // Refusals have outcome lines too, also those the transport makes before the handler.
    EXPECT_TRUE(testutil::waitFor([&] { return grep(d.err(), "request from").size() == 4; }));
    EXPECT_EQ(grep(d.err(), ": wrong_type: not a SynthESMReq but ESMInit").size(), 1u);
    EXPECT_EQ(grep(d.err(), ": refused: transport: body not XML").size(), 1u) << d.err();

    std::string err;
    const std::set<std::string> got = scrape("http://" + metricsAddr + "/metrics", &err);
    ASSERT_FALSE(got.empty()) << err;
    const std::string da2 = "da=\"" + da.arg() + "\"";
    for (const std::string& want : {
             std::string("esm_synth_requests_total{outcome=\"answered\"} 1"),
             std::string("esm_synth_requests_total{outcome=\"failed\"} 1"),
             std::string("esm_synth_requests_total{outcome=\"refused\"} 2"),
             std::string("esm_synth_request_seconds_count 4"),
             "esm_synth_slp_lookups_total{" + da2 + ",outcome=\"found\"} 2",
             std::string("esm_synth_proxy_exchanges_total{outcome=\"ok\",step=\"init\"} 1"),
             std::string("esm_synth_proxy_exchanges_total{outcome=\"refused\",step=\"init\"} 1"),
             std::string("esm_synth_proxy_exchanges_total{outcome=\"ok\",step=\"commit\"} 1"),
             std::string("esm_synth_proxy_exchanges_total{outcome=\"error\",step=\"commit\"} 0"),
             std::string("esm_synth_locate_total{kind=\"running\"} 2"),
             std::string("esm_synth_request_failures_total{cause=\"proxy_refused\"} 1"),
             std::string("esm_synth_build_info{version=\"") + ESM_VERSION + "\"} 1",
             std::string("esm_synth_node_launches_total 0"),
             std::string("esm_synth_connections{state=\"busy\"} 0"),
             std::string("esm_synth_memory_budget_bytes{kind=\"limit\"} 67108864"),
             std::string("esm_synth_memory_budget_bytes{kind=\"used\"} 0"),
         }) {
        EXPECT_EQ(got.count(want), 1u) << want;
    }
    bool rss = false, started = false;
    for (const std::string& l : got) {
        const double v = strtod(l.c_str() + l.rfind(' ') + 1, nullptr);
        if (l.rfind("process_resident_memory_bytes ", 0) == 0) rss = v > 1e6;
        if (l.rfind("process_start_time_seconds ", 0) == 0) {
            started = v > static_cast<double>(time(nullptr)) - 120 && v <= time(nullptr) + 1;
        }
    }
    EXPECT_TRUE(rss);
    EXPECT_TRUE(started);
}

TEST(ServiceMetrics, AnAddressItCannotListenOnEndsTheDaemon) {
    const uint16_t port = testutil::freePort();
    const char* failed = nullptr;
    Fd taken(listenTcp(testutil::addrOf("127.0.60.1"), port, &failed));
    ASSERT_TRUE(taken.valid());
    const std::string addr = "127.0.60.1:" + std::to_string(port);
    testutil::Child c(ESM_SYNTHD_PATH, {"0", "127.0.0.1"}, {"ESM_METRICS_ADDR=" + addr});
    const int status = c.wait(5000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(testutil::grep(c.err(), "esm-synthd: ESM_METRICS_ADDR " + addr + ": bind: "),
              std::vector<std::string>{"esm-synthd: ESM_METRICS_ADDR " + addr +
                                       ": bind: Address already in use"});
    EXPECT_EQ(c.out(), "");
}

}  // namespace
