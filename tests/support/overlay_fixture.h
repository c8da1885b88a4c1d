#pragma once

// A whole overlay on loopback for the service tests: a Directory Agent holding registrations,
// proxy simulators, the monitor, a configuration directory with the coordinates file and the
// node-loader stand-in, and (for end-to-end tests) the daemon itself. Every peer is a real
// process on an address of its own in 127.0.N.0/24, N chosen per test, so tests can run side by
// side. A peer that does not come up fails the running test.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

namespace overlay {

using testutil::grep;
using testutil::kErrorResponse;
using testutil::lines;
using testutil::okResponse;
using testutil::slurp;
using testutil::spit;

// The addresses of one test: 127.0.n.host.
struct Net {
    int n;
    std::string at(int host) const;
};

// One running slp-da on addr with an ephemeral port, its registrations from the file text reg
// (written into dir).
class DirectoryAgent {
public:
    DirectoryAgent(const std::string& addr, const std::string& dir, const std::string& reg);
    // The DA argument the daemon gets: "a.b.c.d:port".
    std::string arg() const { return mAddr + ":" + std::to_string(mPort); }
    uint16_t port() const { return mPort; }
    std::string log() const { return mChild->err(); }
    // The SrvRqst lines from "type=" through "urls=N".
    std::vector<std::string> queries() const;

private:
    std::string mAddr;
    uint16_t mPort = 0;
    std::unique_ptr<testutil::Child> mChild;
};

// esm-proxy-sim on addr:port, with an optional fault option ("--fail-init", ...).
class ProxySim {
public:
    ProxySim(const std::string& addr, uint16_t port, const std::string& fault = "");
    std::string out() const { return mChild->out(); }
    std::string url() const { return "service:ESMProxy://" + hostPort(); }
    std::string hostPort() const { return mAddr + ":" + std::to_string(mPort); }

private:
    std::string mAddr;
    uint16_t mPort;
    std::unique_ptr<testutil::Child> mChild;
};

// gnp-monitor on addr (port 5646); out() is one line per notification.
class Monitor {
public:
    explicit Monitor(const std::string& addr);
    std::string out() const { return mChild->out(); }

private:
    std::unique_ptr<testutil::Child> mChild;
};

// A temporary configuration directory: gnp.coords and abone/sc.linux (the recording stand-in).
class ConfigDir {
public:
    explicit ConfigDir(const std::string& coords);
    const std::string& path() const { return mDir.path(); }
    // The command lines the node loader was run with, one per run.
    std::vector<std::string> loaderCalls() const;

private:
    testutil::TempDir mDir{"esm-varno"};
};

// The registration file text for one entry.
std::string reg(const std::string& url, const std::vector<std::string>& attrs);
// The registration of sim as the running proxy of the endpoint or zone addr/mask.
std::string proxyReg(const ProxySim& sim, const std::string& addr, const std::string& mask);
// The registration of a compute node at url for the coordinates "12.5 -3.0 7.25".
std::string computeReg(const std::string& url);

// esm-synthd on a free port with the given DA argument and environment changes (see
// testutil::spawn).
class Daemon {
public:
    Daemon(const std::string& daArg, const std::vector<std::string>& env);
    uint16_t port() const { return mPort; }
    testutil::Child& child() { return *mChild; }
    std::string out() const { return mChild->out(); }
    std::string err() const { return mChild->err(); }

private:
    uint16_t mPort;
    std::unique_ptr<testutil::Child> mChild;
};

// What the daemon writes on standard error as it starts on port with the DA argument daArg,
// before anything else: its start-up line and "Listening on port N".
std::string daemonStartLines(unsigned port, const std::string& daArg,
                             const std::string& metrics = "off");

// Posts body to 127.0.0.1:port as the project's client does and returns the whole response
// ("" when the connection fails).
std::string post(uint16_t port, const std::string& body, int timeoutMs = 30000);

}  // namespace overlay
