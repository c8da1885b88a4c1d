#include "msg_test_util.h"

#include <cstdlib>
#include <sstream>

namespace msgtest {

unsigned long A(const char* dotted) {
    return inet_ADDR(dotted);
}

std::string wire(const std::string& root) {
    return "<?xml version=\"1.0\"?>\n" + root + "\n";
}

std::string chars(const Msg& m) {
    char* p = m.getChars();
    std::string s = p != nullptr ? p : "";
    free(p);
    return s;
}

std::vector<Sample> samples() {
    std::vector<Sample> out;
    auto add = [&](Msg* m, MsgTable t) { out.push_back(Sample{std::unique_ptr<Msg>(m), t}); };
    const auto R = MsgTable::Requests;
    const auto S = MsgTable::Responses;

    std::vector<TransportEndPoint> members{TransportEndPoint(A("10.0.0.1"), 4000),
                                           TransportEndPoint(A("10.0.0.2"), 65535)};
    add(new ESMInit(11, 12, 7560), R);
    add(new ESMInitOk(11, 12, A("127.0.0.5"), 200), S);
    add(new ESMCommit(11, 12, A("224.5.6.7"), 7560, 0, members), R);
    add(new ESMCommitOk(11, 12), S);

    std::vector<EndPoint> eps{EndPoint(A("128.2.0.1")), EndPoint(A("255.255.255.255"))};
    EndZone z1(A("10.0.0.0"), A("255.255.255.0")), z2(A("10.1.0.0"), A("255.255.0.0"));
    z1.setEP(A("10.0.0.200"));
    z2.setEP(A("10.1.2.3"));
    std::vector<EndZone> zones{z1, z2};
    add(new SynthESMReq(4294967295ul, 0, eps, zones), R);
    std::vector<MulticastEndPoint> ts{MulticastEndPoint(A("224.5.6.7"), 7560, 0),
                                      MulticastEndPoint(A("127.0.0.9"), 1, 255)};
    add(new SynthESMOk(1, 2, ts, ts), S);

    std::vector<vicSDREndPoint> vics{vicSDREndPoint("al&<", A("1.2.3.4"), A("224.0.0.9"), 5, 6),
                                     vicSDREndPoint("", 0, 0, 65535, 255)};
    std::vector<NetmeetingEndPoint> nms{NetmeetingEndPoint("bo b", A("5.6.7.8")),
                                        NetmeetingEndPoint("c", 0)};
    add(new SynthVGWReq(3, 4, A("224.2.3.4"), 5004, 16, vics, nms), R);
    add(new SynthVGWOk(3, 4), S);
    add(new SynthIPMZReq(3, 4, eps), R);
    std::vector<unsigned int> idx{0, 4294967295u};
    add(new SynthIPMZOk(3, 4, zones, idx), S);

    std::vector<VCEndPoint> vc{VCEndPoint("ann", A("10.0.0.3")), VCEndPoint("<b>", A("10.0.0.4"))};
    std::vector<VCEndPoint> one{VCEndPoint("x", 1)};
    add(new SynthInit(5, 6, vc, one, vc, one, vc, "movie & more"), R);
    add(new SynthInitOk(5, 6), S);
    std::vector<std::string> argv{"-p", "", "a b&c"};
    add(new DynamicInit(5, 6, argv), R);
    add(new DynamicInitResp(5, 6, -2147483647 - 1), S);

    std::vector<GNPNode> nodes{GNPNode(std::vector<double>{10.5, -3}), GNPNode(),
                               GNPNode(std::vector<double>{1, 2, 3})};
    std::vector<int> ints{-5, 2147483647};
    add(new GNPQueryReq(7, 8, -1, 3, nodes, nodes, ints, ints), R);
    add(new GNPQueryResp(7, 8, ints, 0.25), S);
    return out;
}

namespace {

template <class V, class F>
void dumpList(std::ostringstream& o, const char* name, V& v, F f) {
    o << name << "[" << v.size() << "]{";
    for (auto& e : v) {
        f(e);
        o << ";";
    }
    o << "}";
}

}  // namespace

std::string describe(Msg& m) {
    std::ostringstream o;
    o << m.getType() << " id=" << m.getId() << " ver=" << m.getVersion() << " ";
    auto ep = [&](const EndPoint& e) { o << e.getAddrStr(); };
    auto zone = [&](const EndZone& z) {
        o << z.getAddrStr() << "/" << z.getMaskStr() << "@" << z.getEP();
    };
    auto mc = [&](const MulticastEndPoint& t) { o << t.getStr() << (t.isAboneNode() ? "!" : ""); };
    auto vc = [&](const VCEndPoint& v) { o << v.getUsername() << "@" << v.getAddrStr(); };
    auto num = [&](long long n) { o << n; };
    auto node = [&](const GNPNode& n) {
        for (int i = 0; i < n.size(); ++i) o << n.coordAt(i) << ",";
    };
    if (auto* x = dynamic_cast<ESMInit*>(&m)) o << x->getPort();
    if (auto* x = dynamic_cast<ESMInitOk*>(&m)) o << x->getAddrStr() << " " << int(x->getTTL());
    if (auto* x = dynamic_cast<ESMCommit*>(&m)) {
        o << x->getAddrStr() << " " << x->getPortStr() << " " << int(x->getTTL());
        dumpList(o, "members", x->getMemberVec(),
                 [&](const TransportEndPoint& t) { o << t.getStr() << t.isAboneNode(); });
    }
    if (auto* x = dynamic_cast<SynthESMReq*>(&m)) {
        dumpList(o, "eps", x->getEPVec(), ep);
        dumpList(o, "zones", x->getZoneVec(), zone);
    }
    if (auto* x = dynamic_cast<SynthESMOk*>(&m)) {
        dumpList(o, "ept", x->getEPTVec(), mc);
        dumpList(o, "zt", x->getZoneTVec(), mc);
    }
    if (auto* x = dynamic_cast<SynthVGWReq*>(&m)) {
        o << x->getVGWDataAddrStr() << " " << x->getVGWDataPort() << " " << int(x->getVGWTTL());
        dumpList(o, "vic", x->getVicVec(), [&](const vicSDREndPoint& v) {
            o << v.getUsername() << "@" << v.getAddrStr() << "," << v.getDataAddrStr() << ","
              << v.getDataPortStr() << "," << v.getTTLStr();
        });
        dumpList(o, "nm", x->getNMVec(), [&](const NetmeetingEndPoint& n) {
            o << n.getUsername() << "@" << n.getAddrStr();
        });
    }
    if (auto* x = dynamic_cast<SynthIPMZReq*>(&m)) dumpList(o, "eps", x->getEPVec(), ep);
    if (auto* x = dynamic_cast<SynthIPMZOk*>(&m)) {
        // Only address and mask of a zone travel here.
        dumpList(o, "zones", x->getZoneVec(),
                 [&](const EndZone& z) { o << z.getAddrStr() << "/" << z.getMaskStr(); });
        dumpList(o, "idx", x->getIdxVec(), num);
    }
    if (auto* x = dynamic_cast<SynthInit*>(&m)) {
        dumpList(o, "vic", x->getVicVec(), vc);
        dumpList(o, "mcvic", x->getMCVicVec(), vc);
        dumpList(o, "nm", x->getNMVec(), vc);
        dumpList(o, "hh", x->getHHVec(), vc);
        dumpList(o, "wb", x->getWBVec(), vc);
        o << "movie=" << x->getMovieName();
    }
    if (auto* x = dynamic_cast<DynamicInit*>(&m))
        dumpList(o, "argv", x->getARGV(), [&](const std::string& s) { o << s; });
    if (auto* x = dynamic_cast<DynamicInitResp*>(&m)) o << x->getStatus();
    if (auto* x = dynamic_cast<GNPQueryReq*>(&m)) {
        o << x->getSolutionRank() << " " << x->getNumProxiesPerSolution();
        dumpList(o, "clients", x->getClientVec(), node);
        dumpList(o, "cands", x->getCandidateVec(), node);
        dumpList(o, "cap", x->getCapacityVec(), num);
        dumpList(o, "cost", x->getCostVec(), num);
    }
    if (auto* x = dynamic_cast<GNPQueryResp*>(&m)) {
        dumpList(o, "idx", x->getIndexVec(), num);
        o << " fitness=" << x->getFitness();
    }
    return o.str();
}

}  // namespace msgtest
