#pragma once

// Network places carried by the messages and chosen by the service: hosts, zones, transports,
// conference participants and nodes with network coordinates. All are plain copyable values.
// Addresses are IPv4 in network byte order held in 32 bits; ports are 16-bit host byte order;
// TTLs 8-bit. Setters that take text never fail: bad addresses become 0, numbers keep their low
// bits. Every function here may run on any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Parses IPv4 text with the inet_aton rules (1 to 4 parts, decimal, octal or hex) and returns the
// address in network byte order, or 0 when the text is not an address (or is null).
unsigned long inet_ADDR(const char* str);

// Dotted-quad text of an address in network byte order. Uses no shared buffer.
std::string inet_NTOS(unsigned long addr);

// Room for a dotted quad and its terminating NUL.
constexpr size_t kAddrTextSize = 16;

// Writes the dotted quad of addr (network byte order) into out (kAddrTextSize bytes),
// NUL-terminated, as inet_NTOS gives it; returns its length. Uses no shared buffer.
size_t formatAddr(unsigned long addr, char* out);

// Decimal text of the 32-bit value ("%lu").
std::string ultostr(unsigned long num);

// Prefix length of a netmask in network byte order: 32 minus its trailing zero bits.
int mask2int(unsigned long mask);

class EndPoint {
public:
    EndPoint() = default;
    explicit EndPoint(unsigned long ip) : mAddress(static_cast<uint32_t>(ip)) {}

    unsigned long getAddr() const { return mAddress; }
    void setAddr(unsigned long addr) { mAddress = static_cast<uint32_t>(addr); }
    void setAddr(const char* str) { mAddress = static_cast<uint32_t>(inet_ADDR(str)); }
    std::string getAddrStr() const { return inet_NTOS(mAddress); }
    std::string getStr() const { return getAddrStr(); }

protected:
    uint32_t mAddress = 0;
};

// A zone: base address, netmask and the endpoint that represents it.
class EndZone : public EndPoint {
public:
    EndZone() = default;
    // The zone's address and netmask, both in network byte order; no representative endpoint.
    EndZone(unsigned long addr, unsigned long mask)
        : EndPoint(addr), mMask(static_cast<uint32_t>(mask)) {}

    unsigned long getMask() const { return mMask; }
    void setMask(unsigned long mask) { mMask = static_cast<uint32_t>(mask); }
    void setMask(const char* str) { mMask = static_cast<uint32_t>(inet_ADDR(str)); }
    std::string getMaskStr() const { return inet_NTOS(mMask); }
    unsigned long getEP() const { return mEP; }
    void setEP(unsigned long ep) { mEP = static_cast<uint32_t>(ep); }
    // "10.1.0.0/16": the address and the prefix length of the mask.
    std::string getStr() const;

protected:
    uint32_t mMask = 0;
    uint32_t mEP = 0;
};

// A host and port at which a proxy is or will be reachable. The ABone flag marks a node on which
// the proxy program has yet to be launched; once set it is never cleared.
class TransportEndPoint : public EndPoint {
public:
    TransportEndPoint() = default;
    TransportEndPoint(unsigned long ip, unsigned short port) : EndPoint(ip), mPort(port) {}

    unsigned short getPort() const { return mPort; }
    void setPort(unsigned short port) { mPort = port; }
    // strtoul base 10, low 16 bits kept: "70000" gives 4464, "abc" gives 0.
    void setPort(const char* str);
    std::string getPortStr() const { return ultostr(mPort); }
    // "10.0.0.1:4000"
    std::string getStr() const;
    bool isAboneNode() const { return mAboneNode; }
    void setAboneNode() { mAboneNode = true; }

protected:
    uint16_t mPort = 0;
    bool mAboneNode = false;
};

class MulticastEndPoint : public TransportEndPoint {
public:
    MulticastEndPoint() = default;
    MulticastEndPoint(unsigned long ip, unsigned short port, unsigned char ttl)
        : TransportEndPoint(ip, port), mTTL(ttl) {}

