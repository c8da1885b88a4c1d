// The daemon's handler and the state it shares with main: the Directory Agent text and the count
// of answered requests.

#include <chrono>

#include "ESM.h"
#include "diag.h"
#include "mutex_lock.h"
#include "request_outcome.h"
#include "service_metrics.h"
#include "service_settings.h"

const char* DAstr = "";
pthread_mutex_t term_mut = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t term_cond = PTHREAD_COND_INITIALIZER;
int num_of_requests = 0;  // guarded by term_mut

namespace {

using servicemetrics::Outcome;

void countAnsweredRequest() {
    MutexLock lock(&term_mut);
    ++num_of_requests;
    // Signalled with the lock held, so main cannot miss it between its test and its wait.
    if (num_of_requests >= kRequestLimit) pthread_cond_signal(&term_cond);
}

// What the locator found for one entry, kept until the initializer is done with the request.
struct Located {
    std::string name;  // "endpoint 128.2.1.7", "zone 10.1.0.0/16"
    FailureCause cause = FailureCause::None;
    std::string why;  // nothing found: why, naming the party
};

// Locates the proxy of entry, appends it to proxies and what was found to located, and prints
// "got proxy".
template <class Entry>
void locate(Entry& entry, const std::string& name, std::vector<TransportEndPoint>* proxies,
            std::vector<Located>* located) {
    ESMProxyLocator locator(entry, DAstr, kLocatorScope);
    proxies->push_back(locator.getESMProxy());
    diagf(DiagStream::Out, "got proxy %s\n", proxies->back().getStr().c_str());
    const LocateReport& r = locator.getReport();
    servicemetrics::countLocate(r.kind);
    located->push_back(Located{name, r.cause, describeFailure(r)});
}

// The cause of a failed initialization: the proxy that failed, or, when the entry it stopped at
// has no proxy, why the locator found none.
void failureCause(const ESMProxyInitor& init, const std::vector<TransportEndPoint>& proxies,
                  const std::vector<Located>& located, RequestOutcome* o) {
    const ProxyFailure& f = init.getFailure();
    const Located& entry = located[f.position];
    if (f.cause == FailureCause::None) {
        o->cause = entry.cause != FailureCause::None ? entry.cause : FailureCause::ProxyError;
        o->detail = entry.name + ": no proxy: " + entry.why;
        return;
    }
    const TransportEndPoint& p = proxies[f.position];
    o->cause = f.cause;
    o->detail = (p.isAboneNode() ? "compute node " + p.getAddrStr() : "proxy " + p.getStr()) +
                " (" + entry.name + "): " + f.step + ": " + f.detail;
}

}  // namespace

size_t synthEntryLimit() {
    return serviceSettings().maxEntries;
}

Msg* RecvCallback(Msg* req) {
    const auto start = std::chrono::steady_clock::now();
    RequestOutcome o;
    o.peer = req->getSrcAddrStr() + ":" + std::to_string(req->getSrcPort());
    // Every way out reports the request once, with the time since it reached the handler.
    auto finish = [&](Outcome outcome) {
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        o.outcome = outcome;
        o.seconds = spent.count();
        reportRequestOutcome(o);
    };
    if (req->getType() != Msg::SynthESMReq) {
        diagf(DiagStream::Out, "Not getting the right request!\n");
        o.refusal = "wrong_type";
        o.detail = "not a SynthESMReq but " + req->getType();
        finish(Outcome::Refused);
        return nullptr;
    }
    diagf(DiagStream::Out, "Got SynthESMReq from %s:%d\n", req->getSrcAddrStr().c_str(),
          req->getSrcPort());
    auto* synth = static_cast<SynthESMReq*>(req);
    o.endpoints = synth->getEPVec().size();
    o.zones = synth->getZoneVec().size();
    // Each entry costs lookups and a proxy, and each proxy is told about all the others: work
    // grows with the square of the count, so it is capped before anything is done.
    const size_t entries = o.endpoints + o.zones;
    if (entries > synthEntryLimit()) {
        diagf(DiagStream::Err, "SynthESMReq of %zu endpoints and zones refused: the limit is %zu\n",
              entries, synthEntryLimit());
        o.refusal = "too_many_entries";
        o.detail = "the limit is " + std::to_string(synthEntryLimit());
        finish(Outcome::Refused);
        return nullptr;
    }
    std::vector<EndPoint> epv = synth->getEPVec();
    std::vector<EndZone> ezv = synth->getZoneVec();

    std::vector<TransportEndPoint> epproxies;
    std::vector<TransportEndPoint> ezproxies;
    std::vector<Located> located;  // endpoints, then zones, as the initializer counts them
    for (EndPoint& ep : epv) locate(ep, "endpoint " + ep.getAddrStr(), &epproxies, &located);
    for (EndZone& ez : ezv) locate(ez, "zone " + ez.getStr(), &ezproxies, &located);

    ESMProxyInitor esminit(epproxies, ezproxies);
    if (!esminit.initOk()) {
        diagf(DiagStream::Out, "ESM init failed!?\n");
        std::vector<TransportEndPoint> proxies = epproxies;
        proxies.insert(proxies.end(), ezproxies.begin(), ezproxies.end());
        failureCause(esminit, proxies, located, &o);
        finish(Outcome::Failed);
        return nullptr;
    }
    std::vector<MulticastEndPoint> eptransports = esminit.getEPTransports();
    std::vector<MulticastEndPoint> eztransports = esminit.getZoneTransports();
    Msg* rep = new SynthESMOk(req->getId(), req->getVersion(), eptransports, eztransports);
    finish(Outcome::Answered);
    countAnsweredRequest();
    return rep;
}
