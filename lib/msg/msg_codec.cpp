#include "msg_codec.h"

#include "diag.h"
#include "num_util.h"

void writeMember(XmlWriter& l, const TransportEndPoint& t) {
    XmlWriter e = l.entry("member");
    e.addr("addr", t.getAddr());
    e.num("port", t.getPort());
}

void readMember(XmlCursor& l, TransportEndPoint& t) {
    XmlCursor e = l.entry();
    t.setAddr(e.addr());
    t.setPort(static_cast<unsigned short>(e.u32()));
}

void writeTransport(XmlWriter& l, const char* name, const MulticastEndPoint& t) {
    XmlWriter e = l.entry(name);
    e.addr("addr", t.getAddr());
    e.num("port", t.getPort());
    e.num("ttl", t.getTTL());
}

void readTransport(XmlCursor& l, MulticastEndPoint& t) {
    XmlCursor e = l.entry();
    t.setAddr(e.addr());
    t.setPort(static_cast<unsigned short>(e.u32()));
    t.setTTL(static_cast<unsigned char>(e.u32()));
}

void writeZone(XmlWriter& l, const EndZone& z, bool withEP) {
    XmlWriter e = l.entry("zone");
    e.addr("addr", z.getAddr());
    e.addr("mask", z.getMask());
    if (withEP) {
        // The representative endpoint travels as the signed value of its network-order bytes.
        // The line shows that value and the text written, which are the same characters.
        char ep[kI32TextSize];
        formatI32(static_cast<int32_t>(z.getEP()), ep);
        e.plain("ep", ep);
        diagf(DiagStream::Out, "varno: setEP %s -> %s\n", ep, ep);
    }
}

void readZone(XmlCursor& l, EndZone& z, bool withEP) {
    XmlCursor e = l.entry();
    z.setAddr(e.addr());
    z.setMask(e.addr());
    if (withEP) {
        const std::string text = e.text();
        z.setEP(parseU32(text.c_str()));
        diagf(DiagStream::Out, "varno: getEP %s -> %d\n", text.c_str(),
              static_cast<int32_t>(z.getEP()));
    }
}

void writeVicSDR(XmlWriter& l, const vicSDREndPoint& v) {
    XmlWriter e = l.entry("vicsdr");
    e.text("user", v.getUsername());
    e.addr("addr", v.getAddr());
    e.addr("dataaddr", v.getDataAddr());
    e.num("dataport", v.getDataPort());
    e.num("ttl", v.getTTL());
}

void readVicSDR(XmlCursor& l, vicSDREndPoint& v) {
    XmlCursor e = l.entry();
    v.setUsername(e.text());
    v.setAddr(e.addr());
    v.setDataAddr(e.addr());
    v.setDataPort(static_cast<unsigned short>(e.u32()));
    v.setTTL(static_cast<unsigned char>(e.u32()));
}

void writeNode(XmlWriter& l, const char* name, const GNPNode& n) {
    XmlWriter e = l.list(name, static_cast<size_t>(n.size()));
    for (int i = 0; i < n.size(); ++i) e.real("coord", n.DcoordAt(i));
}

void readNode(XmlCursor& l, GNPNode& n) {
    size_t count;
    XmlCursor coords = l.list(&count);
    n.allocCoordVec(static_cast<int>(count));
    for (size_t j = 0; j < count && coords.more(); ++j)
        n.setCoordAt(static_cast<int>(j), coords.real());
}
