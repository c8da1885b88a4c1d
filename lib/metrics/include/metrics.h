#pragma once

// Counters, histograms and gauges in the Prometheus text format, and a small listener that
// serves them on GET /metrics. Families and their series are registered up front or on first
// use. Any thread may count at any time: counters are lock-free atomics, and a histogram takes a
// short lock of its own per observation, so that each rendering reads it whole.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace metrics {

// Label names and values of one series, in the order they are written.
using Labels = std::vector<std::pair<std::string, std::string>>;

class Counter {
public:
    void inc(uint64_t n = 1) { mValue.fetch_add(n, std::memory_order_relaxed); }
    uint64_t value() const { return mValue.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> mValue{0};
};

// Cumulative buckets with fixed upper bounds (seconds, bytes, ...), their sum and count.
class Histogram {
public:
    // The histogram as it was at one moment: per bound, the observations at most that bound
    // (cumulative), then the count of all of them and their sum.
    struct Snapshot {
        std::vector<uint64_t> cumulative;
        uint64_t count = 0;
        double sum = 0;
    };

    explicit Histogram(std::vector<double> upperBounds);
    void observe(double v);

    const std::vector<double>& bounds() const { return mBounds; }
    Snapshot snapshot() const;
    uint64_t count() const { return snapshot().count; }
    double sum() const { return snapshot().sum; }

private:
    const std::vector<double> mBounds;
    mutable std::mutex mMutex;
    std::vector<uint64_t> mBuckets;  // guarded by mMutex: one per bound and one beyond the last
    uint64_t mCount = 0;             // guarded by mMutex
    double mSum = 0;                 // guarded by mMutex
};

// One value of a gauge, read when the metrics are rendered.
struct Sample {
    Labels labels;
    double value = 0;
};

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The counter of family `name` with these labels, created on first use; the reference stays
    // valid for the life of the registry. Thread-safe (takes a lock: keep the reference when
    // counting on a hot path).
    Counter& counter(const std::string& name, const std::string& help, const Labels& labels = {});
    // Registers the counter family without any series yet, so that it has its place in the
    // text before its first series is counted.
    void declareCounter(const std::string& name, const std::string& help);
    Histogram& histogram(const std::string& name, const std::string& help,
                         const std::vector<double>& upperBounds, const Labels& labels = {});
    // A gauge family whose samples collect() gives at each rendering; collect runs on the
    // rendering thread, under the registry's lock, so it must not call back into the registry.
    void gauge(const std::string& name, const std::string& help,
               std::function<std::vector<Sample>()> collect);

    // Every family, in registration order, in the text exposition format (version 0.0.4).
    std::string render() const;

private:
    struct Family;
    Family& family(const std::string& name, const std::string& help, const char* type);

    mutable std::mutex mMutex;
    std::vector<std::unique_ptr<Family>> mFamilies;  // guarded by mMutex
};

// The process's resident memory in bytes and its start as seconds since 1970, from /proc; 0
// when unreadable.
double residentMemoryBytes();
double processStartTimeSeconds();

// Serves GET /metrics (and HEAD) with registry.render() on a listener of its own at
// "ADDR:PORT", with an event loop and a few threads of its own for the life of the process; GET
// /healthz answers 200 "ok" while healthy() holds (always when it is null), 503 otherwise.
// Other paths get 404, other methods 405, anything that is not a request head within 8 KiB and
// 2 s gets 400 or is dropped. Returns false with *error set ("ADDR:PORT: reason") when the
// address is bad or cannot be listened on.
bool startMetricsServer(const std::string& addrPort, const Registry* registry, std::string* error,
                        std::function<bool()> healthy = nullptr);

}  // namespace metrics
