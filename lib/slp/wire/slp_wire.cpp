#include "slp_wire.h"

namespace slpwire {

namespace {

// Bounded reader over [p, end): after the first short read it stays failed.
class Reader {
public:
    Reader(const uint8_t* p, const uint8_t* end) : mP(p), mEnd(end) {}
    bool ok() const { return mOk; }
    size_t left() const { return mOk ? static_cast<size_t>(mEnd - mP) : 0; }
    uint32_t u8() { return take(1) ? mP[-1] : 0; }
    uint32_t u16() { return take(2) ? (uint32_t{mP[-2]} << 8) | mP[-1] : 0; }
    uint32_t u24() {
        return take(3) ? (uint32_t{mP[-3]} << 16) | (uint32_t{mP[-2]} << 8) | mP[-1] : 0;
    }
    uint32_t u32() {
        if (!take(4)) return 0;
        return (uint32_t{mP[-4]} << 24) | (uint32_t{mP[-3]} << 16) | (uint32_t{mP[-2]} << 8) |
               mP[-1];
    }
    bool skip(size_t n) { return take(n); }
    std::string str16() {
        size_t n = u16();
        if (!take(n)) return std::string();
        return std::string(reinterpret_cast<const char*>(mP - n), n);
    }

private:
    bool take(size_t n) {
        if (!mOk || static_cast<size_t>(mEnd - mP) < n) {
            mOk = false;
            return false;
        }
        mP += n;
        return true;
    }
    const uint8_t* mP;
    const uint8_t* mEnd;
    bool mOk = true;
};

// Appends fields; the header's length is patched by finish(). Any field too long for its length
// field makes finish() fail.
class Writer {
public:
    Writer(std::vector<uint8_t>* out, uint8_t function, uint16_t flags, uint16_t xid,
           const std::string& lang)
        : mOut(out) {
        mOut->clear();
        u8(2);
        u8(function);
        u24(0);
        u16(flags);
        u24(0);
        u16(xid);
        str16(lang);
    }
    void u8(uint32_t v) { mOut->push_back(static_cast<uint8_t>(v)); }
    void u16(uint32_t v) {
        u8(v >> 8);
        u8(v);
    }
    void u24(uint32_t v) {
        u8(v >> 16);
        u16(v);
    }
    void u32(uint32_t v) {
        u16(v >> 16);
        u16(v);
    }
    void str16(const std::string& s) {
        if (s.size() > 0xffff) {
            mOk = false;
            return;
        }
        u16(static_cast<uint32_t>(s.size()));
        mOut->insert(mOut->end(), s.begin(), s.end());
    }
    size_t size() const { return mOut->size(); }
    bool finish() {
        if (!mOk || mOut->size() > kMaxLength) {
            mOut->clear();
            return false;
        }
        uint32_t n = static_cast<uint32_t>(mOut->size());
        (*mOut)[2] = static_cast<uint8_t>(n >> 16);
        (*mOut)[3] = static_cast<uint8_t>(n >> 8);
        (*mOut)[4] = static_cast<uint8_t>(n);
        return true;
    }

private:
    std::vector<uint8_t>* mOut;
    bool mOk = true;
};

// Skips `count` authentication blocks, each of which states its own length.
bool skipAuthBlocks(Reader& r, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        r.u16();  // block structure descriptor
        uint32_t blockLen = r.u16();
        if (!r.ok() || blockLen < 4 || !r.skip(blockLen - 4)) return false;
    }
    return r.ok();
}

bool readUrlEntry(Reader& r, UrlEntry* e) {
    r.u8();  // reserved
    e->lifetime = static_cast<uint16_t>(r.u16());
    e->url = r.str16();
    uint32_t auths = r.u8();
    return r.ok() && skipAuthBlocks(r, auths);
}

void writeUrlEntry(Writer& w, const UrlEntry& e) {
    w.u8(0);
    w.u16(e.lifetime);
    w.str16(e.url);
    w.u8(0);
}

size_t urlEntrySize(const UrlEntry& e) {
    return 1 + 2 + 2 + e.url.size() + 1;
}

// Walks the extension chain of a message of msgLen bytes. Sets *bodyEnd to where the body stops
// (the first extension, or msgLen) and *mandatory when an extension must be understood. False
// when an offset points outside the message or backwards (a loop).
bool walkExtensions(const uint8_t* buf, const Header& h, size_t msgLen, size_t* bodyEnd,
                    bool* mandatory) {
    *bodyEnd = msgLen;
    *mandatory = false;
    size_t off = h.nextExt;
    if (off == 0) return true;
    *bodyEnd = off;
    while (off != 0) {
        if (off < h.size || off > msgLen || msgLen - off < 5) return false;
        Reader r(buf + off, buf + msgLen);
        uint32_t id = r.u16();
        size_t next = r.u24();
        if (id >= 0x4000 && id <= 0x7fff) *mandatory = true;
        if (next != 0 && next < off + 5) return false;
        off = next;
    }
    return true;
}

}  // namespace

