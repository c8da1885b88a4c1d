#pragma once

// Every setting the daemon takes from its environment, read and checked once at start, before it
// serves anything: a value that is not valid stops the start instead of quietly running on a
// default the operator did not choose. Unset means the default.

#include <cstddef>
#include <cstdint>
#include <string>

struct ServiceSettings {
    uint64_t memoryBudgetBytes = 1ull << 30;  // ESM_MEMORY_BUDGET
    size_t maxEntries = 1024;                 // ESM_MAX_ENTRIES
    std::string metricsAddr;                  // ESM_METRICS_ADDR ("" for no listener)
    int maxWorkers = 256;                     // ESM_MAX_WORKERS
    int proxyTimeoutSec = 10;                 // ESM_PROXY_TIMEOUT: one exchange with a proxy
};

// Exit status of a start refused for a bad setting (EX_CONFIG): a service manager that restarts
// the daemon should not retry it.
constexpr int kConfigErrorStatus = 78;

// Reads every setting from the environment into *out. False at the first bad value, with *error
// one line naming the variable, the value and what is accepted
// ("ESM_MAX_ENTRIES=0 is not valid: a number from 1 to 2097152"). Thread-safe.
bool readServiceSettings(ServiceSettings* out, std::string* error);

// One line per setting ("ESM_MAX_ENTRIES=1024 (default)"), for a check that tells what it found.
std::string describeServiceSettings(const ServiceSettings& s);

// The settings the service runs with: the defaults until main installs what it read, before any
// thread that reads them starts. Read-only afterwards, so any thread may read them.
const ServiceSettings& serviceSettings();
void installServiceSettings(const ServiceSettings& s);
