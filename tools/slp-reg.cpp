// slp-reg: registers one service URL with SLPv2 Directory Agents, or removes its registration, as
// a service does, and tells what each agent did.
#include <getopt.h>
#include <slp.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent_report.h"
#include "cli.h"
#include "net_util.h"

namespace {

const char* const kProg = "slp-reg";

enum Exit { kDone = 0, kRefused = 1, kNoAgent = 3 };

void usage() {
    printf(
        "Usage: slp-reg [OPTION]... register|deregister URL\n"
        "Registers the service URL with SLPv2 Directory Agents, or removes its registration,\n"
        "as a service does: the SrvReg or SrvDeReg goes to every agent listed.\n"
        "\n"
        "Options:\n"
        "  --da ADDR[:PORT][,...]  the Directory Agents, dotted quads or host names, port 427\n"
        "                          unless given; every one is asked (default 127.0.0.1)\n"
        "  --lifetime S            register: seconds the registration lasts, 1..65535 (default\n"
        "                          10800); register again before it ends to keep it\n"
        "  --attrs LIST            register: the attributes, an SLP attribute list such as\n"
        "                          '(addr=128.2.1.7),(mask=255.255.255.255)'\n"
        "  --scope S               the scope list (default \"default\", the daemon's scope)\n"
        "  -h, --help              print this help and exit\n"
        "  --version               print the version and exit\n"
        "\n"
        "What the daemon looks up: a running proxy registers service:ESMProxy://ADDR:PORT with\n"
        "--attrs '(addr=A),(mask=M)' for the endpoint A (M 255.255.255.255) or the zone A/M it\n"
        "serves; a compute node registers service:CompResource://ADDR/?x-GNP-num=1 with --attrs\n"
        "'(x-GNP-num=1),(x-GNP-clients=C)', C the text of its clients' gnp.coords lines after\n"
        "the address. An agent refuses an ESMProxy URL without a port. Nothing is read from\n"
        "/etc/slp.conf and nothing is multicast.\n"
        "\n"
        "Output: one line on standard output for each agent that took the request:\n"
        "  registered URL with AGENT (lifetime S s)\n"
        "  deregistered URL from AGENT\n"
        "and one line on standard error for each agent that did not:\n"
        "  slp-reg: AGENT: REASON\n"
        "\n"
        "Exit status: 0 done (no agent refused, at least one took it); 1 an agent refused it\n"
        "(its error first on standard error); 2 bad arguments; 3 no agent answered.\n");
}

// What an agent's error code means to someone registering.
const char* meaning(unsigned code) {
    switch (code) {
        case 2:
            return "the attribute list is malformed";
        case 3:
            return "the agent finds the registration invalid (its URL, port, lifetime or "
                   "attributes)";
        case 4:
            return "the agent does not serve the scope";
        case 6:
            return "this host may not register there";
        case 11:
            return "the agent holds as many registrations as it may";
        default:
            return "";
    }
}

// The refusal in words: the code the first refusing agent answered, else the one err stands for.
std::string refusal(SLPError err, const std::vector<agentreport::AgentResult>& agents) {
    unsigned code = static_cast<unsigned>(-static_cast<int>(err));
    for (const agentreport::AgentResult& a : agents) {
        if (a.daError != 0) {
            code = a.daError;
            break;
        }
    }
    std::string text =
        "error " + std::to_string(code) + " (" + agentreport::daErrorName(code) + ")";
    if (meaning(code)[0] != '\0') text += ": " + std::string(meaning(code));
    return text;
}

void report(SLPHandle, SLPError err, void* cookie) {
    *static_cast<SLPError*>(cookie) = err;
}

bool isNetworkFailure(SLPError err) {
    return err == SLP_NETWORK_TIMED_OUT || err == SLP_NETWORK_ERROR ||
           err == SLP_NETWORK_INIT_FAILED || err == SLP_PARAMETER_BAD;
}

}  // namespace

