// gnp-monitor: a stand-in for the coordinate monitor display. Listens on TCP port 5646 of one
// address and prints every notification ("<address> <colour>", one per connection) as a line,
// with NUL, control and other non-printable bytes escaped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "net_util.h"

namespace {

const uint16_t kMonitorPort = 5646;
const int kReadTimeoutSec = 5;  // a sender that stalls does not hold the monitor
const size_t kMaxMessage = 4096;
// Connections served at once; more wait in the listen queue until one is done, which is within
// twice kReadTimeoutSec.
const int kMaxConnections = 32;

void usage(FILE* out) {
    fprintf(out,
            "usage: gnp-monitor ADDR\n"
            "Listens on TCP port %u of the IPv4 address ADDR and prints each notification it\n"
            "receives (the whole content of one connection, e.g. \"128.2.1.7 2\") as one line on\n"
            "standard output. Runs until stopped.\n",
            kMonitorPort);
}

// The notification as one printable line: bytes outside printable ASCII become \xNN and the
// backslash \\, so a NUL byte cannot cut the line short nor a control byte drive the terminal.
std::string escaped(const std::string& raw) {
    std::string out;
    for (unsigned char c : raw) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// One notification: what the sender writes until it closes, at most kMaxMessage bytes. Its first
// byte must come within kReadTimeoutSec, and the whole of it within kReadTimeoutSec of that
// first byte: however the sender spreads its bytes, a notification ends in bounded time.
std::string readNotification(int fd) {
    std::string message;
    Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kReadTimeoutSec);
    char buf[512];
    while (message.size() < kMaxMessage) {
        const size_t want =
            kMaxMessage - message.size() < sizeof buf ? kMaxMessage - message.size() : sizeof buf;
        ssize_t n = readSomeBy(fd, buf, want, deadline);
        if (n <= 0) break;
        if (message.empty()) {
            deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kReadTimeoutSec);
        }
        message.append(buf, static_cast<size_t>(n));
    }
    return message;
}

// Places for connections being served.
class Slots {
public:
    void take() {
        std::unique_lock<std::mutex> lock(mMutex);
        mFreed.wait(lock, [this] { return mBusy < kMaxConnections; });
        ++mBusy;
    }
    void give() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            --mBusy;
        }
        mFreed.notify_one();
    }

private:
    std::mutex mMutex;
    std::condition_variable mFreed;
    int mBusy = 0;  // guarded by mMutex
};

struct Connection {
    Fd fd;
    Slots* slots;
};

void serveConnection(Connection* c) {
    const std::string line = escaped(readNotification(c->fd.get()));
    printf("%s\n", line.c_str());  // one call: lines of concurrent connections never mix
    c->fd.reset();
    c->slots->give();
}

void* connectionThread(void* arg) {
    // Owns its connection; shares the slots (and standard output, locked per call by stdio).
    std::unique_ptr<Connection> c(static_cast<Connection*>(arg));
    serveConnection(c.get());
    return nullptr;
}

// Accepts and serves notifications for good, each on a thread of its own, at most
// kMaxConnections at once. A connection whose thread cannot be started is served here.
[[noreturn]] void serveNotifications(const Fd& listener) {
    Slots slots;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    for (;;) {
        slots.take();
        Fd conn(accept(listener.get(), nullptr, nullptr));
        if (!conn.valid()) {
            slots.give();
            continue;
        }
        auto* c = new Connection{std::move(conn), &slots};
        pthread_t tid;
        if (pthread_create(&tid, &attr, connectionThread, c) != 0) connectionThread(c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc != 2) {
        usage(stderr);
        return 2;
    }
    in_addr addr{};
    if (inet_aton(argv[1], &addr) == 0) {
        fprintf(stderr, "gnp-monitor: not an IPv4 address: %s\n", argv[1]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);

    const char* failed = nullptr;
    Fd listener(listenTcp(addr.s_addr, kMonitorPort, &failed));
    if (!listener.valid()) {
        perror(failed);
        return 1;
    }
    fprintf(stderr, "gnp-monitor listening on %s:%u\n", argv[1], kMonitorPort);

    serveNotifications(listener);
}
