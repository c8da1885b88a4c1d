// The RFC 2614 entry points: handles, properties and the synchronous SLPFindSrvs.

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "no_destructor.h"
#include "slp.h"
#include "slp_agents.h"
#include "slp_exchange.h"
#include "slp_props.h"
#include "slp_wire.h"

namespace {

struct Handle {
    std::string lang;
    std::atomic<bool> busy{false};
};

// Open handles, so that a stale or foreign pointer is refused instead of dereferenced.
struct Registry {
    std::mutex mu;
    std::map<const void*, std::unique_ptr<Handle>> handles;  // guarded by mu
};

Registry& registry() {
    static NoDestructor<Registry> sRegistry;
    return *sRegistry.get();
}

Handle* findHandle(SLPHandle h) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.handles.find(h);
    return it == r.handles.end() ? nullptr : it->second.get();
}

uint32_t randomSeed() {
    uint32_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<uint32_t>(time(nullptr)) ^ (static_cast<uint32_t>(getpid()) << 16);
    }
    return seed;
}

// XIDs start at a random value and count up; retransmissions reuse theirs.
uint16_t nextXid() {
    static std::atomic<uint32_t> sXid{randomSeed()};
    return static_cast<uint16_t>(sXid.fetch_add(1, std::memory_order_relaxed));
}

// What a DA's error code means to the caller; codes the interface has no value for are folded
// into the nearest one.
SLPError mapDaError(uint16_t code) {
    switch (code) {
        case slpwire::kLanguageNotSupported:
        case slpwire::kParseError:
        case slpwire::kInvalidRegistration:
        case slpwire::kScopeNotSupported:
        case slpwire::kAuthenticationAbsent:
        case slpwire::kAuthenticationFailed:
        case slpwire::kInvalidUpdate:
        case slpwire::kRefreshRejected:
            return static_cast<SLPError>(-static_cast<int>(code));
        case slpwire::kAuthenticationUnknown:
            return SLP_AUTHENTICATION_FAILED;
        case slpwire::kVerNotSupported:
        case slpwire::kOptionNotUnderstood:
        case slpwire::kMsgNotSupported:
            return SLP_NOT_IMPLEMENTED;
        default:
            return SLP_INTERNAL_SYSTEM_ERROR;
    }
}

class BusyGuard {
public:
    explicit BusyGuard(Handle* h) : mH(h) {}
    ~BusyGuard() { mH->busy.store(false); }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    Handle* mH;
};

// Delivers the URLs of a successful reply: repeated URLs and empty ones are dropped, at most
// maxResults (when positive) are passed, and the final call follows unless the callback stopped.
void deliver(SLPHandle h, const std::vector<slpwire::UrlEntry>& urls, int maxResults,
             SLPSrvURLCallback* callback, void* cookie) {
    std::set<std::string> seen;
    for (const slpwire::UrlEntry& e : urls) {
        if (maxResults > 0 && seen.size() >= static_cast<size_t>(maxResults)) break;
        if (e.url.empty() || !seen.insert(e.url).second) continue;
        if (callback(h, e.url.c_str(), e.lifetime, SLP_OK, cookie) == SLP_FALSE) return;
    }
    callback(h, nullptr, 0, SLP_LAST_CALL, cookie);
}

struct ObserverSlot {
    std::mutex mu;
    SLPAgentObserver* observer = nullptr;  // guarded by mu
    void* cookie = nullptr;                // guarded by mu
};

ObserverSlot& observerSlot() {
    static NoDestructor<ObserverSlot> sSlot;
    return *sSlot.get();
}

void reportAgent(const std::string& entry, SLPAgentOutcome outcome, SLPError error,
                 uint16_t daError) {
    ObserverSlot& slot = observerSlot();
    SLPAgentObserver* observer;
    void* cookie;
    {
        std::lock_guard<std::mutex> lock(slot.mu);
        observer = slot.observer;
        cookie = slot.cookie;
    }
    if (observer == nullptr) return;
    const SLPAgentReport report = {entry.c_str(), outcome, error, daError};
    observer(&report, cookie);
}

