// slp-da: a small SLPv2 Directory Agent. main reads the options and the registrations file,
// binds the sockets and runs the Server's poll loop; the protocol logic lives in DirectoryAgent.

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli.h"
#include "net_util.h"
#include "slp_agent.h"
#include "slp_regfile.h"
#include "slp_server.h"
#include "slp_text.h"

namespace {

const char kProg[] = "slp-da";

const char kHelp[] =
    "Usage: slp-da [OPTION]...\n"
    "A small SLPv2 Directory Agent: serves SrvRqst (service:directory-agent is answered with a\n"
    "DAAdvert), SrvReg and SrvDeReg over UDP and TCP on one port. Other requests get\n"
    "MSG_NOT_SUPPORTED; malformed packets are dropped.\n"
    "\n"
    "Options:\n"
    "      --listen=ADDR[:PORT]   IPv4 address and port for UDP and TCP (default\n"
    "                             127.0.0.1:427); port 0 picks a free port, shown in the\n"
    "                             first line on standard error\n"
    "      --reg=FILE             static registrations in slp.reg format, loaded whole or not\n"
    "                             at all; SIGHUP reads the file again\n"
    "      --check                with --reg: check the file and exit; a valid file prints\n"
    "                             \"FILE: N registrations\" and exits 0, a bad one prints its\n"
    "                             fault and exits 1\n"
    "      --scopes=LIST          comma-separated scopes served (default \"default\"); empty\n"
    "                             items and reserved characters are refused\n"
    "      --allow-reg=CIDR[,CIDR...]\n"
    "                             senders allowed to register and deregister, each a.b.c.d/n\n"
    "                             or an address (default 127.0.0.0/8); others get\n"
    "                             AUTHENTICATION_ABSENT (6)\n"
    "      --max-message=BYTES    largest message read (default 8192, 256..1048576)\n"
    "      --max-filter-depth=N   deepest nesting of a predicate (default 8, 1..64)\n"
    "      --max-filter-leaves=N  most comparisons in a predicate (default 32, 1..4096)\n"
    "      --max-attrs=N          most attribute values and keywords of one registration\n"
    "                             (default 128, 1..65535)\n"
    "      --max-registrations=N  most registrations held, the file's included (default\n"
    "                             10000, 1..1000000)\n"
    "      --max-work=N           most work one lookup may do, counting 4 per registration\n"
    "                             tried and 1 per comparison and per 64 bytes compared\n"
    "                             (default 100000, a few milliseconds; 1000..100000000)\n"
    "      --max-connections=N    most TCP connections open (default 256, 1..16384); when\n"
    "                             all are open the longest-idle one (idle for 1 s at\n"
    "                             least), or else the one whose request stalled longest\n"
    "                             (1 s at least), is closed for a new one\n"
    "  -h, --help                 display this help and exit\n"
    "  -V, --version              output version information and exit\n"
    "\n"
    "A message over --max-message is dropped (over TCP its connection is closed); a predicate\n"
    "over the filter limits gets PARSE_ERROR (2); a registration over --max-attrs, or an\n"
    "update that would take one past --max-attrs or past --max-message bytes of attributes,\n"
    "gets INVALID_REGISTRATION (3), one beyond --max-registrations DA_BUSY_NOW (11), and so\n"
    "does a lookup that would need more than --max-work. A TCP request must arrive whole, and\n"
    "its reply be read, within 5 s of its first byte, else the connection is closed; a\n"
    "connection idle for 300 s is closed. A discovery request for directory agents from a\n"
    "loopback address gets the DAAdvert and then a copy with error INTERNAL_ERROR (10), which\n"
    "tells local clients that no more DAAdverts follow. A registration whose URL has a port\n"
    "outside 1..65535, or an ESMProxy URL without a port, gets INVALID_REGISTRATION (3), and\n"
    "a registrations file holding one is refused.\n"
    "\n"
    "Standard error gets one line when ready:\n"
    "  slp-da: listening on ADDR:PORT scopes=\"LIST\" registrations=N\n"
    "Then one line per message received:\n"
    "  slp-da: PROTO PEER SrvRqst type=\"T\" scope=\"S\" predicate=\"P\" urls=N error=E\n"
    "  slp-da: PROTO PEER SrvReg url=\"U\" type=\"T\" scope=\"S\" lifetime=L error=E\n"
    "  slp-da: PROTO PEER SrvDeReg url=\"U\" scope=\"S\" tags=\"G\" error=E\n"
    "  slp-da: PROTO PEER MESSAGE error=E            (other requests)\n"
    "  slp-da: PROTO PEER MESSAGE ignored            (replies sent to the agent)\n"
    "  slp-da: PROTO PEER malformed message of N bytes dropped\n"
    "  slp-da: PROTO PEER message of N bytes dropped: over the M-byte limit\n"
    "PROTO is udp or tcp, PEER the sender's ADDR:PORT, urls the number of URLs answered, E the\n"
    "SLP error code sent (0 = none). A line ends in \" no reply\" when nothing was sent, in\n"
    "\" (not allowed to register)\" for a sender outside --allow-reg, and in\n"
    "\" (over --max-attrs)\", \" (over --max-message)\", \" (over --max-registrations)\" or\n"
    "\" (over --max-work)\" for a request refused by a limit, and in \" (port N is not in\n"
    "1..65535)\" (or another reason the URL's port is unusable) for such a registration. In\n"
    "quoted texts '\"', control and non-ASCII bytes are written as \\HH.\n"
    "TCP connections add:\n"
    "  slp-da: tcp PEER message not complete within 5 s: connection closed\n"
    "  slp-da: tcp PEER reply not taken within 5 s: connection closed\n"
    "  slp-da: tcp PEER idle connection closed to make room\n"
    "  slp-da: tcp PEER stalled connection closed to make room\n"
    "SIGHUP adds one of:\n"
    "  slp-da: reloaded FILE registrations=N\n"
    "  slp-da: reload failed, keeping registrations=N: FILE:LINE: REASON\n"
    "  slp-da: SIGHUP ignored: no --reg file\n"
    "Registrations received over the network are kept across a reload.\n"
    "\n"
    "Exit status: 0 after SIGTERM or SIGINT, or a valid file with --check; 1 when the\n"
    "registrations file is invalid or unreadable or the sockets cannot be set up; 2 for a\n"
    "bad command line.\n";

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gReload = 0;

void onStop(int) {
    gStop = 1;
}
void onHangup(int) {
    gReload = 1;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Reads and parses the registrations file; on failure *why is "FILE:LINE: reason" or
// "FILE: system error".
bool loadRegFile(const std::string& path, const slpda::AgentConfig& cfg,
                 std::vector<slpda::Registration>* regs, std::string* why) {
    std::string text;
    if (!slpda::readRegFile(path, &text, why)) return false;
    slpda::RegFileLimits limits;
    limits.maxAttrs = cfg.limits.maxAttrs;
    limits.maxRegistrations = cfg.limits.maxRegistrations;
    slpda::RegFileError error;
    if (!slpda::parseRegFile(text, cfg.scopes, limits, regs, &error)) {
        *why = path + ":" + std::to_string(error.line) + ": " + error.reason;
        return false;
    }
    return true;
}

bool parseListen(const std::string& text, uint32_t* addrNet, uint16_t* portHost) {
    std::string host;
    bool hasPort = false;
    struct in_addr a;
    if (!splitHostPort(text, &host, portHost, &hasPort) ||
        inet_pton(AF_INET, host.c_str(), &a) != 1) {
        return false;
    }
    *addrNet = a.s_addr;
    return true;
}

struct sockaddr_in sockAddr(uint32_t addrNet, uint16_t portHost) {
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = htons(portHost);
    return sa;
}

// Binds TCP and UDP to the same address and port; with port 0, the first free port that both
// can have. Returns the port, or -1 after perror().
int bindBoth(uint32_t addrNet, uint16_t portHost, Fd* tcp, Fd* udp) {
    for (int attempt = 0; attempt < 32; ++attempt) {
        tcp->reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        udp->reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!tcp->valid() || !udp->valid()) {
            perror("socket");
            return -1;
        }
        int one = 1;
        setsockopt(tcp->get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in sa = sockAddr(addrNet, portHost);
        if (bind(tcp->get(), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0) {
            perror("bind");
            return -1;
        }
        socklen_t len = sizeof sa;
        getsockname(tcp->get(), reinterpret_cast<struct sockaddr*>(&sa), &len);
        if (bind(udp->get(), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) < 0) {
            if (portHost == 0 && errno == EADDRINUSE) continue;
            perror("bind");
            return -1;
        }
        if (listen(tcp->get(), SOMAXCONN) < 0) {
            perror("listen");
            return -1;
        }
        setsockopt(udp->get(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        return ntohs(sa.sin_port);
    }
    fprintf(stderr, "slp-da: no port free for both UDP and TCP\n");
    return -1;
}

// Makes room for maxConnections descriptors and a few more; false when the hard limit is lower.
bool fitDescriptorLimit(size_t maxConnections) {
    const rlim_t need = maxConnections + 32;
    struct rlimit rl = {};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= need) return true;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < need) return false;
    rl.rlim_cur = need;
    return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

enum Opt {
    kOptListen = 256,
    kOptReg,
    kOptCheck,
    kOptScopes,
    kOptAllowReg,
    kOptMaxMessage,
    kOptMaxDepth,
    kOptMaxLeaves,
    kOptMaxAttrs,
    kOptMaxRegs,
    kOptMaxWork,
    kOptMaxConns,
};

const struct option kOptions[] = {
    {"listen", required_argument, nullptr, kOptListen},
    {"reg", required_argument, nullptr, kOptReg},
    {"check", no_argument, nullptr, kOptCheck},
    {"scopes", required_argument, nullptr, kOptScopes},
    {"allow-reg", required_argument, nullptr, kOptAllowReg},
    {"max-message", required_argument, nullptr, kOptMaxMessage},
    {"max-filter-depth", required_argument, nullptr, kOptMaxDepth},
    {"max-filter-leaves", required_argument, nullptr, kOptMaxLeaves},
    {"max-attrs", required_argument, nullptr, kOptMaxAttrs},
    {"max-registrations", required_argument, nullptr, kOptMaxRegs},
    {"max-work", required_argument, nullptr, kOptMaxWork},
    {"max-connections", required_argument, nullptr, kOptMaxConns},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

struct Options {
    uint32_t addrNet = htonl(INADDR_LOOPBACK);
    uint16_t portHost = 427;
    std::string regPath;
    bool check = false;
    std::string scopeText = "default";
    slpda::AgentConfig agent;
    slpda::ServerConfig server;
};

// The options that take a number within [min, max], and where it goes.
struct NumberOption {
    int id;
    const char* name;
    long min, max;
    void (*set)(Options* o, long n);
};

const NumberOption kNumberOptions[] = {
    {kOptMaxMessage, "--max-message", 256, 1048576,
     [](Options* o, long n) { o->agent.limits.maxMessage = static_cast<size_t>(n); }},
    {kOptMaxDepth, "--max-filter-depth", 1, 64,
     [](Options* o, long n) { o->agent.limits.filter.maxDepth = static_cast<int>(n); }},
    {kOptMaxLeaves, "--max-filter-leaves", 1, 4096,
     [](Options* o, long n) { o->agent.limits.filter.maxLeaves = static_cast<int>(n); }},
    {kOptMaxAttrs, "--max-attrs", 1, 65535,
     [](Options* o, long n) { o->agent.limits.maxAttrs = static_cast<size_t>(n); }},
    {kOptMaxRegs, "--max-registrations", 1, 1000000,
     [](Options* o, long n) { o->agent.limits.maxRegistrations = static_cast<size_t>(n); }},
    {kOptMaxWork, "--max-work", 1000, 100000000,
     [](Options* o, long n) { o->agent.limits.maxWork = static_cast<size_t>(n); }},
    {kOptMaxConns, "--max-connections", 1, 16384,
     [](Options* o, long n) { o->server.maxConnections = static_cast<size_t>(n); }},
};

// Takes the option getopt_long returned as c; "" when it is good, else the error line.
std::string takeOption(int c, char** argv, Options* o) {
    std::string bad;
    switch (c) {
        case kOptListen:
            if (!parseListen(optarg, &o->addrNet, &o->portHost)) {
                return std::string("--listen ") + optarg + ": not ADDR[:PORT]";
            }
            return "";
        case kOptReg:
            o->regPath = optarg;
            return "";
        case kOptCheck:
            o->check = true;
            return "";
        case kOptScopes:
            if (!slpda::validScopeList(optarg, &bad)) {
                return std::string("--scopes ") + optarg + ": scope \"" + bad +
                       "\" is empty or holds a reserved character";
            }
            o->scopeText = optarg;
            return "";
        case kOptAllowReg:
            if (!slpda::parseCidrList(optarg, &o->agent.allowReg, &bad)) {
                return std::string("--allow-reg ") + optarg + ": \"" + bad +
                       "\" is not an address or a.b.c.d/n";
            }
            return "";
        default:
            break;
    }
    for (const NumberOption& n : kNumberOptions) {
        if (n.id != c) continue;
        long v = 0;
        bad = cli::numberArg(n.name, optarg, n.min, n.max, &v);
        if (bad.empty()) n.set(o, v);
        return bad;
    }
    return cli::optionError(c, argv);
}

// Returns -1 when the options are good, else the exit status.
int parseOptions(int argc, char** argv, Options* o) {
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hV", kOptions, nullptr)) != -1) {
        if (c == 'h') {
            fputs(kHelp, stdout);
            return 0;
        }
        if (c == 'V') {
            cli::printVersion(kProg);
            return 0;
        }
        const std::string bad = takeOption(c, argv, o);
        if (!bad.empty()) return cli::usageError(kProg, bad);
    }
    if (optind < argc) {
        return cli::usageError(kProg, std::string("unexpected argument '") + argv[optind] + "'");
    }
    if (o->check && o->regPath.empty()) return cli::usageError(kProg, "--check needs --reg FILE");
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int status = parseOptions(argc, argv, &o);
    if (status >= 0) return status;
    o.agent.scopes = slpda::splitList(o.scopeText);
    o.agent.bootTime = static_cast<uint32_t>(time(nullptr));

    std::vector<slpda::Registration> regs;
    std::string why;
    if (!o.regPath.empty() && !loadRegFile(o.regPath, o.agent, &regs, &why)) {
        fprintf(stderr, "slp-da: %s\n", why.c_str());
        return 1;
    }
    if (o.check) {
        printf("%s: %zu registrations\n", o.regPath.c_str(), regs.size());
        return 0;
    }
    slpda::DirectoryAgent agent(o.agent);
    agent.store().replaceFileEntries(std::move(regs), nowMs());

    if (!fitDescriptorLimit(o.server.maxConnections)) {
        fprintf(stderr, "slp-da: --max-connections %zu needs more descriptors than allowed\n",
                o.server.maxConnections);
        return 1;
    }
    Fd tcp;
    Fd udp;
    int port = bindBoth(o.addrNet, o.portHost, &tcp, &udp);
    if (port < 0) return 1;

    struct sigaction sa = {};
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = onHangup;
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    fprintf(stderr, "slp-da: listening on %s scopes=\"%s\" registrations=%zu\n",
            addrPortText(o.addrNet, static_cast<uint16_t>(port)).c_str(),
            slpda::logSafe(o.scopeText).c_str(), agent.store().size(nowMs()));
    slpda::Server server(&agent, o.addrNet, std::move(tcp), std::move(udp), o.server);
    auto reload = [&]() {
        if (o.regPath.empty()) {
            fprintf(stderr, "slp-da: SIGHUP ignored: no --reg file\n");
            return;
        }
        std::vector<slpda::Registration> fresh;
        std::string failure;
        if (!loadRegFile(o.regPath, o.agent, &fresh, &failure)) {
            fprintf(stderr, "slp-da: reload failed, keeping registrations=%zu: %s\n",
                    agent.store().size(nowMs()), failure.c_str());
            return;
        }
        agent.store().replaceFileEntries(std::move(fresh), nowMs());
        fprintf(stderr, "slp-da: reloaded %s registrations=%zu\n", o.regPath.c_str(),
                agent.store().size(nowMs()));
    };
    return server.run(&gStop, &gReload, reload) ? 0 : 1;
}