    unsigned char getTTL() const { return mTTL; }
    void setTTL(unsigned char ttl) { mTTL = ttl; }
    // strtoul base 10, low 8 bits kept.
    void setTTL(const char* str);
    std::string getTTLStr() const { return ultostr(mTTL); }
    // "225.5.6.7:4000 [ttl 1]"
    std::string getStr() const;

protected:
    uint8_t mTTL = 64;
};

// A participant of the vic/sdr conferencing tools.
class vicSDREndPoint : public EndPoint {
public:
    vicSDREndPoint() = default;
    vicSDREndPoint(std::string user, unsigned long addr, unsigned long dataaddr,
                   unsigned short dataport, unsigned char ttl)
        : EndPoint(addr),
          mUsername(std::move(user)),
          mDataAddress(static_cast<uint32_t>(dataaddr)),
          mDataPort(dataport),
          mTTL(ttl) {}

    void setUsername(std::string user) { mUsername = std::move(user); }
    const std::string& getUsername() const { return mUsername; }
    void setDataAddr(unsigned long addr) { mDataAddress = static_cast<uint32_t>(addr); }
    void setDataAddr(const char* str) { mDataAddress = static_cast<uint32_t>(inet_ADDR(str)); }
    unsigned long getDataAddr() const { return mDataAddress; }
    std::string getDataAddrStr() const { return inet_NTOS(mDataAddress); }
    unsigned short getDataPort() const { return mDataPort; }
    void setDataPort(unsigned short port) { mDataPort = port; }
    void setDataPort(const char* str);
    std::string getDataPortStr() const { return ultostr(mDataPort); }
    unsigned char getTTL() const { return mTTL; }
    void setTTL(unsigned char ttl) { mTTL = ttl; }
    void setTTL(const char* str);
    std::string getTTLStr() const { return ultostr(mTTL); }

protected:
    std::string mUsername;
    uint32_t mDataAddress = 0;
    uint16_t mDataPort = 0;
    uint8_t mTTL = 64;
};

class NetmeetingEndPoint : public EndPoint {
public:
    NetmeetingEndPoint() = default;
    NetmeetingEndPoint(std::string user, unsigned long addr)
        : EndPoint(addr), mUsername(std::move(user)) {}

    void setUsername(std::string user) { mUsername = std::move(user); }
    const std::string& getUsername() const { return mUsername; }

protected:
    std::string mUsername;
};

class VCEndPoint : public EndPoint {
public:
    VCEndPoint() = default;
    VCEndPoint(std::string user, unsigned long addr) : EndPoint(addr), mUsername(std::move(user)) {}

    void setUsername(std::string user) { mUsername = std::move(user); }
    const std::string& getUsername() const { return mUsername; }
    EndPoint getEndPoint() const { return EndPoint(mAddress); }

protected:
    std::string mUsername;
};

// A node described by its network coordinates, one number per dimension.
class GNPNode {
public:
    GNPNode() = default;
    explicit GNPNode(const std::vector<double>& coords) : mCoordinates(coords) {}
    // Each text converted with strtod; text without a number gives 0.
    explicit GNPNode(const std::vector<std::string>& coords);

    // Replaces the coordinates by num zeros (none for num <= 0).
    void allocCoordVec(int num);
    int size() const { return static_cast<int>(mCoordinates.size()); }
    // Both require 0 <= idx < size().
    double DcoordAt(int idx) const { return mCoordinates[static_cast<size_t>(idx)]; }
    // "%f" text of coordinate idx: six digits after the point, never cut however large.
    std::string coordAt(int idx) const;
    // Does nothing when idx, taken as unsigned, is not below size().
    void setCoordAt(int idx, double coord);

protected:
    std::vector<double> mCoordinates;
};

// "%f" text of a double, in full whatever its magnitude.
std::string formatReal(double d);
