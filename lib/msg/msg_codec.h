#pragma once

// List and composite-entry helpers shared by every message class: each composite entry has one
// write/read pair here, so a class states its body once and never walks the tree itself.

#include <memory>
#include <vector>

#include "EndPoint.h"
#include "xml_util.h"

// The message's own copy of a list argument. Builders write the document from the argument and
// make this copy last: a large block allocated before the document's many small nodes makes
// glibc's allocator merge every small block freed since (by the previous document, say), so the
// nodes could no longer reuse them, which costs more than the copy itself.
template <class T>
std::unique_ptr<std::vector<T>> ownCopy(const std::vector<T>& v) {
    return std::make_unique<std::vector<T>>(v);
}

// Writes a list container with "num" and one entry per element, in vector order.
template <class T, class WriteEntry>
void writeList(XmlWriter& w, const char* listName, const std::vector<T>& v, WriteEntry writeEntry) {
    XmlWriter list = w.list(listName, v.size());
    for (const T& x : v) writeEntry(list, x);
}

// Reads the next element as a list: "num" default entries, filled in order from the children
// until either runs out. readEntry consumes exactly one child of the list cursor.
template <class T, class ReadEntry>
std::unique_ptr<std::vector<T>> readList(XmlCursor& c, ReadEntry readEntry) {
    size_t n;
    XmlCursor list = c.list(&n);
    auto v = std::make_unique<std::vector<T>>(n);
    for (size_t i = 0; i < n && list.more(); ++i) readEntry(list, (*v)[i]);
    return v;
}

// Plain entries: an address or a number as the entry's text.
inline auto writeAddrEntry(const char* name) {
    return [name](XmlWriter& l, const EndPoint& e) { l.addr(name, e.getAddr()); };
}
inline void readAddrEntry(XmlCursor& l, EndPoint& e) {
    e.setAddr(l.addr());
}

inline auto writeNumEntry(const char* name) {
    return [name](XmlWriter& l, uint32_t v) { l.num(name, v); };
}
template <class Int>
void readNumEntry(XmlCursor& l, Int& v) {
    v = static_cast<Int>(l.u32());
}

// addr, port
void writeMember(XmlWriter& l, const TransportEndPoint& t);
void readMember(XmlCursor& l, TransportEndPoint& t);

// addr, port, ttl
void writeTransport(XmlWriter& l, const char* name, const MulticastEndPoint& t);
void readTransport(XmlCursor& l, MulticastEndPoint& t);

// addr, mask, and the representative endpoint as a number when withEP
void writeZone(XmlWriter& l, const EndZone& z, bool withEP);
void readZone(XmlCursor& l, EndZone& z, bool withEP);

// user, addr, dataaddr, dataport, ttl
void writeVicSDR(XmlWriter& l, const vicSDREndPoint& v);
void readVicSDR(XmlCursor& l, vicSDREndPoint& v);

// user, addr (NetMeeting and video-conference participants)
template <class P>
void writeUserAddr(XmlWriter& l, const char* name, const P& p) {
    XmlWriter e = l.entry(name);
    e.text("user", p.getUsername());
    e.addr("addr", p.getAddr());
}
template <class P>
void readUserAddr(XmlCursor& l, P& p) {
    XmlCursor e = l.entry();
    p.setUsername(e.text());
    p.setAddr(e.addr());
}

// A node: its own "num" and one "coord" per coordinate.
void writeNode(XmlWriter& l, const char* name, const GNPNode& n);
void readNode(XmlCursor& l, GNPNode& n);
