// esm-synth --explain: the daemon's locator run for each entry, and its report printed.
#include "explain.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ESM.h"
#include "cli.h"

namespace esmsynth {

namespace {

using cli::jsonString;

// One endpoint or zone, and what the daemon's own locator did for it.
struct Explained {
    std::string kind, address, representative;
    LocateReport report;
    TransportEndPoint proxy;
};

template <class Entry>
Explained explainEntry(const Options& o, Entry entry) {
    ESMProxyLocator locator(entry, o.da, kLocatorScope);
    Explained e;
    e.report = locator.getReport();
    e.proxy = locator.getESMProxy();
    return e;
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
    const bool found = c.result == CoordinatesExplanation::Result::Found && !c.coords.empty();
    return (found ? "" : "none: ") + describeCoordinates(c);
}

std::string proxyText(const Explained& e) {
    switch (e.report.kind) {
        case LocateReport::Kind::Node:
            return "compute node " + e.proxy.getAddrStr() +
                   " (the proxy program would be loaded there)";
        case LocateReport::Kind::Running:
            return "running proxy " + e.proxy.getAddrStr() + ":" + e.proxy.getPortStr();
        default:
            return "no proxy: " + e.report.why;
    }
}

void printQueryText(const LocatorQuery& q) {
    printf("  %s query (scope %s): %s\n", q.type.c_str(), q.scope.c_str(), q.predicate.c_str());
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
    const LocateReport& r = e.report;
    printQueryText(r.running);
    if (r.askedCoords)
        printf("  coordinates of %s: %s\n", r.coords.host.c_str(), coordsText(r.coords).c_str());
    if (r.askedCompute) printQueryText(r.compute);
    printf("  => %s\n", proxyText(e).c_str());
}

std::string queryJson(const LocatorQuery& q) {
    std::string s = "{\"type\": " + jsonString(q.type) + ", \"scope\": " + jsonString(q.scope) +
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
    const LocateReport& r = e.report;
    s += ", \"queries\": [" + queryJson(r.running);
    if (r.askedCompute) s += ", " + queryJson(r.compute);
    s += "]";
    if (r.askedCoords) {
        const CoordinatesExplanation& c = r.coords;
        s += ", \"coordinates\": {\"result\": " + jsonString(coordsResultName(c.result)) +
             ", \"file\": " + jsonString(c.path) + ", \"line\": " + std::to_string(c.line) +
             ", \"text\": " + jsonString(c.text) + ", \"coordinates\": " + jsonString(c.coords) +
             "}";
    }
    if (r.kind != LocateReport::Kind::None) {
        s += ", \"proxy\": {\"address\": " + jsonString(e.proxy.getAddrStr()) +
             ", \"port\": " + e.proxy.getPortStr() +
             ", \"compute_node\": " + (r.kind == LocateReport::Kind::Node ? "true" : "false") + "}";
    } else {
        s += ", \"proxy\": null, \"cause\": " + jsonString(causeName(r.cause)) +
             ", \"reason\": " + jsonString(r.why);
    }
    return s + "}";
}

// The file read here may be newer than the table a running daemon holds.
const char kTableAge[] = "the daemon reads gnp.coords at its first lookup and on SIGHUP";

std::string sourcedText(const char* name, const Sourced& s) {
    if (!s.set) return std::string(name) + " not set (" + s.from + ")";
    return std::string(name) + " " + s.value + " (" + s.from + ")";
}

}  // namespace

int explain(const Options& o) {
    // The locator tells the monitor about the entries it serves; an explanation tells nobody,
    // and gnpmon_color does nothing without a monitor address.
    unsetenv("VARNO_GNPMONITOR");
    std::vector<Explained> all;
    for (const EndPoint& ep : o.endpoints) {
        Explained e = explainEntry(o, ep);
        e.kind = "endpoint";
        e.address = ep.getAddrStr();
        all.push_back(e);
    }
    for (const EndZone& ez : o.zones) {
        Explained e = explainEntry(o, ez);
        e.kind = "zone";
        e.address = ez.getStr();
        e.representative = inet_NTOS(ez.getEP());
        all.push_back(e);
    }
    bool every = true;
    bool coords = false;
    for (const Explained& e : all) {
        every = every && e.report.kind != LocateReport::Kind::None;
        coords = coords || e.report.askedCoords;
    }
    if (o.json) {
        printf("{\"da\": %s, \"da_from\": %s, \"varno_path\": %s, \"varno_path_from\": %s",
               jsonString(o.da).c_str(), jsonString(o.agents.from).c_str(),
               o.varnoPath.set ? jsonString(o.varnoPath.value).c_str() : "null",
               jsonString(o.varnoPath.from).c_str());
        if (coords) printf(", \"note\": %s", jsonString(kTableAge).c_str());
        printf(", \"entries\": [");
        for (size_t i = 0; i < all.size(); ++i)
            printf("%s\n  %s", i == 0 ? "" : ",", explainedJson(all[i]).c_str());
        printf("\n]}\n");
    } else {
        printf("%s\n", sourcedText("Directory Agents", o.agents).c_str());
        printf("%s%s\n", sourcedText("VARNO_PATH", o.varnoPath).c_str(),
               o.varnoPath.set ? "" : ": no coordinates, so no compute node can be found");
        for (const Explained& e : all) printText(e);
        if (coords) printf("%s\n", kTableAge);
    }
    return every ? kOk : kRefused;
}

}  // namespace esmsynth
