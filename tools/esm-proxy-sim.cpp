// esm-proxy-sim: a running ESM proxy as the synthesis service sees it, for tests and the demo.
// Answers ESMInit with ESMInitOk (its own address and a TTL) and ESMCommit with ESMCommitOk over
// the project's own transport, and prints one line per message it receives.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Msg.h"
#include "http_serve.h"
#include "malloc_ptr.h"
#include "net_util.h"

namespace {

enum class Mode { Normal, FailInit, WrongReply, FailCommit, Hang, CloseMidReply };

struct Config {
    uint32_t addrNet = 0;
    uint16_t port = 0;
    Mode mode = Mode::Normal;
    unsigned char ttl = 32;
    bool quiet = false;
};

Config gConfig;  // set before any thread starts, then only read

void usage(FILE* out) {
    fprintf(
        out,
        "usage: esm-proxy-sim ADDR PORT [--fail-init | --wrong-reply | --fail-commit | --hang |\n"
        "                     --close-mid-reply] [--ttl N] [--quiet]\n"
        "Listens on ADDR:PORT and answers ESMInit with ESMInitOk (ADDR and the TTL, default 32)\n"
        "and ESMCommit with ESMCommitOk. One line per received message on standard output:\n"
        "  ESMInit id=I version=V data_port=P\n"
        "  ESMCommit id=I version=V group=G data_port=P ttl=T members=A:P,A:P,...\n"
        "  <Type> id=I version=V   (any other message; answered with the error response)\n"
        "Faults: --fail-init answers ESMInit with the error response, --wrong-reply answers\n"
        "ESMInit with ESMCommitOk, --fail-commit answers ESMCommit with the error response,\n"
        "--hang reads each request and never answers (the connection stays open until the\n"
        "peer closes it), --close-mid-reply sends the head and the first half of each\n"
        "answer's body and then closes. --quiet prints no line per message (for load runs).\n"
        "Runs until stopped.\n");
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
// Runs on the transport's connection threads; shares only the read-only configuration.
Msg* handle(Msg* m) {
    if (!gConfig.quiet) printf("%s\n", describe(*m).c_str());
    if (gConfig.mode == Mode::Hang) {
        // A hung proxy does not close either: hold the connection until the peer gives up.
        char c;
        for (;;) {
            ssize_t n = readSome(m->sock, &c, 1);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
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

bool parseArgs(int argc, char** argv) {
    if (argc < 3) return false;
    in_addr a{};
    if (inet_aton(argv[1], &a) == 0) return false;
    gConfig.addrNet = a.s_addr;
    char* end = nullptr;
    long port = strtol(argv[2], &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535) return false;
    gConfig.port = static_cast<uint16_t>(port);
    for (int i = 3; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--fail-init")
            gConfig.mode = Mode::FailInit;
        else if (opt == "--wrong-reply")
            gConfig.mode = Mode::WrongReply;
        else if (opt == "--fail-commit")
            gConfig.mode = Mode::FailCommit;
        else if (opt == "--hang")
            gConfig.mode = Mode::Hang;
        else if (opt == "--close-mid-reply")
            gConfig.mode = Mode::CloseMidReply;
        else if (opt == "--quiet")
            gConfig.quiet = true;
        else if (opt == "--ttl" && i + 1 < argc)
            gConfig.ttl = static_cast<unsigned char>(atoi(argv[++i]));
        else
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        }
    }
    if (!parseArgs(argc, argv)) {
        usage(stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    xmlInitParser();

    const char* failed = nullptr;
    Fd listener(listenTcp(gConfig.addrNet, gConfig.port, &failed));
    if (!listener.valid()) {
        perror(failed);
        return 1;
    }
    fprintf(stderr, "esm-proxy-sim listening on %s:%u\n", argv[1], gConfig.port);

    // The project's own accept loop and connection threads serve every request.
    serveListener(std::move(listener), handle);
    return 1;
}
