// The slp-da program as a child process on loopback, asked by the lookup classes, by the captured
// requests and by hostile peers.

#include <gtest/gtest.h>
#include <slp.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "SLP.h"
#include "slp/slp_wire.h"
#include "slp_test_util.h"

using slptest::Bytes;
using slptest::vector;
using slptest::xidOf;
using Clock = std::chrono::steady_clock;

namespace {

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

const char kHostFilter[] = "(&(addr=128.2.1.7)(mask=255.255.255.255))";
const char kZoneFilter[] = "(&(addr=10.1.0.0)(mask=255.255.0.0))";
const char kGnpFilter[] = "(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=12.5 -3.0 7.25)))";

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
    testutil::Child& child() { return *mChild; }

private:
    std::string mAddr;
    TempFile mReg;
    std::unique_ptr<testutil::Child> mChild;
    uint16_t mPort = 0;
};

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
    auto end = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < end && (in.size() < 5 || in.size() < slpwire::peekLength(in.data()))) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.insert(in.end(), buf, buf + n);
    }
    close(s);
    return in;
}

std::vector<std::string> urlsOf(SLPService& svc) {
    std::vector<ServiceInstance> v;
    svc.getSIvec(v);
    std::vector<std::string> out;
    for (const ServiceInstance& si : v) out.push_back(si.getServiceURL());
    return out;
}

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

TEST(SlpDaProgram, HelpArgumentsAndRegistrationFile) {
    testutil::Child help(SLP_DA_PATH, {"--help"});
    ASSERT_EQ(help.wait(5000), 0);
    EXPECT_EQ(
        help.out().rfind("usage: slp-da [--listen ADDR[:PORT]] [--reg FILE] [--scopes LIST]", 0),
        0u);
    EXPECT_NE(help.out().find("slp-da: PROTO PEER SrvRqst type=\"T\" scope=\"S\" predicate=\"P\" "
                              "urls=N error=E"),
              std::string::npos);

    testutil::Child bad(SLP_DA_PATH, {"--listen", "127.0.0.50:99999"});
    int st = bad.wait(5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 2);

    TempFile broken("service:ESMProxy://127.0.0.5:7020,en,65535\naddr=1\n\nservice:x://h,en,0\n");
    testutil::Child refused(SLP_DA_PATH, {"--listen", "127.0.0.50:0", "--reg", broken.path()});
    st = refused.wait(5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);
    EXPECT_EQ(refused.err(), "slp-da: " + broken.path() + ": line 4: lifetime must be 1..65535\n");

    testutil::Child missing(SLP_DA_PATH, {"--reg", "/nonexistent/slp.reg"});
    st = missing.wait(5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);
}

TEST(SlpDaLookup, TheLocatorPredicatesFindTheirProxies) {
    Agent agent("127.0.0.51", kVectorRegs);
    ASSERT_NE(agent.port(), 0);
    ASSERT_NE(agent.log().find("registrations=4"), std::string::npos);

    SLPService host("ESMProxy", kHostFilter, agent.da(), "default");
    ASSERT_EQ(host.FindServices(), 1);
    EXPECT_EQ(host.serviceAt(0)->getServiceURL(), "service:ESMProxy://127.0.0.5:7020");
    EXPECT_EQ(host.serviceAt(0)->getLifetime(), 65535);
    EXPECT_EQ(host.serviceAt(0)->getAddrStr(), "127.0.0.5");
    EXPECT_EQ(host.serviceAt(0)->getPort(), 7020);

    SLPService zone("ESMProxy", kZoneFilter, agent.da(), "default");
    ASSERT_EQ(zone.FindServices(), 1);
    EXPECT_EQ(zone.serviceAt(0)->getAddrStr(), "127.0.0.6");
    EXPECT_EQ(zone.serviceAt(0)->getPort(), 7021);

    SLPService gnp("CompResource", kGnpFilter, agent.da(), "default");
    ASSERT_EQ(gnp.FindServices(), 2);
    EXPECT_EQ(urlsOf(gnp),
              (std::vector<std::string>{"service:CompResource://127.0.0.9/?x-GNP-num=1",
                                        "service:CompResource://127.0.0.10/?x-GNP-num=1"}));
    EXPECT_EQ(gnp.serviceAt(1)->getAddrStr(), "127.0.0.10");
    EXPECT_EQ(gnp.serviceAt(1)->getPort(), 0);

    EXPECT_TRUE(testutil::waitFor([&] {
        return agent.log().find("SrvRqst type=\"CompResource\" scope=\"default\" predicate=\"" +
                                std::string(kGnpFilter) + "\" urls=2 error=0\n") !=
               std::string::npos;
    }));

    // SIGTERM ends the agent cleanly (a sanitizer finding would make the status non-zero).
    agent.child().signal(SIGTERM);
    int st = agent.child().wait(5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(SlpDaLookup, NothingFoundIsZeroAndLeavesNoResults) {
    Agent agent("127.0.0.52", kVectorRegs);
    SLPService none("ESMProxy", "(&(addr=128.2.1.8)(mask=255.255.255.255))", agent.da(), "default");
    EXPECT_EQ(none.FindServices(), 0);
    EXPECT_EQ(none.numFound(), 0);
    std::vector<ServiceInstance> v = {ServiceInstance("untouched", 5)};
    EXPECT_EQ(none.getSIvec(v), 0);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].getServiceURL(), "untouched");
    EXPECT_EQ(none.serviceAt(0), nullptr);

    SLPService otherScope("ESMProxy", "", agent.da(), "elsewhere");
    EXPECT_EQ(otherScope.FindServices(), -1);  // SCOPE_NOT_SUPPORTED
    SLPService malformed("ESMProxy", "(&(addr=128.2.1.7)", agent.da(), "default");
    EXPECT_EQ(malformed.FindServices(), -1);  // PARSE_ERROR
}

