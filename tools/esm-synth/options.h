#pragma once

// esm-synth's command line: its options, how they are read and how a refusal or failure is
// reported.

#include <string>
#include <vector>

#include "EndPoint.h"

namespace esmsynth {

inline constexpr const char* kProg = "esm-synth";

enum Exit { kOk = 0, kRefused = 1, kUsage = 2, kUnreachable = 3 };

inline constexpr long kDefaultTimeoutSec = 60;

// A setting of --explain with where it was taken from, in words ("--da", "the environment",
// "ESM_DA in /etc/default/esm-synthd"), or why it is not set.
struct Sourced {
    std::string value;
    bool set = false;
    std::string from;
};

struct Options {
    std::string target;
    std::string sendFile;
    std::string da;
    bool haveDa = false;
    std::string settingsFile;  // --settings FILE
    bool haveSettings = false;
    // --explain: the Directory Agents and the configuration directory it uses. VARNO_PATH is
    // also in the environment by then, where the coordinates table reads it.
    Sourced agents;
    Sourced varnoPath;
    bool json = false;
    bool printRequest = false;
    bool explain = false;
    long timeoutSec = kDefaultTimeoutSec;
    std::vector<EndPoint> endpoints;
    std::vector<EndZone> zones;
};

// Reports a refusal or failure once: the line on standard error, and with --json the same as an
// object on standard output. Returns status.
int fail(const Options& o, int status, const std::string& message);

// Why the service would refuse this request, or "".
std::string requestProblem(const std::vector<EndPoint>& endpoints,
                           const std::vector<EndZone>& zones);

// Reads the command line into *o. Returns -1 to go on, else the exit status (after --help,
// --version or the line that names a bad argument).
int parseArgs(int argc, char** argv, Options* o);

}  // namespace esmsynth
