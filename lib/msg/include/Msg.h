#pragma once

// The messages of the protocol. Each message is both a set of typed fields and the XML document
// that carries them: a builder constructor stores the fields and builds the document once; a
// decoding constructor reads the fields by position from a parsed document and owns it from then
// on. Documents are never rebuilt, so changing a list through its getter does not change what
// getChars() returns. A message is used by one thread at a time; distinct messages may be built,
// decoded and serialised on many threads at once.
//
// Received documents go through decodeMsg(), which checks their shape before any decoding
// constructor runs, so malformed input is rejected without reading missing nodes or allocating
// from untrusted counts. The decoding constructors themselves never read a missing node either.

#include <libxml/tree.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EndPoint.h"

class XmlWriter;
class XmlCursor;
class MemoryReservation;

class Msg {
public:
    // The type names: root element name of each message, compared exactly. "Unknown" belongs to
    // no class. Constant character data, so detached threads may read them while the process ends.
    static constexpr const char* UNKNOWN = "Unknown";
    static constexpr const char* SynthInit = "SynthInit";
    static constexpr const char* SynthESMReq = "SynthESMReq";
    static constexpr const char* SynthVGWReq = "SynthVGWReq";
    static constexpr const char* SynthIPMZReq = "SynthIPMZReq";
    static constexpr const char* ESMInit = "ESMInit";
    static constexpr const char* ESMCommit = "ESMCommit";
    static constexpr const char* DynamicInit = "DynamicInit";
    static constexpr const char* SynthInitOk = "SynthInitOk";
    static constexpr const char* SynthESMOk = "SynthESMOk";
    static constexpr const char* SynthVGWOk = "SynthVGWOk";
    static constexpr const char* SynthIPMZOk = "SynthIPMZOk";
    static constexpr const char* ESMInitOk = "ESMInitOk";
    static constexpr const char* ESMCommitOk = "ESMCommitOk";
    static constexpr const char* DynamicInitResp = "DynamicInitResp";
    static constexpr const char* GNPQueryReq = "GNPQueryReq";
    static constexpr const char* GNPQueryResp = "GNPQueryResp";

    // Builder base: stores the fields and creates an empty XML 1.0 document; the derived builder
    // adds the root.
    Msg(std::string type, unsigned long id, unsigned long ver);
    // Decoding base: no type, no document; the derived decoder adopts the parsed one.
    Msg();
    virtual ~Msg();
    Msg(const Msg&) = delete;
    Msg& operator=(const Msg&) = delete;

    // Process-wide id and version counters, each call one indivisible step under one lock. The
    // first id is the current time in seconds; the first version is the current id (0 before any
    // id was drawn); later calls add 1.
    static unsigned long generateId();
    static unsigned long generateVersion();

    unsigned long getId() const { return mId; }
    unsigned long getVersion() const { return mVersion; }
    // Also rewrite the text of the document's "id" (first) or "version" (second) element.
    void setId(unsigned long id);
    void setVersion(unsigned long ver);
    void setSrcAddr(unsigned long addr) { mSrcAddress = static_cast<uint32_t>(addr); }
    void setSrcPort(unsigned short port) { mSrcPort = port; }
    unsigned long getSrcAddr() const { return mSrcAddress; }
    unsigned short getSrcPort() const { return mSrcPort; }
    std::string getSrcAddrStr() const { return inet_NTOS(mSrcAddress); }
    std::string getSrcPortStr() const { return ultostr(mSrcPort); }
    std::string getType() const { return mType; }

    // The unformatted dump of the document, NUL-terminated, in a new malloc'd buffer that the
    // caller frees with free(). Null only when there is no document or memory ran out.
    char* getChars() const;

    // Descriptor of the connection a received message came on (set by the server).
    int sock = -1;

protected:
    // Creates the root named after mType with its "id" and "version" children; returns a writer
    // positioned on the root for the body.
    XmlWriter beginBody();
    // Sets mType, adopts doc and reads "id" and "version"; returns a cursor on the body.
    XmlCursor beginDecode(const char* type, xmlDoc* doc);

