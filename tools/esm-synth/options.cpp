// esm-synth's command line: the options, their checks and the help text.
#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "cli.h"
#include "net_util.h"
#include "settings_file.h"

namespace esmsynth {

namespace {

void usage() {
    printf(
        "Usage: esm-synth HOST:PORT [--endpoint ADDR]... [--zone ADDR/MASK@EP]... [OPTION]...\n"
        "  or:  esm-synth HOST:PORT --send FILE|- [OPTION]...\n"
        "  or:  esm-synth --print-request [--endpoint ADDR]... [--zone ADDR/MASK@EP]...\n"
        "  or:  esm-synth --explain [--da DA] [ADDR|ADDR/MASK@EP]... [OPTION]...\n"
        "Asks the synthesis service at HOST:PORT for a multicast overlay and prints the\n"
        "transport (group, port, TTL) of every endpoint and zone.\n"
        "\n"
        "Options:\n"
        "  --endpoint ADDR       a client endpoint (dotted quad); repeat for more\n"
        "  --zone ADDR/MASK@EP   a zone: its address, its mask (dotted quad or prefix length)\n"
        "                        and the endpoint that represents it, e.g.\n"
        "                        10.1.0.0/16@10.1.2.3; repeat for more\n"
        "  --send FILE           post the request message in FILE (- for standard input)\n"
        "                        instead and print the decoded answer, whatever its type\n"
        "  --print-request       print the SynthESMReq that would be sent and exit\n"
        "  --explain             for each endpoint and zone, show what the service's locator\n"
        "                        would do: its SLP queries to DA and their answers, the\n"
        "                        coordinates line from $VARNO_PATH/gnp.coords, the proxy found;\n"
        "                        nothing is launched, configured or notified\n"
        "  --da DA               the Directory Agent for --explain, as esm-synthd takes it\n"
        "                        (default: ESM_DA of the settings file)\n"
        "  --settings FILE       the daemon's settings (KEY=value lines, as its unit reads\n"
        "                        them) for --explain: ESM_DA, and VARNO_PATH unless it is in\n"
        "                        the environment (default /etc/default/esm-synthd, when\n"
        "                        present; /dev/null for none)\n"
        "  --json                print JSON instead of text\n"
        "  --timeout SECONDS     give up on the whole exchange (connecting, sending and\n"
        "                        waiting for the answer) after SECONDS, 1..86400 (default\n"
        "                        60: room for the service's own limits, 10 s per proxy\n"
        "                        exchange and about 4 s per silent Directory Agent)\n"
        "  -h, --help            print this help and exit\n"
        "  --version             print the version and exit\n"
        "\n"
        "A request the service would refuse is refused before sending: no endpoint and no zone,\n"
        "a zone address with host bits set (10.1.5.0/16), a mask that is not contiguous.\n"
        "\n"
        "JSON: an answer is {\"id\", \"version\", \"transports\": [{\"kind\", \"address\",\n"
        "\"representative\", \"group\", \"port\", \"ttl\"}]}; with --send, {\"type\", \"id\",\n"
        "\"version\", ...the fields of the answer} with transports as {\"group\", \"port\",\n"
        "\"ttl\"}; any refusal or failure is {\"error\": MESSAGE, \"status\": EXIT STATUS} on\n"
        "standard output, with the message on standard error as well.\n"
        "\n"
        "Exit status: 0 answered (--explain: every endpoint and zone has a proxy); 1 the\n"
        "service refused the request or answered something else (--explain: some endpoint\n"
        "or zone has no proxy); 2 bad arguments or file; 3 the service could not be reached,\n"
        "closed the connection or did not answer in time.\n");
}

using cli::jsonString;

// A bad command line: the line and the --help pointer, and the JSON object with --json.
int usageFail(const Options& o, const std::string& message) {
    if (o.json) {
        printf("{\"error\": %s, \"status\": %d}\n", jsonString(message).c_str(), cli::kUsageStatus);
    }
    return cli::usageError(kProg, message);
}

bool parseAddr(const std::string& text, uint32_t* addrNet) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    *addrNet = a.s_addr;
    return true;
}

// "ADDR/MASK@EP", MASK a dotted quad or a prefix length.
bool parseZone(const std::string& text, EndZone* zone) {
    const size_t at = text.find('@');
    uint32_t addr, mask, ep;
    if (at == std::string::npos || !cli::parseAddrMask(text.substr(0, at), &addr, &mask) ||
        !parseAddr(text.substr(at + 1), &ep)) {
        return false;
    }
    *zone = EndZone(addr, mask);
    zone->setEP(ep);
    return true;
}

// Why the service would refuse the zone, or "": a mask that is not contiguous finds no
// registration, and an address with host bits set names no zone.
std::string zoneProblem(const EndZone& z) {
    return cli::zoneProblem(static_cast<uint32_t>(z.getAddr()), static_cast<uint32_t>(z.getMask()));
}

// --explain: the Directory Agents from --da or else the settings file's ESM_DA; VARNO_PATH from
// the environment or else the settings file (then put in the environment). The settings file is
// --settings FILE, or the daemon's own when present. Returns "" or what is wrong.
std::string explainSettings(Options* o) {
    const std::string path = o->haveSettings ? o->settingsFile : kDaemonSettingsFile;
    std::map<std::string, std::string> file;
    std::string error;
    const bool read = o->haveSettings || access(path.c_str(), F_OK) == 0;
    if (read && !readSettingsFile(path, &file, &error)) return "--settings: " + error;
    const auto fromFile = [&](const char* key, Sourced* s) {
        auto it = file.find(key);
        if (it == file.end() || it->second.empty()) return false;
        *s = Sourced{it->second, true, std::string(key) + " in " + path};
        return true;
    };
    if (o->haveDa) {
        if (o->da.empty()) return "--da: empty Directory Agent";
        o->agents = Sourced{o->da, true, "--da"};
    } else if (fromFile("ESM_DA", &o->agents)) {
        o->da = o->agents.value;
    } else {
        return read ? "--explain needs --da DA or ESM_DA in " + path
                    : "--explain needs --da DA (" + path + " is not there)";
    }
    const char* env = getenv("VARNO_PATH");
    if (env != nullptr) {
        o->varnoPath = Sourced{env, true, "the environment"};
        auto it = file.find("VARNO_PATH");
        if (it != file.end() && it->second != env)
            o->varnoPath.from += "; " + path + " says " + it->second;
    } else if (fromFile("VARNO_PATH", &o->varnoPath)) {
        setenv("VARNO_PATH", o->varnoPath.value.c_str(), 1);
    } else {
        o->varnoPath.from = read ? "neither in the environment nor in " + path
                                 : "not in the environment, and " + path + " is not there";
    }
    return "";
}

}  // namespace

