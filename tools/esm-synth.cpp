// esm-synth: the command-line client of the synthesis service. Builds a SynthESMReq from its
// arguments (or takes any request message from a file), posts it with the project's client and
// prints the answer as a table or as JSON; or prints the request it would send; or explains, for
// each endpoint and zone, what the daemon's locator would find, without changing anything.
#include <arpa/inet.h>
#include <getopt.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ESM.h"
#include "Msg.h"
#include "agent_report.h"
#include "cli.h"
#include "diag.h"
#include "http.h"
#include "http_response.h"
#include "malloc_ptr.h"
#include "net_util.h"

namespace {

const char* const kProg = "esm-synth";

enum Exit { kOk = 0, kRefused = 1, kUsage = 2, kUnreachable = 3 };

const size_t kMaxFileBytes = 64u << 20;
const long kDefaultTimeoutSec = 60;

void usage() {
    printf(
        "Usage: esm-synth HOST:PORT [--endpoint ADDR]... [--zone ADDR/MASK@EP]... [OPTION]...\n"
        "  or:  esm-synth HOST:PORT --send FILE|- [OPTION]...\n"
        "  or:  esm-synth --print-request [--endpoint ADDR]... [--zone ADDR/MASK@EP]...\n"
        "  or:  esm-synth --explain --da DA [ADDR|ADDR/MASK@EP]... [OPTION]...\n"
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
        "  --json                print JSON instead of text\n"
        "  --timeout SECONDS     give up on the whole exchange (connecting, sending and\n"
        "                        waiting for the answer) after SECONDS, 1..86400 (default 60)\n"
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

struct Options {
    std::string target;
    std::string sendFile;
    std::string da;
    bool haveDa = false;
    bool json = false;
    bool printRequest = false;
    bool explain = false;
    long timeoutSec = kDefaultTimeoutSec;
    std::vector<EndPoint> endpoints;
    std::vector<EndZone> zones;
};

// Reports a refusal or failure once: the line on standard error, and with --json the same as an
// object on standard output. Returns status.
int fail(const Options& o, int status, const std::string& message) {
    fprintf(stderr, "%s: %s\n", kProg, message.c_str());
    if (o.json) printf("{\"error\": %s, \"status\": %d}\n", jsonString(message).c_str(), status);
    return status;
}

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

// Why the service would refuse this request, or "".
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

// Reads the command line into *o. Returns -1 to go on, else the exit status.
int parseArgs(int argc, char** argv, Options* o) {
    enum { kEndpoint = 256, kZone, kSend, kPrint, kExplain, kDa, kJson, kTimeout, kVersion };
    static const option kOptions[] = {{"endpoint", required_argument, nullptr, kEndpoint},
                                      {"zone", required_argument, nullptr, kZone},
                                      {"send", required_argument, nullptr, kSend},
                                      {"print-request", no_argument, nullptr, kPrint},
                                      {"explain", no_argument, nullptr, kExplain},
                                      {"da", required_argument, nullptr, kDa},
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
        if (!o->haveDa) return usageFail(*o, "--explain needs --da DA");
        if (o->da.empty()) return usageFail(*o, "--da: empty Directory Agent");
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

// ---- Answers ----

struct Row {
    std::string kind, target, representative;
    MulticastEndPoint transport;
};

void printTable(const std::vector<Row>& rows) {
    printf("%-9s %-18s %-15s %-15s %5s %3s\n", "KIND", "ADDRESS", "REPRESENTATIVE", "GROUP", "PORT",
           "TTL");
    for (const Row& r : rows) {
        printf("%-9s %-18s %-15s %-15s %5u %3u\n", r.kind.c_str(), r.target.c_str(),
               r.representative.empty() ? "-" : r.representative.c_str(),
               r.transport.getAddrStr().c_str(), r.transport.getPort(), r.transport.getTTL());
    }
}

std::string transportJson(const MulticastEndPoint& t) {
    return "{\"group\": " + jsonString(t.getAddrStr()) +
           ", \"port\": " + std::to_string(t.getPort()) +
           ", \"ttl\": " + std::to_string(t.getTTL()) + "}";
}

void printJson(const Msg& reply, const std::vector<Row>& rows) {
    printf("{\"id\": %lu, \"version\": %lu, \"transports\": [", reply.getId(), reply.getVersion());
    const char* sep = "";
    for (const Row& r : rows) {
        printf("%s\n  {\"kind\": %s, \"address\": %s, ", sep, jsonString(r.kind).c_str(),
               jsonString(r.target).c_str());
        if (!r.representative.empty())
            printf("\"representative\": %s, ", jsonString(r.representative).c_str());
        printf("\"group\": %s, \"port\": %u, \"ttl\": %u}",
               jsonString(r.transport.getAddrStr()).c_str(), r.transport.getPort(),
               r.transport.getTTL());
        sep = ",";
    }
    printf("%s]}\n", rows.empty() ? "" : "\n");
}

// One field of a decoded answer: its text form and its JSON value.
struct Field {
    std::string name, text, json;
};

template <class V, class Text, class Json>
Field listField(const char* name, const V& v, Text text, Json json) {
    Field f{name, "", "["};
    for (size_t i = 0; i < v.size(); ++i) {
        f.text += (i == 0 ? "" : " ") + text(v[i]);
        f.json += (i == 0 ? "" : ", ") + json(v[i]);
    }
    f.json += "]";
    return f;
}

std::string numberJson(double d) {
    return std::isfinite(d) ? formatReal(d) : "null";
}

std::vector<Field> fieldsOf(Msg& m) {
    std::vector<Field> f;
    auto mcText = [](const MulticastEndPoint& t) { return t.getStr(); };
    auto number = [](auto v) { return std::to_string(v); };
    if (auto* ok = dynamic_cast<SynthESMOk*>(&m)) {
        f.push_back(listField("eptransports", ok->getEPTVec(), mcText, transportJson));
        f.push_back(listField("zonetransports", ok->getZoneTVec(), mcText, transportJson));
    }
    if (auto* ipmz = dynamic_cast<SynthIPMZOk*>(&m)) {
        f.push_back(listField(
            "zones", ipmz->getZoneVec(), [](const EndZone& z) { return z.getStr(); },
            [](const EndZone& z) {
                return "{\"address\": " + jsonString(z.getAddrStr()) +
                       ", \"mask\": " + jsonString(z.getMaskStr()) + "}";
            }));
        f.push_back(listField("indices", ipmz->getIdxVec(), number, number));
    }
    if (auto* init = dynamic_cast<ESMInitOk*>(&m)) {
        f.push_back({"data_addr", init->getAddrStr(), jsonString(init->getAddrStr())});
        f.push_back({"ttl", init->getTTLStr(), init->getTTLStr()});
    }
    if (auto* dyn = dynamic_cast<DynamicInitResp*>(&m)) {
        const std::string s = std::to_string(dyn->getStatus());
        f.push_back({"status", s, s});
    }
    if (auto* gnp = dynamic_cast<GNPQueryResp*>(&m)) {
        f.push_back(listField("indices", gnp->getIndexVec(), number, number));
        f.push_back({"fitness", formatReal(gnp->getFitness()), numberJson(gnp->getFitness())});
    }
    return f;
}

void printFields(Msg& m, bool json) {
    const std::vector<Field> fields = fieldsOf(m);
    if (json) {
        printf("{\"type\": %s, \"id\": %lu, \"version\": %lu", jsonString(m.getType()).c_str(),
               m.getId(), m.getVersion());
        for (const Field& f : fields)
            printf(", %s: %s", jsonString(f.name).c_str(), f.json.c_str());
        printf("}\n");
        return;
    }
    printf("%s id=%lu version=%lu\n", m.getType().c_str(), m.getId(), m.getVersion());
    for (const Field& f : fields) printf("  %s: %s\n", f.name.c_str(), f.text.c_str());
}

// Posts msg within the time limit and returns the answer, or null after reporting why once
// (*code set).
std::unique_ptr<Msg> exchange(const Options& o, Msg& msg, int* code) {
    std::string host;
    uint16_t port = 0;
    bool hasPort = false;
    splitHostPort(o.target, &host, &port, &hasPort);
    const std::string limit = std::to_string(o.timeoutSec) + " s";
    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeoutSec);
    uint32_t addrNet = 0;
    int err = 0;
    const int sock = sendRequestMsgBy(host.c_str(), port, &msg, deadline, &addrNet, &err);
    // The address tried, also when the service was named by a host name.
    std::string where = o.target;
    if (addrNet != 0 && inet_NTOS(addrNet) != host)
        where += " (" + inet_NTOS(addrNet) + ":" + std::to_string(port) + ")";
    if (sock < 0) {
        if (addrNet == 0 && err == ENXIO) {
            *code = fail(o, kUnreachable, "cannot connect to " + where + ": no such host");
        } else if (err == ETIMEDOUT) {
            *code = fail(o, kUnreachable,
                         "cannot connect to " + where + ": no connection within " + limit);
        } else {
            *code = fail(o, kUnreachable, "cannot connect to " + where + ": " + strerror(err));
        }
        return nullptr;
    }
    ResponseInfo info;
    std::unique_ptr<Msg> reply(getResponseMsgBy(sock, deadline, &info));
    if (reply) return reply;
    switch (info.result) {
        case ResponseResult::ErrorStatus: {
            std::string status = "HTTP " + std::to_string(info.status);
            if (!info.reason.empty()) status += " " + info.reason;
            std::string message =
                "the service at " + where + " refused the request (" + status + ")";
            if (msg.getType() == Msg::SynthESMReq)
                message += "; esm-synth --explain shows what its locator finds";
            *code = fail(o, kRefused, message);
            break;
        }
        case ResponseResult::NoResponse:
            *code = fail(o, kUnreachable,
                         info.timedOut ? "no answer from " + where + " within " + limit
                                       : where + " closed the connection without answering");
            break;
        case ResponseResult::BadResponse:
            *code = fail(o, kUnreachable, where + " does not speak the message protocol");
            break;
        case ResponseResult::ShortBody:
            *code =
                fail(o, kUnreachable,
                     info.timedOut ? "the answer from " + where + " did not arrive within " + limit
                                   : "the answer from " + where + " was cut short");
            break;
        default:
            *code = fail(o, kRefused, "the answer from " + where + " is not a response message");
            break;
    }
    return nullptr;
}

bool readInput(const std::string& path, std::string* text) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) return false;
        in = &file;
    }
    char buf[65536];
    while (in->read(buf, sizeof buf) || in->gcount() > 0) {
        text->append(buf, static_cast<size_t>(in->gcount()));
        if (text->size() > kMaxFileBytes) return false;
    }
    return !in->bad();
}

int sendFile(const Options& o) {
    const std::string name = o.sendFile == "-" ? "standard input" : o.sendFile;
    std::string text;
    if (!readInput(o.sendFile, &text)) return fail(o, kUsage, "cannot read " + name);
    DecodeStatus status;
    std::unique_ptr<Msg> request(parseMsg(text.data(), text.size(), MsgTable::Requests, &status));
    if (!request) return fail(o, kUsage, name + " does not hold a request message");
    if (auto* synth = dynamic_cast<SynthESMReq*>(request.get())) {
        const std::string problem = requestProblem(synth->getEPVec(), synth->getZoneVec());
        if (!problem.empty()) return fail(o, kUsage, name + ": " + problem);
    }
    int code = kOk;
    std::unique_ptr<Msg> reply = exchange(o, *request, &code);
    if (!reply) return code;
    printFields(*reply, o.json);
    return kOk;
}

int synthesize(const Options& o) {
    // The id first: the first version is the first id.
    const unsigned long id = Msg::generateId();
    const unsigned long version = Msg::generateVersion();
    std::vector<EndPoint> endpoints = o.endpoints;
    std::vector<EndZone> zones = o.zones;
    auto request = std::make_unique<SynthESMReq>(id, version, endpoints, zones);
    if (o.printRequest) {
        MallocText text(request->getChars());
        if (!text) return fail(o, kRefused, "cannot write the request");
        fputs(text.get(), stdout);
        return kOk;
    }
    int code = kOk;
    std::unique_ptr<Msg> reply = exchange(o, *request, &code);
    if (!reply) return code;
    auto* ok = dynamic_cast<SynthESMOk*>(reply.get());
    if (ok == nullptr) return fail(o, kRefused, "unexpected answer " + reply->getType());

    std::vector<Row> rows;
    for (size_t i = 0; i < ok->getEPTVec().size(); ++i) {
        rows.push_back(Row{"endpoint", i < endpoints.size() ? endpoints[i].getAddrStr() : "?", "",
                           ok->getEPTVec()[i]});
    }
    for (size_t i = 0; i < ok->getZoneTVec().size(); ++i) {
        const bool known = i < zones.size();
        rows.push_back(Row{"zone", known ? zones[i].getStr() : "?",
                           known ? inet_NTOS(zones[i].getEP()) : "", ok->getZoneTVec()[i]});
    }
    if (o.json) {
        printJson(*reply, rows);
    } else {
        printTable(rows);
    }
    return kOk;
}

// ---- --explain: the locator's two stages, told ----

// One SLP query as the locator sends it, and what came back.
struct Query {
    std::string type, predicate;
    int result = -1;  // FindServices: the number found, or -1 when the lookup failed
    std::vector<ServiceInstance> urls;
    std::vector<agentreport::AgentResult> agents;
};

struct Explained {
    std::string kind, address, representative;
    unsigned long coordAddr = 0;
    Query running;
    bool askedCoords = false;
    CoordinatesExplanation coords;
    bool askedCompute = false;
    Query compute;
    bool found = false;
    bool computeNode = false;
    TransportEndPoint proxy;
    std::string why;  // when nothing usable was found
};

// Runs the query exactly as the locator does: the same type, predicate, Directory Agent text
// and scope, and the same three tests for success.
bool ask(const std::string& type, const std::string& predicate, const std::string& da,
         agentreport::Collector& agents, Query* q) {
    q->type = type;
    q->predicate = predicate;
    SLPService lookup(type, predicate, da, kLocatorScope);
    q->result = lookup.FindServices();
    const bool ok = q->result >= 0 && lookup.numFound() > 0 && lookup.getSIvec(q->urls) > 0;
    q->agents = agents.take();
    return ok;
}

bool agentAnswered(const Query& q) {
    return q.result >= 0;
}

void locate(const std::string& da, const std::string& firstPredicate,
            agentreport::Collector& agents, Explained* e) {
    if (ask(kESMProxyType, firstPredicate, da, agents, &e->running)) {
        // The locator takes the first URL the agent answered.
        e->proxy.setAddr(e->running.urls[0].getAddr());
        e->proxy.setPort(e->running.urls[0].getPort());
        e->found = true;
    } else {
        e->askedCoords = true;
        e->coords = explainCoordinates(e->coordAddr);
        const bool haveCoords =
            e->coords.result == CoordinatesExplanation::Result::Found && !e->coords.coords.empty();
        if (haveCoords) {
            e->askedCompute = true;
            if (ask(kCompResourceType, computeNodePredicate(e->coords.coords), da, agents,
                    &e->compute)) {
                e->proxy.setAddr(e->compute.urls[0].getAddr());
                e->proxy.setPort(static_cast<unsigned short>(0));
                e->proxy.setAboneNode();
                e->found = true;
                e->computeNode = true;
            }
        }
        if (!e->found) {
            const bool daSilent =
                !agentAnswered(e->running) || (e->askedCompute && !agentAnswered(e->compute));
            if (daSilent) {
                e->why = "no Directory Agent answered";
            } else if (!haveCoords) {
                e->why = "no running proxy registered and no coordinates for " + e->coords.host;
            } else {
                e->why = "no running proxy and no compute node registered for these coordinates";
            }
        }
    }
    if (e->found && e->proxy.getAddr() == 0) {
        e->found = false;
        e->why = "the URL found names no IPv4 address";
    }
}

const char* coordsResultName(CoordinatesExplanation::Result r) {
    using Result = CoordinatesExplanation::Result;
    switch (r) {
        case Result::Found:
            return "found";
        case Result::PathUnset:
            return "path_unset";
        case Result::FileMissing:
            return "file_missing";
        case Result::ReadError:
            return "read_error";
        case Result::FormatError:
            return "format_error";
        default:
            return "not_listed";
    }
}

std::string coordsText(const CoordinatesExplanation& c) {
    using Result = CoordinatesExplanation::Result;
    const std::string at = c.path + " line " + std::to_string(c.line);
    switch (c.result) {
        case Result::Found:
            return c.coords.empty() ? "none: " + at + " gives an empty value: " + jsonString(c.text)
                                    : at + ": " + jsonString(c.text);
        case Result::PathUnset:
            return "none: VARNO_PATH is not set";
        case Result::FileMissing:
            return "none: " + c.path + " cannot be opened";
        case Result::ReadError:
            return "none: reading " + c.path + " failed at line " + std::to_string(c.line);
        case Result::FormatError:
            return "none: " + c.path + " is invalid at line " + std::to_string(c.line) +
                   " (no blank between host and coordinates): " + jsonString(c.text) +
                   "; no coordinates are read until it is corrected";
        default:
            return "none: " + c.path + " does not list " + c.host;
    }
}

std::string proxyText(const Explained& e) {
    if (!e.found) return "no proxy: " + e.why;
    if (e.computeNode)
        return "compute node " + e.proxy.getAddrStr() +
               " (the proxy program would be loaded there)";
    return "running proxy " + e.proxy.getAddrStr() + ":" + e.proxy.getPortStr();
}

void printQueryText(const Query& q) {
    printf("  %s query (scope %s): %s\n", q.type.c_str(), kLocatorScope, q.predicate.c_str());
    for (const agentreport::AgentResult& a : q.agents)
        printf("    Directory Agent %s: %s\n", a.agent.c_str(), agentreport::describe(a).c_str());
    if (q.agents.empty() && q.result < 0) printf("    the lookup failed (no agent detail)\n");
    for (size_t i = 0; i < q.urls.size(); ++i) {
        printf("    found %s (lifetime %u)%s\n", q.urls[i].getServiceURL().c_str(),
               q.urls[i].getLifetime(), q.urls.size() > 1 && i == 0 ? ", the one taken" : "");
    }
}

void printText(const Explained& e) {
    printf("%s %s", e.kind.c_str(), e.address.c_str());
    if (!e.representative.empty()) printf(" (representative %s)", e.representative.c_str());
    printf("\n");
    printQueryText(e.running);
    if (e.askedCoords)
        printf("  coordinates of %s: %s\n", e.coords.host.c_str(), coordsText(e.coords).c_str());
    if (e.askedCompute) printQueryText(e.compute);
    printf("  => %s\n", proxyText(e).c_str());
}

std::string queryJson(const Query& q) {
    std::string s = "{\"type\": " + jsonString(q.type) +
                    ", \"scope\": " + jsonString(kLocatorScope) +
                    ", \"predicate\": " + jsonString(q.predicate) + ", \"agents\": [";
    for (size_t i = 0; i < q.agents.size(); ++i) {
        const agentreport::AgentResult& a = q.agents[i];
        s += std::string(i == 0 ? "" : ", ") + "{\"agent\": " + jsonString(a.agent) +
             ", \"outcome\": " + jsonString(agentreport::outcomeName(a.outcome)) +
             ", \"da_error\": " + std::to_string(a.daError) +
             ", \"detail\": " + jsonString(agentreport::describe(a)) + "}";
    }
    s += "], \"urls\": [";
    for (size_t i = 0; i < q.urls.size(); ++i) {
        s += std::string(i == 0 ? "" : ", ") +
             "{\"url\": " + jsonString(q.urls[i].getServiceURL()) +
             ", \"lifetime\": " + std::to_string(q.urls[i].getLifetime()) + "}";
    }
    return s + "]}";
}

std::string explainedJson(const Explained& e) {
    std::string s = "{\"kind\": " + jsonString(e.kind) + ", \"address\": " + jsonString(e.address);
    if (!e.representative.empty()) s += ", \"representative\": " + jsonString(e.representative);
    s += ", \"queries\": [" + queryJson(e.running);
    if (e.askedCompute) s += ", " + queryJson(e.compute);
    s += "]";
    if (e.askedCoords) {
        const CoordinatesExplanation& c = e.coords;
        s += ", \"coordinates\": {\"result\": " + jsonString(coordsResultName(c.result)) +
             ", \"file\": " + jsonString(c.path) + ", \"line\": " + std::to_string(c.line) +
             ", \"text\": " + jsonString(c.text) + ", \"coordinates\": " + jsonString(c.coords) +
             "}";
    }
    if (e.found) {
        s += ", \"proxy\": {\"address\": " + jsonString(e.proxy.getAddrStr()) +
             ", \"port\": " + e.proxy.getPortStr() +
             ", \"compute_node\": " + (e.computeNode ? "true" : "false") + "}";
    } else {
        s += ", \"proxy\": null, \"reason\": " + jsonString(e.why);
    }
    return s + "}";
}

int explain(const Options& o) {
    agentreport::Collector agents;
    std::vector<Explained> all;
    for (const EndPoint& ep : o.endpoints) {
        Explained e;
        e.kind = "endpoint";
        e.address = ep.getAddrStr();
        e.coordAddr = ep.getAddr();
        locate(o.da, runningProxyPredicate(ep), agents, &e);
        all.push_back(e);
    }
    for (const EndZone& ez : o.zones) {
        Explained e;
        e.kind = "zone";
        e.address = ez.getStr();
        e.representative = inet_NTOS(ez.getEP());
        e.coordAddr = ez.getEP();  // a zone's coordinates are its representative's
        locate(o.da, runningProxyPredicate(ez), agents, &e);
        all.push_back(e);
    }
    bool every = true;
    for (const Explained& e : all) every = every && e.found;
    if (o.json) {
        printf("{\"da\": %s, \"entries\": [", jsonString(o.da).c_str());
        for (size_t i = 0; i < all.size(); ++i)
            printf("%s\n  %s", i == 0 ? "" : ",", explainedJson(all[i]).c_str());
        printf("\n]}\n");
    } else {
        for (const Explained& e : all) printText(e);
    }
    return every ? kOk : kRefused;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const int status = parseArgs(argc, argv, &o);
    if (status >= 0) return status;
    // The libraries' own progress and failure lines (the codec logs every zone, the transport
    // every failure, the coordinates every lookup) are no part of this program's output: it
    // reports each failure itself, once.
    setDiagSink(discardDiag);
    xmlInitParser();
    if (o.explain) return explain(o);
    if (!o.sendFile.empty()) return sendFile(o);
    return synthesize(o);
}
