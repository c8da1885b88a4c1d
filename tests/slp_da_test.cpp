// The slp-da program as a child process on loopback, asked with the captured requests and by
// hostile peers.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "slp_test_util.h"
#include "slp_wire.h"

using slptest::Agent;
using slptest::askTcp;
using slptest::askUdp;
using slptest::Bytes;
using slptest::kVectorRegs;
using slptest::TempFile;
using slptest::vector;
using slptest::xidOf;

TEST(SlpDaProgram, HelpAndVersion) {
    testutil::Child help(SLP_DA_PATH, {"--help"});
    ASSERT_EQ(help.wait(5000), 0);
    EXPECT_EQ(help.out().rfind("Usage: slp-da [OPTION]...\n", 0), 0u);
    for (const char* documented :
         {"--listen=", "--reg=", "--check", "--scopes=", "--allow-reg=", "--max-message=",
          "--max-filter-depth=", "--max-filter-leaves=", "--max-attrs=", "--max-registrations=",
          "--max-connections=", "--help", "--version",
          "slp-da: PROTO PEER SrvRqst type=\"T\" scope=\"S\" predicate=\"P\" urls=N error=E",
          "slp-da: reloaded FILE registrations=N"}) {
        EXPECT_NE(help.out().find(documented), std::string::npos) << documented;
    }
    testutil::Child version(SLP_DA_PATH, {"--version"});
    ASSERT_EQ(version.wait(5000), 0);
    EXPECT_EQ(version.out().rfind("slp-da ", 0), 0u);

    // Bad arguments: tests/cli_test.cpp.
}

