#include "slp_agent.h"

#include <arpa/inet.h>

#include "EndPoint.h"
#include "slp_attr.h"
#include "slp_filter.h"
#include "slp_text.h"

namespace slpda {

namespace {

bool isType(const std::string& requested, const char* wanted) {
    return lowerAscii(trim(requested)) == std::string("service:") + wanted ||
           lowerAscii(trim(requested)) == wanted;
}

std::string quoted(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + logSafe(value) + "\"";
}

uint32_t maskOf(int prefix) {
    return prefix == 0 ? 0 : htonl(~uint32_t{0} << (32 - prefix));
}

bool isLoopback(uint32_t addrNet) {
    return (ntohl(addrNet) >> 24) == 127;
}

// Appends the SrvAck of err; false when none is to be sent (a multicast request that failed).
bool appendAck(const slpwire::Header& h, uint16_t err, Replies* replies) {
    replies->emplace_back();
    return !((h.flags & slpwire::kFlagMcast) && err != slpwire::kOk) &&
           slpwire::encodeSrvAck(h.xid, h.lang, err, &replies->back());
}

}  // namespace

std::vector<Cidr> loopbackOnly() {
    return {{htonl(0x7f000000), 8}};
}

bool parseCidrList(const std::string& text, std::vector<Cidr>* out, std::string* bad) {
    out->clear();
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string item = trim(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        Cidr c;
        size_t slash = item.find('/');
        struct in_addr a;
        long prefix = 32;
        bool ok = inet_pton(AF_INET, item.substr(0, slash).c_str(), &a) == 1;
        if (ok && slash != std::string::npos) {
            std::string p = item.substr(slash + 1);
            ok = !p.empty() && p.size() <= 2 &&
                 p.find_first_not_of("0123456789") == std::string::npos &&
                 (prefix = strtol(p.c_str(), nullptr, 10)) <= 32;
        }
        if (!ok) {
            *bad = item;
            out->clear();
            return false;
        }
        c.prefix = static_cast<int>(prefix);
        c.addrNet = a.s_addr & maskOf(c.prefix);
        out->push_back(c);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

DirectoryAgent::DirectoryAgent(AgentConfig cfg)
    : mCfg(std::move(cfg)),
      mStore(mCfg.limits.maxRegistrations, mCfg.limits.maxAttrs, mCfg.limits.maxMessage) {
    for (const std::string& s : mCfg.scopes) {
        if (!mScopeText.empty()) mScopeText += ',';
        mScopeText += s;
    }
}

bool DirectoryAgent::mayRegister(const Arrival& from) const {
    for (const Cidr& c : mCfg.allowReg) {
        if ((from.peerAddrNet & maskOf(c.prefix)) == c.addrNet) return true;
    }
    return false;
}

bool DirectoryAgent::handle(const uint8_t* msg, size_t len, const Arrival& from, Replies* replies,
                            std::string* log) {
    replies->clear();
    const std::string head = std::string(from.tcp ? "tcp " : "udp ") + from.peer + " ";
    if (len > mCfg.limits.maxMessage) {
        *log = head + "message of " + std::to_string(len) + " bytes dropped: over the " +
               std::to_string(mCfg.limits.maxMessage) + "-byte limit";
        return false;
    }
    slpwire::Request req;
    if (!slpwire::parseRequest(msg, len, &req)) {
        *log = head + "malformed message of " + std::to_string(len) + " bytes dropped";
        return false;
    }
    const std::string name = slpwire::functionName(req.hdr.function);
    if (slpwire::replyFunction(req.hdr.function) == 0) {
        // Answering replies could start an endless exchange between two agents.
        *log = head + name + " ignored";
        return false;
    }
    Outcome o;
    if (req.unknownMandatoryExt) {
        o = serveError(req, slpwire::kOptionNotUnderstood, replies);
    } else if (req.hdr.function == slpwire::kSrvRqst) {
        o = serveSrvRqst(req, from, replies);
    } else if (req.hdr.function == slpwire::kSrvReg) {
        o = serveSrvReg(req, from, replies);
    } else if (req.hdr.function == slpwire::kSrvDeReg) {
        o = serveSrvDeReg(req, from, replies);
    } else {
        o = serveError(req, slpwire::kMsgNotSupported, replies);
    }
    if (!o.send) replies->clear();
    *log = head + name + " " + o.detail + "error=" + std::to_string(o.err) + o.note +
           (o.send ? "" : " no reply");
    return o.send;
}

DirectoryAgent::Outcome DirectoryAgent::serveError(const slpwire::Request& req, uint16_t err,
                                                   Replies* replies) {
    const slpwire::Header& h = req.hdr;
    Outcome o;
    o.err = err;
    replies->emplace_back();
    // Errors are never sent to a multicast request.
    o.send = (h.flags & slpwire::kFlagMcast) == 0 &&
             slpwire::encodeErrorReply(slpwire::replyFunction(h.function), h.xid, h.lang, err,
                                       &replies->back());
    return o;
}

DirectoryAgent::Outcome DirectoryAgent::serveSrvRqst(const slpwire::Request& req,
                                                     const Arrival& from, Replies* replies) {
    const slpwire::Header& h = req.hdr;
    const slpwire::SrvRqstBody& b = req.rqst;
    const bool mcast = (h.flags & slpwire::kFlagMcast) != 0;
    const std::vector<std::string> scopes = splitList(b.scopes);
    const std::string own = inet_NTOS(from.localAddrNet);
    std::vector<slpwire::UrlEntry> urls;
    bool daAdvert = false;
    Filter filter;
    Outcome o;
    if (scopesIntersect(splitList(b.prlist), {own})) {
        o.send = false;  // we answered this request already
    } else if (!b.spi.empty()) {
        o.err = slpwire::kAuthenticationUnknown;  // we sign nothing
    } else if (trim(b.srvtype).empty()) {
        o.err = slpwire::kParseError;
    } else if (isType(b.srvtype, "directory-agent")) {
        daAdvert = true;
        if (!scopes.empty() && !scopesIntersect(scopes, mCfg.scopes)) {
            o.err = slpwire::kScopeNotSupported;
        }
    } else if (isType(b.srvtype, "service-agent")) {
        // We are no service agent: an empty answer.
    } else if (!scopesIntersect(scopes, mCfg.scopes)) {
        o.err = slpwire::kScopeNotSupported;
    } else if (!filter.parse(b.predicate, mCfg.limits.filter)) {
        o.err = slpwire::kParseError;
    } else {
        bool overWork = false;
        // Over UDP only what fits a datagram is sent: no need to collect more.
        urls = mStore.find(b.srvtype, scopes, filter, from.nowMs, mCfg.limits.maxWork, &overWork,
                           from.tcp ? SIZE_MAX : kUdpMax);
        if (overWork) {
            o.err = slpwire::kDaBusyNow;
            o.note = " (over --max-work)";
        }
    }
    // Errors and empty answers are never sent to a multicast request.
    if (o.send && mcast && (o.err != slpwire::kOk || (urls.empty() && !daAdvert))) o.send = false;
    size_t answered = 0;
    if (o.send && daAdvert) {
        const std::string url = "service:directory-agent://" + own;
        replies->emplace_back();
        o.send = slpwire::encodeDAAdvert(h.xid, h.lang, o.err, mCfg.bootTime, url, mScopeText,
                                         &replies->back());
        answered = o.err == slpwire::kOk ? 1 : 0;
        if (o.send && o.err == slpwire::kOk && !mcast && isLoopback(from.peerAddrNet)) {
            replies->emplace_back();
            o.send = slpwire::encodeDAAdvert(h.xid, h.lang, slpwire::kInternalError, mCfg.bootTime,
                                             url, mScopeText, &replies->back());
        }
    } else if (o.send) {
        size_t max = from.tcp ? slpwire::kMaxLength : kUdpMax;
        replies->emplace_back();
        o.send =
            slpwire::encodeSrvRply(h.xid, h.lang, o.err, urls, max, &replies->back(), &answered);
    }
    o.detail = quoted("type", b.srvtype) + " " + quoted("scope", b.scopes) + " " +
               quoted("predicate", b.predicate) + " urls=" + std::to_string(answered) + " ";
    return o;
}

DirectoryAgent::Outcome DirectoryAgent::serveSrvReg(const slpwire::Request& req,
                                                    const Arrival& from, Replies* replies) {
    const slpwire::Header& h = req.hdr;
    const slpwire::SrvRegBody& b = req.reg;
    Outcome o;
    Registration r;
    r.url = b.entry.url;
    r.lang = h.lang;
    r.lifetime = b.entry.lifetime;
    r.type = urlServiceType(b.entry.url);
    if (r.type.empty()) r.type = trim(b.srvtype);
    r.scopes = splitList(b.scopes);
    const std::string portProblem = urlPortProblem(r.url, r.type);
    if (!mayRegister(from)) {
        o.err = slpwire::kAuthenticationAbsent;
        o.note = " (not allowed to register)";
    } else if (r.url.empty() || r.lang.empty() || r.lifetime == 0 || r.type.empty()) {
        o.err = slpwire::kInvalidRegistration;
    } else if (!portProblem.empty()) {
        // The daemon would send its ESMInit to port 0, or to another port than the one meant.
        o.err = slpwire::kInvalidRegistration;
        o.note = " (" + logSafe(portProblem) + ")";
    } else if (r.scopes.empty() || !scopesCovered(r.scopes, mCfg.scopes)) {
        o.err = slpwire::kScopeNotSupported;
    } else {
        AttrParse ap = parseAttrList(b.attrs, &r.attrs);
        if (ap == AttrParse::kParseError) {
            o.err = slpwire::kParseError;
        } else if (ap == AttrParse::kTypeError) {
            o.err = slpwire::kInvalidRegistration;
        } else {
            const char* limit = nullptr;
            o.err =
                mStore.add(std::move(r), (h.flags & slpwire::kFlagFresh) != 0, from.nowMs, &limit);
            if (limit != nullptr) o.note = std::string(" (over --") + limit + ")";
        }
    }
    o.send = appendAck(h, o.err, replies);
    o.detail = quoted("url", b.entry.url) + " " + quoted("type", b.srvtype) + " " +
               quoted("scope", b.scopes) + " lifetime=" + std::to_string(b.entry.lifetime) + " ";
    return o;
}

DirectoryAgent::Outcome DirectoryAgent::serveSrvDeReg(const slpwire::Request& req,
                                                      const Arrival& from, Replies* replies) {
    const slpwire::Header& h = req.hdr;
    const slpwire::SrvDeRegBody& b = req.dereg;
    Outcome o;
    std::vector<std::string> scopes = splitList(b.scopes);
    if (!mayRegister(from)) {
        o.err = slpwire::kAuthenticationAbsent;
        o.note = " (not allowed to register)";
    } else if (b.entry.url.empty()) {
        o.err = slpwire::kInvalidRegistration;
    } else if (scopes.empty() || !scopesCovered(scopes, mCfg.scopes)) {
        o.err = slpwire::kScopeNotSupported;
    } else {
        o.err = mStore.remove(b.entry.url, scopes, b.tags, from.nowMs);
    }
    o.send = appendAck(h, o.err, replies);
    o.detail = quoted("url", b.entry.url) + " " + quoted("scope", b.scopes) + " " +
               quoted("tags", b.tags) + " ";
    return o;
}

}  // namespace slpda
