#pragma once

// What the proxy locator did for one endpoint or zone, step by step: the queries it sent and what
// each Directory Agent did with them, the coordinates it looked up, what it found or why nothing.
// The daemon's outcome line and esm-synth --explain both read it, so neither repeats the
// locator's decision. Plain values.

#include <string>
#include <vector>

#include "SLP.h"

// Why a request failed, one value per cause; causeName() is its label in the metrics and the
// outcome line.
enum class FailureCause {
    None,
    DaRefused,        // no Directory Agent answered: nothing listens where one should
    DaSilent,         // no Directory Agent answered within its retries
    DaError,          // a Directory Agent answered an error, or names no address
    NotFound,         // nothing registered, and no coordinates or no compute node for them
    CoordsMissing,    // nothing registered, and VARNO_PATH unset or gnp.coords not readable
    CoordsInvalid,    // nothing registered, and gnp.coords invalid at a line
    BadUrl,           // the registered URL names no IPv4 address or no port in 1..65535
    ProxyRefused,     // the proxy refused the connection or answered the error response
    ProxyTimeout,     // the proxy did not answer within the daemon's limit
    ProxyWrongReply,  // the proxy answered something other than the expected message
    ProxyError,       // the proxy closed early, or it could not be launched
};
constexpr int kFailureCauses = 12;
// "da_refused", "da_silent", ..., "proxy_error"; "none" for None.
const char* causeName(FailureCause cause);

// One SLP query the locator sent and what came back.
struct LocatorQuery {
    std::string type, scope, predicate;
    int result = -1;                               // FindServices: the number found, or -1
    std::vector<ServiceInstance> urls;             // in the order the agent answered them
    std::vector<agentreport::AgentResult> agents;  // in the order asked (none from a system libslp)
};

struct LocateReport {
    enum class Kind { Running, Node, None };  // a running proxy, a compute node, nothing usable
    LocatorQuery running;                     // the ESMProxy query, always sent
    bool askedCoords = false;                 // no running proxy: the coordinates were looked up
    CoordinatesExplanation coords;
    bool askedCompute = false;  // coordinates found: the CompResource query was sent
    LocatorQuery compute;
    Kind kind = Kind::None;
    FailureCause cause = FailureCause::None;  // Kind::None: why, as a cause
    std::string why;                          // Kind::None: why, in a few words
};

// Kind::None: why with the parties named (each Directory Agent and what it did, the coordinates
// file with its line, the URL): "no Directory Agent answered: 127.0.0.3:427 refused (nothing
// listens there)". "" otherwise.
std::string describeFailure(const LocateReport& r);

// Where the coordinates came from, or why there are none, naming the file and line:
// "/etc/esm-synth/gnp.coords line 3: \"10.0.0.1 1 2\"", "VARNO_PATH is not set",
// "/etc/esm-synth/gnp.coords is invalid at line 2 (...)", ...
std::string describeCoordinates(const CoordinatesExplanation& c);
