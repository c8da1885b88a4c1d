// The metrics listener, on the serving core: its event loop reads request heads, a small pool
// renders the scrapes, so idle connections cost no thread and scrapes are answered side by side.

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>

#include "detached_thread.h"
#include "event_server.h"
#include "metrics.h"
#include "net_util.h"

namespace metrics {

namespace {

constexpr size_t kMaxHead = 8192;
// A connection must bring its whole request head within this.
constexpr int kConnectionSec = 2;
constexpr int kScrapeWorkers = 4;

class ScrapeExchange : public serve::Exchange {
public:
    ScrapeExchange(const Registry* registry, const std::function<bool()>* healthy)
        : mRegistry(registry), mHealthy(healthy) {}

    size_t readLimit() const override { return kMaxHead - mHead.size() + 1; }
    Next received(const char* data, size_t n) override {
        mHead.append(data, n);
        if (mHead.find("\r\n\r\n") != std::string::npos ||
            mHead.find("\n\n") != std::string::npos) {
            return Next::Handle;
        }
        if (mHead.size() < kMaxHead) return Next::Read;
        answer("400 Bad Request", "text/plain", "bad request\n", true);
        return Next::Reply;
    }
    // Gone, or too slow: nothing to answer.
    Next ended(bool) override { return Next::Close; }
    Next retryBudget(bool) override { return Next::Close; }
    void handle(const serve::Peer&, int) override { route(); }
    const serve::Response& response() const override { return mResponse; }
    void written(size_t, bool) override {}

private:
    void answer(const char* status, const std::string& type, std::string body, bool withBody) {
        mBody = std::move(body);
        mResponse.head = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                         "\r\nContent-Length: " + std::to_string(mBody.size()) +
                         "\r\nConnection: close\r\n\r\n";
        mResponse.body = withBody ? mBody.data() : nullptr;
        mResponse.bodyLen = withBody ? mBody.size() : 0;
    }

    void route() {
        const size_t lineEnd = mHead.find_first_of("\r\n");
        const std::string line = mHead.substr(0, lineEnd);
        const size_t sp1 = line.find(' ');
        const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
        if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) {
            answer("400 Bad Request", "text/plain", "bad request\n", true);
            return;
        }
        const std::string method = line.substr(0, sp1);
        std::string path = line.substr(sp1 + 1, sp2 - sp1 - 1);
        path = path.substr(0, path.find('?'));
        const bool get = method == "GET";
        if (path != "/metrics" && path != "/healthz") {
            answer("404 Not Found", "text/plain", "not found: try /metrics or /healthz\n",
                   method != "HEAD");
        } else if (!get && method != "HEAD") {
            answer("405 Method Not Allowed", "text/plain", "use GET\n", true);
        } else if (path == "/healthz") {
            const bool ok = !*mHealthy || (*mHealthy)();
            answer(ok ? "200 OK" : "503 Service Unavailable", "text/plain",
                   ok ? "ok\n" : "unavailable\n", get);
        } else {
            answer("200 OK", "text/plain; version=0.0.4; charset=utf-8", mRegistry->render(), get);
        }
    }

    const Registry* const mRegistry;
    const std::function<bool()>* const mHealthy;
    std::string mHead;
    std::string mBody;
    serve::Response mResponse;
};

}  // namespace

bool startMetricsServer(const std::string& addrPort, const Registry* registry, std::string* error,
                        std::function<bool()> healthy) {
    std::string host;
    uint16_t port = 0;
    bool hasPort = false;
    uint32_t addrNet = 0;
    int err = 0;
    if (!splitHostPort(addrPort, &host, &port, &hasPort) || !hasPort) {
        *error = addrPort + ": not ADDR:PORT";
        return false;
    }
    if (!resolveIPv4(host, &addrNet, &err)) {
        *error = addrPort + ": " + strerror(err);
        return false;
    }
    const char* failed = nullptr;
    Fd listener(listenTcp(addrNet, port, &failed));
    if (!listener.valid()) {
        *error = addrPort + ": " + failed + ": " + strerror(errno);
        return false;
    }
    // Shared by the exchanges, which read it for the life of the process.
    auto health = std::make_shared<const std::function<bool()>>(std::move(healthy));
    serve::Options options;
    options.newExchange = [registry, health](const serve::Peer&) {
        return std::make_unique<ScrapeExchange>(registry, health.get());
    };
    options.requestTimeout = std::chrono::seconds(kConnectionSec);
    options.writeStallTimeout = std::chrono::seconds(kConnectionSec);
    options.maxWorkers = kScrapeWorkers;
    auto server = std::make_shared<serve::Server>(std::move(listener), std::move(options));
    // The thread runs the server for the life of the process.
    const int rc = startDetachedThread([server] { server->run(); });
    if (rc != 0) {
        *error = addrPort + ": pthread_create: " + strerror(rc);
        return false;
    }
    return true;
}

}  // namespace metrics
