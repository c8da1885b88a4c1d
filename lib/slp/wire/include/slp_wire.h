#pragma once

// SLPv2 messages as bytes: the common header, the request a user agent sends and the reply it
// reads, and the messages a Directory Agent reads and writes. Pure functions over byte buffers:
// parsers never read outside [buf, buf + len) and reject rather than guess; encoders fail when a
// field does not fit its length field. Everything here may run on any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace slpwire {

enum Function : uint8_t {
    kSrvRqst = 1,
    kSrvRply = 2,
    kSrvReg = 3,
    kSrvDeReg = 4,
    kSrvAck = 5,
    kAttrRqst = 6,
    kAttrRply = 7,
    kDAAdvert = 8,
    kSrvTypeRqst = 9,
    kSrvTypeRply = 10,
    kSAAdvert = 11,
};

// Header flags.
constexpr uint16_t kFlagOverflow = 0x8000;
constexpr uint16_t kFlagFresh = 0x4000;
constexpr uint16_t kFlagMcast = 0x2000;
constexpr uint16_t kFlagsReserved = 0x1fff;

// Protocol error codes carried in replies.
enum ErrorCode : uint16_t {
    kOk = 0,
    kLanguageNotSupported = 1,
    kParseError = 2,
    kInvalidRegistration = 3,
    kScopeNotSupported = 4,
    kAuthenticationUnknown = 5,
    kAuthenticationAbsent = 6,
    kAuthenticationFailed = 7,
    kVerNotSupported = 9,
    kInternalError = 10,
    kDaBusyNow = 11,
    kOptionNotUnderstood = 12,
    kInvalidUpdate = 13,
    kMsgNotSupported = 14,
    kRefreshRejected = 15,
};

constexpr size_t kFixedHeaderSize = 14;    // without the language tag
constexpr uint32_t kMaxLength = 0xffffff;  // the 24-bit length field
constexpr size_t kDefaultMtu = 1400;

// "SrvRqst", "SrvRply", ...; "Function<n>" for an unknown id.
std::string functionName(uint8_t function);

struct Header {
    uint8_t version = 2;
    uint8_t function = 0;
    uint32_t length = 0;  // whole message as announced, header included
    uint16_t flags = 0;
    uint32_t nextExt = 0;
    uint16_t xid = 0;
    std::string lang;
    size_t size = 0;  // bytes the header occupies (14 + language tag)
};

// Reads the header at buf. False when the buffer is shorter than the header, the version is not
// 2, or the announced length is shorter than the header itself. The announced length may exceed
// len (a truncated datagram); callers decide what that means.
bool parseHeader(const uint8_t* buf, size_t len, Header* out);

// The 24-bit length field of a message whose first 5 bytes are at buf (TCP framing).
uint32_t peekLength(const uint8_t* buf5);

struct UrlEntry {
    uint16_t lifetime = 0;
    std::string url;
};

bool operator==(const UrlEntry& a, const UrlEntry& b);

// ---- User agent side ----

// A SrvRqst with the given fields and no extensions. False when a field exceeds 65535 bytes.
bool encodeSrvRqst(uint16_t xid, const std::string& lang, uint16_t flags, const std::string& prlist,
                   const std::string& srvtype, const std::string& scopes,
                   const std::string& predicate, const std::string& spi, std::vector<uint8_t>* out);

struct SrvRply {
    Header hdr;
    uint16_t error = 0;
    std::vector<UrlEntry> urls;
};

enum class ReplyParse {
    kOk,         // a complete SrvRply (error code and entries filled in)
    kTruncated,  // a SrvRply whose announced length exceeds the bytes given
    kMalformed,  // anything else: not a SrvRply, bad body, a mandatory extension we do not know
};

// Parses a SrvRply. With a non-zero error code the body after it may be missing. Auth blocks of
// URL entries are skipped. On kTruncated, out->hdr is filled in (XID and flags readable).
ReplyParse parseSrvRply(const uint8_t* buf, size_t len, SrvRply* out);

struct SrvAck {
    Header hdr;
    uint16_t error = 0;
};

// Parses a SrvAck, the answer to a SrvReg or SrvDeReg, as parseSrvRply parses a SrvRply.
ReplyParse parseSrvAck(const uint8_t* buf, size_t len, SrvAck* out);

// ---- Directory Agent side ----

struct SrvRqstBody {
    std::string prlist, srvtype, scopes, predicate, spi;
};
struct SrvRegBody {
    UrlEntry entry;
    std::string srvtype, scopes, attrs;
};
struct SrvDeRegBody {
    std::string scopes;
    UrlEntry entry;
    std::string tags;
};

struct Request {
    Header hdr;
    bool unknownMandatoryExt = false;  // an extension id in 0x4000..0x7fff was present
    SrvRqstBody rqst;                  // filled for SrvRqst
    SrvRegBody reg;                    // filled for SrvReg
    SrvDeRegBody dereg;                // filled for SrvDeReg
};

// Parses one whole message as a DA receives it: len must equal the announced length, reserved
// flag bits must be clear, the function id must be 1..11 and the extension chain must lie inside
// the message. Bodies are decoded for SrvRqst, SrvReg and SrvDeReg (an auth block count other
// than 0 is skipped by block length); other messages are checked up to their header. False for
// anything malformed: such a packet gets no answer.
bool parseRequest(const uint8_t* buf, size_t len, Request* out);

// A SrvRply carrying `error` and as many whole URL entries as fit in maxSize bytes; when some do
// not fit, the OVERFLOW flag is set. *included (may be null) receives the number written.
// False when the header fields do not fit.
bool encodeSrvRply(uint16_t xid, const std::string& lang, uint16_t error,
                   const std::vector<UrlEntry>& urls, size_t maxSize, std::vector<uint8_t>* out,
                   size_t* included);

bool encodeSrvAck(uint16_t xid, const std::string& lang, uint16_t error, std::vector<uint8_t>* out);

// A DAAdvert with empty attribute and SPI lists and no auth blocks.
bool encodeDAAdvert(uint16_t xid, const std::string& lang, uint16_t error, uint32_t bootTime,
                    const std::string& url, const std::string& scopes, std::vector<uint8_t>* out);

// The reply type of a request function (SrvRqst -> SrvRply, AttrRqst -> AttrRply, ...), or 0
// for a message that is not a request.
uint8_t replyFunction(uint8_t requestFunction);

// An error-only reply of the given reply function (SrvRply, SrvAck, AttrRply, SrvTypeRply) with
// its remaining body fields empty. False for other functions.
bool encodeErrorReply(uint8_t replyFunc, uint16_t xid, const std::string& lang, uint16_t error,
                      std::vector<uint8_t>* out);

// Registrations as a service agent sends them (no auth blocks).
bool encodeSrvReg(uint16_t xid, const std::string& lang, uint16_t flags, const UrlEntry& entry,
                  const std::string& srvtype, const std::string& scopes, const std::string& attrs,
                  std::vector<uint8_t>* out);
bool encodeSrvDeReg(uint16_t xid, const std::string& lang, const std::string& scopes,
                    const UrlEntry& entry, const std::string& tags, std::vector<uint8_t>* out);

// ---- Text lists, as both sides read them ----

// s without leading and trailing blanks (space, tab, CR, LF).
std::string trim(const std::string& s);

// The items of a comma list (scopes, DA addresses, tags), trimmed, empty ones dropped.
std::vector<std::string> splitList(const std::string& list);

}  // namespace slpwire
