// The slp-da program as a child process on loopback, asked with the captured requests and by
// hostile peers.

#include <gtest/gtest.h>

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
