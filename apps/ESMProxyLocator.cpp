#include <cstdio>

#include "ESM.h"
#include "diag.h"

namespace {

const int kColourClient = 2;  // a client endpoint without a proxy of its own
const int kColourNode = 6;    // the node chosen to serve it

// Runs one query as the locator sends it; true when it found something (the three tests of
// success: the lookup worked, found some, and the results are readable, in q->urls).
bool ask(const char* type, const std::string& predicate, const std::string& DAaddr,
         const std::string& scope, LocatorQuery* q) {
    q->type = type;
    q->scope = scope;
    q->predicate = predicate;
    SLPService lookup(type, predicate, DAaddr, scope);
    q->result = lookup.FindServices();
    lookup.getSIvec(q->urls);  // left empty when no results are readable
    q->agents = lookup.agents();
    return q->result >= 0 && lookup.numFound() > 0 && !q->urls.empty();
}

// Why a lookup that failed got no answer, from what its agents did: an agent that answered an
// error says most, then one that stayed silent, then one that refused.
FailureCause agentsCause(const LocatorQuery& q) {
    using agentreport::Outcome;
    bool silent = false;
    bool refused = false;
    for (const agentreport::AgentResult& a : q.agents) {
        if (a.outcome == Outcome::Error) return FailureCause::DaError;
        const bool heldSilent = a.outcome == Outcome::Skipped && a.error == SLP_NETWORK_TIMED_OUT;
        silent = silent || a.outcome == Outcome::Timeout || heldSilent;
        refused = refused || a.outcome == Outcome::Refused || a.outcome == Outcome::Skipped;
    }
    if (silent) return FailureCause::DaSilent;
    return refused ? FailureCause::DaRefused : FailureCause::DaError;
}

// Why a running proxy's URL cannot be used, or "": the initializer needs its IPv4 address and
// a port in 1..65535.
std::string urlProblem(const ServiceInstance& proxy) {
    const std::string url = proxy.getServiceURL();
    if (proxy.getAddr() == 0) return "names no IPv4 address";
    if (proxy.getPort() != 0) return "";
    const size_t slashes = url.find("//");
    const size_t colon = url.rfind(':');
    if (slashes == std::string::npos || colon == std::string::npos || colon < slashes) {
        return "has no port";
    }
    return "has port " + url.substr(colon + 1) + ", not in 1..65535";
}

}  // namespace

std::string runningProxyPredicate(const EndPoint& ep) {
    return "(&(addr=" + ep.getAddrStr() + ")(mask=255.255.255.255))";
}

std::string runningProxyPredicate(const EndZone& ez) {
    // A zone is found by its own mask.
    return "(&(addr=" + ez.getAddrStr() + ")(mask=" + ez.getMaskStr() + "))";
}

std::string computeNodePredicate(const std::string& coords) {
    return "(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=" + coords + ")))";
}

ESMProxyLocator::ESMProxyLocator(EndPoint& ep, std::string DAaddr, std::string scope) {
    locate(runningProxyPredicate(ep), ep.getAddr(), true, ep.getAddrStr(), DAaddr, scope);
}

ESMProxyLocator::ESMProxyLocator(EndZone& ez, std::string DAaddr, std::string scope) {
    // Its coordinates are those of its representative endpoint.
    locate(runningProxyPredicate(ez), ez.getEP(), false, std::string(), DAaddr, scope);
}

ServiceInstance& ESMProxyLocator::selectProxy(std::vector<ServiceInstance>& sivec) {
    return sivec[0];
}

void ESMProxyLocator::locate(const std::string& firstPredicate, unsigned long coordAddr,
                             bool notifyMonitor, const std::string& monitorAddr,
                             const std::string& DAaddr, const std::string& scope) {
    LocateReport& r = mReport;
    if (ask(kESMProxyType, firstPredicate, DAaddr, scope, &r.running)) {
        ServiceInstance& proxy = selectProxy(r.running.urls);
        const std::string problem = urlProblem(proxy);
        if (!problem.empty()) {
            // Nothing could reach a proxy there: the entry has none, and the request fails.
            diagf(DiagStream::Out, "registered URL %s %s\n", proxy.getServiceURL().c_str(),
                  problem.c_str());
            r.cause = FailureCause::BadUrl;
            r.why = "the registered URL " + proxy.getServiceURL() + " " + problem;
            return;
        }
        mESMProxy.setAddr(proxy.getAddr());
        mESMProxy.setPort(proxy.getPort());
        r.kind = LocateReport::Kind::Running;
        return;
    }

    if (notifyMonitor) gnpmon_color(monitorAddr, kColourClient);
    r.askedCoords = true;
    r.coords = lookupCoordinates(coordAddr);
    const std::string& coords = r.coords.coords;
    if (coords.empty()) {
        diagf(DiagStream::Out, "coordinates not found, returning now...\n");
        noProxy(r.running);
        return;
    }
    diagf(DiagStream::Out, "coordinates: [%s]\n", coords.c_str());

    r.askedCompute = true;
    if (!ask(kCompResourceType, computeNodePredicate(coords), DAaddr, scope, &r.compute)) {
        noProxy(r.compute);
        return;
    }
    const ServiceInstance node = selectProxy(r.compute.urls);
    if (notifyMonitor) gnpmon_color(node.getAddrStr(), kColourNode);
    mESMProxy.setAddr(node.getAddr());
    mESMProxy.setPort(static_cast<unsigned short>(0));  // the proxy is yet to be launched there
    mESMProxy.setAboneNode();
    r.kind = LocateReport::Kind::Node;
}

void ESMProxyLocator::noProxy(const LocatorQuery& last) {
    using Result = CoordinatesExplanation::Result;
    LocateReport& r = mReport;
    // A lookup that failed hides whatever is registered: that comes first.
    if (r.running.result < 0 || (r.askedCompute && r.compute.result < 0)) {
        r.cause = agentsCause(r.running.result < 0 ? r.running : last);
        r.why = "no Directory Agent answered";
    } else if (!r.askedCompute) {
        switch (r.coords.result) {
            case Result::PathUnset:
            case Result::FileMissing:
            case Result::ReadError:
                r.cause = FailureCause::CoordsMissing;
                break;
            case Result::FormatError:
                r.cause = FailureCause::CoordsInvalid;
                break;
            default:
                r.cause = FailureCause::NotFound;
                break;
        }
        r.why = "no running proxy registered and no coordinates for " + r.coords.host;
    } else {
        r.cause = FailureCause::NotFound;
        r.why = "no running proxy and no compute node registered for these coordinates";
    }
}
