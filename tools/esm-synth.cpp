// esm-synth: the command-line client of the synthesis service. Builds a SynthESMReq from its
// arguments (or takes any request message from a file), posts it with the project's client and
// prints the answer as a table or as JSON.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Msg.h"
#include "diag.h"
#include "http.h"
#include "http_response.h"
#include "net_util.h"

namespace {

enum Exit { kOk = 0, kRefused = 1, kUsage = 2, kUnreachable = 3 };

const size_t kMaxFileBytes = 64u << 20;

void usage(FILE* out) {
    fprintf(out,
            "usage: esm-synth HOST:PORT [--endpoint ADDR]... [--zone ADDR/MASK@EP]... [--json]\n"
            "       esm-synth HOST:PORT --send FILE [--json]\n"
            "\n"
            "Asks the synthesis service at HOST:PORT for a multicast overlay and prints the\n"
            "transport (group, port, TTL) of every endpoint and zone.\n"
            "\n"
            "  --endpoint ADDR       a client endpoint (dotted quad); repeat for more\n"
            "  --zone ADDR/MASK@EP   a zone: its address, its mask (dotted quad or prefix length)\n"
            "                        and the endpoint that represents it, e.g.\n"
            "                        10.1.0.0/16@10.1.2.3; repeat for more\n"
            "  --send FILE           post the XML request message in FILE instead and print\n"
            "                        the decoded answer, whatever its type\n"
            "  --json                print JSON instead of a table\n"
            "  --help                this text\n"
            "\n"
            "Exit status: 0 answered; 1 the service refused the request (no proxy could be set\n"
            "up for every endpoint and zone) or answered something else; 2 bad arguments or\n"
            "file; 3 the service could not be reached, closed the connection or did not answer\n"
            "in time (connecting gives up after 10 s, waiting for the answer after 60 s).\n");
}

int fail(int code, const std::string& message) {
    fprintf(stderr, "esm-synth: %s\n", message.c_str());
    return code;
}

bool parseAddr(const std::string& text, uint32_t* addrNet) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    *addrNet = a.s_addr;
    return true;
}

// "ADDR/MASK@EP", MASK a dotted quad or a prefix length.
bool parseZone(const std::string& text, EndZone* zone) {
    const size_t slash = text.find('/');
    const size_t at = text.find('@');
    if (slash == std::string::npos || at == std::string::npos || at < slash) return false;
    uint32_t addr, mask, ep;
    if (!parseAddr(text.substr(0, slash), &addr) || !parseAddr(text.substr(at + 1), &ep))
        return false;
    const std::string maskText = text.substr(slash + 1, at - slash - 1);
    if (!parseAddr(maskText, &mask)) {
        char* end = nullptr;
        const long bits = strtol(maskText.c_str(), &end, 10);
        if (maskText.empty() || *end != '\0' || bits < 0 || bits > 32) return false;
        mask = htonl(bits == 0 ? 0u : ~0u << (32 - bits));
    }
    *zone = EndZone(addr, mask);
    zone->setEP(ep);
    return true;
}

