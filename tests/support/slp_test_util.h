#pragma once

// Helpers of the SLP tests: the captured wire vectors, a scripted Directory Agent peer on a
// loopback address of its own (UDP and TCP on one port) for client tests, slp-da as a child
// process, and raw UDP and TCP exchanges. Every wait is bounded.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "slp_wire.h"
#include "test_util.h"

namespace slptest {

using Bytes = std::vector<uint8_t>;

// The message bytes of a captured vector file (tests/data/slp-vectors/<name>.hex).
Bytes vector(const std::string& name);

// The XID of a message of at least 12 bytes.
uint16_t xidOf(const Bytes& msg);

// A SrvRply with the given entries, cut to max bytes as the agent cuts it.
Bytes srvRply(uint16_t xid, uint16_t error, const std::vector<slpwire::UrlEntry>& urls,
              size_t max = slpwire::kMaxLength);

// One datagram or TCP request the fake agent received.
struct Received {
    Bytes bytes;
    bool tcp = false;
    std::chrono::steady_clock::time_point at;
};

// A scripted agent: for every request, `script(request, index, tcp)` returns the replies to
// send (none = stay silent). Runs on its own thread until destroyed; received() may be called
// from any thread.
class FakeDa {
public:
    using Script = std::function<std::vector<Bytes>(const Bytes& request, int index, bool tcp)>;

    FakeDa(const char* addr, Script script);
    ~FakeDa();
    FakeDa(const FakeDa&) = delete;
    FakeDa& operator=(const FakeDa&) = delete;

    uint16_t port() const { return mPort; }
    std::vector<Received> received();

private:
    void record(const Bytes& b, bool tcp);
    int count();
    void loop();
    void serveTcp();

    Script mScript;
    int mUdp = -1;
    int mTcp = -1;
    uint16_t mPort = 0;
    std::atomic<bool> mStop{false};
    std::mutex mMu;
    std::vector<Received> mReceived;  // guarded by mMu
    std::thread mThread;              // owns both sockets while it runs
};

// A FakeDa script answering every request with the urls and the error code.
FakeDa::Script answer(std::vector<slpwire::UrlEntry> urls, uint16_t error = 0);

// A Directory Agent gone silent: a UDP socket on addr of its own that takes datagrams and never
// answers.
class SilentAgent {
public:
    explicit SilentAgent(const char* addr);
    ~SilentAgent();
    SilentAgent(const SilentAgent&) = delete;
    SilentAgent& operator=(const SilentAgent&) = delete;

    std::string da() const { return mAddr + ":" + std::to_string(mPort); }
    // The datagrams that arrived since the last call; they are consumed.
    int drain();

private:
    std::string mAddr;
    int mFd = -1;
    uint16_t mPort = 0;
};

// The registrations the captured vectors were answered from.
inline constexpr char kVectorRegs[] =
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

// A file with the given text in a directory of its own, both removed when destroyed.
class TempFile {
public:
    explicit TempFile(const std::string& text);
    const std::string& path() const { return mPath; }

private:
    testutil::TempDir mDir{"slp-reg"};
    std::string mPath;
};

// slp-da on addr with an ephemeral port, its registrations from regText and further options
// from extra. An agent that does not come up fails the running test and has port 0.
class Agent {
public:
    Agent(const std::string& addr, const std::string& regText,
          const std::vector<std::string>& extra = {});
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

// One datagram to addr:port and the first answer within timeoutMs (empty when none).
Bytes askUdp(const std::string& addr, uint16_t port, const Bytes& msg, int timeoutMs = 2000);

// One message over a new TCP connection and the one reply, read by its length field within 3 s
// (what arrived when the time runs out).
Bytes askTcp(const std::string& addr, uint16_t port, const Bytes& msg);

}  // namespace slptest
