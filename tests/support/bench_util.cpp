#include "bench_util.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace bench {

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

void raiseFdLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

Proc::Proc(const std::string& path, const std::vector<std::string>& args,
           const std::string& outPath, const std::string& errPath,
           const std::vector<std::string>& env)
    : mErrPath(errPath) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const int out = open(outPath.c_str(), flags, 0644);
    const int err = open(errPath.c_str(), flags, 0644);
    if (out >= 0 && err >= 0) mPid = testutil::spawn(path, args, env, out, err);
    if (out >= 0) close(out);
    if (err >= 0) close(err);
}

bool Proc::running() {
    if (mPid <= 0) return false;
    int status = 0;
    if (waitpid(mPid, &status, WNOHANG) == mPid) {
        mPid = -1;
        return false;
    }
    return true;
}

bool Proc::waitErr(const std::string& text, int timeoutMs) {
    return waitFor([&] { return !running() || err().find(text) != std::string::npos; },
                   timeoutMs) &&
           running();
}

void Proc::stop() {
    if (mPid <= 0) return;
    testutil::stopProcess(mPid);
    mPid = -1;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

long procStatusField(pid_t pid, const std::string& name) {
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
