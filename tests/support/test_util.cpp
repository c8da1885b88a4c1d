#include "test_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace testutil {

// ---- Output ----

namespace {

std::mutex gCaptureMutex;
DiagCapture* gNewest[2] = {nullptr, nullptr};  // per stream; guarded by gCaptureMutex
int gLiveCaptures = 0;                         // guarded by gCaptureMutex
DiagSink gOuterSink = nullptr;                 // the sink before the first capture; same lock

size_t slot(DiagStream stream) {
    return stream == DiagStream::Out ? 0 : 1;
}

// Everything in fd from offset 0.
std::string readFd(int fd) {
    std::string out;
    char buf[4096];
    off_t off = 0;
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, off)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        off += n;
    }
    return out;
}

// An unlinked temporary file, closed on exec; -1 on failure.
int anonymousFile() {
    const char* base = getenv("TMPDIR");
    std::string path =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/esm-test-out-XXXXXX";
    int fd = mkostemp(&path[0], O_CLOEXEC);
    if (fd >= 0) unlink(path.c_str());
    return fd;
}

}  // namespace

DiagCapture::DiagCapture(DiagStream stream) : mStream(stream) {
    std::lock_guard<std::mutex> lock(gCaptureMutex);
    if (gLiveCaptures++ == 0) gOuterSink = setDiagSink(&DiagCapture::sink);
    mOuter = gNewest[slot(stream)];
    gNewest[slot(stream)] = this;
}

DiagCapture::~DiagCapture() {
    restore();
}

std::string DiagCapture::text() const {
    std::lock_guard<std::mutex> lock(gCaptureMutex);
    return mText;
}

void DiagCapture::restore() {
    std::lock_guard<std::mutex> lock(gCaptureMutex);
    if (!mActive) return;
    mActive = false;
    // Captures of one stream usually end newest first, but need not.
    DiagCapture** link = &gNewest[slot(mStream)];
    while (*link != nullptr && *link != this) link = &(*link)->mOuter;
    if (*link == this) *link = mOuter;
    if (--gLiveCaptures == 0) setDiagSink(gOuterSink);
}

void DiagCapture::sink(DiagStream stream, const char* text, size_t len) {
    std::lock_guard<std::mutex> lock(gCaptureMutex);
    if (DiagCapture* c = gNewest[slot(stream)]) {
        c->mText.append(text, len);
    } else if (gOuterSink != nullptr) {
        gOuterSink(stream, text, len);
    } else {
        // What the default sink does; a thread may still hold this sink after the last capture.
        fwrite(text, 1, len, stream == DiagStream::Out ? stdout : stderr);
    }
}

CaptureFd::CaptureFd(int fd) : mFd(fd) {
    fflush(nullptr);
    mTmp = anonymousFile();
    mSaved = dup(fd);
    if (mTmp >= 0 && mSaved >= 0) dup2(mTmp, fd);
}

CaptureFd::~CaptureFd() {
    restore();
    if (mTmp >= 0) close(mTmp);
}

std::string CaptureFd::text() {
    fflush(nullptr);
    return mTmp >= 0 ? readFd(mTmp) : "";
}

void CaptureFd::restore() {
    if (mSaved < 0) return;
    fflush(nullptr);
    dup2(mSaved, mFd);
    close(mSaved);
    mSaved = -1;
}

// ---- Files ----

TempDir::TempDir(const std::string& prefix) {
    const char* base = getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(&tmpl[0]) != nullptr) mPath = tmpl;
}

