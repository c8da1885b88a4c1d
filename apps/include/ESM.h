#pragma once

// The synthesis service: for each endpoint and zone of a request it locates an ESM proxy
// (ESMProxyLocator), brings all of them up (ESMProxyInitor), and the handler (RecvCallback)
// answers with the multicast transport of each. Locators and initializers do their work in their
// constructors, on the connection thread that handles the request, and are then only read.

#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "EndPoint.h"
#include "Msg.h"
#include "SLP.h"
#include "locate_report.h"

// What the locator asks the Directory Agent, in one place for the locator and for the tools that
// explain it: the service types of running proxies and of compute nodes, the scope the handler
// gives every locator, and the predicates of the two stages.
inline constexpr const char* kESMProxyType = "ESMProxy";
inline constexpr const char* kCompResourceType = "CompResource";
inline constexpr const char* kLocatorScope = "default";
// "(&(addr=A)(mask=255.255.255.255))" for an endpoint, "(&(addr=A)(mask=M))" for a zone.
std::string runningProxyPredicate(const EndPoint& ep);
std::string runningProxyPredicate(const EndZone& ez);
// The compute-node predicate for a coordinates text, inserted verbatim.
std::string computeNodePredicate(const std::string& coords);

// Finds the proxy of one endpoint or zone through the Directory Agent DAaddr ("a.b.c.d" or
// "a.b.c.d:port", passed unchanged to the lookups) within scope: first a running proxy
// registered under "ESMProxy" for exactly this endpoint or zone; failing that, a compute node
// registered under "CompResource" for the coordinates of the endpoint (or of the zone's
// representative), returned with port 0 and marked as an ABone node. Nothing found leaves the
// default (0.0.0.0, port 0, not ABone), as does a running proxy's URL without an IPv4 address or
// a port in 1..65535 (after one line naming it). Prints its progress on standard output.
// getReport() tells every step and why nothing was found.
class ESMProxyLocator {
public:
    ESMProxyLocator(EndPoint& ep, std::string DAaddr, std::string scope);
    ESMProxyLocator(EndZone& ez, std::string DAaddr, std::string scope);

    TransportEndPoint& getESMProxy() { return mESMProxy; }
    const LocateReport& getReport() const { return mReport; }

private:
    // The first answer that the Directory Agent gave; sivec is never empty here.
    ServiceInstance& selectProxy(std::vector<ServiceInstance>& sivec);
    // Both stages; endpoint and zone differ only in the predicate, the monitor and which address
    // gives the coordinates.
    void locate(const std::string& firstPredicate, unsigned long coordAddr, bool notifyMonitor,
                const std::string& monitorAddr, const std::string& DAaddr,
                const std::string& scope);
    // Records why nothing was found; last is the query sent last.
    void noProxy(const LocatorQuery& last);

    TransportEndPoint mESMProxy;
    LocateReport mReport;
};

// How bringing up one proxy failed.
struct ProxyFailure {
    size_t position = 0;  // in the endpoint proxies followed by the zone proxies
    std::string step;     // "ESMInit", "ESMCommit" or "launch"
    // ProxyRefused, ProxyTimeout, ProxyWrongReply or ProxyError; None when the entry has no
    // proxy at all (port 0: the locator found none), so nothing was exchanged.
    FailureCause cause = FailureCause::None;
    std::string detail;  // how, in words: "connection refused", "no answer within 10 s", ...
};

// Brings up the proxies of one request, strictly one after the other, endpoint proxies first:
// an ABone node gets the proxy program through the node loader ($VARNO_PATH/abone/sc.linux, run
// twice with a wait between), a running proxy gets an ESMInit and then an ESMCommit naming the
// other members. Each exchange must end within ESM_PROXY_TIMEOUT of the installed settings. Stops
// at the first proxy that fails, which getFailure() then tells about. Prints its progress on
// standard output (and "sending ESMInit to ..." on standard error).
class ESMProxyInitor {
public:
    // loadWait runs between loading the proxy code and starting it (10 seconds by default).
    ESMProxyInitor(std::vector<TransportEndPoint>& epproxyvec,
                   std::vector<TransportEndPoint>& ezproxyvec,
                   std::function<void()> loadWait = nullptr);

    bool initOk() const { return mInitOk; }
    // When !initOk(): the proxy that failed, at which step and how.
    const ProxyFailure& getFailure() const { return mFailure; }
    // Entry i is the transport of endpoint i (of zone i); complete only when initOk().
    std::vector<MulticastEndPoint>& getEPTransports() { return mEPTVec; }
    std::vector<MulticastEndPoint>& getZoneTransports() { return mZoneTVec; }

private:
    // Bring up the proxy at position j of membervec, telling it about members.
    bool bringUpAbone(size_t j, const std::vector<TransportEndPoint>& membervec,
                      const std::vector<TransportEndPoint>& members);
    bool bringUpRunning(size_t j, const std::vector<TransportEndPoint>& membervec,
                        const std::vector<TransportEndPoint>& members);
    // Appends t to the endpoint or the zone transports, by the position j of its proxy.
    void record(size_t j, const MulticastEndPoint& t);
    // Posts request to proxy p within the time limit; true when the answer is of type want.
    // Otherwise sets mFailure (step is the request's type). Counts the exchange.
    bool exchange(size_t j, const TransportEndPoint& p, Msg& request, const std::string& want);

    uint32_t mId = 0;
    uint32_t mVersion = 0;
    bool mInitOk = false;
    std::vector<TransportEndPoint> mEPProxyVec;
    std::vector<TransportEndPoint> mZoneProxyVec;
    std::vector<MulticastEndPoint> mEPTVec;
    std::vector<MulticastEndPoint> mZoneTVec;
    std::function<void()> mLoadWait;
    ProxyFailure mFailure;
};

// The daemon's handler: answers a SynthESMReq with a SynthESMOk, or null (any other type, more
// endpoints and zones than synthEntryLimit(), or a proxy that could not be brought up). Counts
// every answered request. Runs on many connection threads at once.
Msg* RecvCallback(Msg* req);

// The most endpoints and zones together that one SynthESMReq may name: ESM_MAX_ENTRIES of the
// installed settings (service_settings.h).
size_t synthEntryLimit();

// Shared with main: the Directory Agent text (set once before the server starts, then only read)
// and the request counter.
extern const char* DAstr;
extern pthread_mutex_t term_mut;
extern pthread_cond_t term_cond;
extern int num_of_requests;  // guarded by term_mut
// main ends once num_of_requests exceeds this.
constexpr int kRequestLimit = 100;
