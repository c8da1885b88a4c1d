// gnp-monitor: a stand-in for the coordinate monitor display. Listens on TCP port 5646 of one
// address and prints every notification ("<address> <colour>", one per connection) as a line,
// with NUL, control and other non-printable bytes escaped.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "net_util.h"

namespace {

const uint16_t kMonitorPort = 5646;
const int kReadTimeoutSec = 5;  // a sender that stalls does not hold the monitor
const size_t kMaxMessage = 4096;
// Connections served at once; more wait in the listen queue until one is done, which is within
// twice kReadTimeoutSec.
const size_t kMaxConnections = 64;

const char* const kProg = "gnp-monitor";

void usage(FILE* out) {
    fprintf(out,
            "Usage: gnp-monitor ADDR\n"
            "A stand-in for the coordinate monitor display: listens on TCP port %u of the IPv4\n"
            "address ADDR (a dotted quad) and prints each notification it receives (the whole\n"
            "content of one connection, e.g. \"128.2.1.7 2\") as one line on standard output.\n"
            "Runs until stopped.\n"
            "\n"
            "Options:\n"
            "  -h, --help     print this help and exit\n"
            "  --version      print the version and exit\n"
            "\n"
            "Output: once listening, \"gnp-monitor listening on ADDR:%u\" on standard error.\n"
            "\n"
            "Exit status: 1 when it cannot listen, or cannot wait for its connections (a poll\n"
            "error other than an interruption or a lack of memory, after \"poll: REASON\");\n"
            "2 for a bad command line.\n",
            kMonitorPort, kMonitorPort);
}

// Reads the command line into *addr. Returns -1 to go on, else the exit status (after the help,
// the version or the error line).
int parseArgs(int argc, char** argv, in_addr* addr) {
    enum { kVersion = 256 };
    static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, kVersion},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        if (c == 'h') {
            usage(stdout);
            return 0;
        }
        if (c == kVersion) {
            cli::printVersion(kProg);
            return 0;
        }
        return cli::usageError(kProg, cli::optionError(c, argv));
    }
    if (optind == argc) return cli::usageError(kProg, "missing ADDR");
    if (argc - optind > 1)
        return cli::usageError(kProg,
                               std::string("unexpected argument '") + argv[optind + 1] + "'");
    if (inet_pton(AF_INET, argv[optind], addr) != 1)
        return cli::usageError(kProg,
                               std::string("ADDR ") + argv[optind] + ": not an IPv4 address");
    return -1;
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

// A connection being served: one notification, what the sender writes until it closes, at most
// kMaxMessage bytes. Its first byte must come within kReadTimeoutSec of the accept, and the whole
// of it within kReadTimeoutSec of that first byte: however the sender spreads its bytes, a
// notification ends in bounded time.
struct Notification {
    Fd fd;
    std::string text;
    Deadline deadline;
};

// Reads what has arrived on n without waiting; true when the notification is over (the sender
// closed, the connection failed, or it is as long as a notification may be).
bool readArrived(Notification& n) {
    char buf[512];
    while (n.text.size() < kMaxMessage) {
        const size_t want = std::min(sizeof buf, kMaxMessage - n.text.size());
        ssize_t got = recv(n.fd.get(), buf, want, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        if (got <= 0) return true;
        if (n.text.empty()) {
            n.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kReadTimeoutSec);
        }
        n.text.append(buf, static_cast<size_t>(got));
    }
    return true;
}

void print(const Notification& n) {
    printf("%s\n", escaped(n.text).c_str());
}

// Accepts and serves notifications for good, up to kMaxConnections at once on this one thread
// (more wait in the listen queue), so a slow sender holds up no other. Connections are read
// before new ones are accepted, in the order they came: a sender's notification, which ends
// before it opens its next connection, is printed before that next one. Returns only when poll
// fails for good, after perror().
void serveNotifications(const Fd& listener) {
    std::vector<Notification> open;
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        Deadline first = Deadline::max();
        for (const Notification& n : open) {
            fds.push_back({n.fd.get(), POLLIN, 0});
            first = std::min(first, n.deadline);
        }
        const bool room = open.size() < kMaxConnections;
        if (room) fds.push_back({listener.get(), POLLIN, 0});
        int timeoutMs = -1;
        if (first != Deadline::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                first - std::chrono::steady_clock::now());
            timeoutMs = static_cast<int>(std::max<long long>(0, left.count()));
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0) {
            // An interruption goes on at once and a lack of memory after a pause; any other
            // error would come back on every call.
            if (errno == ENOMEM) {
                usleep(100000);
                continue;
            }
            if (errno != EINTR) {
                perror("poll");
                return;
            }
        }

        const Deadline now = std::chrono::steady_clock::now();
        std::vector<Notification> still;
        for (size_t i = 0; i < open.size(); ++i) {
            const bool over =
                (fds[i].revents != 0 && readArrived(open[i])) || now >= open[i].deadline;
            if (over) {
                print(open[i]);
            } else {
                still.push_back(std::move(open[i]));
            }
        }
        open.swap(still);
        if (room && (fds.back().revents & POLLIN) != 0) {
            Fd conn(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (conn.valid()) {
                open.push_back(Notification{
                    std::move(conn), std::string(),
                    std::chrono::steady_clock::now() + std::chrono::seconds(kReadTimeoutSec)});
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    in_addr addr{};
    const int status = parseArgs(argc, argv, &addr);
    if (status >= 0) return status;
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
    return 1;
}
