// Golden wire bytes and round trips of every message class.
#include "Msg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <thread>

#include "msg_test_util.h"
#include "test_util.h"

using namespace msgtest;

namespace {

// ---- Fields to bytes: the examples every peer relies on ----

TEST(Golden, EsmControlMessages) {
    EXPECT_EQ(chars(ESMCommitOk(1000, 1001)),
              wire("<ESMCommitOk><id>1000</id><version>1001</version></ESMCommitOk>"));
    std::vector<TransportEndPoint> members{TransportEndPoint(A("10.0.0.1"), 4000)};
    EXPECT_EQ(chars(ESMCommit(1000, 1000, A("224.5.6.7"), 7560, 0, members)),
              wire("<ESMCommit><id>1000</id><version>1000</version><data_addr>224.5.6.7</data_addr>"
                   "<data_port>7560</data_port><ttl>0</ttl><memberlist num=\"1\"><member><addr>"
                   "10.0.0.1</addr><port>4000</port></member></memberlist></ESMCommit>"));
    std::vector<TransportEndPoint> none;
    EXPECT_EQ(chars(ESMCommit(1, 2, A("225.5.6.7"), 65535, 1, none)),
              wire("<ESMCommit><id>1</id><version>2</version><data_addr>225.5.6.7</data_addr>"
                   "<data_port>65535</data_port><ttl>1</ttl><memberlist num=\"0\"/></ESMCommit>"));
    EXPECT_EQ(chars(ESMInit(5, 6, 7560)),
              wire("<ESMInit><id>5</id><version>6</version><data_port>7560</data_port></ESMInit>"));
    EXPECT_EQ(chars(ESMInitOk(5, 6, A("127.0.0.5"), 255)),
              wire("<ESMInitOk><id>5</id><version>6</version><data_addr>127.0.0.5</data_addr>"
                   "<ttl>255</ttl></ESMInitOk>"));
}

TEST(Golden, SynthesisMessagesAndTheirLogLines) {
    std::vector<EndPoint> eps{EndPoint(A("128.2.0.1"))};
    EndZone z(A("10.0.0.0"), A("255.255.255.0"));
    z.setEP(A("10.0.0.200"));
    std::vector<EndZone> zones{z};
    testutil::DiagCapture out(DiagStream::Out);
    SynthESMReq req(7, 7, eps, zones);
    EXPECT_EQ(out.text(), "varno: setEP -939524086 -> -939524086\n");
    EXPECT_EQ(chars(req),
              wire("<SynthESMReq><id>7</id><version>7</version><endpointlist num=\"1\"><endpoint>"
                   "128.2.0.1</endpoint></endpointlist><zonelist num=\"1\"><zone><addr>10.0.0.0"
                   "</addr><mask>255.255.255.0</mask><ep>-939524086</ep></zone></zonelist>"
                   "</SynthESMReq>"));

    std::vector<MulticastEndPoint> ept{MulticastEndPoint(A("224.5.6.7"), 7560, 0)};
    std::vector<MulticastEndPoint> zt{MulticastEndPoint(A("225.5.6.7"), 7560, 1)};
    EXPECT_EQ(chars(SynthESMOk(7, 7, ept, zt)),
              wire("<SynthESMOk><id>7</id><version>7</version><eptransportlist num=\"1\">"
                   "<eptransport><addr>224.5.6.7</addr><port>7560</port><ttl>0</ttl></eptransport>"
                   "</eptransportlist><zonetransportlist num=\"1\"><zonetransport><addr>225.5.6.7"
                   "</addr><port>7560</port><ttl>1</ttl></zonetransport></zonetransportlist>"
                   "</SynthESMOk>"));

    std::vector<EndPoint> noEps;
    std::vector<EndZone> noZones;
    EXPECT_EQ(chars(SynthESMReq(0, 0, noEps, noZones)),
              wire("<SynthESMReq><id>0</id><version>0</version><endpointlist num=\"0\"/>"
                   "<zonelist num=\"0\"/></SynthESMReq>"));
}

TEST(Golden, GatewayAndZoneMessages) {
    std::vector<EndZone> zones{EndZone(A("10.1.0.0"), A("255.255.0.0"))};
    std::vector<unsigned int> idx{0};
    EXPECT_EQ(chars(SynthIPMZOk(7, 7, zones, idx)),
              wire("<SynthIPMZOk><id>7</id><version>7</version><zonelist num=\"1\"><zone><addr>"
                   "10.1.0.0</addr><mask>255.255.0.0</mask></zone></zonelist><idxlist num=\"1\">"
                   "<idx>0</idx></idxlist></SynthIPMZOk>"));
    std::vector<vicSDREndPoint> vics;
    std::vector<NetmeetingEndPoint> nms;
    EXPECT_EQ(chars(SynthVGWReq(7, 7, A("224.2.3.4"), 5004, 16, vics, nms)),
              wire("<SynthVGWReq><id>7</id><version>7</version><vgwdataaddr>224.2.3.4</vgwdataaddr>"
                   "<vgwdataport>5004</vgwdataport><vgwttl>16</vgwttl><vicsdrlist num=\"0\"/>"
                   "<netmeetinglist num=\"0\"/></SynthVGWReq>"));
    vics.emplace_back("", A("10.0.0.1"), A("224.1.1.1"), 65535, 255);
    nms.emplace_back("bob", A("10.0.0.2"));
    EXPECT_EQ(chars(SynthVGWReq(1, 1, A("224.2.3.4"), 5004, 16, vics, nms)),
              wire("<SynthVGWReq><id>1</id><version>1</version><vgwdataaddr>224.2.3.4</vgwdataaddr>"
                   "<vgwdataport>5004</vgwdataport><vgwttl>16</vgwttl><vicsdrlist num=\"1\">"
                   "<vicsdr><user/><addr>10.0.0.1</addr><dataaddr>224.1.1.1</dataaddr><dataport>"
                   "65535</dataport><ttl>255</ttl></vicsdr></vicsdrlist><netmeetinglist num=\"1\">"
                   "<netmeeting><user>bob</user><addr>10.0.0.2</addr></netmeeting>"
                   "</netmeetinglist></SynthVGWReq>"));
    std::vector<EndPoint> eps{EndPoint(A("1.2.3.4"))};
    EXPECT_EQ(chars(SynthIPMZReq(3, 4, eps)),
              wire("<SynthIPMZReq><id>3</id><version>4</version><endpointlist num=\"1\"><endpoint>"
                   "1.2.3.4</endpoint></endpointlist></SynthIPMZReq>"));
    EXPECT_EQ(chars(SynthVGWOk(3, 4)),
              wire("<SynthVGWOk><id>3</id><version>4</version></SynthVGWOk>"));
}

TEST(Golden, SessionMessages) {
    std::vector<std::string> args{"x", ""};
    EXPECT_EQ(chars(DynamicInit(7, 7, args)),
              wire("<DynamicInit><id>7</id><version>7</version><argv num=\"2\"><arg>x</arg><arg/>"
                   "</argv></DynamicInit>"));
    EXPECT_EQ(chars(DynamicInitResp(7, 7, -1)),
              wire("<DynamicInitResp><id>7</id><version>7</version><status>-1</status>"
                   "</DynamicInitResp>"));
    std::vector<VCEndPoint> empty, hh{VCEndPoint("ann", A("10.0.0.3"))};
    EXPECT_EQ(chars(SynthInit(1, 2, empty, empty, empty, hh, empty, "")),
              wire("<SynthInit><id>1</id><version>2</version><viclist num=\"0\"/><mcviclist "
                   "num=\"0\"/><nmlist num=\"0\"/><hhlist num=\"1\"><hh><user>ann</user><addr>"
                   "10.0.0.3</addr></hh></hhlist><wblist num=\"0\"/><moviename/></SynthInit>"));
    EXPECT_EQ(chars(SynthInitOk(1, 2)),
              wire("<SynthInitOk><id>1</id><version>2</version></SynthInitOk>"));
}

TEST(Golden, GnpMessages) {
    std::vector<GNPNode> clients{GNPNode(std::vector<double>{10.5, -3})}, none;
    std::vector<int> noInts;
    EXPECT_EQ(chars(GNPQueryReq(7, 7, 0, 1, clients, none, noInts, noInts)),
              wire("<GNPQueryReq><id>7</id><version>7</version><sol_rank>0</sol_rank><num_proxy>1"
                   "</num_proxy><clientlist num=\"1\"><client num=\"2\"><coord>10.500000</coord>"
                   "<coord>-3.000000</coord></client></clientlist><candidatelist num=\"0\"/>"
                   "<capacitylist num=\"0\"/><costlist num=\"0\"/></GNPQueryReq>"));
    std::vector<int> idx{2, 0};
    EXPECT_EQ(chars(GNPQueryResp(7, 7, idx, 0.25)),
              wire("<GNPQueryResp><id>7</id><version>7</version><idxlist num=\"2\"><idx>2</idx>"
                   "<idx>0</idx></idxlist><fitness>0.250000</fitness></GNPQueryResp>"));
    std::vector<GNPNode> empty{GNPNode()};
    std::vector<int> caps{-5};
    EXPECT_EQ(chars(GNPQueryReq(1, 1, -1, 2, empty, none, caps, noInts)),
              wire("<GNPQueryReq><id>1</id><version>1</version><sol_rank>-1</sol_rank><num_proxy>2"
                   "</num_proxy><clientlist num=\"1\"><client num=\"0\"/></clientlist>"
                   "<candidatelist num=\"0\"/><capacitylist num=\"1\"><capacity>-5</capacity>"
                   "</capacitylist><costlist num=\"0\"/></GNPQueryReq>"));
}

TEST(Golden, HugeFitnessIsWrittenWhole) {
    std::vector<int> idx;
    const std::string text = chars(GNPQueryResp(1, 1, idx, -1e60));
    const size_t open = text.find("<fitness>"), close = text.find("</fitness>");
    ASSERT_NE(open, std::string::npos);
    ASSERT_NE(close, std::string::npos);
    const std::string value = text.substr(open + 9, close - open - 9);
    EXPECT_EQ(value.size(), 68u);  // sign, 60 digits, point, 6 decimals: no cut at 63
    EXPECT_EQ(value.substr(value.size() - 7), ".000000");
    auto back = decodeAs<GNPQueryResp>(text, MsgTable::Responses);
    EXPECT_EQ(back->getFitness(), -1e60);
}

TEST(Golden, FreeTextTravelsUnchanged) {
    const std::string nasty = "a&b <c> \"d\" 'e' &amp; ]]> \r\n\ttab";
    std::vector<VCEndPoint> vic{VCEndPoint(nasty, A("10.0.0.1"))}, empty;
    auto init = decodeAs<SynthInit>(chars(SynthInit(1, 1, vic, empty, empty, empty, empty, nasty)),
                                    MsgTable::Requests);
    ASSERT_EQ(init->getVicVec().size(), 1u);
    EXPECT_EQ(init->getVicVec()[0].getUsername(), nasty);
    EXPECT_EQ(init->getMovieName(), nasty);

    std::vector<std::string> args{nasty, "&", "<"};
    auto dyn = decodeAs<DynamicInit>(chars(DynamicInit(1, 1, args)), MsgTable::Requests);
    EXPECT_EQ(dyn->getARGV(), args);

    std::vector<vicSDREndPoint> vics{vicSDREndPoint(nasty, 0, 0, 0, 0)};
    std::vector<NetmeetingEndPoint> nms{NetmeetingEndPoint("<&>", 0)};
    auto vgw =
        decodeAs<SynthVGWReq>(chars(SynthVGWReq(1, 1, 0, 0, 0, vics, nms)), MsgTable::Requests);
    EXPECT_EQ(vgw->getVicVec()[0].getUsername(), nasty);
    EXPECT_EQ(vgw->getNMVec()[0].getUsername(), "<&>");
}

// ---- Bytes to fields ----

TEST(Decode, EsmCommitFieldsByPosition) {
    auto m = decodeAs<ESMCommit>(
        wire("<ESMCommit><a>-1</a><b>2</b><x>224.5.6.7</x><y>70000</y><z>300</z>"
             "<l num=\"3\"><m><p>10.0.0.1</p><q>4000</q></m></l></ESMCommit>"),
        MsgTable::Requests);
    EXPECT_EQ(m->getType(), "ESMCommit");
    EXPECT_EQ(m->getId(), 4294967295ul);
    EXPECT_EQ(m->getVersion(), 2ul);
    EXPECT_EQ(m->getAddrStr(), "224.5.6.7");
    EXPECT_EQ(m->getPortStr(), "70000");  // kept whole in 32 bits
    EXPECT_EQ(m->getPort(), 4464);
    EXPECT_EQ(m->getTTL(), 44);
    ASSERT_EQ(m->getMemberVec().size(), 3u);
    EXPECT_EQ(m->getMemberVec()[0].getStr(), "10.0.0.1:4000");
    EXPECT_FALSE(m->getMemberVec()[0].isAboneNode());
    EXPECT_EQ(m->getMemberVec()[2].getStr(), "0.0.0.0:0");
}

TEST(Decode, SynthEsmReqLogsEveryZoneAndKeepsDefaults) {
    testutil::DiagCapture out(DiagStream::Out);
    auto m = decodeAs<SynthESMReq>(
        wire("<SynthESMReq><id>7</id><version>9</version><endpointlist num=\"3\"><endpoint>"
             "128.2.0.1</endpoint><endpoint>bogus</endpoint></endpointlist><zonelist num=\"1\">"
             "<zone><addr>10.0.0.0</addr><mask>255.255.255.0</mask><ep>-939524086</ep></zone>"
             "<zone><addr>1.1.1.1</addr><mask>1.1.1.1</mask><ep>0</ep></zone></zonelist>"
             "</SynthESMReq>"),
        MsgTable::Requests);
    EXPECT_EQ(out.text(), "varno: getEP -939524086 -> -939524086\n");
    ASSERT_EQ(m->getEPVec().size(), 3u);
    EXPECT_EQ(m->getEPVec()[0].getAddrStr(), "128.2.0.1");
    EXPECT_EQ(m->getEPVec()[1].getAddrStr(), "0.0.0.0");
    EXPECT_EQ(m->getEPVec()[2].getAddrStr(), "0.0.0.0");
    ASSERT_EQ(m->getZoneVec().size(), 1u);
    EXPECT_EQ(inet_NTOS(m->getZoneVec()[0].getEP()), "10.0.0.200");
    EXPECT_EQ(m->getZoneVec()[0].getStr(), "10.0.0.0/24");
}

TEST(Decode, SynthEsmOkTruncatesPortAndTtl) {
    auto m = decodeAs<SynthESMOk>(
        wire("<SynthESMOk><id>1</id><version>1</version><eptransportlist num=\"1\"><eptransport>"
             "<addr>224.5.6.7</addr><port>65536</port><ttl>256</ttl></eptransport>"
             "</eptransportlist><zonetransportlist num=\"2\"/></SynthESMOk>"),
        MsgTable::Responses);
    ASSERT_EQ(m->getEPTVec().size(), 1u);
    EXPECT_EQ(m->getEPTVec()[0].getStr(), "224.5.6.7:0 [ttl 0]");
    ASSERT_EQ(m->getZoneTVec().size(), 2u);
    EXPECT_EQ(m->getZoneTVec()[1].getStr(), "0.0.0.0:0 [ttl 64]");
}

TEST(Decode, GnpNodesHonourTheirOwnCounts) {
    auto m = decodeAs<GNPQueryReq>(
        wire("<GNPQueryReq><id>1</id><version>1</version><s>-1</s><n>4294967295</n>"
             "<clientlist num=\"2\"><client num=\"3\"><coord>1.5</coord><coord>2</coord></client>"
             "<client num=\"1\"><coord>7</coord><coord>8</coord></client></clientlist>"
             "<candidatelist num=\"0\"/><capacitylist num=\"1\"><c>-5</c></capacitylist>"
             "<costlist num=\"0\"/></GNPQueryReq>"),
        MsgTable::Requests);
    EXPECT_EQ(m->getSolutionRank(), -1);
    EXPECT_EQ(m->getNumProxiesPerSolution(), -1);
    ASSERT_EQ(m->getClientVec().size(), 2u);
    EXPECT_EQ(m->getClientVec()[0].size(), 3);
    EXPECT_EQ(m->getClientVec()[0].DcoordAt(1), 2.0);
    EXPECT_EQ(m->getClientVec()[0].DcoordAt(2), 0.0);
    EXPECT_EQ(m->getClientVec()[1].size(), 1);
    EXPECT_EQ(m->getClientVec()[1].DcoordAt(0), 7.0);
    EXPECT_EQ(m->getCapacityVec(), std::vector<int>{-5});
}

TEST(Decode, BodylessAnswersIgnoreExtraChildren) {
    auto ok = decodeAs<SynthVGWOk>(
        wire("<SynthVGWOk><id>3</id><version>4</version><extra>1</extra></SynthVGWOk>"),
        MsgTable::Responses);
    EXPECT_EQ(ok->getId(), 3ul);
    auto resp = decodeAs<DynamicInitResp>(
        wire("<DynamicInitResp><id>1</id><version>1</version><status>12abc</status><more/>"
             "</DynamicInitResp>"),
        MsgTable::Responses);
    EXPECT_EQ(resp->getStatus(), 12);
    auto big = decodeAs<DynamicInitResp>(
        wire("<DynamicInitResp><id>1</id><version>1</version><status>99999999999</status>"
             "</DynamicInitResp>"),
        MsgTable::Responses);
    EXPECT_EQ(big->getStatus(), 2147483647);
}

TEST(Decode, IpmzOkIndicesAreUnsigned) {
    std::vector<EndZone> zones;
    std::vector<unsigned int> idx{4294967295u, 3};
    const std::string text = chars(SynthIPMZOk(1, 1, zones, idx));
    EXPECT_NE(text.find("<idx>-1</idx>"), std::string::npos);
    auto m = decodeAs<SynthIPMZOk>(text, MsgTable::Responses);
    EXPECT_EQ(m->getIdxVec(), idx);
}

// ---- Round trips: built, serialised, parsed, decoded ----

TEST(RoundTrip, ExtremeIdsAndTruncation) {
    ESMInitOk ok(4294967295ul, 2147483648ul, A("10.0.0.1"), 255);
    const std::string text = chars(ok);
    EXPECT_NE(text.find("<id>-1</id><version>-2147483648</version>"), std::string::npos);
    auto back = decodeAs<ESMInitOk>(text, MsgTable::Responses);
    EXPECT_EQ(back->getId(), 4294967295ul);
    EXPECT_EQ(back->getVersion(), 2147483648ul);
    EXPECT_EQ(back->getTTL(), 255);
    EXPECT_EQ(back->getAddrStr(), "10.0.0.1");

    auto init = decodeAs<ESMInit>(
        wire("<ESMInit><id>1</id><version>1</version><data_port>70000</data_port></ESMInit>"),
        MsgTable::Requests);
    EXPECT_EQ(init->getPort(), 4464);
    auto vgw = decodeAs<SynthVGWReq>(
        wire("<SynthVGWReq><id>1</id><version>1</version><a>host.example</a><p>65535</p>"
             "<t>300</t><vicsdrlist num=\"2\"><vicsdr><u>al</u><a>1.2.3.4</a><d>224.0.0.9</d>"
             "<p>5</p><t>6</t></vicsdr></vicsdrlist><netmeetinglist num=\"0\"/></SynthVGWReq>"),
        MsgTable::Requests);
    EXPECT_EQ(vgw->getVGWDataAddr(), 0ul);
    EXPECT_EQ(vgw->getVGWDataPort(), 65535);
    EXPECT_EQ(vgw->getVGWTTL(), 44);
    ASSERT_EQ(vgw->getVicVec().size(), 2u);
    EXPECT_EQ(vgw->getVicVec()[0].getUsername(), "al");
    EXPECT_EQ(vgw->getVicVec()[0].getDataAddrStr(), "224.0.0.9");
    EXPECT_EQ(vgw->getVicVec()[1].getTTL(), 64);  // default entry
}

TEST(RoundTrip, EveryClassKeepsItsFields) {
    for (auto& sample : samples()) {
        SCOPED_TRACE(sample.msg->getType());
        const std::string text = chars(*sample.msg);
        DecodeStatus status;
        std::unique_ptr<Msg> back(parseMsg(text.data(), text.size(), sample.table, &status));
        ASSERT_TRUE(back) << static_cast<int>(status);
        EXPECT_EQ(back->getType(), sample.msg->getType());
        EXPECT_EQ(describe(*back), describe(*sample.msg));
        EXPECT_EQ(chars(*back), text);
        // The other side's table does not know the type.
        const MsgTable other =
            sample.table == MsgTable::Requests ? MsgTable::Responses : MsgTable::Requests;
        EXPECT_EQ(parseMsg(text.data(), text.size(), other, &status), nullptr);
        EXPECT_EQ(status, DecodeStatus::UnknownType);
    }
}

TEST(RoundTrip, EmptyListsStayEmpty) {
    std::vector<TransportEndPoint> none;
    auto c = decodeAs<ESMCommit>(chars(ESMCommit(1, 1, 0, 0, 0, none)), MsgTable::Requests);
    EXPECT_TRUE(c->getMemberVec().empty());
    std::vector<VCEndPoint> e;
    auto s = decodeAs<SynthInit>(chars(SynthInit(1, 1, e, e, e, e, e, "")), MsgTable::Requests);
    EXPECT_TRUE(s->getVicVec().empty() && s->getWBVec().empty() && s->getMovieName().empty());
    std::vector<GNPNode> n;
    std::vector<int> i;
    auto g = decodeAs<GNPQueryReq>(chars(GNPQueryReq(1, 1, 0, 1, n, n, i, i)), MsgTable::Requests);
    EXPECT_TRUE(g->getClientVec().empty() && g->getCostVec().empty());
}

// ---- The base: document upkeep and ids ----

TEST(MsgBase, SetIdRewritesTheDocument) {
    ESMInit m(1, 2, 7560);
    m.setId(7);
    m.setVersion(4294967295ul);
    EXPECT_EQ(m.getId(), 7ul);
    EXPECT_EQ(
        chars(m),
        wire("<ESMInit><id>7</id><version>-1</version><data_port>7560</data_port></ESMInit>"));
    // A decoded document written with blanks between elements is updated in place too.
    auto d = decodeAs<ESMCommitOk>(
        "<ESMCommitOk>\n  <id>1</id>\n  <version>2</version>\n</ESMCommitOk>", MsgTable::Responses);
    d->setId(9);
    EXPECT_EQ(chars(*d),
              wire("<ESMCommitOk>\n  <id>9</id>\n  <version>2</version>\n</ESMCommitOk>"));
}

TEST(MsgBase, GetCharsReturnsIndependentBuffers) {
    ESMCommitOk m(1, 2);
    char* a = m.getChars();
    char* b = m.getChars();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_STREQ(a, b);
    free(a);
    EXPECT_EQ(std::string(b), chars(m));
    free(b);
}

TEST(MsgBase, ListGettersDoNotRebuildTheDocument) {
    std::vector<EndPoint> eps{EndPoint(A("1.2.3.4"))};
    SynthIPMZReq m(1, 1, eps);
    const std::string before = chars(m);
    m.getEPVec().push_back(EndPoint(A("5.6.7.8")));
    EXPECT_EQ(chars(m), before);
    EXPECT_EQ(eps.size(), 1u);  // the caller's vector was copied, not taken
}

TEST(MsgBase, SourceAddressText) {
    ESMCommitOk m(1, 1);
    m.setSrcAddr(A("127.0.0.9"));
    m.setSrcPort(40000);
    EXPECT_EQ(m.getSrcAddrStr(), "127.0.0.9");
    EXPECT_EQ(m.getSrcPortStr(), "40000");
}

// Runs in a child process, so that the counters start from zero.
TEST(IdGeneration, FirstPairIsTheTimeThenBothCountUp) {
    EXPECT_EXIT(
        {
            bool ok = Msg::generateVersion() == 0 && Msg::generateVersion() == 0;
            const unsigned long before = static_cast<unsigned long>(time(nullptr));
            const unsigned long id = Msg::generateId();
            const unsigned long ver = Msg::generateVersion();
            const unsigned long after = static_cast<unsigned long>(time(nullptr));
            ok = ok && id >= before && id <= after && ver == id;
            ok = ok && Msg::generateId() == id + 1 && Msg::generateVersion() == id + 1;
            exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(IdGeneration, ConcurrentDrawsNeverRepeat) {
    std::vector<unsigned long> a, b;
    auto draw = [](std::vector<unsigned long>* out) {
        for (int i = 0; i < 10000; ++i) out->push_back(Msg::generateId());
    };
    std::thread t1(draw, &a), t2(draw, &b);
    t1.join();
    t2.join();
    std::set<unsigned long> all(a.begin(), a.end());
    all.insert(b.begin(), b.end());
    EXPECT_EQ(all.size(), 20000u);
}

}  // namespace