SLPAgentOutcome outcomeOf(SLPError err, bool refused, const slpwire::SrvRply& reply) {
    if (err == SLP_OK) return reply.urls.empty() ? SLP_AGENT_NONE : SLP_AGENT_FOUND;
    if (err == SLP_NETWORK_TIMED_OUT) return SLP_AGENT_TIMEOUT;
    return refused ? SLP_AGENT_REFUSED : SLP_AGENT_ERROR;
}

bool isNetworkError(SLPError e) {
    return e == SLP_NETWORK_TIMED_OUT || e == SLP_NETWORK_ERROR || e == SLP_PARAMETER_BAD;
}

}  // namespace

extern "C" {

SLPError SLPOpen(const char* pcLang, SLPBoolean isAsync, SLPHandle* phSLP) {
    if (phSLP == nullptr) return SLP_PARAMETER_BAD;
    *phSLP = nullptr;
    if (isAsync != SLP_FALSE) return SLP_NOT_IMPLEMENTED;
    auto h = std::make_unique<Handle>();
    h->lang = (pcLang != nullptr && pcLang[0] != '\0') ? pcLang : slpclient::lookupConfig().locale;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    Handle* raw = h.get();
    r.handles.emplace(raw, std::move(h));
    *phSLP = raw;
    return SLP_OK;
}

void SLPClose(SLPHandle hSLP) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.handles.erase(hSLP);
}

const char* SLPGetProperty(const char* pcName) {
    return slpclient::propertyInterned(pcName);
}

void SLPSetProperty(const char* pcName, const char* pcValue) {
    slpclient::setPropertyText(pcName, pcValue);
}

void SLPSetAgentObserver(SLPAgentObserver* observer, void* cookie) {
    ObserverSlot& slot = observerSlot();
    std::lock_guard<std::mutex> lock(slot.mu);
    slot.observer = observer;
    slot.cookie = cookie;
}

SLPError SLPFindSrvs(SLPHandle hSLP, const char* pcServiceType, const char* pcScopeList,
                     const char* pcSearchFilter, SLPSrvURLCallback callback, void* pvCookie) {
    Handle* h = findHandle(hSLP);
    if (h == nullptr || pcServiceType == nullptr || pcServiceType[0] == '\0' ||
        callback == nullptr) {
        return SLP_PARAMETER_BAD;
    }
    if (h->busy.exchange(true)) return SLP_HANDLE_IN_USE;
    BusyGuard guard(h);

    const slpclient::LookupConfig cfg = slpclient::lookupConfig();
    const std::string scopes =
        (pcScopeList != nullptr && pcScopeList[0] != '\0') ? pcScopeList : cfg.useScopes;
    const std::string filter = pcSearchFilter != nullptr ? pcSearchFilter : "";

    // Without a configured DA there is nobody to ask: we never multicast.
    SLPError result = SLP_NETWORK_INIT_FAILED;
    bool daAnswered = false;
    for (const std::string& entry : cfg.agents) {
        SLPError err;
        slpclient::AgentAddr agent;
        slpwire::SrvRply reply;
        const uint16_t xid = nextXid();
        std::vector<uint8_t> request;
        if (!slpwire::encodeSrvRqst(xid, h->lang, 0, "", pcServiceType, scopes, filter, "",
                                    &request)) {
            return SLP_PARAMETER_BAD;
        }
        bool refused = false;
        uint16_t daError = 0;
        if (!slpclient::resolveAgent(entry, cfg.port, &agent)) {
            err = SLP_PARAMETER_BAD;
        } else {
            err = slpclient::askAgent(agent, request, xid, cfg, &reply, &refused);
            if (err == SLP_OK && reply.error != slpwire::kOk) {
                daError = reply.error;
                err = mapDaError(reply.error);
            }
        }
        reportAgent(entry, outcomeOf(err, refused, reply), err, daError);
        if (err == SLP_OK) {
            deliver(hSLP, reply.urls, cfg.maxResults, callback, pvCookie);
            return SLP_OK;
        }
        // An agent's own answer tells more than a later agent's silence.
        if (!daAnswered || !isNetworkError(err)) result = err;
        if (!isNetworkError(err)) daAnswered = true;
    }
    return result;
}

}  // extern "C"
