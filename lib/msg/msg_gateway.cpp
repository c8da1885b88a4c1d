// Gateway and zone synthesis messages.
#include "Msg.h"
#include "msg_codec.h"

SynthVGWReq::SynthVGWReq(unsigned long id, unsigned long ver, unsigned long vgw_dataaddr,
                         unsigned short vgw_dataport, unsigned char vgw_ttl,
                         std::vector<vicSDREndPoint>& vicvec,
                         std::vector<NetmeetingEndPoint>& nmvec)
    : Msg(Msg::SynthVGWReq, id, ver),
      mVGWDataAddr(static_cast<uint32_t>(vgw_dataaddr)),
      mVGWDataPort(vgw_dataport),
      mVGWTTL(vgw_ttl) {
    XmlWriter w = beginBody();
    w.addr("vgwdataaddr", mVGWDataAddr);
    w.num("vgwdataport", mVGWDataPort);
    w.num("vgwttl", mVGWTTL);
    writeList(w, "vicsdrlist", vicvec, writeVicSDR);
    writeList(w, "netmeetinglist", nmvec,
              [](XmlWriter& l, const NetmeetingEndPoint& n) { writeUserAddr(l, "netmeeting", n); });
    mVicVec = ownCopy(vicvec);
    mNMVec = ownCopy(nmvec);
}

SynthVGWReq::SynthVGWReq(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::SynthVGWReq, mptr);
    mVGWDataAddr = static_cast<uint32_t>(c.addr());
    mVGWDataPort = static_cast<uint16_t>(c.u32());
    mVGWTTL = static_cast<uint8_t>(c.u32());
    mVicVec = readList<vicSDREndPoint>(c, readVicSDR);
    mNMVec = readList<NetmeetingEndPoint>(c, readUserAddr<NetmeetingEndPoint>);
}

SynthVGWOk::SynthVGWOk(unsigned long id, unsigned long ver) : Msg(Msg::SynthVGWOk, id, ver) {
    beginBody();
}

SynthVGWOk::SynthVGWOk(xmlDoc* mptr) {
    beginDecode(Msg::SynthVGWOk, mptr);
}

SynthIPMZReq::SynthIPMZReq(unsigned long id, unsigned long ver, std::vector<EndPoint>& epvec)
    : Msg(Msg::SynthIPMZReq, id, ver) {
    XmlWriter w = beginBody();
    writeList(w, "endpointlist", epvec, writeAddrEntry("endpoint"));
    mEPVec = ownCopy(epvec);
}

SynthIPMZReq::SynthIPMZReq(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::SynthIPMZReq, mptr);
    mEPVec = readList<EndPoint>(c, readAddrEntry);
}

SynthIPMZOk::SynthIPMZOk(unsigned long id, unsigned long ver, std::vector<EndZone>& zvec,
                         std::vector<unsigned int>& idxvec)
    : Msg(Msg::SynthIPMZOk, id, ver) {
    XmlWriter w = beginBody();
    writeList(w, "zonelist", zvec, [](XmlWriter& l, const EndZone& z) { writeZone(l, z, false); });
    writeList(w, "idxlist", idxvec, writeNumEntry("idx"));
    mZoneVec = ownCopy(zvec);
    mIdxVec = ownCopy(idxvec);
}

SynthIPMZOk::SynthIPMZOk(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::SynthIPMZOk, mptr);
    mZoneVec = readList<EndZone>(c, [](XmlCursor& l, EndZone& z) { readZone(l, z, false); });
    mIdxVec = readList<unsigned int>(c, readNumEntry<unsigned int>);
}