int fail(const Options& o, int status, const std::string& message) {
    fprintf(stderr, "%s: %s\n", kProg, message.c_str());
    if (o.json) printf("{\"error\": %s, \"status\": %d}\n", jsonString(message).c_str(), status);
    return status;
}

std::string requestProblem(const std::vector<EndPoint>& endpoints,
                           const std::vector<EndZone>& zones) {
    if (endpoints.empty() && zones.empty())
        return "nothing to ask for: give at least one --endpoint or --zone";
    for (const EndZone& z : zones) {
        const std::string problem = zoneProblem(z);
        if (!problem.empty()) {
            return "zone " + z.getAddrStr() + "/" + z.getMaskStr() + "@" + inet_NTOS(z.getEP()) +
                   ": " + problem;
        }
    }
    return "";
}

int parseArgs(int argc, char** argv, Options* o) {
    enum {
        kEndpoint = 256,
        kZone,
        kSend,
        kPrint,
        kExplain,
        kDa,
        kSettings,
        kJson,
        kTimeout,
        kVersion
    };
    static const option kOptions[] = {{"endpoint", required_argument, nullptr, kEndpoint},
                                      {"zone", required_argument, nullptr, kZone},
                                      {"send", required_argument, nullptr, kSend},
                                      {"print-request", no_argument, nullptr, kPrint},
                                      {"explain", no_argument, nullptr, kExplain},
                                      {"da", required_argument, nullptr, kDa},
                                      {"settings", required_argument, nullptr, kSettings},
                                      {"json", no_argument, nullptr, kJson},
                                      {"timeout", required_argument, nullptr, kTimeout},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, kVersion},
                                      {nullptr, 0, nullptr, 0}};
    // --json anywhere shapes every error, also one met before it.
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "--json") == 0) o->json = true;
    }
    opterr = 0;
    std::string firstError;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        std::string bad;
        uint32_t addr = 0;
        EndZone zone;
        switch (c) {
            case 'h':
                usage();
                return kOk;
            case kVersion:
                cli::printVersion(kProg);
                return kOk;
            case kEndpoint:
                if (parseAddr(optarg, &addr)) {
                    o->endpoints.emplace_back(addr);
                } else {
                    bad = std::string("--endpoint ") + optarg + ": not an IPv4 address";
                }
                break;
            case kZone:
                if (!parseZone(optarg, &zone)) {
                    bad = std::string("--zone ") + optarg + ": not ADDR/MASK@EP";
                } else if (!zoneProblem(zone).empty()) {
                    bad = std::string("--zone ") + optarg + ": " + zoneProblem(zone);
                } else {
                    o->zones.push_back(zone);
                }
                break;
            case kSend:
                o->sendFile = optarg;
                if (o->sendFile.empty()) bad = "--send needs a file name (- for standard input)";
                break;
            case kPrint:
                o->printRequest = true;
                break;
            case kExplain:
                o->explain = true;
                break;
            case kDa:
                o->da = optarg;
                o->haveDa = true;
                break;
            case kSettings:
                o->settingsFile = optarg;
                o->haveSettings = true;
                if (o->settingsFile.empty()) bad = "--settings needs a file name";
                break;
            case kJson:
                o->json = true;
                break;
            case kTimeout:
                bad = cli::numberArg("--timeout", optarg, 1, 86400, &o->timeoutSec);
                break;
            default:
                bad = cli::optionError(c, argv);
                break;
        }
        if (!bad.empty() && firstError.empty()) firstError = bad;
    }
    if (!firstError.empty()) return usageFail(*o, firstError);

    if (o->explain) {
        if (!o->sendFile.empty() || o->printRequest)
            return usageFail(*o, "--explain cannot be combined with --send or --print-request");
        const std::string problem = explainSettings(o);
        if (!problem.empty()) return usageFail(*o, problem);
        // Every other argument is an endpoint or a zone.
        for (int i = optind; i < argc; ++i) {
            uint32_t addr = 0;
            EndZone zone;
            if (parseAddr(argv[i], &addr)) {
                o->endpoints.emplace_back(addr);
            } else if (parseZone(argv[i], &zone)) {
                if (!zoneProblem(zone).empty())
                    return usageFail(*o, std::string(argv[i]) + ": " + zoneProblem(zone));
                o->zones.push_back(zone);
            } else {
                return usageFail(
                    *o, std::string(argv[i]) + ": not an endpoint ADDR or a zone ADDR/MASK@EP");
            }
        }
        if (o->endpoints.empty() && o->zones.empty())
            return usageFail(*o, "nothing to explain: give endpoints or zones");
        return -1;
    }
    if (o->haveDa) return usageFail(*o, "--da is only for --explain");
    if (o->haveSettings) return usageFail(*o, "--settings is only for --explain");
    if (argc - optind > 1)
        return usageFail(*o, std::string("unexpected argument '") + argv[optind + 1] + "'");
    if (optind < argc) o->target = argv[optind];
    if (o->printRequest) {
        if (!o->sendFile.empty())
            return usageFail(*o, "--print-request cannot be combined with --send");
    } else {
        if (o->target.empty()) return usageFail(*o, "missing HOST:PORT of the service");
        std::string host;
        uint16_t port = 0;
        bool hasPort = false;
        if (!splitHostPort(o->target, &host, &port, &hasPort) || !hasPort || port == 0)
            return usageFail(*o, o->target + ": not HOST:PORT with PORT in 1..65535");
    }
    if (!o->sendFile.empty()) {
        if (!o->endpoints.empty() || !o->zones.empty())
            return usageFail(
                *o, "--send takes the whole request from the file; drop --endpoint/--zone");
        return -1;
    }
    const std::string problem = requestProblem(o->endpoints, o->zones);
    if (!problem.empty()) return usageFail(*o, problem);
    return -1;
}

}  // namespace esmsynth
