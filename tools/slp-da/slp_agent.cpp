#include "slp_agent.h"

#include <cstdio>

#include "slp_attr.h"
#include "slp_filter.h"
#include "slp_text.h"

namespace slpda {

namespace {

std::string dotted(uint32_t addrNet) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&addrNet);
    char buf[16];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
}

bool isType(const std::string& requested, const char* wanted) {
    return lowerAscii(trim(requested)) == std::string("service:") + wanted ||
           lowerAscii(trim(requested)) == wanted;
}

std::string quoted(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + logSafe(value) + "\"";
}

}  // namespace

DirectoryAgent::DirectoryAgent(AgentConfig cfg) : mCfg(std::move(cfg)) {
    for (const std::string& s : mCfg.scopes) {
        if (!mScopeText.empty()) mScopeText += ',';
        mScopeText += s;
    }
}

bool DirectoryAgent::handle(const uint8_t* msg, size_t len, const Arrival& from,
                            std::vector<uint8_t>* reply, std::string* log) {
    reply->clear();
    const std::string head = std::string(from.tcp ? "tcp " : "udp ") + from.peer + " ";
    slpwire::Request req;
    if (!slpwire::parseRequest(msg, len, &req)) {
        *log = head + "malformed message of " + std::to_string(len) + " bytes dropped";
        return false;
    }
    const slpwire::Header& h = req.hdr;
    const std::string name = slpwire::functionName(h.function);
    const uint8_t replyFn = slpwire::replyFunction(h.function);
    if (replyFn == 0) {
        // Answering replies could start an endless exchange between two agents.
        *log = head + name + " ignored";
        return false;
    }
    // Errors and empty answers are never sent to a multicast request.
    const bool mcast = (h.flags & slpwire::kFlagMcast) != 0;
    std::string detail;
    uint16_t err = slpwire::kOk;
    bool send = true;

    if (req.unknownMandatoryExt) {
        err = slpwire::kOptionNotUnderstood;
        send = !mcast && slpwire::encodeErrorReply(replyFn, h.xid, h.lang, err, reply);
    } else if (h.function == slpwire::kSrvRqst) {
        const slpwire::SrvRqstBody& b = req.rqst;
        const std::vector<std::string> scopes = splitList(b.scopes);
        const std::string own = dotted(from.localAddrNet);
        std::vector<slpwire::UrlEntry> urls;
        bool daAdvert = false;
        Filter filter;
        if (scopesIntersect(splitList(b.prlist), {own})) {
            send = false;  // we answered this request already
        } else if (!b.spi.empty()) {
            err = slpwire::kAuthenticationUnknown;  // we sign nothing
        } else if (trim(b.srvtype).empty()) {
            err = slpwire::kParseError;
        } else if (isType(b.srvtype, "directory-agent")) {
            daAdvert = true;
            if (!scopes.empty() && !scopesIntersect(scopes, mCfg.scopes)) {
                err = slpwire::kScopeNotSupported;
            }
        } else if (isType(b.srvtype, "service-agent")) {
            // We are no service agent: an empty answer.
        } else if (!scopesIntersect(scopes, mCfg.scopes)) {
            err = slpwire::kScopeNotSupported;
        } else if (!filter.parse(b.predicate)) {
            err = slpwire::kParseError;
        } else {
            urls = mStore.find(b.srvtype, scopes, filter, from.nowMs);
        }
        size_t answered = 0;
        if (send && mcast && (err != slpwire::kOk || (urls.empty() && !daAdvert))) send = false;
        if (send && daAdvert) {
            send = slpwire::encodeDAAdvert(h.xid, h.lang, err, mCfg.bootTime,
                                           "service:directory-agent://" + own, mScopeText, reply);
            answered = err == slpwire::kOk ? 1 : 0;
        } else if (send) {
            size_t max = from.tcp ? slpwire::kMaxLength : kUdpMax;
            send = slpwire::encodeSrvRply(h.xid, h.lang, err, urls, max, reply, &answered);
        }
        detail = quoted("type", b.srvtype) + " " + quoted("scope", b.scopes) + " " +
                 quoted("predicate", b.predicate) + " urls=" + std::to_string(answered) + " ";
    } else if (h.function == slpwire::kSrvReg) {
        const slpwire::SrvRegBody& b = req.reg;
        Registration r;
        r.url = b.entry.url;
        r.lang = h.lang;
        r.lifetime = b.entry.lifetime;
        r.type = urlServiceType(b.entry.url);
        if (r.type.empty()) r.type = trim(b.srvtype);
        r.scopes = splitList(b.scopes);
        if (r.url.empty() || r.lang.empty() || r.lifetime == 0 || r.type.empty()) {
            err = slpwire::kInvalidRegistration;
        } else if (r.scopes.empty() || !scopesCovered(r.scopes, mCfg.scopes)) {
            err = slpwire::kScopeNotSupported;
        } else {
            AttrParse ap = parseAttrList(b.attrs, &r.attrs);
            if (ap == AttrParse::kParseError) {
                err = slpwire::kParseError;
            } else if (ap == AttrParse::kTypeError) {
                err = slpwire::kInvalidRegistration;
            } else {
                err = mStore.add(std::move(r), (h.flags & slpwire::kFlagFresh) != 0, from.nowMs);
            }
        }
        send = !(mcast && err != slpwire::kOk) && slpwire::encodeSrvAck(h.xid, h.lang, err, reply);
        detail = quoted("url", b.entry.url) + " " + quoted("type", b.srvtype) + " " +
                 quoted("scope", b.scopes) + " lifetime=" + std::to_string(b.entry.lifetime) + " ";
    } else if (h.function == slpwire::kSrvDeReg) {
        const slpwire::SrvDeRegBody& b = req.dereg;
        std::vector<std::string> scopes = splitList(b.scopes);
        if (b.entry.url.empty()) {
            err = slpwire::kInvalidRegistration;
        } else if (scopes.empty() || !scopesCovered(scopes, mCfg.scopes)) {
            err = slpwire::kScopeNotSupported;
        } else {
            err = mStore.remove(b.entry.url, scopes, b.tags, from.nowMs);
        }
        send = !(mcast && err != slpwire::kOk) && slpwire::encodeSrvAck(h.xid, h.lang, err, reply);
        detail = quoted("url", b.entry.url) + " " + quoted("scope", b.scopes) + " " +
                 quoted("tags", b.tags) + " ";
    } else {
        err = slpwire::kMsgNotSupported;
        send = !mcast && slpwire::encodeErrorReply(replyFn, h.xid, h.lang, err, reply);
    }

    if (!send) reply->clear();
    *log = head + name + " " + detail + "error=" + std::to_string(err) + (send ? "" : " no reply");
    return send;
}

}  // namespace slpda