TempDir::~TempDir() {
    if (mPath.empty()) return;
    // Depth first, without following links: only what lies inside goes.
    nftw(
        mPath.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool spit(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

std::vector<std::string> grep(const std::string& text, const std::string& needle) {
    std::vector<std::string> out;
    for (const std::string& l : lines(text)) {
        if (l.find(needle) != std::string::npos) out.push_back(l);
    }
    return out;
}

// ---- Sockets ----

uint32_t addrOf(const char* dotted) {
    in_addr a{};
    return inet_aton(dotted, &a) != 0 ? a.s_addr : 0;
}

uint16_t freePort(int type) {
    int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
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

uint16_t freePort(const char*, int type) {
    return freePort(type);
}

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int connectTo(const char* addr, uint16_t port, const char* fromAddr) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (fromAddr != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = addrOf(fromAddr);
        if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
            close(s);
            return -1;
        }
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addrOf(addr);
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
        close(s);
        return -1;
    }
    return s;
}

bool waitListening(const char* addr, uint16_t port, int timeoutMs) {
    return waitFor(
        [&] {
            int s = connectTo(addr, port);
            if (s < 0) return false;
            close(s);
            return true;
        },
        timeoutMs);
}

bool sendAll(int s, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(s, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

bool sendSegments(int s, const std::vector<std::string>& parts, int pauseMs) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        if (!sendAll(s, parts[i])) return false;
    }
    return true;
}

std::string readAll(int s, int timeoutMs) {
    std::string out;
    (void)readUntilClosed(s, &out, timeoutMs);  // what arrived is the answer either way
    return out;
}

bool readUntilClosed(int s, std::string* out, int timeoutMs) {
    char buf[8192];
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n == 0) return true;
        if (n < 0) return false;
        out->append(buf, static_cast<size_t>(n));
    }
}

// ---- HTTP bytes ----

std::string postRequest(const std::string& uri, const std::string& body) {
    return "POST " + uri + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size() + 1) +
           "\r\n\r\n" + body + std::string(1, '\0');
}

std::string okResponse(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// ---- Processes ----

pid_t spawn(const std::string& path, const std::vector<std::string>& args,
            const std::vector<std::string>& env, int outFd, int errFd,
            const std::vector<int>& passFds) {
    // Everything the child needs is built before fork: after it, only async-signal-safe calls.
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) vars.emplace_back(*e);
    for (const std::string& change : env) {
        const std::string name = change.substr(0, change.find('=')) + "=";
        for (size_t i = vars.size(); i-- > 0;) {
            if (vars[i].compare(0, name.size(), name) == 0) vars.erase(vars.begin() + i);
        }
        if (change.find('=') != std::string::npos) vars.push_back(change);
    }
    std::vector<char*> envp;
    for (std::string& v : vars) envp.push_back(&v[0]);
    envp.push_back(nullptr);
    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    diagFlush();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The parent may have ended before prctl took effect; then no signal would come.
        if (getppid() != parent) _exit(127);
        if (dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) _exit(127);
        // Descriptors above those passed may be clobbered: callers pass few, created early.
        for (size_t i = 0; i < passFds.size(); ++i) {
            if (dup2(passFds[i], static_cast<int>(3 + i)) < 0) _exit(127);
        }
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int stopProcess(pid_t pid, int graceMs) {
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
    int status = -1;
    pid_t reaped = 0;
    const bool ended = waitFor(
        [&] {
            reaped = waitpid(pid, &status, WNOHANG);
            return reaped != 0 && !(reaped < 0 && errno == EINTR);
        },
        graceMs);
    if (!ended) {
        kill(pid, SIGKILL);
        do {
            reaped = waitpid(pid, &status, 0);
        } while (reaped < 0 && errno == EINTR);
    }
    return reaped == pid ? status : -1;
}

Child::Child(const std::string& path, const std::vector<std::string>& args,
             const std::vector<std::string>& env, const std::vector<int>& passFds)
    : mOut(anonymousFile()), mErr(anonymousFile()) {
    if (mOut >= 0 && mErr >= 0) mPid = spawn(path, args, env, mOut, mErr, passFds);
}

Child::~Child() {
    stop();
    if (mOut >= 0) close(mOut);
    if (mErr >= 0) close(mErr);
}

std::string Child::out() const {
    return mOut >= 0 ? readFd(mOut) : "";
}

std::string Child::err() const {
    return mErr >= 0 ? readFd(mErr) : "";
}

int Child::wait(int timeoutMs) {
    if (mPid <= 0) return mStatus;
    if (!waitFor([&] { return waitpid(mPid, &mStatus, WNOHANG) == mPid; }, timeoutMs)) return -1;
    mPid = -1;
    return mStatus;
}

void Child::signal(int sig) {
    if (mPid > 0) kill(mPid, sig);
}

void Child::stop() {
    if (mPid <= 0) return;
    mStatus = stopProcess(mPid);
    mPid = -1;
}

Ran run(const std::string& path, const std::vector<std::string>& args,
        const std::vector<std::string>& env, int timeoutMs) {
    Child c(path, args, env);
    const int status = c.wait(timeoutMs);
    return Ran{status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.out(), c.err()};
}

int threadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

}  // namespace testutil
