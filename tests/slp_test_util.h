#pragma once

// Helpers of the SLP tests: the captured wire vectors, a scripted Directory Agent peer on a
// loopback address of its own (UDP and TCP on one port) for client tests, slp-da as a child
// process, and raw UDP and TCP exchanges. Every wait is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "slp_wire.h"
#include "test_util.h"

namespace slptest {

using Bytes = std::vector<uint8_t>;

// The message bytes of a captured vector file (tests/data/slp-vectors/<name>.hex).
inline Bytes vector(const std::string& name) {
    std::ifstream in(std::string(SLP_VECTOR_DIR) + "/" + name + ".hex");
    std::string line;
    std::getline(in, line);  // the description
    Bytes out;
    while (in >> line) out.push_back(static_cast<uint8_t>(std::stoul(line, nullptr, 16)));
    return out;
}

inline uint16_t xidOf(const Bytes& msg) {
    return static_cast<uint16_t>(msg[10] << 8 | msg[11]);
}

inline Bytes srvRply(uint16_t xid, uint16_t error, const std::vector<slpwire::UrlEntry>& urls,
                     size_t max = slpwire::kMaxLength) {
    Bytes out;
    slpwire::encodeSrvRply(xid, "en", error, urls, max, &out, nullptr);
    return out;
}

// One datagram or TCP request the fake agent received.
struct Received {
    Bytes bytes;
    bool tcp = false;
    std::chrono::steady_clock::time_point at;
};

// A scripted agent: for every request, `script(request, index, tcp)` returns the replies to
// send (none = stay silent). Runs on its own thread until destroyed.
class FakeDa {
public:
    using Script = std::function<std::vector<Bytes>(const Bytes& request, int index, bool tcp)>;

