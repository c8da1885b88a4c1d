#include "EndPoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>

#include "num_util.h"

unsigned long inet_ADDR(const char* str) {
    if (str == nullptr) return 0;
    struct in_addr a;
    if (inet_aton(str, &a) == 0) return 0;
    return a.s_addr;
}

std::string inet_NTOS(unsigned long addr) {
    char buf[kAddrTextSize];
    return std::string(buf, formatAddr(addr, buf));
}

size_t formatAddr(unsigned long addr, char* out) {
    // inet_ntoa shares one static buffer between threads, and snprintf costs more than the
    // rest of adding an address to a document: write the bytes' digits directly.
    const uint32_t net = static_cast<uint32_t>(addr);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&net);
    char* p = out;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) *p++ = '.';
        const unsigned v = b[i];
        if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
        if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
    }
    *p = '\0';
    return static_cast<size_t>(p - out);
}

std::string ultostr(unsigned long num) {
    char buf[20];
    snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(static_cast<uint32_t>(num)));
    return buf;
}

int mask2int(unsigned long mask) {
    uint32_t host = ntohl(static_cast<uint32_t>(mask));
    int zeros = 0;
    while (zeros < 32 && (host & 1u) == 0) {
        host >>= 1;
        ++zeros;
    }
    return 32 - zeros;
}

std::string EndZone::getStr() const {
    return getAddrStr() + "/" + std::to_string(mask2int(mMask));
}

void TransportEndPoint::setPort(const char* str) {
    mPort = static_cast<uint16_t>(parseU32(str));
}

std::string TransportEndPoint::getStr() const {
    return getAddrStr() + ":" + getPortStr();
}

void MulticastEndPoint::setTTL(const char* str) {
    mTTL = static_cast<uint8_t>(parseU32(str));
}

std::string MulticastEndPoint::getStr() const {
    return TransportEndPoint::getStr() + " [ttl " + getTTLStr() + "]";
}

void vicSDREndPoint::setDataPort(const char* str) {
    mDataPort = static_cast<uint16_t>(parseU32(str));
}

void vicSDREndPoint::setTTL(const char* str) {
    mTTL = static_cast<uint8_t>(parseU32(str));
}

GNPNode::GNPNode(const std::vector<std::string>& coords) {
    mCoordinates.reserve(coords.size());
    for (const std::string& c : coords) mCoordinates.push_back(strtod(c.c_str(), nullptr));
}

void GNPNode::allocCoordVec(int num) {
    mCoordinates.assign(num > 0 ? static_cast<size_t>(num) : 0, 0.0);
}

std::string GNPNode::coordAt(int idx) const {
    return formatReal(DcoordAt(idx));
}

void GNPNode::setCoordAt(int idx, double coord) {
    if (static_cast<unsigned>(idx) < mCoordinates.size())
        mCoordinates[static_cast<size_t>(idx)] = coord;
}

std::string formatReal(double d) {
    // 64 bytes hold every value below 1e55; larger ones are measured and written in full.
    char buf[64];
    int n = snprintf(buf, sizeof buf, "%f", d);
    if (n >= 0 && static_cast<size_t>(n) < sizeof buf)
        return std::string(buf, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    snprintf(&big[0], big.size(), "%f", d);
    big.resize(static_cast<size_t>(n));
    return big;
}
