// The RFC 2614 entry points: handles, properties, the synchronous SLPFindSrvs, SLPReg and
// SLPDereg.

#include <strings.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "no_destructor.h"
#include "slp.h"
#include "slp_agents.h"
#include "slp_exchange.h"
#include "slp_holddown.h"
#include "slp_props.h"
#include "slp_wire.h"

namespace {

using slpclient::HoldClock;

// A handle's own agent observer, set by its owner while no lookup runs on it.
struct HandleObserver {
    SLPAgentObserver* observer = nullptr;
    void* cookie = nullptr;
};

struct Handle {
    std::string lang;
    std::atomic<bool> busy{false};
    HandleObserver agents;
};

// Open handles, so that a stale or foreign pointer is refused instead of dereferenced. A lookup
// holds its handle too: SLPClose during a lookup (from its callback or another thread) closes
// the handle to new calls, and the lookup frees it when it ends.
struct Registry {
    std::mutex mu;
    std::map<const void*, std::shared_ptr<Handle>> handles;  // guarded by mu
};

Registry& registry() {
    static NoDestructor<Registry> sRegistry;
    return *sRegistry.get();
}

std::shared_ptr<Handle> findHandle(SLPHandle h) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.handles.find(h);
    return it == r.handles.end() ? nullptr : it->second;
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

// Tells the process-wide observer, then the handle's own one.
void reportAgent(const HandleObserver& own, const std::string& entry, SLPAgentOutcome outcome,
                 SLPError error, uint16_t daError) {
    const SLPAgentReport report = {entry.c_str(), outcome, error, daError};
    ObserverSlot& slot = observerSlot();
    SLPAgentObserver* observer;
    void* cookie;
    {
        std::lock_guard<std::mutex> lock(slot.mu);
        observer = slot.observer;
        cookie = slot.cookie;
    }
    if (observer != nullptr) observer(&report, cookie);
    if (own.observer != nullptr) own.observer(&report, own.cookie);
}

SLPAgentOutcome outcomeOf(SLPError err, bool refused, bool foundUrls) {
    if (err == SLP_OK) return foundUrls ? SLP_AGENT_FOUND : SLP_AGENT_NONE;
    if (err == SLP_NETWORK_TIMED_OUT) return SLP_AGENT_TIMEOUT;
    return refused ? SLP_AGENT_REFUSED : SLP_AGENT_ERROR;
}

bool isNetworkError(SLPError e) {
    return e == SLP_NETWORK_TIMED_OUT || e == SLP_NETWORK_ERROR || e == SLP_PARAMETER_BAD;
}

// How the hold-down memory judges what an agent did.
slpclient::AgentResult resultOf(SLPAgentOutcome outcome, uint16_t daError) {
    if (outcome == SLP_AGENT_FOUND || outcome == SLP_AGENT_NONE || daError != 0) {
        return slpclient::AgentResult::kAnswered;
    }
    if (outcome == SLP_AGENT_TIMEOUT || outcome == SLP_AGENT_REFUSED) {
        return slpclient::AgentResult::kSilent;
    }
    return slpclient::AgentResult::kInconclusive;
}

// One SLPFindSrvs: the agents of "net.slp.DAAddresses" asked in list order until one answers
// without error. With a hold-down time set, agents held down are passed over (and reported
// SLP_AGENT_SKIPPED), unless every listed agent is held down; when no agent asked answered at
// all, those passed over are asked after all. Belongs to the calling thread.
class Lookup {
public:
    Lookup(const std::string& lang, const std::string& type, const std::string& scopes,
           const std::string& filter, const slpclient::LookupConfig& cfg,
           const HandleObserver& observer)
        : mLang(lang),
          mType(type),
          mScopes(scopes),
          mFilter(filter),
          mCfg(cfg),
          mObserver(observer) {}

