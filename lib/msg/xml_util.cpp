#include "xml_util.h"

#include "EndPoint.h"
#include "num_util.h"

namespace {

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

xmlNode* skipToElement(xmlNode* n) {
    while (n != nullptr && n->type != XML_ELEMENT_NODE) n = n->next;
    return n;
}

size_t elementChildren(xmlNode* parent) {
    size_t n = 0;
    for (xmlNode* c = skipToElement(parent->children); c != nullptr; c = skipToElement(c->next))
        ++n;
    return n;
}

// The coordinates of all nodes of one document together; each node may announce up to
// kMaxListEntries of them, so without a total a few kilobytes could ask for terabytes.
constexpr uint64_t kMaxNestedEntries = 4ull * kMaxListEntries;

}  // namespace

// Numbers and addresses are formatted into the stack and handed to libxml2 directly: snprintf
// and a std::string per value cost as much as the node they fill.
void XmlWriter::num(const char* name, uint32_t v) {
    char buf[kI32TextSize];
    formatI32(static_cast<int32_t>(v), buf);
    plain(name, buf);
}

void XmlWriter::addr(const char* name, unsigned long addrNet) {
    char buf[kAddrTextSize];
    formatAddr(addrNet, buf);
    plain(name, buf);
}

// Digits, signs and dots need no escaping, so the text goes in as it is: xmlNewChild would scan it
// for entity references through a buffer of its own, an allocation and a copy more per value.
void XmlWriter::plain(const char* name, const char* wireText) {
    xmlNewTextChild(mNode, nullptr, X(name), X(wireText));
}

void XmlWriter::real(const char* name, double d) {
    xmlNewTextChild(mNode, nullptr, X(name), X(formatReal(d).c_str()));
}

void XmlWriter::text(const char* name, const std::string& s) {
    // An empty text node would serialise as <name></name>; peers expect <name/>.
    if (s.empty()) {
        xmlNewChild(mNode, nullptr, X(name), nullptr);
    } else {
        xmlNewTextChild(mNode, nullptr, X(name), X(s.c_str()));
    }
}

XmlWriter XmlWriter::list(const char* name, size_t n) {
    xmlNode* container = xmlNewChild(mNode, nullptr, X(name), nullptr);
    char buf[kI32TextSize];
    formatI32(static_cast<int32_t>(n), buf);
    xmlSetProp(container, X("num"), X(buf));
    return XmlWriter(container);
}

XmlWriter XmlWriter::entry(const char* name) {
    return XmlWriter(xmlNewChild(mNode, nullptr, X(name), nullptr));
}

XmlCursor::XmlCursor(xmlNode* parent)
    : mNext(parent != nullptr ? skipToElement(parent->children) : nullptr),
      mOk(parent != nullptr) {}

bool XmlCursor::more() const {
    return mOk && mNext != nullptr;
}

xmlNode* XmlCursor::next() {
    if (!mOk || mNext == nullptr) {
        mOk = false;
        return nullptr;
    }
    xmlNode* n = mNext;
    mNext = skipToElement(n->next);
    return n;
}

std::string XmlCursor::text() {
    xmlNode* n = next();
    if (n == nullptr) return std::string();
    XmlText t(xmlNodeGetContent(n));
    return t.c_str();
}

uint32_t XmlCursor::u32() {
    return parseU32(text().c_str());
}

unsigned long XmlCursor::addr() {
    return inet_ADDR(text().c_str());
}

double XmlCursor::real() {
    return strtod(text().c_str(), nullptr);
}

XmlCursor XmlCursor::list(size_t* count) {
    *count = 0;
    xmlNode* n = next();
    if (n == nullptr) return XmlCursor(nullptr);
    if (!readCount(n, count)) {
        mOk = false;
        *count = 0;
        return XmlCursor(nullptr);
    }
    return XmlCursor(n);
}

XmlCursor XmlCursor::entry() {
    return XmlCursor(next());
}

bool readCount(xmlNode* container, size_t* count) {
    XmlText t(xmlGetProp(container, X("num")));
    if (t.null()) return false;
    uint32_t v = parseU32(t.c_str());
    if (static_cast<int32_t>(v) < 0 || v > kMaxListEntries) return false;
    *count = v;
    return true;
}

bool checkShape(xmlNode* root, const char* shape, ListCounts* counts) {
    XmlCursor body(root);
    body.next();  // id
    body.next();  // version
    uint64_t nested = 0;
    for (const char* p = shape; *p != '\0' && body.ok(); ++p) {
        if (*p == ' ') continue;
        xmlNode* element = body.next();
        if (element == nullptr) return false;
        if (*p == 's') continue;
        size_t count;
        if (!readCount(element, &count)) return false;
        if (counts != nullptr) {
            counts->entries += count;
            if (elementChildren(element) != count) counts->allBacked = false;
        }
        if (*p == 'l') {
            size_t need = 0;
            if (p[1] >= '1' && p[1] <= '9') need = static_cast<size_t>(*++p - '0');
            XmlCursor entries(element);
            for (size_t i = 0; i < count && entries.more() && need > 0; ++i) {
                XmlCursor children(entries.next());
                for (size_t k = 0; k < need; ++k) {
                    if (children.next() == nullptr) return false;
                }
            }
        } else if (*p == 'n') {
            XmlCursor entries(element);
            for (size_t i = 0; i < count && entries.more(); ++i) {
                size_t inner;
                if (!readCount(entries.next(), &inner)) return false;
                nested += inner;
                if (nested > kMaxNestedEntries) return false;
            }
        } else {
            return false;  // a shape we do not know rejects rather than guesses
        }
    }
    if (counts != nullptr) counts->nested = nested;
    return body.ok();
}
