// Session set-up messages.
#include "Msg.h"
#include "msg_codec.h"
#include "num_util.h"

namespace {

auto writeVC(const char* name) {
    return [name](XmlWriter& l, const VCEndPoint& p) { writeUserAddr(l, name, p); };
}

}  // namespace

SynthInit::SynthInit(unsigned long id, unsigned long ver, std::vector<VCEndPoint>& vicvec,
                     std::vector<VCEndPoint>& mcvicvec, std::vector<VCEndPoint>& nmvec,
                     std::vector<VCEndPoint>& hhvec, std::vector<VCEndPoint>& wbvec,
                     std::string mname)
    : Msg(Msg::SynthInit, id, ver), mMovieName(std::move(mname)) {
    XmlWriter w = beginBody();
    writeList(w, "viclist", vicvec, writeVC("vic"));
    writeList(w, "mcviclist", mcvicvec, writeVC("mcvic"));
    writeList(w, "nmlist", nmvec, writeVC("nm"));
    writeList(w, "hhlist", hhvec, writeVC("hh"));
    writeList(w, "wblist", wbvec, writeVC("wb"));
    w.text("moviename", mMovieName);
    mVicVec = ownCopy(vicvec);
    mMCVicVec = ownCopy(mcvicvec);
    mNMVec = ownCopy(nmvec);
    mHHVec = ownCopy(hhvec);
    mWBVec = ownCopy(wbvec);
}

SynthInit::SynthInit(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::SynthInit, mptr);
    mVicVec = readList<VCEndPoint>(c, readUserAddr<VCEndPoint>);
    mMCVicVec = readList<VCEndPoint>(c, readUserAddr<VCEndPoint>);
    mNMVec = readList<VCEndPoint>(c, readUserAddr<VCEndPoint>);
    mHHVec = readList<VCEndPoint>(c, readUserAddr<VCEndPoint>);
    mWBVec = readList<VCEndPoint>(c, readUserAddr<VCEndPoint>);
    mMovieName = c.text();
}

SynthInitOk::SynthInitOk(unsigned long id, unsigned long ver) : Msg(Msg::SynthInitOk, id, ver) {
    beginBody();
}

SynthInitOk::SynthInitOk(xmlDoc* mptr) {
    beginDecode(Msg::SynthInitOk, mptr);
}

DynamicInit::DynamicInit(unsigned long id, unsigned long ver, std::vector<std::string>& argv)
    : Msg(Msg::DynamicInit, id, ver) {
    XmlWriter w = beginBody();
    writeList(w, "argv", argv, [](XmlWriter& l, const std::string& a) { l.text("arg", a); });
    mARGV = ownCopy(argv);
}

DynamicInit::DynamicInit(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::DynamicInit, mptr);
    mARGV = readList<std::string>(c, [](XmlCursor& l, std::string& a) { a = l.text(); });
}

DynamicInitResp::DynamicInitResp(unsigned long id, unsigned long ver, int status)
    : Msg(Msg::DynamicInitResp, id, ver), mStatus(status) {
    XmlWriter w = beginBody();
    w.num("status", static_cast<uint32_t>(mStatus));
}

DynamicInitResp::DynamicInitResp(xmlDoc* mptr) {
    XmlCursor c = beginDecode(Msg::DynamicInitResp, mptr);
    // The one signed field: strtol, so out-of-range text clamps instead of wrapping.
    mStatus = parseI32(c.text().c_str());
}
