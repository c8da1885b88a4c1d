#pragma once

// The process-wide SLP properties behind SLPGetProperty/SLPSetProperty, and their typed reading
// for a lookup. All functions are thread-safe; values set later win.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "slp_wire.h"

namespace slpclient {

// The current text of a property, its default when never set, or "" for an unknown name.
std::string propertyText(const char* name);

// Library-owned text of the current value (kept for the life of the process, each distinct
// value once), or null for an unknown name that was never set.
const char* propertyInterned(const char* name);

void setPropertyText(const char* name, const char* value);

// The properties one lookup reads, taken once at its start.
struct LookupConfig {
    std::vector<std::string> agents;  // "net.slp.DAAddresses" entries, trimmed, empty ones dropped
    uint16_t port = 427;              // "net.slp.port"
    std::vector<int> timeoutsMs;      // "net.slp.unicastTimeouts"
    int maxWaitMs = 5000;             // "net.slp.unicastMaximumWait"
    size_t mtu = 1400;                // "net.slp.MTU"
    int maxResults = -1;              // "net.slp.maxResults"; -1 = no cap
    std::string useScopes;            // "net.slp.useScopes"
    std::string locale;               // "net.slp.locale"
    int holdDownMs = 30000;           // "esm.slp.DAHoldDown"; 0 = agents are never held down
};

// Reads the lookup properties; a value that does not parse falls back to its default.
LookupConfig lookupConfig();

using slpwire::splitList;
using slpwire::trim;

}  // namespace slpclient