std::string functionName(uint8_t function) {
    static const char* const kNames[] = {"SrvRqst",     "SrvRply",     "SrvReg",   "SrvDeReg",
                                         "SrvAck",      "AttrRqst",    "AttrRply", "DAAdvert",
                                         "SrvTypeRqst", "SrvTypeRply", "SAAdvert"};
    if (function >= 1 && function <= 11) return kNames[function - 1];
    return "Function" + std::to_string(function);
}

bool operator==(const UrlEntry& a, const UrlEntry& b) {
    return a.lifetime == b.lifetime && a.url == b.url;
}

bool parseHeader(const uint8_t* buf, size_t len, Header* out) {
    Reader r(buf, buf + len);
    out->version = static_cast<uint8_t>(r.u8());
    out->function = static_cast<uint8_t>(r.u8());
    out->length = r.u24();
    out->flags = static_cast<uint16_t>(r.u16());
    out->nextExt = r.u24();
    out->xid = static_cast<uint16_t>(r.u16());
    out->lang = r.str16();
    if (!r.ok() || out->version != 2) return false;
    out->size = kFixedHeaderSize + out->lang.size();
    return out->length >= out->size;
}

uint32_t peekLength(const uint8_t* buf5) {
    return (uint32_t{buf5[2]} << 16) | (uint32_t{buf5[3]} << 8) | buf5[4];
}

bool encodeSrvRqst(uint16_t xid, const std::string& lang, uint16_t flags, const std::string& prlist,
                   const std::string& srvtype, const std::string& scopes,
                   const std::string& predicate, const std::string& spi,
                   std::vector<uint8_t>* out) {
    Writer w(out, kSrvRqst, flags, xid, lang);
    w.str16(prlist);
    w.str16(srvtype);
    w.str16(scopes);
    w.str16(predicate);
    w.str16(spi);
    return w.finish();
}

namespace {

// The header and error code of a reply of the given function; *body is left at what follows
// the error code, up to the first extension.
ReplyParse parseReplyHead(const uint8_t* buf, size_t len, uint8_t function, Header* hdr,
                          uint16_t* error, Reader* body) {
    *error = 0;
    if (!parseHeader(buf, len, hdr) || hdr->function != function) return ReplyParse::kMalformed;
    if (hdr->length > len) return ReplyParse::kTruncated;
    size_t bodyEnd;
    bool mandatory;
    if (!walkExtensions(buf, *hdr, hdr->length, &bodyEnd, &mandatory) || mandatory) {
        return ReplyParse::kMalformed;
    }
    *body = Reader(buf + hdr->size, buf + bodyEnd);
    *error = static_cast<uint16_t>(body->u16());
    return body->ok() ? ReplyParse::kOk : ReplyParse::kMalformed;
}

}  // namespace

ReplyParse parseSrvRply(const uint8_t* buf, size_t len, SrvRply* out) {
    out->urls.clear();
    Reader r(buf, buf);
    const ReplyParse head = parseReplyHead(buf, len, kSrvRply, &out->hdr, &out->error, &r);
    if (head != ReplyParse::kOk || out->error != kOk) return head;
    uint32_t count = r.u16();
    if (!r.ok()) return ReplyParse::kMalformed;
    for (uint32_t i = 0; i < count; ++i) {
        UrlEntry e;
        if (!readUrlEntry(r, &e)) {
            out->urls.clear();
            return ReplyParse::kMalformed;
        }
        out->urls.push_back(std::move(e));
    }
    return ReplyParse::kOk;
}

ReplyParse parseSrvAck(const uint8_t* buf, size_t len, SrvAck* out) {
    Reader r(buf, buf);
    return parseReplyHead(buf, len, kSrvAck, &out->hdr, &out->error, &r);
}

