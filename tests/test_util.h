#pragma once

// Shared test helpers: output capture, loopback ports and raw peers, bounded waits, child
// processes. Every wait here is bounded.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

// Redirects fd 1 or 2 to a temporary file while alive; text() flushes and returns what was
// written so far. Connection threads print too, so this works at the descriptor level.
class CaptureFd {
public:
    explicit CaptureFd(int fd) : mFd(fd) {
        fflush(nullptr);
        char path[] = "/tmp/esm-capture-XXXXXX";
        mTmp = mkstemp(path);
        unlink(path);
        mSaved = dup(fd);
        dup2(mTmp, fd);
    }
    ~CaptureFd() {
        restore();
        close(mTmp);
    }
    std::string text() {
        fflush(nullptr);
        std::string out;
        char buf[4096];
        off_t off = 0;
        ssize_t n;
        while ((n = pread(mTmp, buf, sizeof buf, off)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return out;
    }
    void restore() {
        if (mSaved < 0) return;
        fflush(nullptr);
        dup2(mSaved, mFd);
        close(mSaved);
        mSaved = -1;
    }

private:
    int mFd;
    int mTmp = -1;
    int mSaved = -1;
};

inline uint32_t addrOf(const char* dotted) {
    in_addr a{};
    inet_aton(dotted, &a);
    return a.s_addr;
}

// A port that was free on addr a moment ago (bind port 0, read it back, close).
inline uint16_t freePort(const char* addr = "127.0.0.1", int type = SOCK_STREAM) {
    int s = socket(AF_INET, type, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrOf(addr);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    close(s);
    return ntohs(sa.sin_port);
}

// Polls pred every 10 ms until it holds or timeoutMs passes; returns its last value.
inline bool waitFor(const std::function<bool()>& pred, int timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A blocking TCP connection to addr:port, or -1. fromAddr picks the local address.
inline int connectTo(const char* addr, uint16_t port, const char* fromAddr = nullptr) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (fromAddr != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = addrOf(fromAddr);
        bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local);
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

// Polls connect until addr:port accepts, within timeoutMs.
inline bool waitListening(const char* addr, uint16_t port, int timeoutMs = 5000) {
    return waitFor(
        [&] {
            int s = connectTo(addr, port);
            if (s < 0) return false;
            close(s);
            return true;
        },
        timeoutMs);
}

inline bool sendAll(int s, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(s, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes or timeoutMs passes without data.
inline std::string readAll(int s, int timeoutMs = 5000) {
    std::string out;
    char buf[8192];
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// A child process started with execv; stopped with SIGTERM (then SIGKILL) when destroyed.
// env entries "NAME=value" set a variable for the child, a bare "NAME" removes it.
// Its standard output and error go to files that out()/err() read back.
class Child {
public:
    Child(const std::string& path, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {}) {
        char outPath[] = "/tmp/esm-child-out-XXXXXX";
        char errPath[] = "/tmp/esm-child-err-XXXXXX";
        mOut = mkstemp(outPath);
        mErr = mkstemp(errPath);
        unlink(outPath);
        unlink(errPath);
        fflush(nullptr);
        mPid = fork();
        if (mPid == 0) {
            dup2(mOut, 1);
            dup2(mErr, 2);
            // "NAME=value" sets a variable, a bare "NAME" removes it.
            for (const std::string& e : env) {
                if (e.find('=') == std::string::npos) {
                    unsetenv(e.c_str());
                } else {
                    putenv(const_cast<char*>(e.c_str()));
                }
            }
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(path.c_str()));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
    }
    ~Child() {
        stop();
        close(mOut);
        close(mErr);
    }
    pid_t pid() const { return mPid; }
    std::string out() const { return readFile(mOut); }
    std::string err() const { return readFile(mErr); }
    // Waits up to timeoutMs for the exit; returns the wait status, or -1 if still running.
    int wait(int timeoutMs) {
        if (mPid <= 0) return mStatus;
        bool done = waitFor(
            [&] {
                pid_t r = waitpid(mPid, &mStatus, WNOHANG);
                return r == mPid;
            },
            timeoutMs);
        if (!done) return -1;
        mPid = -1;
        return mStatus;
    }
    void signal(int sig) {
        if (mPid > 0) kill(mPid, sig);
    }
    void stop() {
        if (mPid <= 0) return;
        kill(mPid, SIGTERM);
        if (wait(3000) == -1 && mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &mStatus, 0);
            mPid = -1;
        }
    }

private:
    static std::string readFile(int fd) {
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
    pid_t mPid = -1;
    int mOut = -1;
    int mErr = -1;
    int mStatus = -1;
};

}  // namespace testutil

// ---- Raw HTTP peers ----

#include <netinet/tcp.h>

namespace testutil {

// Sends each part as a segment of its own: Nagle is off and pauseMs passes between parts, so
// that the receiver's reads see them separately.
inline bool sendSegments(int s, const std::vector<std::string>& parts, int pauseMs = 50) {
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        if (!sendAll(s, parts[i])) return false;
    }
    return true;
}

// Reads into *out until the peer closes (true) or timeoutMs passes without data or the
// connection fails (false).
inline bool readUntilClosed(int s, std::string* out, int timeoutMs = 10000) {
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

}  // namespace testutil

namespace testutil {

// What f() writes to fd (1 or 2). Assert afterwards: gtest's own messages go to fd 1 too.
template <class F>
std::string captured(int fd, F f) {
    CaptureFd c(fd);
    f();
    return c.text();
}

}  // namespace testutil
