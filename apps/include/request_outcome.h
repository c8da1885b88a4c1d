#pragma once

// One outcome line per request, when it ends: the peer, how many endpoints and zones it named,
// whether it was answered, refused or failed, the time it took and, unless answered, the cause
// naming the party and the reason. Under systemd (standard error is the journal stream named by
// JOURNAL_STREAM) the line goes to the journal with fields of its own (ESM_PEER, ESM_OUTCOME,
// ESM_CAUSE, ESM_ENDPOINTS, ESM_ZONES, ESM_SECONDS), elsewhere to standard error on a line of its
// own. Every function may run on any thread.

#include <cstddef>
#include <string>

#include "http_serve.h"
#include "locate_report.h"
#include "service_metrics.h"

struct RequestOutcome {
    std::string peer;     // "a.b.c.d:port" of the client
    bool handled = true;  // the handler saw it: the counts and the time are known
    size_t endpoints = 0;
    size_t zones = 0;
    servicemetrics::Outcome outcome = servicemetrics::Outcome::Answered;
    double seconds = 0;
    FailureCause cause = FailureCause::None;  // Failed: its cause
    std::string refusal;                      // Refused: its cause, e.g. "wrong_type"
    std::string detail;                       // unless answered: why, naming the party
};

// The outcome line of o, without line feed: "request from 127.0.0.1:40312: 1 endpoint, 0 zones,
// failed in 10.012 s: proxy_timeout: proxy 127.0.0.6:7020 (endpoint 128.2.1.7): ESMInit: no
// answer within 10 s".
std::string outcomeLine(const RequestOutcome& o);

// Writes the outcome line of o (see above) and counts the request: its outcome with its time,
// and the cause of a failure.
void reportRequestOutcome(const RequestOutcome& o);

// A request the transport refused before the handler saw it (not whole, over the memory budget,
// not a message): its outcome line, without counts or time ("request from P: refused:
// transport: REASON"), and the count of a refused request.
void reportRefusedRequest(const std::string& peer, const std::string& reason);
// The same, as the transport's refusal observer (setRefusalObserver).
void reportRefusal(const RefusalInfo& refusal);