TEST(SlpDaLookup, AgentDownOrSilentGivesMinusOneInBoundedTime) {
    uint16_t closed = testutil::freePort("127.0.0.53", SOCK_DGRAM);
    SLPService down("ESMProxy", kHostFilter, "127.0.0.53:" + std::to_string(closed), "default");
    auto start = Clock::now();
    EXPECT_EQ(down.FindServices(), -1);
    EXPECT_LT(secondsSince(start), 1.0);

    // A socket that receives and never answers.
    int mute = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = testutil::addrOf("127.0.0.54");
    bind(mute, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(mute, reinterpret_cast<sockaddr*>(&sa), &len);
    SLPService silent("ESMProxy", kHostFilter, "127.0.0.54:" + std::to_string(ntohs(sa.sin_port)),
                      "default");
    start = Clock::now();
    EXPECT_EQ(silent.FindServices(), -1);
    EXPECT_LT(secondsSince(start), 5.5);
    close(mute);
}

TEST(SlpDaLookup, SixteenThreadsLookUpAtOnce) {
    Agent agent("127.0.0.55", kVectorRegs);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&agent, &wrong, t] {
            for (int i = 0; i < 10; ++i) {
                if (t % 2 == 0) {
                    SLPService svc("ESMProxy", kHostFilter, agent.da(), "default");
                    if (svc.FindServices() != 1 || svc.serviceAt(0)->getPort() != 7020) ++wrong;
                } else {
                    SLPService svc("CompResource", kGnpFilter, agent.da(), "default");
                    if (svc.FindServices() != 2) ++wrong;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(SlpDaLookup, LargeAnswersComeOverTcp) {
    std::string regs;
    for (int i = 0; i < 40; ++i) {
        regs += "service:ESMProxy://127.0.1." + std::to_string(i) +
                ":7020/with-a-path-long-enough,en,65535\naddr=10.0.0.1\n\n";
    }
    Agent agent("127.0.0.56", regs);
    SLPService svc("ESMProxy", "(addr=10.0.0.1)", agent.da(), "default");
    ASSERT_EQ(svc.FindServices(), 40);
    EXPECT_EQ(svc.serviceAt(39)->getServiceURL(),
              "service:ESMProxy://127.0.1.39:7020/with-a-path-long-enough");
    EXPECT_TRUE(testutil::waitFor(
        [&] { return agent.log().find(" urls=40 error=0") != std::string::npos; }));
    EXPECT_NE(agent.log().find("slp-da: udp "), std::string::npos);
    EXPECT_NE(agent.log().find("slp-da: tcp "), std::string::npos);
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
    testutil::sendAll(s, std::string("\x02\x01\x00\x00\x03garbage", 12));
    EXPECT_EQ(testutil::readAll(s, 2000), "");
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