    // Asks the agents; false when the request cannot be encoded.
    bool run();
    // SLP_OK with reply() the answer, or the error SLPFindSrvs returns.
    SLPError result() const { return mResult; }
    const slpwire::SrvRply& reply() const { return mReply; }

private:
    struct Target {
        std::string entry;  // as configured, for the observer
        std::string key;    // its name in the hold-down memory
    };
    enum class Step {
        kAnswered,    // an answer without error: the lookup is done
        kFailed,      // go on with the next agent
        kPassedOver,  // held down, or another lookup waits on it: maybe asked at the end
        kBadRequest,  // the request cannot be encoded
    };
    enum class Mode {
        kFull,        // ask, waiting the whole retry schedule
        kUnlessHeld,  // pass over an agent held down; give up on one another lookup waits on
    };

    Step ask(size_t i, Mode mode, SLPError* why);
    bool everyAgentHeld() const;
    std::vector<std::string> keysAfter(size_t i) const;

    const std::string mLang;
    const std::string mType;
    const std::string mScopes;
    const std::string mFilter;
    const slpclient::LookupConfig& mCfg;
    const HandleObserver mObserver;
    const uint64_t mId = slpclient::newLookupId();
    std::vector<Target> mTargets;
    slpwire::SrvRply mReply;
    // Without a configured DA there is nobody to ask: we never multicast.
    SLPError mResult = SLP_NETWORK_INIT_FAILED;
    bool mDaAnswered = false;  // some agent answered, if only with an error code
};

bool Lookup::run() {
    // The same entry means another agent when "net.slp.port" changes.
    for (const std::string& entry : mCfg.agents) {
        mTargets.push_back({entry, entry + " " + std::to_string(mCfg.port)});
    }
    const Mode mode = (mCfg.holdDownMs > 0 && !everyAgentHeld()) ? Mode::kUnlessHeld : Mode::kFull;
    std::vector<std::pair<size_t, SLPError>> passed;
    for (size_t i = 0; i < mTargets.size(); ++i) {
        SLPError why = SLP_OK;
        const Step step = ask(i, mode, &why);
        if (step == Step::kBadRequest) return false;
        if (step == Step::kAnswered) break;
        if (step == Step::kPassedOver) passed.emplace_back(i, why);
    }
    // Nobody answered at all: better a slow answer from an agent held down than none.
    if (mResult != SLP_OK && !mDaAnswered) {
        for (const auto& p : passed) {
            SLPError why = SLP_OK;
            const Step step = ask(p.first, Mode::kFull, &why);
            if (step == Step::kBadRequest) return false;
            if (step == Step::kAnswered) break;
        }
        return true;
    }
    for (const auto& p : passed) {
        reportAgent(mObserver, mTargets[p.first].entry, SLP_AGENT_SKIPPED, p.second, 0);
    }
    return true;
}

Lookup::Step Lookup::ask(size_t i, Mode mode, SLPError* why) {
    const Target& t = mTargets[i];
    const uint16_t xid = nextXid();
    std::vector<uint8_t> request;
    if (!slpwire::encodeSrvRqst(xid, mLang, 0, "", mType, mScopes, mFilter, "", &request)) {
        return Step::kBadRequest;
    }
    const bool remember = mCfg.holdDownMs > 0;
    if (mode == Mode::kUnlessHeld && !slpclient::mayAsk(t.key, mId, HoldClock::now(), true, why)) {
        return Step::kPassedOver;
    }

    SLPError err = SLP_PARAMETER_BAD;
    bool refused = false;
    uint16_t daError = 0;
    bool gaveUp = false;
    slpwire::SrvRply reply;
    slpclient::AgentAddr agent;
    if (slpclient::resolveAgent(t.entry, mCfg.port, &agent)) {
        // Another lookup already waiting on this agent decides for us whether it is silent.
        const std::vector<std::string> others = keysAfter(i);
        const std::function<bool()> keepWaiting = [&] {
            gaveUp = !slpclient::keepWaiting(t.key, mId, others, HoldClock::now());
            return !gaveUp;
        };
        err = slpclient::askAgent(agent, request, xid, mCfg, &reply, &refused,
                                  mode == Mode::kUnlessHeld ? &keepWaiting : nullptr);
        if (err == SLP_OK && reply.error != slpwire::kOk) {
            daError = reply.error;
            err = mapDaError(reply.error);
        }
    }
    const SLPAgentOutcome outcome = outcomeOf(err, refused, !reply.urls.empty());
    if (remember) {
        slpclient::recordOutcome(
            t.key, mId, gaveUp ? slpclient::AgentResult::kInconclusive : resultOf(outcome, daError),
            err, mCfg.holdDownMs, HoldClock::now());
    }
    if (gaveUp) {
        *why = SLP_NETWORK_TIMED_OUT;
        return Step::kPassedOver;
    }
    reportAgent(mObserver, t.entry, outcome, err, daError);
    if (err == SLP_OK) {
        mReply = std::move(reply);
        mResult = SLP_OK;
        return Step::kAnswered;
    }
    // An agent's own answer tells more than a later agent's silence.
    if (!mDaAnswered || !isNetworkError(err)) mResult = err;
    if (!isNetworkError(err)) mDaAnswered = true;
    return Step::kFailed;
}

// Whether every listed agent is passed over now (none claimed by this look at them).
bool Lookup::everyAgentHeld() const {
    const HoldClock::time_point now = HoldClock::now();
    for (const Target& t : mTargets) {
        SLPError why;
        if (slpclient::mayAsk(t.key, mId, now, false, &why)) return false;
    }
    return !mTargets.empty();
}

std::vector<std::string> Lookup::keysAfter(size_t i) const {
    std::vector<std::string> out;
    for (size_t j = i + 1; j < mTargets.size(); ++j) out.push_back(mTargets[j].key);
    return out;
}

// One SLPReg or SLPDereg: the message encode() makes, sent to every agent of
// "net.slp.DAAddresses" in list order, each reported to the observer. *result is what the call
// returns (see slp.h); false when the message cannot be encoded.
bool askEveryAgent(const std::function<bool(uint16_t xid, std::vector<uint8_t>*)>& encode,
                   const slpclient::LookupConfig& cfg, const HandleObserver& observer,
                   SLPError* result) {
    SLPError refusal = SLP_OK;                   // the first error an agent answered
    SLPError silence = SLP_NETWORK_INIT_FAILED;  // the last agent's failure to answer
    bool acknowledged = false;
    for (const std::string& entry : cfg.agents) {
        const uint16_t xid = nextXid();
        std::vector<uint8_t> request;
        if (!encode(xid, &request)) return false;
        SLPError err = SLP_PARAMETER_BAD;
        bool refused = false;
        uint16_t daError = 0;
        slpclient::AgentAddr agent;
        if (slpclient::resolveAgent(entry, cfg.port, &agent)) {
            slpwire::SrvAck ack;
            err = slpclient::askAgent(agent, request, xid, cfg, &ack, &refused);
            if (err == SLP_OK && ack.error != slpwire::kOk) {
                daError = ack.error;
                err = mapDaError(ack.error);
            }
        }
        reportAgent(observer, entry, outcomeOf(err, refused, false), err, daError);
        if (err == SLP_OK) {
            acknowledged = true;
        } else if (daError != 0) {
            if (refusal == SLP_OK) refusal = err;
        } else {
            silence = err;
        }
    }
    *result = refusal != SLP_OK ? refusal : acknowledged ? SLP_OK : silence;
    return true;
}

// Runs one registration call on an open handle and reports its result through the callback.
SLPError runRegistration(SLPHandle hSLP, SLPRegReport* callback, void* cookie,
                         const std::function<bool(const Handle&, const slpclient::LookupConfig&,
                                                  uint16_t xid, std::vector<uint8_t>*)>& encode) {
    const std::shared_ptr<Handle> h = findHandle(hSLP);
    if (h == nullptr || callback == nullptr) return SLP_PARAMETER_BAD;
    if (h->busy.exchange(true)) return SLP_HANDLE_IN_USE;
    BusyGuard guard(h.get());
    const slpclient::LookupConfig cfg = slpclient::lookupConfig();
    SLPError result = SLP_OK;
    if (!askEveryAgent(
            [&](uint16_t xid, std::vector<uint8_t>* out) { return encode(*h, cfg, xid, out); }, cfg,
            h->agents, &result)) {
        return SLP_PARAMETER_BAD;
    }
    callback(hSLP, result, cookie);
    return result;
}

bool isServiceUrl(const char* url) {
    return url != nullptr && std::strstr(url, "://") != nullptr && url[0] != ':';
}

}  // namespace

