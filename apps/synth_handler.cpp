// The daemon's handler and the state it shares with main: the Directory Agent text and the count
// of answered requests.

#include <chrono>

#include "ESM.h"
#include "diag.h"
#include "mutex_lock.h"
#include "service_metrics.h"
#include "service_settings.h"

const char* DAstr = "";
pthread_mutex_t term_mut = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t term_cond = PTHREAD_COND_INITIALIZER;
int num_of_requests = 0;  // guarded by term_mut

namespace {

void countAnsweredRequest() {
    MutexLock lock(&term_mut);
    ++num_of_requests;
    // Signalled with the lock held, so main cannot miss it between its test and its wait.
    if (num_of_requests >= kRequestLimit) pthread_cond_signal(&term_cond);
}

// Counts the request once, with the time since it reached the handler.
void count(servicemetrics::Outcome outcome, std::chrono::steady_clock::time_point start) {
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    servicemetrics::countRequest(outcome, spent.count());
}

}  // namespace

size_t synthEntryLimit() {
    return serviceSettings().maxEntries;
}

Msg* RecvCallback(Msg* req) {
    const auto start = std::chrono::steady_clock::now();
    if (req->getType() != Msg::SynthESMReq) {
        diagf(DiagStream::Out, "Not getting the right request!\n");
        count(servicemetrics::Outcome::Refused, start);
        return nullptr;
    }
    diagf(DiagStream::Out, "Got SynthESMReq from %s:%d\n", req->getSrcAddrStr().c_str(),
          req->getSrcPort());
    auto* synth = static_cast<SynthESMReq*>(req);
    // Each entry costs lookups and a proxy, and each proxy is told about all the others: work
    // grows with the square of the count, so it is capped before anything is done.
    const size_t entries = synth->getEPVec().size() + synth->getZoneVec().size();
    if (entries > synthEntryLimit()) {
        diagf(DiagStream::Err, "SynthESMReq of %zu endpoints and zones refused: the limit is %zu\n",
              entries, synthEntryLimit());
        count(servicemetrics::Outcome::Refused, start);
        return nullptr;
    }
    std::vector<EndPoint> epv = synth->getEPVec();
    std::vector<EndZone> ezv = synth->getZoneVec();

    std::vector<TransportEndPoint> epproxies;
    std::vector<TransportEndPoint> ezproxies;
    for (EndPoint& ep : epv) {
        ESMProxyLocator locator(ep, DAstr, kLocatorScope);
        epproxies.push_back(locator.getESMProxy());
        diagf(DiagStream::Out, "got proxy %s\n", epproxies.back().getStr().c_str());
    }
    for (EndZone& ez : ezv) {
        ESMProxyLocator locator(ez, DAstr, kLocatorScope);
        ezproxies.push_back(locator.getESMProxy());
        diagf(DiagStream::Out, "got proxy %s\n", ezproxies.back().getStr().c_str());
    }

    ESMProxyInitor esminit(epproxies, ezproxies);
    if (!esminit.initOk()) {
        diagf(DiagStream::Out, "ESM init failed!?\n");
        count(servicemetrics::Outcome::Failed, start);
        return nullptr;
    }
    std::vector<MulticastEndPoint> eptransports = esminit.getEPTransports();
    std::vector<MulticastEndPoint> eztransports = esminit.getZoneTransports();
    Msg* rep = new SynthESMOk(req->getId(), req->getVersion(), eptransports, eztransports);
    count(servicemetrics::Outcome::Answered, start);
    countAnsweredRequest();
    return rep;
}
