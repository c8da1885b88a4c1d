#include "request_outcome.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "EndPoint.h"
#include "diag.h"

namespace {

const char* outcomeName(servicemetrics::Outcome o) {
    switch (o) {
        case servicemetrics::Outcome::Answered:
            return "answered";
        case servicemetrics::Outcome::Refused:
            return "refused";
        default:
            return "failed";
    }
}

std::string plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Whether standard error is the journal's stream for this service: JOURNAL_STREAM names its
// device and inode, and a child of the service that writes elsewhere inherits the variable too.
// Without journald's socket, sd_journal_send drops entries without an error.
bool stderrIsJournal() {
    const char* stream = getenv("JOURNAL_STREAM");
    if (stream == nullptr || access("/run/systemd/journal/socket", W_OK) != 0) return false;
    uintmax_t dev = 0;
    uintmax_t ino = 0;
    struct stat st {};
    return sscanf(stream, "%ju:%ju", &dev, &ino) == 2 && fstat(2, &st) == 0 &&
           static_cast<uintmax_t>(st.st_dev) == dev && static_cast<uintmax_t>(st.st_ino) == ino;
}

// The journal entry of o; false when the journal did not take it.
bool sendToJournal(const RequestOutcome& o, const std::string& line, const std::string& cause) {
    const int priority = o.outcome == servicemetrics::Outcome::Failed    ? LOG_WARNING
                         : o.outcome == servicemetrics::Outcome::Refused ? LOG_NOTICE
                                                                         : LOG_INFO;
    return sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%d", priority,
                           "SYSLOG_IDENTIFIER=esm-synthd", "ESM_PEER=%s", o.peer.c_str(),
                           "ESM_OUTCOME=%s", outcomeName(o.outcome), "ESM_CAUSE=%s", cause.c_str(),
                           "ESM_ENDPOINTS=%zu", o.endpoints, "ESM_ZONES=%zu", o.zones,
                           "ESM_SECONDS=%.3f", o.seconds, nullptr) >= 0;
}

void writeLine(const RequestOutcome& o, const std::string& cause) {
    static const bool sJournal = stderrIsJournal();
    const std::string line = outcomeLine(o);
    if (sJournal && sendToJournal(o, line, cause)) return;
    diagLine(DiagStream::Err, "%s\n", line.c_str());
}

std::string causeOf(const RequestOutcome& o) {
    if (o.outcome == servicemetrics::Outcome::Failed) return causeName(o.cause);
    return o.refusal;
}

}  // namespace

std::string outcomeLine(const RequestOutcome& o) {
    std::string line = "request from " + o.peer + ": ";
    if (o.handled) {
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%.3f", o.seconds);
        line += plural(o.endpoints, "endpoint", "endpoints") + ", " +
                plural(o.zones, "zone", "zones") + ", " + outcomeName(o.outcome) + " in " +
                seconds + " s";
    } else {
        line += outcomeName(o.outcome);
    }
    const std::string cause = causeOf(o);
    if (!cause.empty()) line += ": " + cause;
    if (!o.detail.empty()) line += ": " + o.detail;
    return line;
}

void reportRequestOutcome(const RequestOutcome& o) {
    writeLine(o, causeOf(o));
    servicemetrics::countRequest(o.outcome, o.seconds);
    if (o.outcome == servicemetrics::Outcome::Failed) servicemetrics::countFailure(o.cause);
}

void reportRefusedRequest(const std::string& peer, const std::string& reason) {
    RequestOutcome o;
    o.peer = peer;
    o.handled = false;
    o.outcome = servicemetrics::Outcome::Refused;
    o.refusal = "transport";
    o.detail = reason;
    reportRequestOutcome(o);
}

void reportRefusal(const RefusalInfo& refusal) {
    reportRefusedRequest(inet_NTOS(refusal.peerAddr) + ":" + std::to_string(refusal.peerPort),
                         refusal.reason != nullptr ? refusal.reason : "");
}
