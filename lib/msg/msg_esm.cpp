// Proxy control and synthesis messages.
#include "Msg.h"
#include "msg_codec.h"

ESMInit::ESMInit(unsigned long id, unsigned long ver, unsigned short port)
    : Msg(Msg::ESMInit, id, ver), mPort(port) {
    XmlWriter w = beginBody();
    w.num("data_port", mPort);
}

ESMInit::ESMInit(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::ESMInit, mptr);
    mPort = static_cast<uint16_t>(c.u32());
}

ESMInitOk::ESMInitOk(unsigned long id, unsigned long ver, unsigned long addr, unsigned char ttl)
    : Msg(Msg::ESMInitOk, id, ver), mAddress(static_cast<uint32_t>(addr)), mTTL(ttl) {
    XmlWriter w = beginBody();
    w.addr("data_addr", mAddress);
    w.num("ttl", mTTL);
}

ESMInitOk::ESMInitOk(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::ESMInitOk, mptr);
    mAddress = static_cast<uint32_t>(c.addr());
    mTTL = static_cast<uint8_t>(c.u32());
}

ESMCommit::ESMCommit(unsigned long id, unsigned long ver, unsigned long addr, unsigned short port,
                     unsigned char ttl, std::vector<TransportEndPoint>& membervec)
    : Msg(Msg::ESMCommit, id, ver), mAddress(static_cast<uint32_t>(addr)), mPort(port), mTTL(ttl) {
    XmlWriter w = beginBody();
    w.addr("data_addr", mAddress);
    w.num("data_port", mPort);
    w.num("ttl", mTTL);
    writeList(w, "memberlist", membervec, writeMember);
    mMemberVec = ownCopy(membervec);
}

ESMCommit::ESMCommit(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::ESMCommit, mptr);
    mAddress = static_cast<uint32_t>(c.addr());
    mPort = c.u32();
    mTTL = static_cast<uint8_t>(c.u32());
    mMemberVec = readList<TransportEndPoint>(c, readMember);
}

ESMCommitOk::ESMCommitOk(unsigned long id, unsigned long ver) : Msg(Msg::ESMCommitOk, id, ver) {
    beginBody();
}

ESMCommitOk::ESMCommitOk(xmlDoc* mptr) {
    beginDecode(Msg::ESMCommitOk, mptr);
}

SynthESMReq::SynthESMReq(unsigned long id, unsigned long ver, std::vector<EndPoint>& epvec,
                         std::vector<EndZone>& zvec)
    : Msg(Msg::SynthESMReq, id, ver) {
    XmlWriter w = beginBody();
    writeList(w, "endpointlist", epvec, writeAddrEntry("endpoint"));
    writeList(w, "zonelist", zvec, [](XmlWriter& l, const EndZone& z) { writeZone(l, z, true); });
    mEPVec = ownCopy(epvec);
    mZoneVec = ownCopy(zvec);
}

SynthESMReq::SynthESMReq(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::SynthESMReq, mptr);
    mEPVec = readList<EndPoint>(c, readAddrEntry);
    mZoneVec = readList<EndZone>(c, [](XmlCursor& l, EndZone& z) { readZone(l, z, true); });
}

SynthESMOk::SynthESMOk(unsigned long id, unsigned long ver, std::vector<MulticastEndPoint>& eptvec,
                       std::vector<MulticastEndPoint>& ztvec)
    : Msg(Msg::SynthESMOk, id, ver) {
    XmlWriter w = beginBody();
    writeList(w, "eptransportlist", eptvec, [](XmlWriter& l, const MulticastEndPoint& t) {
        writeTransport(l, "eptransport", t);
    });
    writeList(w, "zonetransportlist", ztvec, [](XmlWriter& l, const MulticastEndPoint& t) {
        writeTransport(l, "zonetransport", t);
    });
    mEPTVec = ownCopy(eptvec);
    mZoneTVec = ownCopy(ztvec);
}

SynthESMOk::SynthESMOk(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::SynthESMOk, mptr);
    mEPTVec = readList<MulticastEndPoint>(c, readTransport);
    mZoneTVec = readList<MulticastEndPoint>(c, readTransport);
}
