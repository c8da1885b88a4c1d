// esm-synth, the command-line client, run as a process against a running daemon.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "Msg.h"
#include "msg_test_util.h"
#include "net_util.h"
#include "overlay_fixture.h"

using namespace overlay;

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

Outcome client(const std::vector<std::string>& args) {
    testutil::Child c(ESM_SYNTH_PATH, args);
    const int status = c.wait(20000);
    return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.out(), c.err()};
}

TEST(Client, UnreachableServiceIsExplained) {
    const uint16_t closed = testutil::freePort("127.0.0.1");
    const Outcome r = client({"127.0.0.1:" + std::to_string(closed), "--endpoint", "1.2.3.4"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "esm-synth: cannot connect to 127.0.0.1:" + std::to_string(closed) +
                         ": Connection refused\n");
}

TEST(Client, TimeoutBoundsTheWholeExchange) {
    // A peer that reads the request and never answers: the client gives up at --timeout.
    ProxySim hung("127.0.35.5", 7020, "--hang");
    const auto start = std::chrono::steady_clock::now();
    const Outcome r =
        client({hung.hostPort(), "--endpoint", "1.2.3.4", "--timeout", "1", "--json"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.status, 3);
    const std::string message = "no answer from " + hung.hostPort() +
                                " within 1 s; the service may still be asking Directory Agents "
                                "(up to 5 s each), waiting for a proxy (ESM_PROXY_TIMEOUT, 10 s "
                                "by default, per exchange) or loading proxies on compute nodes "
                                "(10 s each)";
    EXPECT_EQ(r.err, "esm-synth: " + message + "\n");
    EXPECT_EQ(r.out, "{\"error\": \"" + message + "\", \"status\": 3}\n");
}

TEST(Client, TimeoutBoundsTheNameLookup) {
    // A name server that takes the query and never answers, in the client's /etc/resolv.conf
    // (bind-mounted in a mount namespace of its own): binding port 53 and mounting need root.
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    Fd dns(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(53);
    sa.sin_addr.s_addr = testutil::addrOf("127.0.36.53");
    if (bind(dns.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        GTEST_SKIP() << "127.0.36.53:53 is taken";
    }
    testutil::TempDir dir;
    ASSERT_TRUE(testutil::spit(dir.file("resolv.conf"),
                               "nameserver 127.0.36.53\noptions timeout:30 attempts:1\n"));
    const auto start = std::chrono::steady_clock::now();
    testutil::Child c("/usr/bin/unshare",
                      {"-m", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
                       dir.file("resolv.conf"), ESM_SYNTH_PATH, "service.example:7020",
                       "--endpoint", "1.2.3.4", "--timeout", "1"});
    const int status = c.wait(10000);
    if (c.err().find("mount") != std::string::npos) GTEST_SKIP() << c.err();
    // The name server is told to wait 30 s; the client gives up after its 1 s (slower under a
    // sanitizer).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    EXPECT_EQ(c.err(),
              "esm-synth: cannot connect to service.example:7020: no connection within 1 s\n");
    char query[512];
    EXPECT_GT(recv(dns.get(), query, sizeof query, MSG_DONTWAIT), 0);  // the name was asked
}

// A daemon with a proxy for the endpoint 128.2.1.7 and one for the zone 10.1.0.0/16, on the
// addresses 127.0.N.x of one test (tests run side by side in separate processes).
class Service {
public:
    explicit Service(int n)
        : mNet("127.0." + std::to_string(n) + "."),
          mConfig(""),
          mProxy(mNet + "5", 7020),
          mZoneProxy(mNet + "6", 7020),
          mDa(mNet + "2", mConfig.path(),
              proxyReg(mProxy, "128.2.1.7", "255.255.255.255") +
                  proxyReg(mZoneProxy, "10.1.0.0", "255.255.0.0")),
          mDaemon(mDa.arg(), {"VARNO_PATH=" + mConfig.path(), "VARNO_GNPMONITOR"}) {}
    std::string target() const { return "127.0.0.1:" + std::to_string(mDaemon.port()); }
    const std::string& dir() const { return mConfig.path(); }

private:
    std::string mNet;
    ConfigDir mConfig;
    ProxySim mProxy, mZoneProxy;
    DirectoryAgent mDa;
    Daemon mDaemon;
};

TEST(ClientAgainstDaemon, PrintsATable) {
    Service svc(31);
    const std::string target = svc.target();
    const Outcome r =
        client({target, "--endpoint", "128.2.1.7", "--zone", "10.1.0.0/255.255.0.0@10.1.2.3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "KIND      ADDRESS            REPRESENTATIVE  GROUP            PORT TTL\n"
              "endpoint  128.2.1.7          -               224.5.6.7        7560   0\n"
              "zone      10.1.0.0/16        10.1.2.3        225.5.6.7        7560   1\n");
    EXPECT_EQ(r.err, "");
}

TEST(ClientAgainstDaemon, PrintsJson) {
    Service svc(32);
    const std::string target = svc.target();
    const Outcome r = client({target, "--zone", "10.1.0.0/16@10.1.2.3", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    // The id and version are the client's own; the rest is fixed.
    const size_t after = r.out.find(", \"transports\": [");
    ASSERT_NE(after, std::string::npos) << r.out;
    unsigned long id = 0, version = 0;
    EXPECT_EQ(sscanf(r.out.c_str(), "{\"id\": %lu, \"version\": %lu,", &id, &version), 2);
    EXPECT_EQ(id, version);  // a fresh client draws both from the clock
    EXPECT_EQ(r.out.substr(after),
              ", \"transports\": [\n  {\"kind\": \"zone\", \"address\": \"10.1.0.0/16\", "
              "\"representative\": \"10.1.2.3\", \"group\": \"225.5.6.7\", \"port\": 7560, "
              "\"ttl\": 1}\n]}\n");
}

TEST(ClientAgainstDaemon, RefusalIsExplained) {
    Service svc(33);
    const std::string target = svc.target();
    // No proxy and no coordinates for this endpoint: the service answers with its error.
    const Outcome r = client({target, "--endpoint", "128.2.1.99"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string message = "the service at " + target +
                                " refused the request (HTTP 400 Bad Request); esm-synth "
                                "--explain shows what its locator finds";
    EXPECT_EQ(r.err, "esm-synth: " + message + "\n");
    // With --json the same once more, as an object on standard output.
    const Outcome json = client({target, "--endpoint", "128.2.1.99", "--json"});
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.out, "{\"error\": \"" + message + "\", \"status\": 1}\n");
    EXPECT_EQ(json.err, r.err);
}

TEST(ClientAgainstDaemon, SendsAMessageFromAFile) {
    Service svc(34);
    const std::string target = svc.target();
    const std::string path = svc.dir() + "/req.xml";
    spit(path,
         "<?xml version=\"1.0\"?>\n<SynthESMReq><id>42</id><version>43</version>"
         "<endpointlist num=\"1\"><endpoint>128.2.1.7</endpoint></endpointlist>"
         "<zonelist num=\"0\"/></SynthESMReq>\n");
    const Outcome r = client({target, "--send", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "SynthESMOk id=42 version=43\n  eptransports: 224.5.6.7:7560 [ttl 0]\n"
              "  zonetransports: \n");
    const Outcome json = client({target, "--send", path, "--json"});
    EXPECT_EQ(json.out,
              "{\"type\": \"SynthESMOk\", \"id\": 42, \"version\": 43, \"eptransports\": "
              "[{\"group\": \"224.5.6.7\", \"port\": 7560, \"ttl\": 0}], \"zonetransports\": "
              "[]}\n");
    // "-" reads the message from standard input.
    testutil::Child piped("/bin/sh", {"-c", std::string("exec '") + ESM_SYNTH_PATH + "' " + target +
                                                " --send - < '" + path + "'"});
    EXPECT_EQ(WEXITSTATUS(piped.wait(20000)), 0) << piped.err();
    EXPECT_EQ(piped.out(), r.out);

    spit(path, "<ESMCommitOk><id>1</id><version>1</version></ESMCommitOk>");
    const Outcome notRequest = client({target, "--send", path});
    EXPECT_EQ(notRequest.status, 2);
    EXPECT_EQ(notRequest.err, "esm-synth: " + path + " does not hold a request message\n");
    const Outcome missing = client({target, "--send", path + ".missing"});
    EXPECT_EQ(missing.status, 2);
}

}  // namespace
