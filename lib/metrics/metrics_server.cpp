// The metrics listener: one thread that answers scrapes one at a time. Scrapes are rare and
// small; every connection is bounded by a deadline, so a silent peer holds it for 2 s at most.

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>

#include "metrics.h"
#include "net_util.h"

namespace metrics {

namespace {

constexpr size_t kMaxHead = 8192;
constexpr int kConnectionSec = 2;

struct ServerArgs {
    Fd listener;
    const Registry* registry;
};

void answer(int fd, const char* status, const std::string& type, const std::string& body,
            bool withBody) {
    std::string head = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                       "\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n\r\n";
    if (withBody) head += body;
    writeAll(fd, head.data(), head.size());
}

void serve(int fd, const Registry& registry) {
    const Deadline deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kConnectionSec);
    std::string head;
    char buf[2048];
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        if (head.size() >= kMaxHead) {
            answer(fd, "400 Bad Request", "text/plain", "bad request\n", true);
            return;
        }
        const ssize_t n = readSomeBy(fd, buf, sizeof buf, deadline);
        if (n <= 0) return;  // gone, or too slow: nothing to answer
        head.append(buf, static_cast<size_t>(n));
    }
    const size_t lineEnd = head.find_first_of("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0) {
        answer(fd, "400 Bad Request", "text/plain", "bad request\n", true);
        return;
    }
    const std::string method = line.substr(0, sp1);
    std::string path = line.substr(sp1 + 1, sp2 - sp1 - 1);
    path = path.substr(0, path.find('?'));
    if (path != "/metrics") {
        answer(fd, "404 Not Found", "text/plain", "not found: try /metrics\n", method != "HEAD");
    } else if (method != "GET" && method != "HEAD") {
        answer(fd, "405 Method Not Allowed", "text/plain", "use GET\n", true);
    } else {
        answer(fd, "200 OK", "text/plain; version=0.0.4; charset=utf-8", registry.render(),
               method == "GET");
    }
}

void* serverThread(void* arg) {
    // Owns the listener and its argument for the life of the process; reads the registry.
    std::unique_ptr<ServerArgs> args(static_cast<ServerArgs*>(arg));
    for (;;) {
        Fd conn(accept4(args->listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn.valid()) continue;  // a peer gone before accept, or out of descriptors
        setIoTimeouts(conn.get(), kConnectionSec);
        serve(conn.get(), *args->registry);
    }
    return nullptr;
}

}  // namespace

bool startMetricsServer(const std::string& addrPort, const Registry* registry, std::string* error) {
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
    auto* args = new ServerArgs{Fd(listenTcp(addrNet, port, &failed)), registry};
    if (!args->listener.valid()) {
        *error = addrPort + ": " + failed + ": " + strerror(errno);
        delete args;
        return false;
    }
    pthread_t tid;
    const int rc = pthread_create(&tid, nullptr, serverThread, args);
    if (rc != 0) {
        *error = addrPort + ": pthread_create: " + strerror(rc);
        delete args;
        return false;
    }
    pthread_detach(tid);
    return true;
}

}  // namespace metrics