bool parseRequest(const uint8_t* buf, size_t len, Request* out) {
    Header& h = out->hdr;
    if (!parseHeader(buf, len, &h) || h.length != len) return false;
    if ((h.flags & kFlagsReserved) != 0 || h.function < kSrvRqst || h.function > kSAAdvert) {
        return false;
    }
    size_t bodyEnd;
    if (!walkExtensions(buf, h, len, &bodyEnd, &out->unknownMandatoryExt)) return false;
    Reader r(buf + h.size, buf + bodyEnd);
    switch (h.function) {
        case kSrvRqst: {
            SrvRqstBody& b = out->rqst;
            b.prlist = r.str16();
            b.srvtype = r.str16();
            b.scopes = r.str16();
            b.predicate = r.str16();
            b.spi = r.str16();
            return r.ok();
        }
        case kSrvReg: {
            SrvRegBody& b = out->reg;
            if (!readUrlEntry(r, &b.entry)) return false;
            b.srvtype = r.str16();
            b.scopes = r.str16();
            b.attrs = r.str16();
            uint32_t auths = r.u8();
            return r.ok() && skipAuthBlocks(r, auths);
        }
        case kSrvDeReg: {
            SrvDeRegBody& b = out->dereg;
            b.scopes = r.str16();
            if (!readUrlEntry(r, &b.entry)) return false;
            b.tags = r.str16();
            return r.ok();
        }
        default:
            return true;
    }
}

bool encodeSrvRply(uint16_t xid, const std::string& lang, uint16_t error,
                   const std::vector<UrlEntry>& urls, size_t maxSize, std::vector<uint8_t>* out,
                   size_t* included) {
    if (included != nullptr) *included = 0;
    if (maxSize > kMaxLength) maxSize = kMaxLength;
    Writer w(out, kSrvRply, 0, xid, lang);
    w.u16(error);
    size_t countAt = w.size();
    w.u16(0);
    size_t n = 0;
    bool overflow = false;
    for (const UrlEntry& e : urls) {
        if (n == 0xffff || w.size() + urlEntrySize(e) > maxSize) {
            overflow = true;
            break;
        }
        writeUrlEntry(w, e);
        ++n;
    }
    if (!w.finish()) return false;
    (*out)[countAt] = static_cast<uint8_t>(n >> 8);
    (*out)[countAt + 1] = static_cast<uint8_t>(n);
    if (overflow) (*out)[5] |= static_cast<uint8_t>(kFlagOverflow >> 8);
    if (included != nullptr) *included = n;
    return true;
}

bool encodeSrvAck(uint16_t xid, const std::string& lang, uint16_t error,
                  std::vector<uint8_t>* out) {
    Writer w(out, kSrvAck, 0, xid, lang);
    w.u16(error);
    return w.finish();
}

bool encodeDAAdvert(uint16_t xid, const std::string& lang, uint16_t error, uint32_t bootTime,
                    const std::string& url, const std::string& scopes, std::vector<uint8_t>* out) {
    Writer w(out, kDAAdvert, 0, xid, lang);
    w.u16(error);
    w.u32(bootTime);
    w.str16(url);
    w.str16(scopes);
    w.str16("");  // attributes
    w.str16("");  // SPI list
    w.u8(0);      // auth blocks
    return w.finish();
}

uint8_t replyFunction(uint8_t requestFunction) {
    switch (requestFunction) {
        case kSrvRqst:
            return kSrvRply;
        case kSrvReg:
        case kSrvDeReg:
            return kSrvAck;
        case kAttrRqst:
            return kAttrRply;
        case kSrvTypeRqst:
            return kSrvTypeRply;
        default:
            return 0;
    }
}

bool encodeErrorReply(uint8_t replyFunc, uint16_t xid, const std::string& lang, uint16_t error,
                      std::vector<uint8_t>* out) {
    Writer w(out, replyFunc, 0, xid, lang);
    w.u16(error);
    switch (replyFunc) {
        case kSrvRply:
            w.u16(0);  // no URL entries
            break;
        case kSrvAck:
            break;
        case kAttrRply:
            w.str16("");
            w.u8(0);
            break;
        case kSrvTypeRply:
            w.str16("");
            break;
        default:
            out->clear();
            return false;
    }
    return w.finish();
}

bool encodeSrvReg(uint16_t xid, const std::string& lang, uint16_t flags, const UrlEntry& entry,
                  const std::string& srvtype, const std::string& scopes, const std::string& attrs,
                  std::vector<uint8_t>* out) {
    Writer w(out, kSrvReg, flags, xid, lang);
    writeUrlEntry(w, entry);
    w.str16(srvtype);
    w.str16(scopes);
    w.str16(attrs);
    w.u8(0);
    return w.finish();
}

bool encodeSrvDeReg(uint16_t xid, const std::string& lang, const std::string& scopes,
                    const UrlEntry& entry, const std::string& tags, std::vector<uint8_t>* out) {
    Writer w(out, kSrvDeReg, 0, xid, lang);
    w.str16(scopes);
    writeUrlEntry(w, entry);
    w.str16(tags);
    return w.finish();
}

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

std::vector<std::string> splitList(const std::string& list) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string item = trim(list.substr(start, comma - start));
        if (!item.empty()) out.push_back(std::move(item));
        start = comma + 1;
    }
    return out;
}

}  // namespace slpwire
