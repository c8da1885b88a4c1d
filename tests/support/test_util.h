#pragma once

// Helpers every test and benchmark shares: library output caught through the diagnostics sink,
// loopback ports and raw peers, bounded waits, child processes and temporary files. Every wait
// here is bounded; every function may run on any thread unless its comment says otherwise.

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "diag.h"

namespace testutil {

// ---- Output ----

// Catches what code of this process writes to one stream through the diagnostics sink (every
// library line), on any thread, from construction until restore() or destruction; the other
// stream passes on unchanged. Captures nest: the newest capture of a stream gets its text. No
// other sink may be installed while a capture lives.
class DiagCapture {
public:
    explicit DiagCapture(DiagStream stream);
    ~DiagCapture();
    DiagCapture(const DiagCapture&) = delete;
    DiagCapture& operator=(const DiagCapture&) = delete;

    // Everything caught so far.
    std::string text() const;
    // Stops catching; text() keeps what was caught.
    void restore();

private:
    // The sink installed while any capture lives.
    static void sink(DiagStream stream, const char* text, size_t len);

    DiagStream mStream;
    DiagCapture* mOuter = nullptr;  // the capture this one hides; guarded by the capture lock
    bool mActive = true;            // guarded by the capture lock
    std::string mText;              // guarded by the capture lock
};

// What f() makes library code write to stream.
template <class F>
std::string captured(DiagStream stream, F f) {
    DiagCapture c(stream);
    f();
    return c.text();
}

// Points descriptor fd (1 or 2) at a temporary file while alive; text() returns what was
// written so far. Only for output that bypasses the sink: a child process sharing our
// descriptors, or libc itself. Not thread-safe.
class CaptureFd {
public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    CaptureFd(const CaptureFd&) = delete;
    CaptureFd& operator=(const CaptureFd&) = delete;
    std::string text();
    void restore();

private:
    int mFd;
    int mTmp = -1;
    int mSaved = -1;
};

// ---- Files ----

// A directory of its own under $TMPDIR (or /tmp), removed with everything in it when destroyed.
// path() is empty when it could not be made.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "esm-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    bool valid() const { return !mPath.empty(); }
    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// The whole content of a file ("" when unreadable).
std::string slurp(const std::string& path);
// Replaces the file's content with text; false when it cannot be written.
bool spit(const std::string& path, const std::string& text);
// Lines of text, each without its line feed.
std::vector<std::string> lines(const std::string& text);
// The lines of text that contain needle.
std::vector<std::string> grep(const std::string& text, const std::string& needle);

// ---- Processes and threads ----

// The threads of this process right now (from /proc/self/task).
int threadCount();

// ---- Sockets ----

// The network-order address of a dotted quad; 0 for other text.
uint32_t addrOf(const char* dotted);

// A port of the given socket type that was free on every local address a moment ago, or 0.
// Binding the wildcard address also checks sockets bound to one address, which a daemon
// listening on the wildcard address would collide with.
uint16_t freePort(int type = SOCK_STREAM);
// The same, for callers that name the address they will use it on: free everywhere is free there.
uint16_t freePort(const char* addr, int type = SOCK_STREAM);

// Polls pred every 5 ms until it holds (true) or timeoutMs passes (false).
[[nodiscard]] bool waitFor(const std::function<bool()>& pred, int timeoutMs = 5000);

// A blocking TCP connection to addr:port, or -1; fromAddr picks the local address. The caller
// closes it.
int connectTo(const char* addr, uint16_t port, const char* fromAddr = nullptr);

// Polls connect until addr:port accepts (true) or timeoutMs passes (false).
[[nodiscard]] bool waitListening(const char* addr, uint16_t port, int timeoutMs = 5000);

// Sends all of bytes (no SIGPIPE); false when the connection fails first.
bool sendAll(int s, const std::string& bytes);

// Sends each part as a segment of its own: Nagle is off and pauseMs passes between parts, so
// that the receiver's reads see them separately.
bool sendSegments(int s, const std::vector<std::string>& parts, int pauseMs = 50);

// Reads until the peer closes or timeoutMs passes without data; what arrived either way.
std::string readAll(int s, int timeoutMs = 5000);

// Reads into *out until the peer closes (true) or timeoutMs passes without data or the
// connection fails (false).
[[nodiscard]] bool readUntilClosed(int s, std::string* out, int timeoutMs = 10000);

// ---- HTTP bytes ----

// The request the project's client sends to uri for body: the text plus its NUL byte.
std::string postRequest(const std::string& uri, const std::string& body);
// The server's success response around body.
std::string okResponse(const std::string& body);
// The server's error response.
inline constexpr char kErrorResponse[] = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";

// ---- Processes ----

// Starts path (execv) with args in a child process whose standard output and error are outFd
// and errFd, and whose descriptors 3, 4, ... are passFds. Entries of env "NAME=value" set a
// variable, a bare "NAME" removes it. The child is killed (SIGKILL) when the calling thread
// ends, so nothing outlives a test or benchmark that dies. Returns the pid, or -1.
pid_t spawn(const std::string& path, const std::vector<std::string>& args,
            const std::vector<std::string>& env, int outFd, int errFd,
            const std::vector<int>& passFds = {});

// Ends pid with SIGTERM, then SIGKILL after graceMs, and reaps it; returns the wait status.
int stopProcess(pid_t pid, int graceMs = 3000);

// A child process (see spawn) whose standard output and error go to files of its own, read
// back by out() and err(). stop() or the destructor ends it with SIGTERM, then SIGKILL after
// 3 s. The thread that creates it must outlive it. Not thread-safe.
class Child {
public:
    Child(const std::string& path, const std::vector<std::string>& args,
          const std::vector<std::string>& env = {}, const std::vector<int>& passFds = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return mPid; }
    std::string out() const;
    std::string err() const;
    // Waits up to timeoutMs for the exit; the wait status, or -1 while it still runs.
    [[nodiscard]] int wait(int timeoutMs);
    void signal(int sig);
    void stop();

private:
    pid_t mPid = -1;
    int mOut = -1;
    int mErr = -1;
    int mStatus = -1;
};

// What a program run to its end left: its exit status (-1 when it did not exit by itself within
// the time given, or died of a signal), its standard output and error.
struct Ran {
    int status;
    std::string out, err;
};
Ran run(const std::string& path, const std::vector<std::string>& args,
        const std::vector<std::string>& env = {}, int timeoutMs = 30000);

}  // namespace testutil
