#pragma once

// Internal helpers of the message codec: owners for libxml2 objects, a writer that builds a body,
// a cursor that reads one by position, and the shape check that runs before any decoder. All of
// them work on one document owned by the calling thread.

#include <libxml/tree.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

// Largest "num" accepted for any one list of a received document.
constexpr uint32_t kMaxListEntries = 1048576;

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
// Holds a parsed document until a message adopts it.
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

// Owns an xmlChar* from xmlNodeGetContent or xmlGetProp; reads as "" when null.
class XmlText {
public:
    explicit XmlText(xmlChar* p) : mText(p) {}
    XmlText(const XmlText&) = delete;
    XmlText& operator=(const XmlText&) = delete;
    XmlText(XmlText&& o) noexcept : mText(o.mText) { o.mText = nullptr; }
    ~XmlText() { xmlFree(mText); }
    const char* c_str() const { return mText ? reinterpret_cast<const char*>(mText) : ""; }
    bool null() const { return mText == nullptr; }

private:
    xmlChar* mText;
};

// Appends children to one element. Numbers go out as "%d" of the 32-bit value, reals as "%f".
class XmlWriter {
public:
    explicit XmlWriter(xmlNode* node) : mNode(node) {}

    // "%d" of the value taken as a signed 32-bit number (so 4294967295 is written -1).
    void num(const char* name, uint32_t v);
    void addr(const char* name, unsigned long addrNet);
    void real(const char* name, double d);
    // Free text, escaped on output, so any text travels unchanged.
    void text(const char* name, const std::string& s);
    // Text already in its wire form (digits, signs, dots), added as num and addr add theirs.
    void plain(const char* name, const char* wireText);
    // A list container with its "num"; the returned writer adds the entries.
    XmlWriter list(const char* name, size_t n);
    // An element without text, for a composite entry.
    XmlWriter entry(const char* name);

private:
    xmlNode* mNode;
};

// Reads the element children of one node in order, skipping every other kind of node (text,
// comments). After the first missing element it stays failed and returns defaults: it never
// dereferences a missing node.
class XmlCursor {
public:
    // A cursor over the children of parent (null gives a failed cursor).
    explicit XmlCursor(xmlNode* parent);

    bool ok() const { return mOk; }
    // True when another element follows (does not fail the cursor).
    bool more() const;
    // The next element, or null (and the cursor fails).
    xmlNode* next();
    // The whole text of the next element.
    std::string text();
    // parseU32 of the next element's text.
    uint32_t u32();
    // inet_ADDR of the next element's text.
    unsigned long addr();
    // strtod of the next element's text.
    double real();
    // The next element as a list: *count gets its "num" (0 when missing or not a valid count,
    // which fails the cursor); the result reads its entries.
    XmlCursor list(size_t* count);
    // A cursor over the children of the next element.
    XmlCursor entry();

private:
    xmlNode* mNext;
    bool mOk;
};

// Reads a list container's "num": true and the count when it is present, not negative as a
// signed 32-bit number and at most kMaxListEntries.
bool readCount(xmlNode* container, size_t* count);

// What the shape check learns of a document's lists, for a caller that accounts for them.
struct ListCounts {
    uint64_t entries = 0;   // the entries every list announces, nested lists' own not included
    uint64_t nested = 0;    // the entries the lists of "n" lists announce (coordinates)
    bool allBacked = true;  // every top-level list holds exactly the entries it announces
};

// Checks a received body against its class's shape before decoding. A shape is a list of
// space-separated items, one per body element after "id" and "version":
//   s    a scalar element
//   l    a list whose entries are plain text
//   lN   a list whose entries each need N child elements (N from 1 to 9)
//   n    a list whose entries are themselves lists (their own "num", text children)
// Every list needs a valid "num"; entries beyond the children present are not checked. The sum of
// all counts of one document is bounded too, so nested lists cannot multiply an allocation.
// With counts, also adds up the announced entries and compares each count with the element
// children its list holds.
bool checkShape(xmlNode* root, const char* shape, ListCounts* counts = nullptr);
