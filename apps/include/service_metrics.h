#pragma once

// What the daemon does, counted as it happens, and the listener that publishes it in the
// Prometheus text format when ESM_METRICS_ADDR is set. Counting is always on (atomic adds); every
// function may run on any thread.

#include <string>

#include "locate_report.h"
#include "metrics.h"

namespace servicemetrics {

// The registry holding every family below; never destroyed.
metrics::Registry& registry();

// How the handler disposed of one request: answered with a SynthESMOk, refused before any proxy
// work (the wrong type, a request beyond a limit, or one the transport could not read), or
// failed (some endpoint or zone got no proxy, or a proxy could not be brought up).
enum class Outcome { Answered, Refused, Failed };
void countRequest(Outcome outcome, double seconds);
// The cause of one failed request (counted with countRequest's Failed).
void countFailure(FailureCause cause);

// What the locator found for one endpoint or zone.
void countLocate(LocateReport::Kind kind);

// One ESMInit or ESMCommit exchange with a running proxy (cause None: it went well; else one of
// the Proxy causes), and one launch on a compute node.
enum class Step { Init, Commit };
void countProxyExchange(Step step, FailureCause cause);
void countNodeLaunch();

// Hooks the counters that others report into: every SLP lookup's agents (through the SLP
// client's observer) and the requests the transport refuses. Call once, before serving.
void install();

// Starts the listener at addrPort ("ADDR:PORT", ESM_METRICS_ADDR). True when addrPort is empty
// (then nothing listens) or the listener runs; false with *error set when it cannot be started.
bool startListener(const std::string& addrPort, std::string* error);

}  // namespace servicemetrics