    uint32_t mId = 0;
    uint32_t mVersion = 0;
    std::string mType;
    xmlDoc* mDoc = nullptr;
    uint32_t mSrcAddress = 0;
    uint16_t mSrcPort = 0;

    // guarded by the id lock in Msg.cpp (one lock for both: generateVersion reads sId)
    static uint32_t sId;
    static uint32_t sVersion;
};

// ---- ESM proxy control ----

class ESMInit : public Msg {
public:
    ESMInit(unsigned long id, unsigned long ver, unsigned short port);
    explicit ESMInit(xmlDoc* mptr);

    unsigned short getPort() const { return mPort; }
    std::string getPortStr() const { return ultostr(mPort); }

private:
    uint16_t mPort = 0;
};

class ESMInitOk : public Msg {
public:
    ESMInitOk(unsigned long id, unsigned long ver, unsigned long addr, unsigned char ttl);
    explicit ESMInitOk(xmlDoc* mptr);

    unsigned long getAddr() const { return mAddress; }
    std::string getAddrStr() const { return inet_NTOS(mAddress); }
    unsigned char getTTL() const { return mTTL; }
    std::string getTTLStr() const { return ultostr(mTTL); }

private:
    uint32_t mAddress = 0;
    uint8_t mTTL = 0;
};

class ESMCommit : public Msg {
public:
    ESMCommit(unsigned long id, unsigned long ver, unsigned long addr, unsigned short port,
              unsigned char ttl, std::vector<TransportEndPoint>& membervec);
    explicit ESMCommit(xmlDoc* mptr);

    std::vector<TransportEndPoint>& getMemberVec() { return *mMemberVec; }
    unsigned long getAddr() const { return mAddress; }
    std::string getAddrStr() const { return inet_NTOS(mAddress); }
    // The port field is kept whole in 32 bits; getPort() gives its low 16 bits.
    unsigned short getPort() const { return static_cast<uint16_t>(mPort); }
    std::string getPortStr() const { return ultostr(mPort); }
    unsigned char getTTL() const { return mTTL; }
    std::string getTTLStr() const { return ultostr(mTTL); }

private:
    uint32_t mAddress = 0;
    uint32_t mPort = 0;
    uint8_t mTTL = 0;
    std::unique_ptr<std::vector<TransportEndPoint>> mMemberVec;
};

class ESMCommitOk : public Msg {
public:
    ESMCommitOk(unsigned long id, unsigned long ver);
    explicit ESMCommitOk(xmlDoc* mptr);
};

// ---- ESM synthesis ----

class SynthESMReq : public Msg {
public:
    // Logs "varno: setEP %d -> %s" on standard output for every zone.
    SynthESMReq(unsigned long id, unsigned long ver, std::vector<EndPoint>& epvec,
                std::vector<EndZone>& zvec);
    // Logs "varno: getEP %s -> %d" on standard output for every zone read.
    explicit SynthESMReq(xmlDoc* mptr);

    std::vector<EndPoint>& getEPVec() { return *mEPVec; }
    std::vector<EndZone>& getZoneVec() { return *mZoneVec; }

private:
    std::unique_ptr<std::vector<EndPoint>> mEPVec;
    std::unique_ptr<std::vector<EndZone>> mZoneVec;
};

class SynthESMOk : public Msg {
public:
    SynthESMOk(unsigned long id, unsigned long ver, std::vector<MulticastEndPoint>& eptvec,
               std::vector<MulticastEndPoint>& ztvec);
    explicit SynthESMOk(xmlDoc* mptr);

    std::vector<MulticastEndPoint>& getEPTVec() { return *mEPTVec; }
    std::vector<MulticastEndPoint>& getZoneTVec() { return *mZoneTVec; }

private:
    std::unique_ptr<std::vector<MulticastEndPoint>> mEPTVec;
    std::unique_ptr<std::vector<MulticastEndPoint>> mZoneTVec;
};

// ---- Gateway and zone synthesis ----

class SynthVGWReq : public Msg {
public:
    SynthVGWReq(unsigned long id, unsigned long ver, unsigned long vgw_dataaddr,
                unsigned short vgw_dataport, unsigned char vgw_ttl,
                std::vector<vicSDREndPoint>& vicvec, std::vector<NetmeetingEndPoint>& nmvec);
    explicit SynthVGWReq(xmlDoc* mptr);

