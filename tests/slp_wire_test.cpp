// SLPv2 encoding and decoding against messages captured between an independent client library
// and Directory Agent.

#include "slp_wire.h"

#include <gtest/gtest.h>

#include "slp_test_util.h"

using slptest::Bytes;
using slptest::vector;
using slptest::xidOf;
using slpwire::UrlEntry;

namespace {

struct CapturedRqst {
    const char* file;
    const char* type;
    const char* scope;
    const char* predicate;
};

const CapturedRqst kRequests[] = {
    {"srvrqst_esmproxy_host", "ESMProxy", "default", "(&(addr=128.2.1.7)(mask=255.255.255.255))"},
    {"srvrqst_esmproxy_zone", "ESMProxy", "default", "(&(addr=10.1.0.0)(mask=255.255.0.0))"},
    {"srvrqst_compresource_gnp", "CompResource", "default",
     "(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=12.5 -3.0 7.25)))"},
    {"srvrqst_esmproxy_nomatch", "ESMProxy", "default",
     "(&(addr=128.2.1.8)(mask=255.255.255.255))"},
    {"srvrqst_esmproxy_emptyscope", "ESMProxy", "DEFAULT", ""},
    {"srvrqst_esmproxy_malformed", "ESMProxy", "default",
     "(&(addr=128.2.1.7)(mask=255.255.255.255)"},
    {"srvrqst_esmproxy_registered", "ESMProxy", "default", "(addr=128.2.1.9)"},
    {"srvrqst_scope_other", "ESMProxy", "other", ""},
    {"srvrqst_da_discovery", "service:directory-agent", "default", ""},
};

const UrlEntry kHost{65535, "service:ESMProxy://127.0.0.5:7020"};
const UrlEntry kZone{65535, "service:ESMProxy://127.0.0.6:7021"};
const UrlEntry kGnp9{65535, "service:CompResource://127.0.0.9/?x-GNP-num=1"};
const UrlEntry kGnp10{65535, "service:CompResource://127.0.0.10/?x-GNP-num=1"};

struct CapturedRply {
    const char* file;
    uint16_t error;
    std::vector<UrlEntry> urls;
};

const CapturedRply kReplies[] = {
    {"srvrply_esmproxy_host", 0, {kHost}},
    {"srvrply_esmproxy_zone", 0, {kZone}},
    {"srvrply_compresource_gnp", 0, {kGnp9, kGnp10}},
    {"srvrply_esmproxy_emptyscope", 0, {kHost, kZone}},
    {"srvrply_esmproxy_nomatch", 0, {}},
    {"srvrply_esmproxy_malformed", 0, {}},
    {"srvrply_esmproxy_registered", 0, {{315, "service:ESMProxy://127.0.0.7:7022"}}},
    {"srvrply_scope_not_supported", 4, {}},
};

}  // namespace

TEST(SlpWireClient, SrvRqstEncodingEqualsCapturedRequests) {
    for (const CapturedRqst& c : kRequests) {
        SCOPED_TRACE(c.file);
        Bytes captured = vector(c.file);
        ASSERT_FALSE(captured.empty());
        Bytes ours;
        ASSERT_TRUE(slpwire::encodeSrvRqst(xidOf(captured), "en", 0, "", c.type, c.scope,
                                           c.predicate, "", &ours));
        EXPECT_EQ(ours, captured);
    }
}

