// esm-synth's exchange with the service: posting a message within the time limit, telling why
// no answer came, and printing the answer as a table, as fields or as JSON.
#include "exchange.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Msg.h"
#include "cli.h"
#include "http.h"
#include "http_response.h"
#include "malloc_ptr.h"
#include "net_util.h"

namespace esmsynth {

namespace {

using cli::jsonString;

const size_t kMaxFileBytes = 64u << 20;

// What the service may still be doing with a synthesis request when the client stops waiting.
const char kServiceMayBe[] =
    "; the service may still be asking Directory Agents (up to 5 s each), waiting for a proxy "
    "(ESM_PROXY_TIMEOUT, 10 s by default, per exchange) or loading proxies on compute nodes "
    "(10 s each)";

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
        case ResponseResult::NoResponse: {
            std::string message = info.timedOut
                                      ? "no answer from " + where + " within " + limit
                                      : where + " closed the connection without answering";
            if (info.timedOut && msg.getType() == Msg::SynthESMReq) message += kServiceMayBe;
            *code = fail(o, kUnreachable, message);
            break;
        }
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

}  // namespace

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

}  // namespace esmsynth