    FakeDa(const char* addr, Script script) : mScript(std::move(script)) {
        mUdp = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        // Port 0 for TCP, then the same port for UDP; retried in the rare case it is taken.
        for (int i = 0; i < 20; ++i) {
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = testutil::addrOf(addr);
            if (mTcp >= 0) close(mTcp);
            mTcp = socket(AF_INET, SOCK_STREAM, 0);
            setsockopt(mTcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            bind(mTcp, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            socklen_t len = sizeof sa;
            getsockname(mTcp, reinterpret_cast<sockaddr*>(&sa), &len);
            if (bind(mUdp, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
                mPort = ntohs(sa.sin_port);
                break;
            }
        }
        listen(mTcp, 8);
        mThread = std::thread([this] { loop(); });
    }
    ~FakeDa() {
        mStop = true;
        mThread.join();
        close(mUdp);
        close(mTcp);
    }

    uint16_t port() const { return mPort; }
    std::vector<Received> received() {
        std::lock_guard<std::mutex> lock(mMu);
        return mReceived;
    }

private:
    void record(const Bytes& b, bool tcp) {
        std::lock_guard<std::mutex> lock(mMu);
        mReceived.push_back({b, tcp, std::chrono::steady_clock::now()});
    }
    int count() {
        std::lock_guard<std::mutex> lock(mMu);
        return static_cast<int>(mReceived.size());
    }

    // Owns both sockets; shares mReceived (under mMu) with the test thread.
    void loop() {
        while (!mStop) {
            pollfd fds[2] = {{mUdp, POLLIN, 0}, {mTcp, POLLIN, 0}};
            if (poll(fds, 2, 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                Bytes buf(65536);
                sockaddr_in peer{};
                socklen_t len = sizeof peer;
                ssize_t n = recvfrom(mUdp, buf.data(), buf.size(), 0,
                                     reinterpret_cast<sockaddr*>(&peer), &len);
                if (n < 0) continue;
                buf.resize(static_cast<size_t>(n));
                int index = count();
                record(buf, false);
                for (const Bytes& r : mScript(buf, index, false)) {
                    sendto(mUdp, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&peer), len);
                }
            }
            if (fds[1].revents & POLLIN) serveTcp();
        }
    }

    void serveTcp() {
        int c = accept(mTcp, nullptr, nullptr);
        if (c < 0) return;
        Bytes req;
        uint8_t buf[4096];
        // One request per connection, read by its length field within 2 s.
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < end &&
               (req.size() < 5 || req.size() < slpwire::peekLength(req.data()))) {
            pollfd p{c, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            req.insert(req.end(), buf, buf + n);
        }
        int index = count();
        record(req, true);
        for (const Bytes& r : mScript(req, index, true)) {
            testutil::sendAll(c, std::string(r.begin(), r.end()));
        }
        close(c);
    }

    Script mScript;
    int mUdp = -1;
    int mTcp = -1;
    uint16_t mPort = 0;
    std::atomic<bool> mStop{false};
    std::mutex mMu;
    std::vector<Received> mReceived;  // guarded by mMu
    std::thread mThread;
};

// The registrations the captured vectors were answered from.
const char kVectorRegs[] =
    "service:ESMProxy://127.0.0.5:7020,en,65535\n"
    "addr=128.2.1.7\n"
    "mask=255.255.255.255\n"
    "\n"
    "service:ESMProxy://127.0.0.6:7021,en,65535\n"
    "addr=10.1.0.0\n"
    "mask=255.255.0.0\n"
    "\n"
    "# compute resources on active-network nodes\n"
    "service:CompResource://127.0.0.9/?x-GNP-num=1,en,65535\n"
    "foo=bar\n"
    "\n"
    "service:CompResource://127.0.0.10/?x-GNP-num=1,en,65535\n"
    "x-GNP-num=1\n"
    "x-GNP-clients=12.5 -3.0 7.25\n";

// A file with the given text under /tmp, removed when destroyed.
class TempFile {
public:
    explicit TempFile(const std::string& text) {
        char path[] = "/tmp/slp-reg-XXXXXX";
        FILE* f = fdopen(mkstemp(path), "w");
        mPath = path;
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    ~TempFile() { unlink(mPath.c_str()); }
    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};

#ifdef SLP_DA_PATH
// slp-da on addr with an ephemeral port, its registrations from regText.
class Agent {
public:
    Agent(const std::string& addr, const std::string& regText, std::vector<std::string> extra = {})
        : mAddr(addr), mReg(regText) {
        std::vector<std::string> args = {"--listen", addr + ":0", "--reg", mReg.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        mChild = std::make_unique<testutil::Child>(SLP_DA_PATH, args);
        testutil::waitFor([this] { return mChild->err().find('\n') != std::string::npos; });
        unsigned port = 0;
        sscanf(mChild->err().c_str(), "slp-da: listening on %*[0-9.]:%u", &port);
        mPort = static_cast<uint16_t>(port);
    }
    uint16_t port() const { return mPort; }
    std::string da() const { return mAddr + ":" + std::to_string(mPort); }
    std::string log() const { return mChild->err(); }
    const std::string& regPath() const { return mReg.path(); }
    testutil::Child& child() { return *mChild; }

private:
    std::string mAddr;
    TempFile mReg;
    std::unique_ptr<testutil::Child> mChild;
    uint16_t mPort = 0;
};
#endif

// One datagram to addr:port and the first answer within timeoutMs (empty when none).
Bytes askUdp(const std::string& addr, uint16_t port, const Bytes& msg, int timeoutMs = 2000) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = testutil::addrOf(addr.c_str());
    connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    send(s, msg.data(), msg.size(), 0);
    Bytes out(65536);
    pollfd p{s, POLLIN, 0};
    ssize_t n = poll(&p, 1, timeoutMs) == 1 ? recv(s, out.data(), out.size(), 0) : -1;
    close(s);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// One message over a new TCP connection and the one reply, read by its length field.
Bytes askTcp(const std::string& addr, uint16_t port, const Bytes& msg) {
    int s = testutil::connectTo(addr.c_str(), port);
    if (s < 0) return {};
    testutil::sendAll(s, std::string(msg.begin(), msg.end()));
    Bytes in;
    uint8_t buf[4096];
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end &&
           (in.size() < 5 || in.size() < slpwire::peekLength(in.data()))) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.insert(in.end(), buf, buf + n);
    }
    close(s);
    return in;
}

}  // namespace slptest