extern "C" {

SLPError SLPOpen(const char* pcLang, SLPBoolean isAsync, SLPHandle* phSLP) {
    if (phSLP == nullptr) return SLP_PARAMETER_BAD;
    *phSLP = nullptr;
    if (isAsync != SLP_FALSE) return SLP_NOT_IMPLEMENTED;
    auto h = std::make_shared<Handle>();
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

SLPError SLPSetHandleAgentObserver(SLPHandle hSLP, SLPAgentObserver* observer, void* cookie) {
    const std::shared_ptr<Handle> h = findHandle(hSLP);
    if (h == nullptr) return SLP_PARAMETER_BAD;
    // Held like a call on the handle, so that no lookup starts while the observer changes.
    if (h->busy.exchange(true)) return SLP_HANDLE_IN_USE;
    BusyGuard guard(h.get());
    h->agents = HandleObserver{observer, cookie};
    return SLP_OK;
}

SLPError SLPFindSrvs(SLPHandle hSLP, const char* pcServiceType, const char* pcScopeList,
                     const char* pcSearchFilter, SLPSrvURLCallback callback, void* pvCookie) {
    const std::shared_ptr<Handle> h = findHandle(hSLP);
    if (h == nullptr || pcServiceType == nullptr || pcServiceType[0] == '\0' ||
        callback == nullptr) {
        return SLP_PARAMETER_BAD;
    }
    if (h->busy.exchange(true)) return SLP_HANDLE_IN_USE;
    BusyGuard guard(h.get());

    const slpclient::LookupConfig cfg = slpclient::lookupConfig();
    Lookup lookup(h->lang, pcServiceType,
                  (pcScopeList != nullptr && pcScopeList[0] != '\0') ? pcScopeList : cfg.useScopes,
                  pcSearchFilter != nullptr ? pcSearchFilter : "", cfg, h->agents);
    if (!lookup.run()) return SLP_PARAMETER_BAD;
    if (lookup.result() == SLP_OK) {
        deliver(hSLP, lookup.reply().urls, cfg.maxResults, callback, pvCookie);
    }
    return lookup.result();
}

SLPError SLPReg(SLPHandle hSLP, const char* pcSrvURL, const unsigned short usLifetime,
                const char* pcSrvType, const char* pcAttrs, SLPBoolean fresh, SLPRegReport callback,
                void* pvCookie) {
    if (!isServiceUrl(pcSrvURL) || usLifetime == 0) return SLP_PARAMETER_BAD;
    const std::string url = pcSrvURL;
    std::string type = url.substr(0, url.find("://"));
    // A URL of the "service:" scheme names its type; others take the caller's, if any.
    if (strncasecmp(url.c_str(), "service:", 8) != 0 && pcSrvType != nullptr &&
        pcSrvType[0] != '\0') {
        type = pcSrvType;
    }
    const std::string attrs = pcAttrs != nullptr ? pcAttrs : "";
    const uint16_t flags = fresh != SLP_FALSE ? slpwire::kFlagFresh : 0;
    return runRegistration(hSLP, callback, pvCookie,
                           [&](const Handle& h, const slpclient::LookupConfig& cfg, uint16_t xid,
                               std::vector<uint8_t>* out) {
                               return slpwire::encodeSrvReg(xid, h.lang, flags, {usLifetime, url},
                                                            type, cfg.useScopes, attrs, out);
                           });
}

SLPError SLPDereg(SLPHandle hSLP, const char* pcSrvURL, SLPRegReport callback, void* pvCookie) {
    if (!isServiceUrl(pcSrvURL)) return SLP_PARAMETER_BAD;
    const std::string url = pcSrvURL;
    return runRegistration(
        hSLP, callback, pvCookie,
        [&](const Handle& h, const slpclient::LookupConfig& cfg, uint16_t xid,
            std::vector<uint8_t>* out) {
            return slpwire::encodeSrvDeReg(xid, h.lang, cfg.useScopes, {0, url}, "", out);
        });
}

}  // extern "C"
