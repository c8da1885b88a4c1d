#pragma once

// A whole overlay on loopback for the service tests: a Directory Agent holding registrations,
// proxy simulators, the monitor, a configuration directory with the coordinates file and the
// node-loader stand-in, and (for end-to-end tests) the daemon itself. Every peer is a real process
// on an address of its own in 127.0.N.0/24, N chosen per test, so tests can run side by side.

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace overlay {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
}

// Lines of text, each without its line feed.
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

inline std::vector<std::string> grep(const std::string& text, const std::string& needle) {
    std::vector<std::string> out;
    for (const std::string& l : lines(text)) {
        if (l.find(needle) != std::string::npos) out.push_back(l);
    }
    return out;
}

// One running Directory Agent with the given registration file text.
class DirectoryAgent {
public:
    DirectoryAgent(const std::string& addr, const std::string& dir, const std::string& reg)
        : mAddr(addr) {
        const std::string regPath = dir + "/slp.reg";
        spit(regPath, reg);
        mChild = std::make_unique<testutil::Child>(
            SLP_DA_PATH, std::vector<std::string>{"--listen", addr + ":0", "--reg", regPath});
        // The first line names the port it picked: "listening on ADDR:PORT ...".
        testutil::waitFor([&] { return mChild->err().find("listening on") != std::string::npos; });
        const std::string first = mChild->err();
        const size_t at = first.find("listening on " + addr + ":");
        if (at != std::string::npos)
            mPort = static_cast<uint16_t>(atoi(first.c_str() + at + 14 + addr.size()));
    }
    // The DA argument the daemon gets: "a.b.c.d:port".
    std::string arg() const { return mAddr + ":" + std::to_string(mPort); }
    uint16_t port() const { return mPort; }
    std::string log() const { return mChild->err(); }
    // The SrvRqst lines from "type=" through "urls=N".
    std::vector<std::string> queries() const {
        std::vector<std::string> out;
        for (const std::string& l : grep(log(), " SrvRqst type=")) {
            const size_t from = l.find("type=");
            const size_t urls = l.find(" urls=", from);
            const size_t end = l.find(' ', urls + 1);
            out.push_back(l.substr(from, (end == std::string::npos ? l.size() : end) - from));
        }
        return out;
    }

private:
    std::string mAddr;
    uint16_t mPort = 0;
    std::unique_ptr<testutil::Child> mChild;
};

class ProxySim {
public:
    ProxySim(const std::string& addr, uint16_t port, const std::string& fault = "")
        : mAddr(addr), mPort(port) {
        std::vector<std::string> args{addr, std::to_string(port)};
        if (!fault.empty()) args.push_back(fault);
        mChild = std::make_unique<testutil::Child>(PROXY_SIM_PATH, args);
        testutil::waitFor([&] { return mChild->err().find("listening") != std::string::npos; });
    }
    std::string out() const { return mChild->out(); }
    std::string url() const { return "service:ESMProxy://" + mAddr + ":" + std::to_string(mPort); }
    std::string hostPort() const { return mAddr + ":" + std::to_string(mPort); }

private:
    std::string mAddr;
    uint16_t mPort;
    std::unique_ptr<testutil::Child> mChild;
};

class Monitor {
public:
    explicit Monitor(const std::string& addr) {
        mChild =
            std::make_unique<testutil::Child>(GNP_MONITOR_PATH, std::vector<std::string>{addr});
        testutil::waitFor([&] { return mChild->err().find("listening") != std::string::npos; });
    }
    std::string out() const { return mChild->out(); }

private:
    std::unique_ptr<testutil::Child> mChild;
};

// A temporary configuration directory: gnp.coords and abone/sc.linux (the recording stand-in).
class ConfigDir {
public:
    explicit ConfigDir(const std::string& coords) {
        char tmpl[] = "/tmp/esm-varno-XXXXXX";
        mPath = mkdtemp(tmpl);
        spit(mPath + "/gnp.coords", coords);
        mkdir((mPath + "/abone").c_str(), 0755);
        spit(mPath + "/abone/sc.linux", slurp(NODE_LOADER_STUB));
        chmod((mPath + "/abone/sc.linux").c_str(), 0755);
    }
    ~ConfigDir() {
        const std::string cmd = "rm -rf '" + mPath + "'";
        (void)!system(cmd.c_str());
    }
    const std::string& path() const { return mPath; }
    // The command lines the node loader was run with, one per run.
    std::vector<std::string> loaderCalls() const {
        return lines(slurp(mPath + "/abone/calls.log"));
    }

private:
    std::string mPath;
};

// The registration file text for one entry.
inline std::string reg(const std::string& url, const std::vector<std::string>& attrs) {
    std::string r = url + ",en,65535\n";
    for (const std::string& a : attrs) r += a + "\n";
    return r + "\n";
}

// esm-synthd on a free port of 127.0.0.1 with the given DA argument and environment.
class Daemon {
public:
    Daemon(const std::string& daArg, const std::vector<std::string>& env)
        : mPort(testutil::freePort()) {
        mChild = std::make_unique<testutil::Child>(
            ESM_SYNTHD_PATH, std::vector<std::string>{std::to_string(mPort), daArg}, env);
        testutil::waitFor(
            [&] { return mChild->err().find("Listening on port") != std::string::npos; });
    }
    uint16_t port() const { return mPort; }
    testutil::Child& child() { return *mChild; }
    std::string out() const { return mChild->out(); }
    std::string err() const { return mChild->err(); }

private:
    uint16_t mPort;
    std::unique_ptr<testutil::Child> mChild;
};

// Posts body as the project's client does (text plus NUL) and returns the whole response.
inline std::string post(uint16_t port, const std::string& body, int timeoutMs = 30000) {
    int s = testutil::connectTo("127.0.0.1", port);
    if (s < 0) return "";
    const std::string req =
        "POST http://127.0.0.1:" + std::to_string(port) +
        "/query HTTP/1.1\r\nContent-Length: " + std::to_string(body.size() + 1) + "\r\n\r\n" +
        body + std::string(1, '\0');
    testutil::sendAll(s, req);
    std::string resp = testutil::readAll(s, timeoutMs);
    close(s);
    return resp;
}

inline std::string okResponse(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

const char* const kErrorResponse = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";

}  // namespace overlay
