#include "bench_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli.h"

namespace bench {

bool parseIntOptions(int argc, char** argv, const std::vector<IntOption>& opts) {
    for (int i = 1; i < argc; i += 2) {
        auto o = std::find_if(opts.begin(), opts.end(),
                              [&](const IntOption& x) { return strcmp(argv[i], x.name) == 0; });
        long v = 0;
        if (o == opts.end() || i + 1 == argc || !cli::parseNumber(argv[i + 1], o->min, o->max, &v))
            return false;
        *o->value = static_cast<int>(v);
    }
    return true;
}

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

bool setUp(const TempDir& dir) {
    if (!dir.valid()) {
        perror("mkdtemp");
        return false;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    raiseFdLimit();
    return true;
}

std::unique_ptr<Proc> startDaemon(const char* who, const std::string& path, uint16_t port,
                                  const std::string& da, const std::string& outPath,
                                  const std::string& errPath) {
    auto daemon = std::make_unique<Proc>(path, std::vector<std::string>{std::to_string(port), da},
                                         outPath, errPath);
    if (daemon->waitErr("Listening on port", 5000)) return daemon;
    fprintf(stderr, "%s: esm-synthd did not start: %s\n", who, daemon->err().c_str());
    return nullptr;
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

long openDescriptors(pid_t pid) {
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    long n = 0;
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

bool startProxyOverlay(const TempDir& dir, const std::string& net, int count,
                       const std::function<std::string(int)>& endpointAddr,
                       const std::vector<std::string>& simArgs, const std::string& daAddr,
                       const char* who, ProxyOverlay* out) {
    std::string reg;
    for (int i = 0; i < count; ++i) {
        const std::string addr = net + std::to_string(10 + i);
        const uint16_t port = freePort();
        std::vector<std::string> args = {addr, std::to_string(port)};
        args.insert(args.end(), simArgs.begin(), simArgs.end());
        out->sims.push_back(std::make_unique<Proc>(PROXY_SIM_PATH, args, "/dev/null",
                                                   dir.file("sim" + std::to_string(i) + ".err")));
        out->proxies.emplace_back(addr, port);
        reg += "service:ESMProxy://" + addr + ":" + std::to_string(port) +
               ",en,65535\naddr=" + endpointAddr(i) + "\nmask=255.255.255.255\n\n";
    }
    for (size_t i = 0; i < out->sims.size(); ++i) {
        if (!out->sims[i]->waitErr("listening", 5000)) {
            fprintf(stderr, "%s: proxy simulator %zu did not start: %s\n", who, i,
                    out->sims[i]->err().c_str());
            return false;
        }
    }
    const std::string regPath = dir.file("slp.reg");
    std::ofstream(regPath) << reg;
    out->da = std::make_unique<Proc>(
        SLP_DA_PATH, std::vector<std::string>{"--listen", daAddr + ":0", "--reg", regPath},
        "/dev/null", dir.file("da.err"));
    const std::string listening = "listening on " + daAddr + ":";
    if (!out->da->waitErr(listening, 5000)) {
        fprintf(stderr, "%s: slp-da did not start: %s\n", who, out->da->err().c_str());
        return false;
    }
    const std::string text = out->da->err();
    out->daArg =
        daAddr + ":" + std::to_string(atoi(text.c_str() + text.find(listening) + listening.size()));
    return true;
}

}  // namespace bench
