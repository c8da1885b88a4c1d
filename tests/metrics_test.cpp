// The metrics registry's text format and its listener, over real loopback sockets.

#include "metrics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net_util.h"
#include "test_util.h"

namespace {

TEST(Metrics, RenderGivesTheTextFormat) {
    metrics::Registry r;
    r.counter("esm_x_total", "Things.\nMore", {{"da", "127.0.0.1:427"}, {"outcome", "found"}})
        .inc(3);
    r.counter("esm_x_total", "ignored", {{"da", "a\"b\\c\nd"}, {"outcome", "none"}}).inc();
    metrics::Histogram& h = r.histogram("esm_y_seconds", "Time.", {0.005, 0.5, 2});
    for (double v : {0.001, 0.005, 0.3, 7.0}) h.observe(v);
    r.gauge("esm_z", "Level.", [] {
        return std::vector<metrics::Sample>{{{{"state", "busy"}}, 2}, {{{"state", "idle"}}, 0.25}};
    });
    EXPECT_EQ(r.render(),
              "# HELP esm_x_total Things.\\nMore\n"
              "# TYPE esm_x_total counter\n"
              "esm_x_total{da=\"127.0.0.1:427\",outcome=\"found\"} 3\n"
              "esm_x_total{da=\"a\\\"b\\\\c\\nd\",outcome=\"none\"} 1\n"
              "# HELP esm_y_seconds Time.\n"
              "# TYPE esm_y_seconds histogram\n"
              "esm_y_seconds_bucket{le=\"0.005\"} 2\n"
              "esm_y_seconds_bucket{le=\"0.5\"} 3\n"
              "esm_y_seconds_bucket{le=\"2\"} 3\n"
              "esm_y_seconds_bucket{le=\"+Inf\"} 4\n"
              "esm_y_seconds_sum 7.306\n"
              "esm_y_seconds_count 4\n"
              "# HELP esm_z Level.\n"
              "# TYPE esm_z gauge\n"
              "esm_z{state=\"busy\"} 2\n"
              "esm_z{state=\"idle\"} 0.25\n");
}

TEST(Metrics, CountsFromManyThreadsAreAllKept) {
    metrics::Registry r;
    metrics::Counter& c = r.counter("c_total", "c");
    metrics::Histogram& h = r.histogram("h", "h", {1});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                c.inc();
                h.observe(2);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(c.value(), 40000u);
    EXPECT_EQ(h.count(), 40000u);
    EXPECT_EQ(h.sum(), 80000.0);
    EXPECT_EQ(&r.counter("c_total", "c"), &c);  // the same series, not a new one
}

TEST(Metrics, EachRenderIsOneSnapshotOfAHistogram) {
    metrics::Registry r;
    metrics::Histogram& h = r.histogram("h", "h", {1});
    std::atomic<int> running{4};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200000; ++i) h.observe(0.5);
            --running;
        });
    }
    auto value = [](const std::string& text, const std::string& series) {
        const size_t at = text.find("\n" + series + " ");
        return at == std::string::npos ? -1.0 : atof(text.c_str() + at + series.size() + 2);
    };
    int renders = 0, torn = 0;
    while (running > 0) {
        const std::string text = r.render();
        const double le1 = value(text, "h_bucket{le=\"1\"}"),
                     inf = value(text, "h_bucket{le=\"+Inf\"}");
        const double count = value(text, "h_count"), sum = value(text, "h_sum");
        ++renders;
        if (le1 > inf || inf != count || sum != 0.5 * count) ++torn;
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(torn, 0) << "of " << renders << " renders";
    EXPECT_EQ(h.count(), 800000u);
}

TEST(Metrics, ListenerAnswersScrapesAndRefusesTheRest) {
    static metrics::Registry r;  // the listener thread reads it for the life of the process
    r.counter("esm_scrapes_total", "Scrapes.").inc(5);
    const uint16_t port = testutil::freePort();
    std::string error;
    ASSERT_TRUE(metrics::startMetricsServer("127.0.0.61:" + std::to_string(port), &r, &error))
        << error;
    ASSERT_TRUE(testutil::waitListening("127.0.0.61", port));
    const std::string body = r.render();
    struct Case {
        std::string request;
        std::string wantStart;
        bool wantBody;
    };
    const std::vector<Case> cases = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\n", true},
        {"GET /metrics?x=1 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n", true},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n", false},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n", false},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405", false},
        {"garbage\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", false},
        {std::string(9000, 'a'), "HTTP/1.1 400 Bad Request\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 40));
        int s = testutil::connectTo("127.0.0.61", port);
        ASSERT_GE(s, 0);
        ASSERT_TRUE(testutil::sendAll(s, c.request));
        const std::string got = testutil::readAll(s, 3000);
        close(s);
        EXPECT_EQ(got.compare(0, c.wantStart.size(), c.wantStart), 0) << got;
        const size_t headEnd = got.find("\r\n\r\n");
        ASSERT_NE(headEnd, std::string::npos);
        if (c.wantBody) {
            EXPECT_NE(got.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
            EXPECT_EQ(got.substr(headEnd + 4), body);
        }
    }
    EXPECT_FALSE(metrics::startMetricsServer("127.0.0.61", &r, &error));
    EXPECT_EQ(error, "127.0.0.61: not ADDR:PORT");
}

// Found by a hostile client: the listener served one connection at a time, 2 s each, so a few
// hundred idle connections kept every scrape out for minutes.
TEST(Metrics, IdleConnectionsDoNotHoldScrapesBack) {
    static metrics::Registry r;  // the listener reads it for the life of the process
    const uint16_t port = testutil::freePort();
    std::string error;
    ASSERT_TRUE(metrics::startMetricsServer("127.0.0.62:" + std::to_string(port), &r, &error))
        << error;
    ASSERT_TRUE(testutil::waitListening("127.0.0.62", port));
    std::vector<Fd> idle;
    for (int i = 0; i < 300; ++i) idle.emplace_back(testutil::connectTo("127.0.0.62", port));
    for (const char* path : {"/metrics", "/healthz"}) {
        Fd s(testutil::connectTo("127.0.0.62", port));
        ASSERT_TRUE(testutil::sendAll(s.get(), std::string("GET ") + path + " HTTP/1.0\r\n\r\n"));
        const std::string got = testutil::readAll(s.get(), 1000);
        EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << path << ": " << got;
    }
}

TEST(Metrics, ProcessFiguresAreReadFromProc) {
    EXPECT_GT(metrics::residentMemoryBytes(), 1e5);
    const double start = metrics::processStartTimeSeconds();
    EXPECT_GT(start, 1.6e9);
    EXPECT_LE(start, static_cast<double>(time(nullptr)) + 1);
}

}  // namespace
