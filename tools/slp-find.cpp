// slp-find: asks SLPv2 Directory Agents for the services of one type, as the daemon does, and
// prints one "URL,LIFETIME" line per service found.
#include <getopt.h>
#include <slp.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "agent_report.h"
#include "cli.h"
#include "net_util.h"

namespace {

const char* const kProg = "slp-find";

enum Exit { kFound = 0, kNone = 1, kNoAgent = 3 };

void usage() {
    printf(
        "Usage: slp-find [--da ADDR[:PORT][,...]] [--scope S] [--json] TYPE [FILTER]\n"
        "Asks SLPv2 Directory Agents for the services of type TYPE (e.g. ESMProxy) in scope S\n"
        "that match the LDAP filter FILTER (all of them without one), and prints one\n"
        "URL,LIFETIME line per service, in the order the agent gave them.\n"
        "\n"
        "Options:\n"
        "  --da ADDR[:PORT][,...]  the Directory Agents, dotted quads or host names, port 427\n"
        "                          unless given; asked in turn until one answers (default\n"
        "                          127.0.0.1)\n"
        "  --scope S               the scope list (default \"default\", the daemon's scope)\n"
        "  --json                  print {\"urls\": [{\"url\", \"lifetime\"}], \"agents\": "
        "[...]};\n"
        "                          when no agent answered, {\"error\", \"status\", \"agents\"}\n"
        "  -h, --help              print this help and exit\n"
        "  --version               print the version and exit\n"
        "\n"
        "The daemon asks exactly this: slp-find --da DA ESMProxy\n"
        "'(&(addr=128.2.1.7)(mask=255.255.255.255))' for a running proxy, and slp-find --da DA\n"
        "CompResource '(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=COORDINATES)))' for a compute\n"
        "node. Nothing is read from /etc/slp.conf and nothing is multicast.\n"
        "\n"
        "Exit status: 0 found; 1 an agent answered without a match; 2 bad arguments; 3 no\n"
        "agent answered (down, silent, or answered an error), each agent's reason on standard\n"
        "error.\n");
}

using cli::jsonString;

using Found = std::vector<std::pair<std::string, unsigned short>>;

SLPBoolean collect(SLPHandle, const char* url, unsigned short lifetime, SLPError err,
                   void* cookie) {
    if (err == SLP_OK && url != nullptr) static_cast<Found*>(cookie)->emplace_back(url, lifetime);
    return SLP_TRUE;
}

std::string agentsJson(const std::vector<agentreport::AgentResult>& agents) {
    std::string s = "[";
    for (size_t i = 0; i < agents.size(); ++i) {
        const agentreport::AgentResult& a = agents[i];
        s += std::string(i == 0 ? "" : ", ") + "{\"agent\": " + jsonString(a.agent) +
             ", \"outcome\": " + jsonString(agentreport::outcomeName(a.outcome)) +
             ", \"da_error\": " + std::to_string(a.daError) +
             ", \"detail\": " + jsonString(agentreport::describe(a)) + "}";
    }
    return s + "]";
}

}  // namespace

int main(int argc, char** argv) {
    enum { kDa = 256, kScope, kJson, kVersion };
    static const option kOptions[] = {
        {"da", required_argument, nullptr, kDa},     {"scope", required_argument, nullptr, kScope},
        {"json", no_argument, nullptr, kJson},       {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion}, {nullptr, 0, nullptr, 0}};
    std::string da = "127.0.0.1";
    std::string scope = "default";
    bool json = false;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        switch (c) {
            case 'h':
                usage();
                return 0;
            case kVersion:
                cli::printVersion(kProg);
                return 0;
            case kDa:
                da = optarg;
                if (!validHostPortList(da))
                    return cli::usageError(kProg, "--da " + da + ": not ADDR[:PORT][,...]");
                break;
            case kScope:
                scope = optarg;
                if (scope.empty()) return cli::usageError(kProg, "--scope: empty scope");
                break;
            case kJson:
                json = true;
                break;
            default:
                return cli::usageError(kProg, cli::optionError(c, argv));
        }
    }
    const int left = argc - optind;
    if (left == 0) return cli::usageError(kProg, "missing TYPE");
    if (left > 2)
        return cli::usageError(kProg,
                               std::string("unexpected argument '") + argv[optind + 2] + "'");
    const std::string type = argv[optind];
    if (type.empty()) return cli::usageError(kProg, "TYPE is empty");
    const std::string filter = left == 2 ? argv[optind + 1] : "";

    SLPHandle handle = agentreport::openForAgents(kProg, da);
    if (handle == nullptr) return kNoAgent;
    agentreport::Collector collector;
    Found found;
    const SLPError err =
        SLPFindSrvs(handle, type.c_str(), scope.c_str(), filter.c_str(), collect, &found);
    SLPClose(handle);
    const std::vector<agentreport::AgentResult> agents = collector.take();

    if (err != SLP_OK) {
        const std::string message =
            "no Directory Agent answered (SLP error " + std::to_string(static_cast<int>(err)) + ")";
        fprintf(stderr, "%s: %s\n", kProg, message.c_str());
        for (const agentreport::AgentResult& a : agents)
            fprintf(stderr, "%s: %s: %s\n", kProg, a.agent.c_str(),
                    agentreport::describe(a).c_str());
        if (json) {
            printf("{\"error\": %s, \"status\": %d, \"agents\": %s}\n", jsonString(message).c_str(),
                   kNoAgent, agentsJson(agents).c_str());
        }
        return kNoAgent;
    }
    if (json) {
        printf("{\"urls\": [");
        for (size_t i = 0; i < found.size(); ++i) {
            printf("%s{\"url\": %s, \"lifetime\": %u}", i == 0 ? "" : ", ",
                   jsonString(found[i].first).c_str(), found[i].second);
        }
        printf("], \"agents\": %s}\n", agentsJson(agents).c_str());
    } else {
        for (const auto& [url, lifetime] : found) printf("%s,%u\n", url.c_str(), lifetime);
    }
    return found.empty() ? kNone : kFound;
}
