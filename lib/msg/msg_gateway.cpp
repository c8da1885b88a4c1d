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
      mVGWTTL(vgw_ttl),
      mVicVec(std::make_unique<std::vector<vicSDREndPoint>>(vicvec)),
      mNMVec(std::make_unique<std::vector<NetmeetingEndPoint>>(nmvec)) {
    XmlWriter w = beginBody();
    w.addr("vgwdataaddr", mVGWDataAddr);
    w.num("vgwdataport", mVGWDataPort);
    w.num("vgwttl", mVGWTTL);
    writeList(w, "vicsdrlist", *mVicVec, writeVicSDR);
    writeList(w, "netmeetinglist", *mNMVec,
              [](XmlWriter& l, const NetmeetingEndPoint& n) { writeUserAddr(l, "netmeeting", n); });
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
    : Msg(Msg::SynthIPMZReq, id, ver), mEPVec(std::make_unique<std::vector<EndPoint>>(epvec)) {
    XmlWriter w = beginBody();
    writeList(w, "endpointlist", *mEPVec, writeAddrEntry("endpoint"));
}

SynthIPMZReq::SynthIPMZReq(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::SynthIPMZReq, mptr);
    mEPVec = readList<EndPoint>(c, readAddrEntry);
}

SynthIPMZOk::SynthIPMZOk(unsigned long id, unsigned long ver, std::vector<EndZone>& zvec,
                         std::vector<unsigned int>& idxvec)
    : Msg(Msg::SynthIPMZOk, id, ver),
      mZoneVec(std::make_unique<std::vector<EndZone>>(zvec)),
      mIdxVec(std::make_unique<std::vector<unsigned int>>(idxvec)) {
    XmlWriter w = beginBody();
    writeList(w, "zonelist", *mZoneVec,
              [](XmlWriter& l, const EndZone& z) { writeZone(l, z, false); });
    writeList(w, "idxlist", *mIdxVec, writeNumEntry("idx"));
}

SynthIPMZOk::SynthIPMZOk(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::SynthIPMZOk, mptr);
    mZoneVec = readList<EndZone>(c, [](XmlCursor& l, EndZone& z) { readZone(l, z, false); });
    mIdxVec = readList<unsigned int>(c, readNumEntry<unsigned int>);
}
