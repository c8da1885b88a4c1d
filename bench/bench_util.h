#pragma once

// Helpers of the multi-process benchmarks: child processes that end with the benchmark even when
// it is killed, bounded waits, loopback ports, medians and /proc readings. Single-threaded use.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline uint32_t addrOf(const std::string& dotted) {
    in_addr a{};
    inet_aton(dotted.c_str(), &a);
    return a.s_addr;
}

// A TCP port that was free on every address a moment ago, or 0. Binding the wildcard address
// checks against sockets bound to any one address too, which a daemon listening on the
// wildcard address would collide with.
inline uint16_t freePort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof sa;
    uint16_t port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        port = ntohs(sa.sin_port);
    }
    close(s);
    return port;
}

// Polls pred every 5 ms until it holds or timeoutMs passes; returns its last value.
inline bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Raises the soft descriptor limit to the hard one; children inherit it.
inline void raiseFdLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// A child process with its standard output and error in files (or /dev/null). It receives
// SIGTERM when the benchmark dies, so nothing outlives an interrupted run; stop() ends it with
// SIGTERM, then SIGKILL after 3 s, and reaps it.
class Proc {
public:
    Proc(const std::string& path, const std::vector<std::string>& args, const std::string& outPath,
         const std::string& errPath, const std::vector<std::string>& env = {})
        : mErrPath(errPath) {
        const pid_t parent = getpid();
        fflush(nullptr);
        mPid = fork();
        if (mPid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);  // the parent died before prctl
            if (!redirect(outPath, 1) || !redirect(errPath, 2)) _exit(127);
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv{const_cast<char*>(path.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
    }
    ~Proc() { stop(); }
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    pid_t pid() const { return mPid; }
    bool running() {
        if (mPid <= 0) return false;
        int status = 0;
        if (waitpid(mPid, &status, WNOHANG) == mPid) {
            mPid = -1;
            return false;
        }
        return true;
    }
    std::string err() const { return slurp(mErrPath); }
    // Waits until the error file contains text; false after timeoutMs or when the child ended.
    bool waitErr(const std::string& text, int timeoutMs) {
        return waitFor([&] { return !running() || err().find(text) != std::string::npos; },
                       timeoutMs) &&
               running();
    }
    void stop() {
        if (mPid <= 0) return;
        kill(mPid, SIGTERM);
        int status = 0;
        const pid_t pid = mPid;
        if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 3000)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        mPid = -1;
    }

private:
    static bool redirect(const std::string& path, int target) {
        FILE* f = fopen(path.c_str(), "w");
        if (f == nullptr) return false;
        dup2(fileno(f), target);
        fclose(f);
        return true;
    }

    pid_t mPid = -1;
    std::string mErrPath;
};

// A temporary directory under $TMPDIR (or /tmp), removed with its files when destroyed. A
// benchmark killed by a signal leaves it behind: scripts/bench points TMPDIR at a directory of
// its own, which it removes.
class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string tmpl =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/esm-bench-XXXXXX";
        if (mkdtemp(&tmpl[0]) != nullptr) mPath = tmpl;
    }
    ~TempDir() {
        if (mPath.empty()) return;
        const std::string cmd = "rm -rf '" + mPath + "'";
        (void)!system(cmd.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    bool valid() const { return !mPath.empty(); }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A "Name:   value kB" field of /proc/PID/status, in KiB; -1 when missing.
inline long procStatusField(pid_t pid, const std::string& name) {
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            return strtol(line.c_str() + name.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

}  // namespace bench
