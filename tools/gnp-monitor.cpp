// gnp-monitor: a stand-in for the coordinate monitor display. Listens on TCP port 5646 of one
// address and prints every notification ("<address> <colour>", one per connection) as a line.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "net_util.h"

namespace {

const uint16_t kMonitorPort = 5646;
const int kReadTimeoutSec = 5;  // a sender that stalls does not hold the monitor
const size_t kMaxMessage = 4096;

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
            "Exit status: 1 when it cannot listen; 2 for a bad command line.\n",
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
