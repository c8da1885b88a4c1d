#include "slp_test_util.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace slptest {

namespace {

// One SLP message from a stream socket, read by its length field until deadline.
Bytes readMessage(int s, std::chrono::steady_clock::time_point deadline) {
    Bytes in;
    uint8_t buf[4096];
    while (std::chrono::steady_clock::now() < deadline &&
           (in.size() < 5 || in.size() < slpwire::peekLength(in.data()))) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.insert(in.end(), buf, buf + n);
    }
    return in;
}

}  // namespace

Bytes vector(const std::string& name) {
    std::ifstream in(std::string(SLP_VECTOR_DIR) + "/" + name + ".hex");
    std::string line;
    std::getline(in, line);  // the description
    Bytes out;
    while (in >> line) out.push_back(static_cast<uint8_t>(std::stoul(line, nullptr, 16)));
    return out;
}

uint16_t xidOf(const Bytes& msg) {
    return msg.size() < 12 ? 0 : static_cast<uint16_t>(msg[10] << 8 | msg[11]);
}

Bytes srvRply(uint16_t xid, uint16_t error, const std::vector<slpwire::UrlEntry>& urls,
              size_t max) {
    Bytes out;
    slpwire::encodeSrvRply(xid, "en", error, urls, max, &out, nullptr);
    return out;
}

FakeDa::Script answer(std::vector<slpwire::UrlEntry> urls, uint16_t error) {
    return [urls, error](const Bytes& req, int, bool) {
        return std::vector<Bytes>{srvRply(xidOf(req), error, urls)};
    };
}

FakeDa::FakeDa(const char* addr, Script script) : mScript(std::move(script)) {
    mUdp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    // Port 0 for TCP, then the same port for UDP; retried in the rare case it is taken.
    for (int i = 0; i < 20; ++i) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = testutil::addrOf(addr);
        if (mTcp >= 0) close(mTcp);
        mTcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setsockopt(mTcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        bind(mTcp, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(mTcp, reinterpret_cast<sockaddr*>(&sa), &len);
        if (bind(mUdp, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            mPort = ntohs(sa.sin_port);
            break;
        }
    }
    if (mPort == 0 || listen(mTcp, 8) != 0) ADD_FAILURE() << "no port for the fake agent";
    mThread = std::thread([this] { loop(); });
}

FakeDa::~FakeDa() {
    mStop = true;
    mThread.join();
    close(mUdp);
    close(mTcp);
}

std::vector<Received> FakeDa::received() {
    std::lock_guard<std::mutex> lock(mMu);
    return mReceived;
}

void FakeDa::record(const Bytes& b, bool tcp) {
    std::lock_guard<std::mutex> lock(mMu);
    mReceived.push_back({b, tcp, std::chrono::steady_clock::now()});
}

int FakeDa::count() {
    std::lock_guard<std::mutex> lock(mMu);
    return static_cast<int>(mReceived.size());
}

void FakeDa::loop() {
    while (!mStop) {
        pollfd fds[2] = {{mUdp, POLLIN, 0}, {mTcp, POLLIN, 0}};
        if (poll(fds, 2, 50) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            Bytes buf(65536);
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            ssize_t n =
                recvfrom(mUdp, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer), &len);
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

void FakeDa::serveTcp() {
    int c = accept(mTcp, nullptr, nullptr);
    if (c < 0) return;
    // One request per connection.
    const Bytes req = readMessage(c, std::chrono::steady_clock::now() + std::chrono::seconds(2));
    int index = count();
    record(req, true);
    for (const Bytes& r : mScript(req, index, true)) {
        testutil::sendAll(c, std::string(r.begin(), r.end()));
    }
    close(c);
}

TempFile::TempFile(const std::string& text) : mPath(mDir.file("slp.reg")) {
    testutil::spit(mPath, text);
}

Agent::Agent(const std::string& addr, const std::string& regText,
             const std::vector<std::string>& extra)
    : mAddr(addr), mReg(regText) {
    std::vector<std::string> args = {"--listen", addr + ":0", "--reg", mReg.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    mChild = std::make_unique<testutil::Child>(SLP_DA_PATH, args);
    if (!testutil::waitFor([this] { return mChild->err().find('\n') != std::string::npos; })) {
        ADD_FAILURE() << "slp-da did not start: " << mChild->err();
    }
    unsigned port = 0;
    sscanf(mChild->err().c_str(), "slp-da: listening on %*[0-9.]:%u", &port);
    mPort = static_cast<uint16_t>(port);
}

Bytes askUdp(const std::string& addr, uint16_t port, const Bytes& msg, int timeoutMs) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return {};
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = testutil::addrOf(addr.c_str());
    Bytes out(65536);
    ssize_t n = -1;
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        send(s, msg.data(), msg.size(), 0) == static_cast<ssize_t>(msg.size())) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) == 1) n = recv(s, out.data(), out.size(), 0);
    }
    close(s);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

Bytes askTcp(const std::string& addr, uint16_t port, const Bytes& msg) {
    int s = testutil::connectTo(addr.c_str(), port);
    if (s < 0) return {};
    Bytes in;
    if (testutil::sendAll(s, std::string(msg.begin(), msg.end()))) {
        in = readMessage(s, std::chrono::steady_clock::now() + std::chrono::seconds(3));
    }
    close(s);
    return in;
}

SilentAgent::SilentAgent(const char* addr) : mAddr(addr) {
    mFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = testutil::addrOf(addr);
    bind(mFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(mFd, reinterpret_cast<sockaddr*>(&sa), &len);
    mPort = ntohs(sa.sin_port);
}

SilentAgent::~SilentAgent() {
    close(mFd);
}

int SilentAgent::drain() {
    uint8_t buf[2048];
    int n = 0;
    while (recv(mFd, buf, sizeof buf, 0) >= 0) ++n;
    return n;
}

}  // namespace slptest
