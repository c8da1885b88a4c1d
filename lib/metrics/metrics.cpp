#include "metrics.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace metrics {

namespace {

// The shortest text that reads back as the same double; "+Inf", "-Inf" and "NaN" as the
// exposition format spells them.
std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char buf[32];
    for (int precision = 6; precision <= 17; ++precision) {
        snprintf(buf, sizeof buf, "%.*g", precision, v);
        if (strtod(buf, nullptr) == v) break;
    }
    return buf;
}

std::string escaped(const std::string& s, bool quote) {
    std::string out;
    for (char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && quote) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
    return out;
}

std::string labelText(const Labels& labels, const char* extraName = nullptr,
                      const std::string& extraValue = std::string()) {
    if (labels.empty() && extraName == nullptr) return std::string();
    std::string out = "{";
    const char* sep = "";
    for (const auto& [name, value] : labels) {
        out += sep + name + "=\"" + escaped(value, true) + "\"";
        sep = ",";
    }
    if (extraName != nullptr) out += sep + std::string(extraName) + "=\"" + extraValue + "\"";
    return out + "}";
}

}  // namespace

Histogram::Histogram(std::vector<double> upperBounds)
    : mBounds(std::move(upperBounds)), mBuckets(mBounds.size() + 1, 0) {}

void Histogram::observe(double v) {
    size_t i = 0;
    while (i < mBounds.size() && v > mBounds[i]) ++i;
    // One lock for the bucket, the count and the sum, so that a rendering never sees one
    // without the others. Uncontended it costs about 10 ns, and the daemon observes once per
    // request.
    std::lock_guard<std::mutex> lock(mMutex);
    ++mBuckets[i];
    ++mCount;
    mSum += v;
}

Histogram::Snapshot Histogram::snapshot() const {
    Snapshot out;
    out.cumulative.resize(mBounds.size());
    std::lock_guard<std::mutex> lock(mMutex);
    uint64_t running = 0;
    for (size_t i = 0; i < mBounds.size(); ++i) {
        running += mBuckets[i];
        out.cumulative[i] = running;
    }
    out.count = mCount;
    out.sum = mSum;
    return out;
}

struct Registry::Family {
    std::string name;
    std::string help;
    std::string type;
    std::vector<std::pair<Labels, std::unique_ptr<Counter>>> counters;
    std::vector<std::pair<Labels, std::unique_ptr<Histogram>>> histograms;
    std::function<std::vector<Sample>()> collect;
};

Registry::Registry() = default;
Registry::~Registry() = default;

Registry::Family& Registry::family(const std::string& name, const std::string& help,
                                   const char* type) {
    for (auto& f : mFamilies) {
        if (f->name == name) return *f;
    }
    mFamilies.push_back(std::make_unique<Family>());
    Family& f = *mFamilies.back();
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

Counter& Registry::counter(const std::string& name, const std::string& help, const Labels& labels) {
    std::lock_guard<std::mutex> lock(mMutex);
    Family& f = family(name, help, "counter");
    for (auto& [l, c] : f.counters) {
        if (l == labels) return *c;
    }
    f.counters.emplace_back(labels, std::make_unique<Counter>());
    return *f.counters.back().second;
}

void Registry::declareCounter(const std::string& name, const std::string& help) {
    std::lock_guard<std::mutex> lock(mMutex);
    family(name, help, "counter");
}

Histogram& Registry::histogram(const std::string& name, const std::string& help,
                               const std::vector<double>& upperBounds, const Labels& labels) {
    std::lock_guard<std::mutex> lock(mMutex);
    Family& f = family(name, help, "histogram");
    for (auto& [l, h] : f.histograms) {
        if (l == labels) return *h;
    }
    f.histograms.emplace_back(labels, std::make_unique<Histogram>(upperBounds));
    return *f.histograms.back().second;
}

void Registry::gauge(const std::string& name, const std::string& help,
                     std::function<std::vector<Sample>()> collect) {
    std::lock_guard<std::mutex> lock(mMutex);
    family(name, help, "gauge").collect = std::move(collect);
}

std::string Registry::render() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::string out;
    for (const auto& f : mFamilies) {
        out += "# HELP " + f->name + " " + escaped(f->help, false) + "\n";
        out += "# TYPE " + f->name + " " + f->type + "\n";
        for (const auto& [labels, c] : f->counters) {
            out += f->name + labelText(labels) + " " + std::to_string(c->value()) + "\n";
        }
        for (const auto& [labels, h] : f->histograms) {
            const Histogram::Snapshot snap = h->snapshot();
            for (size_t i = 0; i < snap.cumulative.size(); ++i) {
                out += f->name + "_bucket" + labelText(labels, "le", number(h->bounds()[i])) + " " +
                       std::to_string(snap.cumulative[i]) + "\n";
            }
            out += f->name + "_bucket" + labelText(labels, "le", "+Inf") + " " +
                   std::to_string(snap.count) + "\n";
            out += f->name + "_sum" + labelText(labels) + " " + number(snap.sum) + "\n";
            out += f->name + "_count" + labelText(labels) + " " + std::to_string(snap.count) + "\n";
        }
        if (f->collect) {
            for (const Sample& s : f->collect()) {
                out += f->name + labelText(s.labels) + " " + number(s.value) + "\n";
            }
        }
    }
    return out;
}

double residentMemoryBytes() {
    std::ifstream in("/proc/self/statm");
    unsigned long long size = 0, resident = 0;
    if (!(in >> size >> resident)) return 0;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double processStartTimeSeconds() {
    // Field 22 of /proc/self/stat is the start in clock ticks after boot; the command name
    // (field 2) may hold blanks, so counting starts after its closing parenthesis.
    std::ifstream statIn("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(statIn)), std::istreambuf_iterator<char>());
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    unsigned long long startTicks = 0;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) startTicks = strtoull(field.c_str(), nullptr, 10);
    }
    std::ifstream procStat("/proc/stat");
    std::string key;
    unsigned long long bootTime = 0;
    while (procStat >> key) {
        if (key == "btime") {
            procStat >> bootTime;
            break;
        }
    }
    if (startTicks == 0 || bootTime == 0) return 0;
    return static_cast<double>(bootTime) +
           static_cast<double>(startTicks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace metrics