    unsigned long getVGWDataAddr() const { return mVGWDataAddr; }
    std::string getVGWDataAddrStr() const { return inet_NTOS(mVGWDataAddr); }
    unsigned short getVGWDataPort() const { return mVGWDataPort; }
    unsigned char getVGWTTL() const { return mVGWTTL; }
    std::vector<vicSDREndPoint>& getVicVec() { return *mVicVec; }
    std::vector<NetmeetingEndPoint>& getNMVec() { return *mNMVec; }

private:
    uint32_t mVGWDataAddr = 0;
    uint16_t mVGWDataPort = 0;
    uint8_t mVGWTTL = 0;
    std::unique_ptr<std::vector<vicSDREndPoint>> mVicVec;
    std::unique_ptr<std::vector<NetmeetingEndPoint>> mNMVec;
};

class SynthVGWOk : public Msg {
public:
    SynthVGWOk(unsigned long id, unsigned long ver);
    explicit SynthVGWOk(xmlDoc* mptr);
};

class SynthIPMZReq : public Msg {
public:
    SynthIPMZReq(unsigned long id, unsigned long ver, std::vector<EndPoint>& epvec);
    explicit SynthIPMZReq(xmlDoc* mptr);

    std::vector<EndPoint>& getEPVec() { return *mEPVec; }

private:
    std::unique_ptr<std::vector<EndPoint>> mEPVec;
};

class SynthIPMZOk : public Msg {
public:
    SynthIPMZOk(unsigned long id, unsigned long ver, std::vector<EndZone>& zvec,
                std::vector<unsigned int>& idxvec);
    explicit SynthIPMZOk(xmlDoc* mptr);

    std::vector<EndZone>& getZoneVec() { return *mZoneVec; }
    std::vector<unsigned int>& getIdxVec() { return *mIdxVec; }

private:
    std::unique_ptr<std::vector<EndZone>> mZoneVec;
    std::unique_ptr<std::vector<unsigned int>> mIdxVec;
};

// ---- Session set-up ----

class SynthInit : public Msg {
public:
    SynthInit(unsigned long id, unsigned long ver, std::vector<VCEndPoint>& vicvec,
              std::vector<VCEndPoint>& mcvicvec, std::vector<VCEndPoint>& nmvec,
              std::vector<VCEndPoint>& hhvec, std::vector<VCEndPoint>& wbvec, std::string mname);
    explicit SynthInit(xmlDoc* mptr);

    std::vector<VCEndPoint>& getVicVec() { return *mVicVec; }
    std::vector<VCEndPoint>& getMCVicVec() { return *mMCVicVec; }
    std::vector<VCEndPoint>& getNMVec() { return *mNMVec; }
    std::vector<VCEndPoint>& getHHVec() { return *mHHVec; }
    std::vector<VCEndPoint>& getWBVec() { return *mWBVec; }
    std::string& getMovieName() { return mMovieName; }

private:
    std::unique_ptr<std::vector<VCEndPoint>> mVicVec;
    std::unique_ptr<std::vector<VCEndPoint>> mMCVicVec;
    std::unique_ptr<std::vector<VCEndPoint>> mNMVec;
    std::unique_ptr<std::vector<VCEndPoint>> mHHVec;
    std::unique_ptr<std::vector<VCEndPoint>> mWBVec;
    std::string mMovieName;
};

class SynthInitOk : public Msg {
public:
    SynthInitOk(unsigned long id, unsigned long ver);
    explicit SynthInitOk(xmlDoc* mptr);
};

class DynamicInit : public Msg {
public:
    DynamicInit(unsigned long id, unsigned long ver, std::vector<std::string>& argv);
    explicit DynamicInit(xmlDoc* mptr);

    std::vector<std::string>& getARGV() { return *mARGV; }

private:
    std::unique_ptr<std::vector<std::string>> mARGV;
};

class DynamicInitResp : public Msg {
public:
    // Status values; they travel in "status", so they never change.
    static constexpr int Failed = -1;
    static constexpr int Ok = 0;
    static constexpr int PortInUse = -2;

