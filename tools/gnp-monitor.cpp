// gnp-monitor: a stand-in for the coordinate monitor display. Listens on TCP port 5646 of one
// address and prints every notification ("<address> <colour>", one per connection) as a line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "net_util.h"

namespace {

const uint16_t kMonitorPort = 5646;
const int kReadTimeoutSec = 5;  // a sender that stalls does not hold the monitor
const size_t kMaxMessage = 4096;

void usage(FILE* out) {
    fprintf(out,
            "usage: gnp-monitor ADDR\n"
            "Listens on TCP port %u of the IPv4 address ADDR and prints each notification it\n"
            "receives (the whole content of one connection, e.g. \"128.2.1.7 2\") as one line on\n"
            "standard output. Runs until stopped.\n",
            kMonitorPort);
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

    for (;;) {
        Fd conn(accept(listener.get(), nullptr, nullptr));
        if (!conn.valid()) continue;
        setIoTimeouts(conn.get(), kReadTimeoutSec);
        std::string message;
        char buf[512];
        ssize_t n;
        while (message.size() < kMaxMessage && (n = readSome(conn.get(), buf, sizeof buf)) > 0) {
            message.append(buf, static_cast<size_t>(n));
        }
        printf("%s\n", message.c_str());
    }
}
