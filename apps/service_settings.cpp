#include "service_settings.h"

#include <cstdlib>

#include "cli.h"
#include "memory_budget.h"
#include "net_util.h"
#include "no_destructor.h"

namespace {

constexpr uint64_t kMinBudgetBytes = 16ull << 20;
// Both lists full: no request can hold more.
constexpr long kMaxMaxEntries = 2 * 1048576;
constexpr long kMaxMaxWorkers = 4096;
constexpr long kMaxProxyTimeoutSec = 3600;

// One setting: its variable, what it accepts (in words, for the line that refuses a value), how
// it is read into the settings and how its value is written back.
struct Setting {
    const char* variable;
    const char* accepted;
    bool (*read)(const char* text, ServiceSettings* s);
    std::string (*show)(const ServiceSettings& s);
};

// A setting that is a whole number from Min to Max.
template <typename T, T ServiceSettings::*Field, long Min, long Max>
bool readNumber(const char* text, ServiceSettings* s) {
    long v = 0;
    if (!cli::parseNumber(text, Min, Max, &v)) return false;
    s->*Field = static_cast<T>(v);
    return true;
}

template <typename T, T ServiceSettings::*Field>
std::string showNumber(const ServiceSettings& s) {
    return std::to_string(s.*Field);
}

const Setting kSettings[] = {
    {"ESM_MEMORY_BUDGET",
     "a size of at least 16MiB, in bytes with an optional unit (1073741824, 512MiB, 1GiB)",
     [](const char* text, ServiceSettings* s) {
         uint64_t bytes = 0;
         if (!parseByteSize(text, &bytes) || bytes < kMinBudgetBytes) return false;
         s->memoryBudgetBytes = bytes;
         return true;
     },
     [](const ServiceSettings& s) { return std::to_string(s.memoryBudgetBytes); }},
    {"ESM_MAX_ENTRIES", "a number from 1 to 2097152",
     readNumber<size_t, &ServiceSettings::maxEntries, 1, kMaxMaxEntries>,
     showNumber<size_t, &ServiceSettings::maxEntries>},
    {"ESM_METRICS_ADDR", "ADDR:PORT, an IPv4 address or host name and a port from 1 to 65535",
     [](const char* text, ServiceSettings* s) {
         std::string host;
         uint16_t port = 0;
         bool hasPort = false;
         if (!splitHostPort(text, &host, &port, &hasPort) || !hasPort || port == 0) return false;
         s->metricsAddr = text;
         return true;
     },
     [](const ServiceSettings& s) { return s.metricsAddr; }},
    {"ESM_MAX_WORKERS", "a number from 1 to 4096",
     readNumber<int, &ServiceSettings::maxWorkers, 1, kMaxMaxWorkers>,
     showNumber<int, &ServiceSettings::maxWorkers>},
    {"ESM_PROXY_TIMEOUT", "a number of seconds from 1 to 3600",
     readNumber<int, &ServiceSettings::proxyTimeoutSec, 1, kMaxProxyTimeoutSec>,
     showNumber<int, &ServiceSettings::proxyTimeoutSec>},
};

ServiceSettings& installed() {
    static NoDestructor<ServiceSettings> sSettings;
    return *sSettings.get();
}

}  // namespace

bool readServiceSettings(ServiceSettings* out, std::string* error) {
    ServiceSettings s;
    for (const Setting& setting : kSettings) {
        const char* text = getenv(setting.variable);
        if (text == nullptr) continue;
        if (!setting.read(text, &s)) {
            *error =
                std::string(setting.variable) + "=" + text + " is not valid: " + setting.accepted;
            return false;
        }
    }
    *out = s;
    return true;
}

std::string describeServiceSettings(const ServiceSettings& s) {
    std::string out;
    for (const Setting& setting : kSettings) {
        const std::string value = setting.show(s);
        out += std::string(setting.variable) + (value.empty() ? " unset" : "=" + value) +
               (getenv(setting.variable) == nullptr ? " (default)\n" : "\n");
    }
    return out;
}

const ServiceSettings& serviceSettings() {
    return installed();
}

void installServiceSettings(const ServiceSettings& s) {
    installed() = s;
}
