#include "slp_props.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "no_destructor.h"

namespace slpclient {

namespace {

struct Default {
    const char* name;
    const char* value;
};

const Default kDefaults[] = {
    {"net.slp.DAAddresses", ""},
    {"net.slp.activeDADetection", "true"},
    {"net.slp.passiveDADetection", "true"},
    {"net.slp.isBroadcastOnly", "false"},
    {"net.slp.port", "427"},
    {"net.slp.useScopes", "DEFAULT"},
    {"net.slp.locale", "en"},
    {"net.slp.maxResults", "-1"},
    {"net.slp.MTU", "1400"},
    {"net.slp.unicastTimeouts", "500,750,1000,1500,2000,3000"},
    {"net.slp.unicastMaximumWait", "5000"},
    {"net.slp.DADiscoveryTimeouts", "500,750,1000,1500,2000,3000"},
    {"net.slp.DADiscoveryMaximumWait", "5000"},
    // Our own: how long an agent that timed out or refused is passed over (ms).
    {"esm.slp.DAHoldDown", "30000"},
};

const char* defaultValue(const std::string& name) {
    for (const Default& d : kDefaults) {
        if (name == d.name) return d.value;
    }
    return nullptr;
}

struct Store {
    std::mutex mu;
    std::map<std::string, std::string> values;  // guarded by mu
    // Every value handed out by SLPGetProperty; node-based, so the pointers stay valid.
    std::set<std::string> interned;  // guarded by mu
};

Store& store() {
    static NoDestructor<Store> sStore;
    return *sStore.get();
}

// The current value; false for an unknown name that was never set. Caller holds the lock.
bool lookupLocked(Store& s, const std::string& name, std::string* value) {
    auto it = s.values.find(name);
    if (it != s.values.end()) {
        *value = it->second;
        return true;
    }
    const char* d = defaultValue(name);
    if (d == nullptr) return false;
    *value = d;
    return true;
}

// Strict decimal integer in [lo, hi] (blanks around it allowed).
bool parseLong(const std::string& text, long lo, long hi, long* out) {
    std::string t = trim(text);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(t.c_str(), &end, 10);
    if (errno != 0 || end == t.c_str() || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

std::string propertyText(const char* name) {
    if (name == nullptr) return std::string();
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    std::string v;
    lookupLocked(s, name, &v);
    return v;
}

const char* propertyInterned(const char* name) {
    if (name == nullptr) return nullptr;
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    std::string v;
    if (!lookupLocked(s, name, &v)) return nullptr;
    return s.interned.insert(std::move(v)).first->c_str();
}

void setPropertyText(const char* name, const char* value) {
    if (name == nullptr || value == nullptr) return;
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mu);
    s.values[name] = value;
}

LookupConfig lookupConfig() {
    LookupConfig c;
    c.agents = splitList(propertyText("net.slp.DAAddresses"));
    long v;
    if (parseLong(propertyText("net.slp.port"), 1, 65535, &v)) c.port = static_cast<uint16_t>(v);
    for (const std::string& t : splitList(propertyText("net.slp.unicastTimeouts"))) {
        if (!parseLong(t, 1, 60000, &v)) {
            c.timeoutsMs.clear();
            break;
        }
        c.timeoutsMs.push_back(static_cast<int>(v));
    }
    if (c.timeoutsMs.empty()) c.timeoutsMs = {500, 750, 1000, 1500, 2000, 3000};
    if (parseLong(propertyText("net.slp.unicastMaximumWait"), 1, 60000, &v)) {
        c.maxWaitMs = static_cast<int>(v);
    }
    // Below a header plus a short request nothing useful fits; above a datagram makes no sense.
    if (parseLong(propertyText("net.slp.MTU"), 128, 65507, &v)) c.mtu = static_cast<size_t>(v);
    if (parseLong(propertyText("net.slp.maxResults"), -1, 0x7fffffff, &v)) {
        c.maxResults = static_cast<int>(v);
    }
    c.useScopes = trim(propertyText("net.slp.useScopes"));
    if (c.useScopes.empty()) c.useScopes = "DEFAULT";
    c.locale = trim(propertyText("net.slp.locale"));
    if (c.locale.empty()) c.locale = "en";
    if (parseLong(propertyText("esm.slp.DAHoldDown"), 0, 3600000, &v)) {
        c.holdDownMs = static_cast<int>(v);
    }
    return c;
}

}  // namespace slpclient
