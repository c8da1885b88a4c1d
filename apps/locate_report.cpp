#include "locate_report.h"

#include "cli.h"

const char* causeName(FailureCause cause) {
    static const char* const kNames[kFailureCauses] = {
        "none",          "da_refused",     "da_silent",         "da_error",
        "not_found",     "coords_missing", "coords_invalid",    "bad_url",
        "proxy_refused", "proxy_timeout",  "proxy_wrong_reply", "proxy_error"};
    const int i = static_cast<int>(cause);
    return i >= 0 && i < kFailureCauses ? kNames[i] : "none";
}

std::string describeCoordinates(const CoordinatesExplanation& c) {
    using Result = CoordinatesExplanation::Result;
    const std::string line = std::to_string(c.line);
    switch (c.result) {
        case Result::Found:
            return c.path + " line " + line +
                   (c.coords.empty() ? " gives an empty value: " : ": ") + cli::jsonString(c.text);
        case Result::PathUnset:
            return "VARNO_PATH is not set";
        case Result::FileMissing:
            return c.path + " cannot be opened: " + c.reason;
        case Result::ReadError:
            if (c.line == 0) return c.path + " cannot be read: " + c.reason;
            return "reading " + c.path + " failed at line " + line;
        case Result::FormatError:
            return c.path + " is invalid at line " + line +
                   " (no blank between host and coordinates): " + cli::jsonString(c.text) +
                   "; no coordinates are read until it is corrected";
        default:
            return c.path + " does not list " + c.host;
    }
}

std::string describeFailure(const LocateReport& r) {
    if (r.kind != LocateReport::Kind::None) return "";
    switch (r.cause) {
        case FailureCause::DaRefused:
        case FailureCause::DaSilent:
        case FailureCause::DaError: {
            const LocatorQuery& q = r.running.result < 0 ? r.running : r.compute;
            std::string s = r.why + ":";
            const char* sep = " ";
            for (const agentreport::AgentResult& a : q.agents) {
                s += sep + ("Directory Agent " + a.agent + " ") + agentreport::describe(a);
                sep = "; ";
            }
            return q.agents.empty() ? r.why + " (no agent detail)" : s;
        }
        case FailureCause::BadUrl:
            return r.why;
        default:
            return r.why + ": " + describeCoordinates(r.coords);
    }
}
