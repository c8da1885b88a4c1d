#pragma once

// The Directory Agent's registrations, in store order (registration order; a fresh
// re-registration moves an entry to the end). Times are milliseconds of a monotonic clock,
// passed in by the caller. Not thread-safe: the agent serves one message at a time.

#include <cstdint>
#include <string>
#include <vector>

#include "slp_attr.h"
#include "slp_filter.h"
#include "slp_wire.h"

namespace slpda {

struct Registration {
    std::string url;
    std::string lang;
    std::string type;  // as registered, e.g. "service:ESMProxy"
    std::vector<std::string> scopes;
    std::vector<Attribute> attrs;
    uint16_t lifetime = 0;  // 65535: permanent, never ages
    int64_t expiresMs = 0;
};

constexpr uint16_t kPermanent = 65535;

class Store {
public:
    // Adds a registration. Fresh: replaces any entry of the same URL and language and moves it to
    // the end. Not fresh (an update): the entry must exist with the same type (else
    // INVALID_UPDATE) and scopes (else SCOPE_NOT_SUPPORTED); the listed attributes replace those
    // of the same tag. Returns a protocol error code (0 on success).
    uint16_t add(Registration reg, bool fresh, int64_t nowMs);

    // Removes a URL (every language) when tags is empty, else only the attributes whose tags
    // match one of the comma-separated patterns (which may use '*'). The scope list must equal the
    // registration's (else SCOPE_NOT_SUPPORTED). An unknown URL is not an error.
    uint16_t remove(const std::string& url, const std::vector<std::string>& scopes,
                    const std::string& tags, int64_t nowMs);

    // The live entries whose type matches `type`, which share a scope with `scopes` and satisfy
    // the filter, in store order, each URL once, with its remaining lifetime.
    std::vector<slpwire::UrlEntry> find(const std::string& type,
                                        const std::vector<std::string>& scopes,
                                        const Filter& filter, int64_t nowMs);

    // Number of live entries.
    size_t size(int64_t nowMs);

private:
    void expire(int64_t nowMs);
    std::vector<Registration> mEntries;
};

}  // namespace slpda
