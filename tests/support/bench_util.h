#pragma once

// Helpers of the multi-process benchmarks: child processes that end with the benchmark even when
// it is killed, bounded waits, loopback ports, medians and /proc readings. Single-threaded use.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using testutil::addrOf;
using testutil::freePort;
using testutil::slurp;
using testutil::waitFor;

// An integer option "--name VALUE" of a benchmark's command line, within [min, max].
struct IntOption {
    const char* name;
    int* value;
    int min;
    int max;
};

// Reads argv as "--name VALUE" pairs of opts into their values; false on any other argument, a
// missing value or one out of its range (the caller then prints its usage line).
bool parseIntOptions(int argc, char** argv, const std::vector<IntOption>& opts);

// Milliseconds from t until now.
double msSince(Clock::time_point t);

// Raises the soft descriptor limit to the hard one; children inherit it.
void raiseFdLimit();

// A child process (see testutil::spawn) with its standard output and error in the files outPath
// and errPath (or /dev/null). stop() or the destructor ends it with SIGTERM, then SIGKILL after
// 3 s, and reaps it.
class Proc {
public:
    Proc(const std::string& path, const std::vector<std::string>& args, const std::string& outPath,
         const std::string& errPath, const std::vector<std::string>& env = {});
    ~Proc() { stop(); }
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    pid_t pid() const { return mPid; }
    // Whether it still runs (reaps it when it ended).
    bool running();
    std::string err() const { return slurp(mErrPath); }
    // Waits until the error file contains text; false after timeoutMs or when the child ended.
    [[nodiscard]] bool waitErr(const std::string& text, int timeoutMs);
    void stop();

private:
    pid_t mPid = -1;
    std::string mErrPath;
};

// A temporary directory under $TMPDIR (or /tmp), removed with its files when destroyed. A
// benchmark killed by a signal leaves it behind: scripts/bench points TMPDIR at a directory of
// its own, which it removes.
using testutil::TempDir;

// What a multi-process benchmark's main() does first: its standard output line-buffered (a line
// per run as it comes), the descriptor limit raised; false after perror() when dir is not valid.
bool setUp(const TempDir& dir);

// Starts the daemon at path on port with the Directory Agent argument da, its output in outPath
// and errPath, and waits up to 5 s for it to listen; null after "WHO: esm-synthd did not start:
// ..." on standard error. The caller owns the process.
std::unique_ptr<Proc> startDaemon(const char* who, const std::string& path, uint16_t port,
                                  const std::string& da, const std::string& outPath,
                                  const std::string& errPath);

// Running proxies for a synthesis benchmark: count esm-proxy-sims on net + (10 + i) (with
// simArgs), sim i registered with slp-da on daAddr for the endpoint endpointAddr(i).
struct ProxyOverlay {
    std::vector<std::unique_ptr<Proc>> sims;
    std::vector<std::pair<std::string, uint16_t>> proxies;  // address and port of sim i
    std::unique_ptr<Proc> da;
    std::string daArg;  // "addr:port" of the Directory Agent
};

// Starts the overlay with its logs in dir; false after a line on standard error, starting with
// who, naming what did not start.
bool startProxyOverlay(const TempDir& dir, const std::string& net, int count,
                       const std::function<std::string(int)>& endpointAddr,
                       const std::vector<std::string>& simArgs, const std::string& daAddr,
                       const char* who, ProxyOverlay* out);

// The median of v; 0 when empty.
double median(std::vector<double> v);

// A "Name:   value kB" field of /proc/PID/status, in KiB; -1 when missing.
long procStatusField(pid_t pid, const std::string& name);

// The descriptors process pid holds open (the entries of /proc/PID/fd); -1 when unreadable.
long openDescriptors(pid_t pid);

}  // namespace bench
