// esm-proxy-sim: a running ESM proxy as the synthesis service sees it, for tests and the demo.
// Answers ESMInit with ESMInitOk (its own address and a TTL) and ESMCommit with ESMCommitOk over
// the project's own transport, and prints one line per message it receives. With --register it
// registers itself with Directory Agents as a real proxy does, and deregisters when stopped.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Msg.h"
#include "agent_report.h"
#include "cli.h"
#include "http_serve.h"
#include "malloc_ptr.h"
#include "net_util.h"
#include "request_memory.h"

namespace {

enum class Mode { Normal, FailInit, WrongReply, FailCommit, Hang, CloseMidReply };

struct Config {
    uint32_t addrNet = 0;
    uint16_t port = 0;
    Mode mode = Mode::Normal;
    unsigned char ttl = 32;
    bool quiet = false;
    std::string agents;             // --register: the Directory Agents, "" for none
    uint32_t serveAddrNet = 0;      // --serve: the endpoint or zone served
    uint32_t serveMaskNet = ~0u;    // 255.255.255.255 for one endpoint
    unsigned short lifetime = 300;  // --lifetime, seconds
};

Config gConfig;  // set before any thread starts, then only read

void usage(FILE* out) {
    fprintf(out,
            "Usage: esm-proxy-sim ADDR PORT [OPTION]...\n"
            "A running ESM proxy for tests and the demo: listens on ADDR:PORT (a dotted quad and\n"
            "1..65535) and answers ESMInit with ESMInitOk (ADDR and the TTL) and ESMCommit with\n"
            "ESMCommitOk over the project's own transport. Runs until stopped.\n"
            "\n"
            "Options:\n"
            "  --ttl N             the TTL in every ESMInitOk, 0..255 (default 32)\n"
            "  --quiet             print no line per message (for load runs)\n"
            "  --fail-init         answer ESMInit with the error response\n"
            "  --wrong-reply       answer ESMInit with ESMCommitOk\n"
            "  --fail-commit       answer ESMCommit with the error response\n"
            "  --hang              read each request and never answer (the connection stays\n"
            "                      open until the peer closes it)\n"
            "  --close-mid-reply   send the head and the first half of each answer's body,\n"
            "                      then close\n"
            "  --register DA[,DA...]\n"
            "                      register with these Directory Agents (ADDR[:PORT], port 427\n"
            "                      unless given) as service:ESMProxy://ADDR:PORT for the\n"
            "                      endpoint or zone of --serve, again every half lifetime (every\n"
            "                      10 s at most while an agent has not taken it), and\n"
            "                      deregister on SIGTERM or SIGINT\n"
            "  --serve ADDR[/MASK]\n"
            "                      with --register: the client endpoint, or the zone (MASK a\n"
            "                      dotted quad or a prefix length), this proxy serves; registered\n"
            "                      as the attributes addr and mask the daemon looks up\n"
            "  --lifetime S        with --register: the registration's lifetime, 1..65535 s\n"
            "                      (default 300: a proxy that dies is forgotten within 5 min)\n"
            "  -h, --help          print this help and exit\n"
            "  --version           print the version and exit\n"
            "At most one of the five faults may be given.\n"
            "\n"
            "Output: once listening, \"esm-proxy-sim listening on ADDR:PORT\" on standard error;\n"
            "then one line per received message on standard output:\n"
            "  ESMInit id=I version=V data_port=P\n"
            "  ESMCommit id=I version=V group=G data_port=P ttl=T members=A:P,A:P,...\n"
            "  <Type> id=I version=V   (any other message; answered with the error response)\n"
            "With --register, on standard error, each time it registers and when it deregisters:\n"
            "  esm-proxy-sim: registered URL with DA (lifetime S s)\n"
            "  esm-proxy-sim: deregistered URL from DA\n"
            "  esm-proxy-sim: DA: REASON     (an agent that did not take it)\n"
            "\n"
            "Exit status: 0 after deregistering on SIGTERM or SIGINT; 1 when it cannot listen; 2\n"
            "for a bad command line.\n");
}

std::string describe(Msg& m) {
    std::string line = m.getType() + " id=" + std::to_string(m.getId()) +
                       " version=" + std::to_string(m.getVersion());
    if (auto* init = dynamic_cast<ESMInit*>(&m)) {
        line += " data_port=" + init->getPortStr();
    } else if (auto* commit = dynamic_cast<ESMCommit*>(&m)) {
        line += " group=" + commit->getAddrStr() +
                " data_port=" + std::to_string(commit->getPort()) + " ttl=" + commit->getTTLStr() +
                " members=";
        const char* sep = "";
        for (const TransportEndPoint& t : commit->getMemberVec()) {
            line += sep + t.getStr();
            sep = ",";
        }
    }
    return line;
}

// The reply to m under the configured fault, or null for the error response.
Msg* answer(Msg& m) {
    const std::string type = m.getType();
    if (type == Msg::ESMInit) {
        if (gConfig.mode == Mode::FailInit) return nullptr;
        if (gConfig.mode == Mode::WrongReply) return new ESMCommitOk(m.getId(), m.getVersion());
        return new ESMInitOk(m.getId(), m.getVersion(), gConfig.addrNet, gConfig.ttl);
    }
    if (type == Msg::ESMCommit) {
        if (gConfig.mode == Mode::FailCommit) return nullptr;
        return new ESMCommitOk(m.getId(), m.getVersion());
    }
    return nullptr;
}

// The 200 head announcing all of text, then only its first half: the peer sees the connection
// close in the middle of the body.
void sendTruncatedResponse(int sock, const char* text) {
    const size_t n = strlen(text);
    char head[128];
    const int len = snprintf(head, sizeof head,
                             "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n",
                             static_cast<int>(n));
    struct iovec iov[2] = {{head, static_cast<size_t>(len)}, {const_cast<char*>(text), n / 2}};
    writeAllv(sock, iov, 2);
}

// The handler of every request: prints the line, then answers as the configured fault says.
// Runs on the transport's worker threads; shares only the read-only configuration.
Msg* handle(Msg* m) {
    if (!gConfig.quiet) printf("%s\n", describe(*m).c_str());
    if (gConfig.mode == Mode::Hang) {
        // A hung proxy does not close either: hold the connection (and this worker) until the
        // peer gives up. The socket does not block: wait for it to close.
        char c;
        for (;;) {
            struct pollfd p = {m->sock, POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) break;
            const ssize_t n = recv(m->sock, &c, 1, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                break;
        }
        return nullptr;
    }
    std::unique_ptr<Msg> reply(answer(*m));
    if (reply && gConfig.mode == Mode::CloseMidReply) {
        MallocText text(reply->getChars());
        sendTruncatedResponse(m->sock, text.get());
        shutdown(m->sock, SHUT_RDWR);  // the transport's own answer then goes nowhere
        return nullptr;
    }
    return reply.release();
}

const char* const kProg = "esm-proxy-sim";

// Registers the proxy with every agent (deregisters when `reg` is false) and prints one line
// per agent. True when every agent took it.
bool tellAgents(SLPHandle handle, const std::string& url, bool reg) {
    const std::string attrs = "(addr=" + inet_NTOS(gConfig.serveAddrNet) +
                              "),(mask=" + inet_NTOS(gConfig.serveMaskNet) + ")";
    agentreport::Collector collector;
    SLPError err = SLP_OK;
    auto report = [](SLPHandle, SLPError e, void* cookie) { *static_cast<SLPError*>(cookie) = e; };
    const SLPError started = reg ? SLPReg(handle, url.c_str(), gConfig.lifetime, nullptr,
                                          attrs.c_str(), SLP_TRUE, report, &err)
                                 : SLPDereg(handle, url.c_str(), report, &err);
    if (started != SLP_OK) err = started;
    bool everyAgent = err == SLP_OK;
    const std::vector<agentreport::AgentResult> agents = collector.take();
    for (const agentreport::AgentResult& a : agents) {
        if (a.outcome != agentreport::Outcome::None) {
            everyAgent = false;
            fprintf(stderr, "%s: %s: %s\n", kProg, a.agent.c_str(),
                    agentreport::describe(a).c_str());
        } else if (reg) {
            fprintf(stderr, "%s: registered %s with %s (lifetime %u s)\n", kProg, url.c_str(),
                    a.agent.c_str(), gConfig.lifetime);
        } else {
            fprintf(stderr, "%s: deregistered %s from %s\n", kProg, url.c_str(), a.agent.c_str());
        }
    }
    if (agents.empty()) {  // a client library that does not tell what each agent did
        fprintf(stderr, "%s: %s %s: SLP error %d\n", kProg, reg ? "registered" : "deregistered",
                url.c_str(), static_cast<int>(err));
    }
    return everyAgent;
}

// SIGTERM and SIGINT, which end a registered proxy.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// The registration thread: registers, registers again before the lifetime ends, and on SIGTERM or
// SIGINT (blocked in every thread, taken here) deregisters and ends the process. Owns the SLP
// handle; reads only the configuration.
void keepRegistered() {
    SLPSetProperty("net.slp.useScopes", "default");  // the scope the daemon looks up
    SLPHandle handle = agentreport::openForAgents(kProg, gConfig.agents);
    const std::string url = "service:ESMProxy://" + addrPortText(gConfig.addrNet, gConfig.port);
    const sigset_t stop = stopSignals();
    const int half = gConfig.lifetime / 2 > 0 ? gConfig.lifetime / 2 : 1;
    for (;;) {
        const bool everyAgent = handle != nullptr && tellAgents(handle, url, true);
        // An agent that is down or refused is asked again soon, not a half lifetime later.
        const struct timespec wait = {everyAgent || half < 10 ? half : 10, 0};
        const int sig = sigtimedwait(&stop, nullptr, &wait);
        if (sig == SIGTERM || sig == SIGINT) break;
    }
    if (handle != nullptr) {
        tellAgents(handle, url, false);
        SLPClose(handle);
    }
    fflush(stdout);
    // Connection threads may still run: end without running destructors they could need.
    _exit(0);
}

// Reads the command line into gConfig. Returns -1 to go on, else the exit status (after the help,
// the version or the error line).
int parseArgs(int argc, char** argv) {
    enum { kTtl = 256, kQuiet, kRegister, kServe, kLifetime, kVersion };
    struct Fault {
        const char* name;
        Mode mode;
    };
    static const Fault kFaults[] = {{"fail-init", Mode::FailInit},
                                    {"wrong-reply", Mode::WrongReply},
                                    {"fail-commit", Mode::FailCommit},
                                    {"hang", Mode::Hang},
                                    {"close-mid-reply", Mode::CloseMidReply}};
    static const option kOptions[] = {{"fail-init", no_argument, nullptr, 'F'},
                                      {"wrong-reply", no_argument, nullptr, 'F'},
                                      {"fail-commit", no_argument, nullptr, 'F'},
                                      {"hang", no_argument, nullptr, 'F'},
                                      {"close-mid-reply", no_argument, nullptr, 'F'},
                                      {"ttl", required_argument, nullptr, kTtl},
                                      {"quiet", no_argument, nullptr, kQuiet},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"register", required_argument, nullptr, kRegister},
                                      {"serve", required_argument, nullptr, kServe},
                                      {"lifetime", required_argument, nullptr, kLifetime},
                                      {"version", no_argument, nullptr, kVersion},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;
    const char* fault = nullptr;
    bool serve = false;
    bool lifetime = false;
    int c;
    int index = -1;
    while ((c = getopt_long(argc, argv, ":h", kOptions, &index)) != -1) {
        long v = 0;
        switch (c) {
            case 'h':
                usage(stdout);
                return 0;
            case kVersion:
                cli::printVersion(kProg);
                return 0;
            case kQuiet:
                gConfig.quiet = true;
                break;
            case kRegister:
                gConfig.agents = optarg;
                if (!validHostPortList(gConfig.agents))
                    return cli::usageError(
                        kProg, std::string("--register ") + optarg + ": not ADDR[:PORT][,...]");
                break;
            case kServe: {
                const std::string text = optarg;
                const std::string zone = text.find('/') == std::string::npos ? text + "/32" : text;
                std::string bad;
                if (!cli::parseAddrMask(zone, &gConfig.serveAddrNet, &gConfig.serveMaskNet)) {
                    bad = "not ADDR or ADDR/MASK";
                } else {
                    bad = cli::zoneProblem(gConfig.serveAddrNet, gConfig.serveMaskNet);
                }
                if (!bad.empty()) return cli::usageError(kProg, "--serve " + text + ": " + bad);
                serve = true;
                break;
            }
            case kLifetime: {
                const std::string bad = cli::numberArg("--lifetime", optarg, 1, 65535, &v);
                if (!bad.empty()) return cli::usageError(kProg, bad);
                gConfig.lifetime = static_cast<unsigned short>(v);
                lifetime = true;
                break;
            }
            case kTtl: {
                const std::string bad = cli::numberArg("--ttl", optarg, 0, 255, &v);
                if (!bad.empty()) return cli::usageError(kProg, bad);
                gConfig.ttl = static_cast<unsigned char>(v);
                break;
            }
            case 'F': {
                const char* name = kOptions[index].name;
                if (fault != nullptr && strcmp(fault, name) != 0) {
                    return cli::usageError(kProg, std::string("--") + fault + " and --" + name +
                                                      " cannot be combined");
                }
                fault = name;
                for (const Fault& f : kFaults) {
                    if (strcmp(f.name, name) == 0) gConfig.mode = f.mode;
                }
                break;
            }
            default:
                return cli::usageError(kProg, cli::optionError(c, argv));
        }
        index = -1;
    }
    if (gConfig.agents.empty() && (serve || lifetime))
        return cli::usageError(
            kProg, std::string(serve ? "--serve" : "--lifetime") + " is only for --register");
    if (!gConfig.agents.empty() && !serve)
        return cli::usageError(kProg, "--register needs --serve ADDR[/MASK]");
    const int left = argc - optind;
    if (left < 2)
        return cli::usageError(kProg, left == 0 ? "missing ADDR and PORT" : "missing PORT");
    if (left > 2)
        return cli::usageError(kProg,
                               std::string("unexpected argument '") + argv[optind + 2] + "'");
    in_addr a{};
    if (inet_pton(AF_INET, argv[optind], &a) != 1)
        return cli::usageError(kProg,
                               std::string("ADDR ") + argv[optind] + ": not an IPv4 address");
    gConfig.addrNet = a.s_addr;
    long port = 0;
    const std::string bad = cli::numberArg("PORT", argv[optind + 1], 1, 65535, &port);
    if (!bad.empty()) return cli::usageError(kProg, bad);
    gConfig.port = static_cast<uint16_t>(port);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int status = parseArgs(argc, argv);
    if (status >= 0) return status;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    xmlInitParser();
    raiseDescriptorLimit();
    serve::keepRequestMemory();

    const char* failed = nullptr;
    Fd listener(listenTcp(gConfig.addrNet, gConfig.port, &failed));
    if (!listener.valid()) {
        perror(failed);
        return 1;
    }
    fprintf(stderr, "esm-proxy-sim listening on %s:%u\n", inet_NTOS(gConfig.addrNet).c_str(),
            gConfig.port);

    if (!gConfig.agents.empty()) {
        // Every thread started from here on inherits the mask: only the registration thread
        // takes the stopping signals.
        const sigset_t stop = stopSignals();
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
        std::thread(keepRegistered).detach();
    }
    // The project's own event loop and worker threads serve every request.
    serveListener(std::move(listener), handle);
    return 1;
}