    DynamicInitResp(unsigned long id, unsigned long ver, int status);
    explicit DynamicInitResp(xmlDoc* mptr);

    int getStatus() const { return mStatus; }

private:
    int32_t mStatus = 0;
};

// ---- GNP queries ----

class GNPQueryReq : public Msg {
public:
    GNPQueryReq(unsigned long id, unsigned long ver, int sol_rank, int num_proxy,
                std::vector<GNPNode>& clientvec, std::vector<GNPNode>& candidatevec,
                std::vector<int>& capacityvec, std::vector<int>& costvec);
    explicit GNPQueryReq(xmlDoc* mptr);

    int getSolutionRank() const { return mSolutionRank; }
    int getNumProxiesPerSolution() const { return mNumProxiesPerSolution; }
    std::vector<GNPNode>& getClientVec() { return *mClientVec; }
    std::vector<GNPNode>& getCandidateVec() { return *mCandidateVec; }
    std::vector<int>& getCapacityVec() { return *mCapacityVec; }
    std::vector<int>& getCostVec() { return *mCostVec; }

private:
    int32_t mSolutionRank = 0;
    int32_t mNumProxiesPerSolution = 0;
    std::unique_ptr<std::vector<GNPNode>> mClientVec;
    std::unique_ptr<std::vector<GNPNode>> mCandidateVec;
    std::unique_ptr<std::vector<int>> mCapacityVec;
    std::unique_ptr<std::vector<int>> mCostVec;
};

class GNPQueryResp : public Msg {
public:
    GNPQueryResp(unsigned long id, unsigned long ver, std::vector<int>& idxvec, double fitness);
    explicit GNPQueryResp(xmlDoc* mptr);

    std::vector<int>& getIndexVec() { return *mIndexVec; }
    double getFitness() const { return mFitness; }

private:
    std::unique_ptr<std::vector<int>> mIndexVec;
    double mFitness = 0;
};

// ---- Decoding received documents ----

// Which side decodes: the server accepts request types, the client response types.
enum class MsgTable { Requests, Responses };

enum class DecodeStatus {
    Ok,
    NotXml,       // the bytes are not a well-formed XML document
    NoRoot,       // the document has no root element
    UnknownType,  // the root's name is not a type of the table
    Malformed,    // the type is known but the body does not have its shape
    Doctype,      // the document declares a document type; no message does
    Unbacked,     // a list announces another count than the entries it holds (DecodeLimits)
    OverBudget,   // the lists' vectors did not fit the memory reservation (DecodeLimits)
};

// What a server asks of the decoder for requests from peers it does not trust. Without it, lists
// are read as they always have been, for existing peers: every list becomes a vector of its "num"
// entries, defaults for the missing ones.
struct DecodeLimits {
    // Grown by what the list vectors can take at most, before any of them is allocated.
    // Null: nothing is reserved.
    MemoryReservation* reservation = nullptr;
    // The lists of a type whose entries drive a server's work (SynthESMReq: one lookup and one
    // proxy per entry) must hold exactly the entries they announce; checked before anything is
    // allocated for them.
    bool backedCounts = false;
    // Set by the decoder: the bytes it reserved, or meant to, for the list vectors.
    uint64_t listBytes = 0;
};

// Builds the message of the table's class that the root element names. Takes ownership of doc
// in every case: the message adopts it, or it is freed. Returns null (and the reason in *status
// when status is not null) for a null doc, a document type declaration, a missing root, a name
// outside the table, or a body whose elements, "num" counts or entries do not fit the class;
// with limits, also for the reasons given there.
Msg* decodeMsg(xmlDoc* doc, MsgTable table, DecodeStatus* status = nullptr,
               DecodeLimits* limits = nullptr);

// Parses exactly len bytes as XML, without network access and without printing parser errors,
// then decodes the document as decodeMsg() does. The caller owns the result. Parsing stops at a
// document type declaration: its entities could make a small body expand without bound.
Msg* parseMsg(const char* buf, size_t len, MsgTable table, DecodeStatus* status = nullptr,
              DecodeLimits* limits = nullptr);