bool parseHostPort(const std::string& text, std::string* host, unsigned short* port) {
    bool hasPort = false;
    return splitHostPort(text, host, port, &hasPort) && hasPort && *port != 0;
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

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

// The fields of any response message, as name and text.
std::vector<std::pair<std::string, std::string>> fieldsOf(Msg& m) {
    std::vector<std::pair<std::string, std::string>> f;
    auto join = [](auto& v, auto text) {
        std::string s;
        for (auto& e : v) s += (s.empty() ? "" : " ") + text(e);
        return s;
    };
    auto mc = [](const MulticastEndPoint& t) { return t.getStr(); };
    if (auto* ok = dynamic_cast<SynthESMOk*>(&m)) {
        f.emplace_back("eptransports", join(ok->getEPTVec(), mc));
        f.emplace_back("zonetransports", join(ok->getZoneTVec(), mc));
    }
    if (auto* ipmz = dynamic_cast<SynthIPMZOk*>(&m)) {
        f.emplace_back("zones",
                       join(ipmz->getZoneVec(), [](const EndZone& z) { return z.getStr(); }));
        f.emplace_back("indices",
                       join(ipmz->getIdxVec(), [](unsigned v) { return std::to_string(v); }));
    }
    if (auto* init = dynamic_cast<ESMInitOk*>(&m)) {
        f.emplace_back("data_addr", init->getAddrStr());
        f.emplace_back("ttl", init->getTTLStr());
    }
    if (auto* dyn = dynamic_cast<DynamicInitResp*>(&m)) {
        f.emplace_back("status", std::to_string(dyn->getStatus()));
    }
    if (auto* gnp = dynamic_cast<GNPQueryResp*>(&m)) {
        f.emplace_back("indices",
                       join(gnp->getIndexVec(), [](int v) { return std::to_string(v); }));
        f.emplace_back("fitness", formatReal(gnp->getFitness()));
    }
    return f;
}

void printFields(Msg& m, bool json) {
    const auto fields = fieldsOf(m);
    if (json) {
        printf("{\"type\": %s, \"id\": %lu, \"version\": %lu", jsonString(m.getType()).c_str(),
               m.getId(), m.getVersion());
        for (const auto& [name, value] : fields)
            printf(", %s: %s", jsonString(name).c_str(), jsonString(value).c_str());
        printf("}\n");
        return;
    }
    printf("%s id=%lu version=%lu\n", m.getType().c_str(), m.getId(), m.getVersion());
    for (const auto& [name, value] : fields) printf("  %s: %s\n", name.c_str(), value.c_str());
}

// Posts msg and returns the answer, or null after explaining on standard error (*code set).
std::unique_ptr<Msg> exchange(const std::string& host, unsigned short port, Msg& msg, int* code) {
    const std::string where = host + ":" + std::to_string(port);
    const int sock = sendRequestMsg(host.c_str(), port, &msg);
    if (sock < 0) {
        *code = fail(kUnreachable, "cannot connect to " + where);
        return nullptr;
    }
    ResponseInfo info;
    std::unique_ptr<Msg> reply(readResponseMsg(sock, &info));
    if (reply) return reply;
    switch (info.result) {
        case ResponseResult::ErrorStatus:
            *code = fail(kRefused, "the service at " + where + " refused the request (HTTP " +
                                       std::to_string(info.status) + ")");
            break;
        case ResponseResult::NoResponse:
            *code = fail(kUnreachable, info.timedOut
                                           ? "no answer from " + where + " within 60 s"
                                           : where + " closed the connection without answering");
            break;
        case ResponseResult::BadResponse:
            *code = fail(kUnreachable, where + " does not speak the message protocol");
            break;
        default:
            *code = fail(kRefused, "the answer from " + where + " could not be decoded");
            break;
    }
    return nullptr;
}

bool readFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *text = ss.str();
    return text->size() <= kMaxFileBytes;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return kOk;
        }
    }
    std::string target, sendFile;
    bool json = false;
    std::vector<EndPoint> endpoints;
    std::vector<EndZone> zones;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--json") {
            json = true;
        } else if (a == "--endpoint" && hasValue) {
            uint32_t addr;
            if (!parseAddr(args[++i], &addr))
                return fail(kUsage, "not an IPv4 address: " + args[i]);
            endpoints.emplace_back(addr);
        } else if (a == "--zone" && hasValue) {
            EndZone z;
            if (!parseZone(args[++i], &z))
                return fail(kUsage, "not a zone ADDR/MASK@EP: " + args[i]);
            zones.push_back(z);
        } else if (a == "--send" && hasValue) {
            sendFile = args[++i];
        } else if (a.rfind("--", 0) != 0 && target.empty()) {
            target = a;
        } else {
            usage(stderr);
            return kUsage;
        }
    }
    std::string host;
    unsigned short port = 0;
    if (target.empty() || !parseHostPort(target, &host, &port)) {
        usage(stderr);
        return kUsage;
    }
    if (!sendFile.empty() && (!endpoints.empty() || !zones.empty()))
        return fail(kUsage, "--send takes the whole request from the file; drop --endpoint/--zone");

    // The libraries' own progress and failure lines (the codec logs every zone, the transport
    // every failure) are no part of this program's output: it explains failures itself.
    setDiagSink(discardDiag);
    xmlInitParser();
    int code = kOk;
    if (!sendFile.empty()) {
        std::string text;
        if (!readFile(sendFile, &text)) return fail(kUsage, "cannot read " + sendFile);
        DecodeStatus status;
        std::unique_ptr<Msg> request(
            parseMsg(text.data(), text.size(), MsgTable::Requests, &status));
        if (!request) return fail(kUsage, sendFile + " does not hold a request message");
        std::unique_ptr<Msg> reply = exchange(host, port, *request, &code);
        if (!reply) return code;
        printFields(*reply, json);
        return kOk;
    }

    // The id first: the first version is the first id.
    const unsigned long id = Msg::generateId();
    const unsigned long version = Msg::generateVersion();
    auto request = std::make_unique<SynthESMReq>(id, version, endpoints, zones);
    std::unique_ptr<Msg> reply = exchange(host, port, *request, &code);
    if (!reply) return code;
    auto* ok = dynamic_cast<SynthESMOk*>(reply.get());
    if (ok == nullptr) return fail(kRefused, "unexpected answer " + reply->getType());

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
    if (json) {
        printJson(*reply, rows);
    } else {
        printTable(rows);
    }
    return kOk;
}