TEST(SlpDaProgram, RegistrationFilesAreCheckedLineByLine) {
    TempFile broken("service:ESMProxy://127.0.0.5:7020,en,65535\naddr=1\n\nservice:x://h,en,0\n");
    testutil::Child refused(SLP_DA_PATH, {"--listen", "127.0.0.50:0", "--reg", broken.path()});
    int st = refused.wait(5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_EQ(refused.err(), "slp-da: " + broken.path() + ":4: lifetime must be 1..65535\n");

    TempFile good(kVectorRegs);
    testutil::Child check(SLP_DA_PATH, {"--check", "--reg=" + good.path()});
    ASSERT_EQ(check.wait(5000), 0);
    EXPECT_EQ(check.out(), good.path() + ": 4 registrations\n");

    TempFile noEquals(
        "service:ESMProxy://127.0.0.5:7020,en,65535\naddr=128.2.1.7\n"
        "mask 255.255.255.255\n");
    testutil::Child checkBad(SLP_DA_PATH, {"--check", "--reg", noEquals.path()});
    st = checkBad.wait(5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_EQ(checkBad.err(), "slp-da: " + noEquals.path() +
                                  ":3: \"mask 255.255.255.255\" is neither tag=value nor a "
                                  "keyword\n");

    testutil::Child missing(SLP_DA_PATH, {"--reg", "/nonexistent/slp.reg"});
    st = missing.wait(5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);
}

namespace {

// The agent on 127.0.0.1, as in the capture, so that even its DAAdvert URL compares.
class SlpDaVectors : public ::testing::Test {
protected:
    SlpDaVectors() : mAgent("127.0.0.1", kVectorRegs) {}
    Bytes udp(const Bytes& msg) { return askUdp("127.0.0.1", mAgent.port(), msg); }
    Bytes tcp(const Bytes& msg) { return askTcp("127.0.0.1", mAgent.port(), msg); }
    Agent mAgent;
};

}  // namespace

TEST_F(SlpDaVectors, CapturedRequestsGetTheCapturedReplies) {
    const std::pair<const char*, const char*> pairs[] = {
        {"srvrqst_esmproxy_host", "srvrply_esmproxy_host"},
        {"srvrqst_esmproxy_zone", "srvrply_esmproxy_zone"},
        {"srvrqst_compresource_gnp", "srvrply_compresource_gnp"},
        {"srvrqst_esmproxy_nomatch", "srvrply_esmproxy_nomatch"},
        {"srvrqst_esmproxy_emptyscope", "srvrply_esmproxy_emptyscope"},
        {"srvrqst_scope_other", "srvrply_scope_not_supported"},
    };
    for (const auto& [rqst, rply] : pairs) {
        EXPECT_EQ(udp(vector(rqst)), vector(rply)) << rqst;
        EXPECT_EQ(tcp(vector(rqst)), vector(rply)) << rqst << " over TCP";
    }
    // The captured agent answered an invalid predicate with nothing; we say PARSE_ERROR.
    Bytes malformed = vector("srvrqst_esmproxy_malformed");
    EXPECT_EQ(udp(malformed), slptest::srvRply(xidOf(malformed), slpwire::kParseError, {}));

    // The DAAdvert equals the captured one but for the boot time.
    Bytes advert = udp(vector("srvrqst_da_discovery"));
    Bytes captured = vector("daadvert_reply");
    ASSERT_EQ(advert.size(), captured.size());
    for (size_t i = 18; i < 22; ++i) advert[i] = captured[i];
    EXPECT_EQ(advert, captured);
}

TEST_F(SlpDaVectors, CapturedRegistrationLifecycle) {
    EXPECT_EQ(tcp(vector("srvreg_esmproxy")), vector("srvack_srvreg"));

    // Found with its remaining lifetime; the captured agent added 15 s to it, we do not.
    Bytes asked = vector("srvrqst_esmproxy_registered");
    Bytes reply = udp(asked);
    Bytes captured = vector("srvrply_esmproxy_registered");
    ASSERT_EQ(reply.size(), captured.size());
    int lifetime = reply[21] << 8 | reply[22];
    EXPECT_GE(lifetime, 298);
    EXPECT_LE(lifetime, 300);
    reply[21] = captured[21];
    reply[22] = captured[22];
    EXPECT_EQ(reply, captured);

    EXPECT_EQ(tcp(vector("srvdereg_esmproxy")), vector("srvack_srvdereg"));
    EXPECT_EQ(udp(asked), slptest::srvRply(xidOf(asked), 0, {}));
}

TEST_F(SlpDaVectors, ShortLifetimesRunOut) {
    Bytes reg;
    slpwire::encodeSrvReg(0x77, "en", slpwire::kFlagFresh, {1, "service:ESMProxy://127.0.0.8:1"},
                          "service:ESMProxy", "default", "(addr=9.9.9.9)", &reg);
    Bytes ack = udp(reg);
    ASSERT_EQ(ack.size(), 18u);
    EXPECT_EQ(ack[17], 0);
    Bytes ask;
    slpwire::encodeSrvRqst(0x78, "en", 0, "", "ESMProxy", "default", "(addr=9.9.9.9)", "", &ask);
    slpwire::SrvRply r;
    Bytes first = udp(ask);
    ASSERT_EQ(slpwire::parseSrvRply(first.data(), first.size(), &r), slpwire::ReplyParse::kOk);
    ASSERT_EQ(r.urls.size(), 1u);
    EXPECT_EQ(r.urls[0].lifetime, 1);
    EXPECT_TRUE(testutil::waitFor(
        [&] {
            Bytes b = udp(ask);
            return slpwire::parseSrvRply(b.data(), b.size(), &r) == slpwire::ReplyParse::kOk &&
                   r.urls.empty();
        },
        3000));
}

TEST_F(SlpDaVectors, MalformedPacketsAreDroppedAndTheAgentLivesOn) {
    Bytes good = vector("srvrqst_esmproxy_host");
    Bytes truncated(good.begin(), good.end() - 1);
    Bytes v1 = good;
    v1[0] = 1;
    Bytes longer = good;
    longer.push_back(0);
    Bytes flags = good;
    flags[6] = 0x10;
    Bytes badFunction = good;
    badFunction[1] = 42;
    for (const Bytes& b : {Bytes{}, Bytes{0xff}, truncated, v1, longer, flags, badFunction}) {
        EXPECT_TRUE(askUdp("127.0.0.1", mAgent.port(), b, 200).empty());
    }
    // Replies sent to the agent are not answered either.
    EXPECT_TRUE(askUdp("127.0.0.1", mAgent.port(), vector("srvrply_esmproxy_host"), 200).empty());
    EXPECT_NE(mAgent.log().find("malformed message of 81 bytes dropped"), std::string::npos);
    EXPECT_NE(mAgent.log().find("SrvRply ignored"), std::string::npos);

    // A TCP peer that breaks the framing loses its connection; others are still served.
    int s = testutil::connectTo("127.0.0.1", mAgent.port());
    ASSERT_GE(s, 0);
    ASSERT_TRUE(testutil::sendAll(s, std::string("\x02\x01\x00\x00\x03garbage", 12)));
    std::string answer;
    EXPECT_TRUE(testutil::readUntilClosed(s, &answer, 2000));
    EXPECT_EQ(answer, "");
    close(s);
    EXPECT_EQ(udp(good), vector("srvrply_esmproxy_host"));
    EXPECT_EQ(mAgent.child().wait(0), -1);  // still running
}

TEST_F(SlpDaVectors, OtherRequestsGetMsgNotSupported) {
    Bytes attr = vector("srvrqst_esmproxy_host");
    attr[1] = slpwire::kAttrRqst;
    Bytes expected;
    slpwire::encodeErrorReply(slpwire::kAttrRply, xidOf(attr), "en", slpwire::kMsgNotSupported,
                              &expected);
    EXPECT_EQ(udp(attr), expected);
    Bytes types = vector("srvrqst_esmproxy_host");
    types[1] = slpwire::kSrvTypeRqst;
    slpwire::encodeErrorReply(slpwire::kSrvTypeRply, xidOf(types), "en", slpwire::kMsgNotSupported,
                              &expected);
    EXPECT_EQ(tcp(types), expected);
}

namespace {

// Reads from s until n bytes have come or timeoutMs passed.
Bytes readBytes(int s, size_t n, int timeoutMs) {
    Bytes in;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buf[4096];
    while (in.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t got = recv(s, buf, std::min(sizeof buf, n - in.size()), 0);
        if (got <= 0) break;
        in.insert(in.end(), buf, buf + got);
    }
    return in;
}

// The captured DAAdvert pair, with this agent's boot time.
Bytes capturedAdverts(const Bytes& received) {
    Bytes both = vector("daadvert_reply");
    Bytes second = vector("daadvert_reply_second");
    both.insert(both.end(), second.begin(), second.end());
    for (size_t at : {size_t{18}, size_t{18 + 73}}) {
        for (size_t i = at; i < at + 4 && i < received.size(); ++i) both[i] = received[i];
    }
    return both;
}

}  // namespace

TEST_F(SlpDaVectors, LoopbackDiscoveryEndsWithTheErrorAdvert) {
    // The local-agent handshake: TCP, no scope list; both DAAdverts come in the stream at once.
    Bytes handshake;
    slpwire::encodeSrvRqst(0xbdf5, "en", 0, "", "service:directory-agent", "", "", "", &handshake);
    int s = testutil::connectTo("127.0.0.1", mAgent.port());
    ASSERT_GE(s, 0);
    ASSERT_TRUE(testutil::sendAll(s, std::string(handshake.begin(), handshake.end())));
    Bytes stream = readBytes(s, 146, 2000);
    close(s);
    EXPECT_EQ(stream, capturedAdverts(stream));

    // Over UDP the terminator is a second datagram.
    s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(mAgent.port());
    sa.sin_addr.s_addr = testutil::addrOf("127.0.0.1");
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    Bytes req = vector("srvrqst_da_discovery");
    send(s, req.data(), req.size(), 0);
    Bytes datagrams;
    for (int i = 0; i < 2; ++i) {
        Bytes d(2048);
        pollfd p{s, POLLIN, 0};
        ssize_t n = poll(&p, 1, 2000) == 1 ? recv(s, d.data(), d.size(), 0) : -1;
        ASSERT_EQ(n, 73) << "datagram " << i;
        datagrams.insert(datagrams.end(), d.begin(), d.begin() + n);
    }
    close(s);
    EXPECT_EQ(datagrams, capturedAdverts(datagrams));
}

TEST(SlpDaProgram, IdleAndTricklingConnectionsCannotLockTcpOut) {
    Agent agent("127.0.0.1", kVectorRegs, {"--max-connections", "4"});
    std::vector<int> idle;
    for (int i = 0; i < 4; ++i) idle.push_back(testutil::connectTo("127.0.0.1", agent.port()));
    // The table is full of idle connections: once idle for 1 s, the oldest makes room.
    EXPECT_EQ(askTcp("127.0.0.1", agent.port(), vector("srvrqst_esmproxy_host")),
              vector("srvrply_esmproxy_host"));
    EXPECT_TRUE(testutil::waitFor(
        [&] {
            return agent.log().find("idle connection closed to make room") != std::string::npos;
        },
        2000));
    for (int s : idle) close(s);
    // Peers that start a request and stall: once one has stalled for 1 s it makes room, and
    // each gets 5 s from its first byte.
    const Bytes req = vector("srvrqst_esmproxy_host");
    std::vector<int> slow;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        slow.push_back(testutil::connectTo("127.0.0.1", agent.port()));
        ASSERT_TRUE(testutil::sendAll(slow.back(), std::string(req.begin(), req.begin() + 3)));
    }
    EXPECT_EQ(askTcp("127.0.0.1", agent.port(), req), vector("srvrply_esmproxy_host"));
    EXPECT_TRUE(testutil::waitFor(
        [&] {
            return agent.log().find("stalled connection closed to make room") != std::string::npos;
        },
        2000));
    std::string ignored;
    EXPECT_TRUE(testutil::readUntilClosed(slow.back(), &ignored, 8000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
    EXPECT_TRUE(testutil::waitFor(
        [&] {
            return agent.log().find("message not complete within 5 s: connection closed") !=
                   std::string::npos;
        },
        1000));
    for (int s : slow) close(s);
}

TEST(SlpDaProgram, OnlyAllowedSendersRegisterAndTheFileIsReadOnHangup) {
    Agent agent("127.0.0.1", kVectorRegs, {"--allow-reg", "127.0.0.9/32"});
    // Over TCP from a chosen source address: the SrvAck's error code.
    auto registerFrom = [&](const char* from) {
        int s = testutil::connectTo("127.0.0.1", agent.port(), from);
        Bytes reg = vector("srvreg_esmproxy");
        testutil::sendAll(s, std::string(reg.begin(), reg.end()));
        Bytes ack = readBytes(s, 18, 2000);
        close(s);
        return ack.size() == 18 ? ack[17] : -1;
    };
    EXPECT_EQ(registerFrom("127.0.0.1"), slpwire::kAuthenticationAbsent);
    EXPECT_NE(agent.log().find("error=6 (not allowed to register)"), std::string::npos);
    EXPECT_EQ(registerFrom("127.0.0.9"), 0);

    // The file changes; SIGHUP reads it again and keeps the network registration.
    auto found = [&](const std::string& pred) {
        Bytes ask;
        slpwire::encodeSrvRqst(1, "en", 0, "", "ESMProxy", "default", pred, "", &ask);
        Bytes b = askUdp("127.0.0.1", agent.port(), ask);
        slpwire::SrvRply r;
        return slpwire::parseSrvRply(b.data(), b.size(), &r) == slpwire::ReplyParse::kOk
                   ? r.urls.size()
                   : size_t{99};
    };
    auto rewrite = [&](const std::string& text) {
        FILE* f = fopen(agent.regPath().c_str(), "w");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    };
    rewrite("service:ESMProxy://127.0.0.5:7020,en,65535\naddr=128.2.1.99\n");
    agent.child().signal(SIGHUP);
    ASSERT_TRUE(testutil::waitFor(
        [&] {
            return agent.log().find("slp-da: reloaded " + agent.regPath() + " registrations=2\n") !=
                   std::string::npos;
        },
        3000));
    EXPECT_EQ(found("(addr=128.2.1.7)"), 0u);
    EXPECT_EQ(found("(addr=128.2.1.99)"), 1u);
    EXPECT_EQ(found("(addr=128.2.1.9)"), 1u);  // registered over the network

    rewrite("service:ESMProxy://127.0.0.5:7020,en,65535\nmask 255.255.255.255\n");
    agent.child().signal(SIGHUP);
    ASSERT_TRUE(testutil::waitFor(
        [&] {
            return agent.log().find(
                       "slp-da: reload failed, keeping registrations=2: " + agent.regPath() +
                       ":2: \"mask 255.255.255.255\" is neither tag=value nor a "
                       "keyword\n") != std::string::npos;
        },
        3000));
    EXPECT_EQ(found("(addr=128.2.1.99)"), 1u);
}