int main(int argc, char** argv) {
    enum { kDa = 256, kLifetime, kAttrs, kScope, kVersion };
    static const option kOptions[] = {{"da", required_argument, nullptr, kDa},
                                      {"lifetime", required_argument, nullptr, kLifetime},
                                      {"attrs", required_argument, nullptr, kAttrs},
                                      {"scope", required_argument, nullptr, kScope},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, kVersion},
                                      {nullptr, 0, nullptr, 0}};
    std::string da = "127.0.0.1";
    std::string scope = "default";
    std::string attrs;
    long lifetime = SLP_LIFETIME_DEFAULT;
    const char* onlyForRegister = nullptr;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        std::string bad;
        switch (c) {
            case 'h':
                usage();
                return 0;
            case kVersion:
                cli::printVersion(kProg);
                return 0;
            case kDa:
                da = optarg;
                if (!validHostPortList(da)) bad = "--da " + da + ": not ADDR[:PORT][,...]";
                break;
            case kLifetime:
                bad = cli::numberArg("--lifetime", optarg, 1, 65535, &lifetime);
                onlyForRegister = "--lifetime";
                break;
            case kAttrs:
                attrs = optarg;
                onlyForRegister = "--attrs";
                break;
            case kScope:
                scope = optarg;
                if (scope.empty()) bad = "--scope: empty scope";
                break;
            default:
                bad = cli::optionError(c, argv);
        }
        if (!bad.empty()) return cli::usageError(kProg, bad);
    }
    const int left = argc - optind;
    if (left == 0) return cli::usageError(kProg, "missing register or deregister, and URL");
    const std::string action = argv[optind];
    if (action != "register" && action != "deregister")
        return cli::usageError(kProg, "'" + action + "' is neither register nor deregister");
    if (left == 1) return cli::usageError(kProg, "missing URL");
    if (left > 2)
        return cli::usageError(kProg,
                               std::string("unexpected argument '") + argv[optind + 2] + "'");
    const std::string url = argv[optind + 1];
    const size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0)
        return cli::usageError(kProg, "URL " + url + ": not SCHEME://ADDRESS");
    const bool reg = action == "register";
    if (!reg && onlyForRegister != nullptr)
        return cli::usageError(kProg, std::string(onlyForRegister) + " is only for register");

    SLPSetProperty("net.slp.useScopes", scope.c_str());
    SLPHandle handle = agentreport::openForAgents(kProg, da);
    if (handle == nullptr) return kNoAgent;
    agentreport::Collector collector;
    // The callback carries the outcome; the call itself fails only when it could not start.
    SLPError err = SLP_OK;
    const SLPError started =
        reg ? SLPReg(handle, url.c_str(), static_cast<unsigned short>(lifetime), nullptr,
                     attrs.c_str(), SLP_TRUE, report, &err)
            : SLPDereg(handle, url.c_str(), report, &err);
    if (started != SLP_OK) err = started;
    SLPClose(handle);
    const std::vector<agentreport::AgentResult> agents = collector.take();

    if (isNetworkFailure(err)) {
        fprintf(stderr, "%s: no Directory Agent answered (SLP error %d)\n", kProg,
                static_cast<int>(err));
    } else if (err != SLP_OK) {
        fprintf(stderr, "%s: refused: %s\n", kProg, refusal(err, agents).c_str());
    }
    for (const agentreport::AgentResult& a : agents) {
        if (a.outcome != agentreport::Outcome::None) {
            fprintf(stderr, "%s: %s: %s\n", kProg, a.agent.c_str(),
                    agentreport::describe(a).c_str());
        } else if (reg) {
            printf("registered %s with %s (lifetime %ld s)\n", url.c_str(), a.agent.c_str(),
                   lifetime);
        } else {
            printf("deregistered %s from %s\n", url.c_str(), a.agent.c_str());
        }
    }
    if (err == SLP_OK && !agentreport::supported()) {
        printf("%s %s\n", reg ? "registered" : "deregistered", url.c_str());
    }
    if (err == SLP_OK) return kDone;
    return isNetworkFailure(err) ? kNoAgent : kRefused;
}