TEST(SlpWireClient, EncoderRefusesFieldsLongerThanTheirLength) {
    Bytes out;
    EXPECT_FALSE(
        slpwire::encodeSrvRqst(1, "en", 0, "", "t", "default", std::string(65536, 'x'), "", &out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(
        slpwire::encodeSrvRqst(1, "en", 0, "", "t", "default", std::string(65535, 'x'), "", &out));
    EXPECT_EQ(out.size(), 14u + 2 + 2 * 5 + 1 + 7 + 65535);
}

TEST(SlpWireClient, CapturedRepliesDecode) {
    for (const CapturedRply& c : kReplies) {
        SCOPED_TRACE(c.file);
        Bytes b = vector(c.file);
        slpwire::SrvRply r;
        ASSERT_EQ(slpwire::parseSrvRply(b.data(), b.size(), &r), slpwire::ReplyParse::kOk);
        EXPECT_EQ(r.hdr.xid, xidOf(b));
        EXPECT_EQ(r.hdr.lang, "en");
        EXPECT_EQ(r.hdr.flags, 0);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.urls, c.urls);
    }
}

TEST(SlpWireClient, AcknowledgementsDecode) {
    slpwire::SrvAck a;
    for (const char* file : {"srvack_srvreg", "srvack_srvdereg"}) {
        const Bytes b = vector(file);
        ASSERT_EQ(slpwire::parseSrvAck(b.data(), b.size(), &a), slpwire::ReplyParse::kOk) << file;
        EXPECT_EQ(a.hdr.xid, xidOf(b));
        EXPECT_EQ(a.error, 0);
    }
    const Bytes refused = {2, 5, 0, 0, 18, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 2, 'e', 'n', 0, 6};
    ASSERT_EQ(slpwire::parseSrvAck(refused.data(), refused.size(), &a), slpwire::ReplyParse::kOk);
    EXPECT_EQ(a.error, slpwire::kAuthenticationAbsent);
    EXPECT_EQ(slpwire::parseSrvAck(refused.data(), 17, &a), slpwire::ReplyParse::kTruncated);
    const Bytes rply = vector("srvrply_esmproxy_host");
    EXPECT_EQ(slpwire::parseSrvAck(rply.data(), rply.size(), &a), slpwire::ReplyParse::kMalformed);
}

TEST(SlpWireClient, EveryShortenedReplyIsTruncatedOrMalformed) {
    Bytes b = vector("srvrply_compresource_gnp");
    for (size_t n = 0; n < b.size(); ++n) {
        slpwire::SrvRply r;
        slpwire::ReplyParse p = slpwire::parseSrvRply(b.data(), n, &r);
        EXPECT_EQ(p, n >= 16 ? slpwire::ReplyParse::kTruncated : slpwire::ReplyParse::kMalformed)
            << n;
    }
}

TEST(SlpWireClient, BadRepliesAreRejected) {
    const Bytes good = vector("srvrply_esmproxy_host");
    slpwire::SrvRply r;
    auto parse = [&r](Bytes b) { return slpwire::parseSrvRply(b.data(), b.size(), &r); };

    Bytes b = good;
    b[0] = 1;  // version
    EXPECT_EQ(parse(b), slpwire::ReplyParse::kMalformed);
    b = good;
    b[1] = slpwire::kSrvAck;
    EXPECT_EQ(parse(b), slpwire::ReplyParse::kMalformed);
    b = good;
    b[19] = 2;  // two entries announced, one present
    EXPECT_EQ(parse(b), slpwire::ReplyParse::kMalformed);
    EXPECT_TRUE(r.urls.empty());
    b = good;
    b[23] = 0x30;  // URL length beyond the message
    EXPECT_EQ(parse(b), slpwire::ReplyParse::kMalformed);
    b = good;
    b[4] = 10;  // announced length shorter than the header
    EXPECT_EQ(parse(b), slpwire::ReplyParse::kMalformed);
}

TEST(SlpWireClient, ExtensionsAndAuthBlocksAreWalkedWithinBounds) {
    Bytes base = vector("srvrply_esmproxy_host");
    auto withExtension = [&base](uint16_t id, uint32_t next) {
        Bytes b = base;
        size_t off = b.size();
        b.insert(b.end(), {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0,
                           static_cast<uint8_t>(next >> 8), static_cast<uint8_t>(next), 0xaa});
        b[4] = static_cast<uint8_t>(b.size());
        b[9] = static_cast<uint8_t>(off);
        return b;
    };
    slpwire::SrvRply r;
    Bytes optional = withExtension(0x0002, 0);
    ASSERT_EQ(slpwire::parseSrvRply(optional.data(), optional.size(), &r),
              slpwire::ReplyParse::kOk);
    EXPECT_EQ(r.urls, std::vector<UrlEntry>{kHost});
    Bytes mandatory = withExtension(0x4001, 0);
    EXPECT_EQ(slpwire::parseSrvRply(mandatory.data(), mandatory.size(), &r),
              slpwire::ReplyParse::kMalformed);
    Bytes loop = withExtension(0x0002, static_cast<uint32_t>(base.size()));  // points at itself
    EXPECT_EQ(slpwire::parseSrvRply(loop.data(), loop.size(), &r), slpwire::ReplyParse::kMalformed);

    // One auth block of 12 bytes after the URL: skipped by its length.
    Bytes auth = base;
    auth.back() = 1;
    auth.insert(auth.end(), {0x00, 0x02, 0x00, 0x0c, 1, 2, 3, 4, 0x00, 0x00, 9, 9});
    auth[4] = static_cast<uint8_t>(auth.size());
    ASSERT_EQ(slpwire::parseSrvRply(auth.data(), auth.size(), &r), slpwire::ReplyParse::kOk);
    EXPECT_EQ(r.urls, std::vector<UrlEntry>{kHost});
    auth[auth.size() - 9] = 0x40;  // block length past the end
    EXPECT_EQ(slpwire::parseSrvRply(auth.data(), auth.size(), &r), slpwire::ReplyParse::kMalformed);
}

TEST(SlpWireAgent, CapturedRequestsParse) {
    for (const CapturedRqst& c : kRequests) {
        SCOPED_TRACE(c.file);
        Bytes b = vector(c.file);
        slpwire::Request req;
        ASSERT_TRUE(slpwire::parseRequest(b.data(), b.size(), &req));
        EXPECT_EQ(req.hdr.function, slpwire::kSrvRqst);
        EXPECT_EQ(req.rqst.srvtype, c.type);
        EXPECT_EQ(req.rqst.scopes, c.scope);
        EXPECT_EQ(req.rqst.predicate, c.predicate);
        EXPECT_EQ(req.rqst.prlist, "");
        EXPECT_EQ(req.rqst.spi, "");
        EXPECT_FALSE(req.unknownMandatoryExt);
        for (size_t n = 0; n < b.size(); ++n) {
            EXPECT_FALSE(slpwire::parseRequest(b.data(), n, &req)) << n;
        }
    }
}

TEST(SlpWireAgent, CapturedRegistrationsParse) {
    Bytes reg = vector("srvreg_esmproxy");
    slpwire::Request req;
    ASSERT_TRUE(slpwire::parseRequest(reg.data(), reg.size(), &req));
    EXPECT_EQ(req.hdr.function, slpwire::kSrvReg);
    EXPECT_EQ(req.hdr.flags, slpwire::kFlagFresh);
    EXPECT_EQ(req.reg.entry, (UrlEntry{300, "service:ESMProxy://127.0.0.7:7022"}));
    EXPECT_EQ(req.reg.srvtype, "service:ESMProxy");
    EXPECT_EQ(req.reg.scopes, "default");
    EXPECT_EQ(req.reg.attrs, "(addr=128.2.1.9),(mask=255.255.255.255)");

    Bytes dereg = vector("srvdereg_esmproxy");
    ASSERT_TRUE(slpwire::parseRequest(dereg.data(), dereg.size(), &req));
    EXPECT_EQ(req.hdr.function, slpwire::kSrvDeReg);
    EXPECT_EQ(req.dereg.scopes, "DEFAULT");
    EXPECT_EQ(req.dereg.entry, (UrlEntry{0, "service:ESMProxy://127.0.0.7:7022"}));
    EXPECT_EQ(req.dereg.tags, "");
    for (size_t n = 0; n < reg.size(); ++n)
        EXPECT_FALSE(slpwire::parseRequest(reg.data(), n, &req));
    for (size_t n = 0; n < dereg.size(); ++n) {
        EXPECT_FALSE(slpwire::parseRequest(dereg.data(), n, &req));
    }
}

TEST(SlpWireAgent, MalformedHeadersAreRejected) {
    const Bytes good = vector("srvrqst_esmproxy_host");
    slpwire::Request req;
    auto parses = [&req](Bytes b) { return slpwire::parseRequest(b.data(), b.size(), &req); };
    Bytes b = good;
    b.push_back(0);  // longer than announced
    EXPECT_FALSE(parses(b));
    b = good;
    b[6] = 0x01;  // a reserved flag bit
    EXPECT_FALSE(parses(b));
    for (uint8_t f : {0, 12, 255}) {
        b = good;
        b[1] = f;
        EXPECT_FALSE(parses(b)) << int(f);
    }
    b = good;
    b[0] = 1;
    EXPECT_FALSE(parses(b));
    b = good;
    b[9] = 0x60;  // extension offset past the end
    EXPECT_FALSE(parses(b));
    // A message type we do not serve still parses up to its header.
    b = good;
    b[1] = slpwire::kAttrRqst;
    EXPECT_TRUE(parses(b));
}

TEST(SlpWireAgent, EncodersReproduceCapturedReplies) {
    for (const CapturedRply& c : kReplies) {
        SCOPED_TRACE(c.file);
        Bytes captured = vector(c.file);
        EXPECT_EQ(slptest::srvRply(xidOf(captured), c.error, c.urls), captured);
    }
    for (const char* file : {"srvack_srvreg", "srvack_srvdereg"}) {
        Bytes captured = vector(file);
        Bytes ours;
        ASSERT_TRUE(slpwire::encodeSrvAck(xidOf(captured), "en", 0, &ours));
        EXPECT_EQ(ours, captured) << file;
    }
    Bytes advert = vector("daadvert_reply");
    Bytes ours;
    ASSERT_TRUE(slpwire::encodeDAAdvert(xidOf(advert), "en", 0, 0x6b182bc8,
                                        "service:directory-agent://127.0.0.1", "default", &ours));
    EXPECT_EQ(ours, advert);
    Bytes second = vector("daadvert_reply_second");
    ASSERT_TRUE(slpwire::encodeDAAdvert(xidOf(second), "en", 10, 0x6b182bc8,
                                        "service:directory-agent://127.0.0.1", "default", &ours));
    EXPECT_EQ(ours, second);

    Bytes reg = vector("srvreg_esmproxy");
    ASSERT_TRUE(slpwire::encodeSrvReg(
        xidOf(reg), "en", slpwire::kFlagFresh, {300, "service:ESMProxy://127.0.0.7:7022"},
        "service:ESMProxy", "default", "(addr=128.2.1.9),(mask=255.255.255.255)", &ours));
    EXPECT_EQ(ours, reg);
    Bytes dereg = vector("srvdereg_esmproxy");
    ASSERT_TRUE(slpwire::encodeSrvDeReg(xidOf(dereg), "en", "DEFAULT",
                                        {0, "service:ESMProxy://127.0.0.7:7022"}, "", &ours));
    EXPECT_EQ(ours, dereg);
}

TEST(SlpWireAgent, ReplyCutToWholeEntriesIsFlaggedOverflow) {
    std::vector<UrlEntry> urls = {kHost, kZone, kGnp9};
    Bytes full = slptest::srvRply(7, 0, urls);
    size_t included = 0;
    Bytes cut;
    // Room for the header, the counts and exactly two entries.
    size_t max = 20 + 39 + 39;
    ASSERT_TRUE(slpwire::encodeSrvRply(7, "en", 0, urls, max, &cut, &included));
    EXPECT_EQ(included, 2u);
    EXPECT_EQ(cut.size(), max);
    EXPECT_EQ(cut[5], 0x80);
    slpwire::SrvRply r;
    ASSERT_EQ(slpwire::parseSrvRply(cut.data(), cut.size(), &r), slpwire::ReplyParse::kOk);
    EXPECT_EQ(r.urls, (std::vector<UrlEntry>{kHost, kZone}));
    EXPECT_EQ(r.hdr.flags, slpwire::kFlagOverflow);
    EXPECT_EQ(full[5], 0);
}

TEST(SlpWireAgent, ErrorRepliesHaveTheShapeOfTheirType) {
    Bytes out;
    ASSERT_TRUE(slpwire::encodeErrorReply(slpwire::kAttrRply, 0x1234, "en", 14, &out));
    EXPECT_EQ(out,
              (Bytes{2, 7, 0, 0, 21, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 2, 'e', 'n', 0, 14, 0, 0, 0}));
    ASSERT_TRUE(slpwire::encodeErrorReply(slpwire::kSrvTypeRply, 0x1234, "en", 14, &out));
    EXPECT_EQ(out,
              (Bytes{2, 10, 0, 0, 20, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 2, 'e', 'n', 0, 14, 0, 0}));
    EXPECT_FALSE(slpwire::encodeErrorReply(slpwire::kDAAdvert, 1, "en", 14, &out));
    EXPECT_EQ(slpwire::replyFunction(slpwire::kSrvDeReg), slpwire::kSrvAck);
    EXPECT_EQ(slpwire::replyFunction(slpwire::kSrvRply), 0);
}
