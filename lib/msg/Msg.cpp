#include "Msg.h"

#include <libxml/parser.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "memory_budget.h"
#include "num_util.h"
#include "xml_util.h"

namespace {

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

// libxml2 must be initialised once before documents are made on several threads.
void ensureXmlInit() {
    static const bool done = [] {
        xmlInitParser();
        return true;
    }();
    (void)done;
}

std::mutex& idMutex() {
    // Never destroyed: detached threads may draw ids while the process exits.
    static std::mutex* m = new std::mutex;
    return *m;
}

xmlNode* nthElement(xmlNode* parent, int n) {
    XmlCursor c(parent);
    xmlNode* e = nullptr;
    for (int i = 0; i <= n; ++i) e = c.next();
    return e;
}

void setNumText(xmlNode* node, uint32_t v) {
    if (node == nullptr) return;
    char buf[kI32TextSize];
    formatI32(static_cast<int32_t>(v), buf);
    xmlNodeSetContent(node, X(buf));
}

}  // namespace

uint32_t Msg::sId = 0;
uint32_t Msg::sVersion = 0;

Msg::Msg(std::string type, unsigned long id, unsigned long ver)
    : mId(static_cast<uint32_t>(id)), mVersion(static_cast<uint32_t>(ver)), mType(std::move(type)) {
    ensureXmlInit();
    mDoc = xmlNewDoc(X("1.0"));
}

Msg::Msg() = default;

Msg::~Msg() {
    if (mDoc != nullptr) xmlFreeDoc(mDoc);
}

unsigned long Msg::generateId() {
    std::lock_guard<std::mutex> lock(idMutex());
    sId = (sId == 0) ? static_cast<uint32_t>(time(nullptr)) : sId + 1;
    return sId;
}

unsigned long Msg::generateVersion() {
    std::lock_guard<std::mutex> lock(idMutex());
    sVersion = (sVersion == 0) ? sId : sVersion + 1;
    return sVersion;
}

void Msg::setId(unsigned long id) {
    mId = static_cast<uint32_t>(id);
    if (mDoc != nullptr) setNumText(nthElement(xmlDocGetRootElement(mDoc), 0), mId);
}

void Msg::setVersion(unsigned long ver) {
    mVersion = static_cast<uint32_t>(ver);
    if (mDoc != nullptr) setNumText(nthElement(xmlDocGetRootElement(mDoc), 1), mVersion);
}

char* Msg::getChars() const {
    if (mDoc == nullptr) return nullptr;
    xmlChar* buf = nullptr;
    int size = 0;
    xmlDocDumpMemory(mDoc, &buf, &size);
    return reinterpret_cast<char*>(buf);
}

XmlWriter Msg::beginBody() {
    xmlNode* root = xmlNewDocNode(mDoc, nullptr, X(mType.c_str()), nullptr);
    xmlDocSetRootElement(mDoc, root);
    XmlWriter w(root);
    w.num("id", mId);
    w.num("version", mVersion);
    return w;
}

XmlCursor Msg::beginDecode(const char* type, xmlDoc* doc) {
    mDoc = doc;  // first, so that the document is freed with us whatever happens next
    mType = type;
    XmlCursor c(doc != nullptr ? xmlDocGetRootElement(doc) : nullptr);
    mId = c.u32();
    mVersion = c.u32();
    return c;
}

namespace {

struct MsgRow {
    const char* name;
    const char* shape;  // see checkShape()
    Msg* (*make)(xmlDoc*);
    bool drivesWork = false;  // one unit of a server's work per entry: counts must be backed
};

template <class T>
Msg* make(xmlDoc* doc) {
    return new (std::nothrow) T(doc);
}

// In the order the peers have always matched them.
const MsgRow kRequestRows[] = {
    {Msg::SynthESMReq, "l l3", make<SynthESMReq>, true},
    {Msg::SynthVGWReq, "s s s l5 l2", make<SynthVGWReq>},
    {Msg::SynthIPMZReq, "l", make<SynthIPMZReq>},
    {Msg::SynthInit, "l2 l2 l2 l2 l2 s", make<SynthInit>},
    {Msg::ESMInit, "s", make<ESMInit>},
    {Msg::ESMCommit, "s s s l2", make<ESMCommit>},
    {Msg::DynamicInit, "l", make<DynamicInit>},
    {Msg::GNPQueryReq, "s s n n l l", make<GNPQueryReq>},
};

const MsgRow kResponseRows[] = {
    {Msg::SynthESMOk, "l3 l3", make<SynthESMOk>},
    {Msg::SynthVGWOk, "", make<SynthVGWOk>},
    {Msg::SynthIPMZOk, "l2 l", make<SynthIPMZOk>},
    {Msg::SynthInitOk, "", make<SynthInitOk>},
    {Msg::ESMInitOk, "s s", make<ESMInitOk>},
    {Msg::ESMCommitOk, "", make<ESMCommitOk>},
    {Msg::DynamicInitResp, "s", make<DynamicInitResp>},
    {Msg::GNPQueryResp, "l s", make<GNPQueryResp>},
};

template <size_t N>
const MsgRow* findRow(const MsgRow (&rows)[N], const char* name) {
    for (const MsgRow& r : rows) {
        if (strcmp(r.name, name) == 0) return &r;
    }
    return nullptr;
}

// What one list entry can take in its vector: the largest entry type of any message. A
// document's list vectors are reserved at this size per announced entry.
constexpr size_t kEntryBytesBound =
    std::max({sizeof(EndPoint), sizeof(EndZone), sizeof(TransportEndPoint),
              sizeof(MulticastEndPoint), sizeof(vicSDREndPoint), sizeof(NetmeetingEndPoint),
              sizeof(VCEndPoint), sizeof(GNPNode), sizeof(int), sizeof(std::string)});

Msg* fail(DecodeStatus* status, DecodeStatus why) {
    if (status != nullptr) *status = why;
    return nullptr;
}

struct ParserCtxtFree {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};

// SAX hook for "<!DOCTYPE": no message has one, and the entities it may declare expand when the
// text is read (a 100 KB body can ask for gigabytes), so the parser stops right there.
void refuseDoctype(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
    *static_cast<bool*>(ctxt->_private) = true;
    xmlStopParser(ctxt);
}

}  // namespace

Msg* decodeMsg(xmlDoc* doc, MsgTable table, DecodeStatus* status, DecodeLimits* limits) {
    DocPtr owner(doc);
    if (!owner) return fail(status, DecodeStatus::NotXml);
    if (doc->intSubset != nullptr || doc->extSubset != nullptr) {
        return fail(status, DecodeStatus::Doctype);
    }
    xmlNode* root = xmlDocGetRootElement(doc);
    if (root == nullptr || root->name == nullptr) return fail(status, DecodeStatus::NoRoot);
    const char* name = reinterpret_cast<const char*>(root->name);
    const MsgRow* row =
        table == MsgTable::Requests ? findRow(kRequestRows, name) : findRow(kResponseRows, name);
    if (row == nullptr) return fail(status, DecodeStatus::UnknownType);
    ListCounts counts;
    if (!checkShape(root, row->shape, limits != nullptr ? &counts : nullptr))
        return fail(status, DecodeStatus::Malformed);
    if (limits != nullptr) {
        if (limits->backedCounts && row->drivesWork && !counts.allBacked)
            return fail(status, DecodeStatus::Unbacked);
        limits->listBytes = counts.entries * kEntryBytesBound + counts.nested * sizeof(double);
        if (limits->reservation != nullptr && !limits->reservation->grow(limits->listBytes))
            return fail(status, DecodeStatus::OverBudget);
    }
    // The message adopts the document as the first step of its constructor; if even its own
    // storage cannot be had, the document is still ours to free.
    xmlDoc* raw = owner.release();
    Msg* m = nullptr;
    try {
        m = row->make(raw);
    } catch (const std::bad_alloc&) {
        return fail(status, DecodeStatus::Malformed);  // the half-built message freed raw
    }
    if (m == nullptr) {
        xmlFreeDoc(raw);
        return fail(status, DecodeStatus::Malformed);
    }
    if (status != nullptr) *status = DecodeStatus::Ok;
    return m;
}

Msg* parseMsg(const char* buf, size_t len, MsgTable table, DecodeStatus* status,
              DecodeLimits* limits) {
    ensureXmlInit();
    if (buf == nullptr || len > static_cast<size_t>(INT_MAX))
        return fail(status, DecodeStatus::NotXml);
    std::unique_ptr<xmlParserCtxt, ParserCtxtFree> ctxt(xmlNewParserCtxt());
    if (!ctxt || ctxt->sax == nullptr) return fail(status, DecodeStatus::NotXml);
    bool sawDoctype = false;
    ctxt->_private = &sawDoctype;
    ctxt->sax->internalSubset = refuseDoctype;
    DocPtr doc(xmlCtxtReadMemory(ctxt.get(), buf, static_cast<int>(len), nullptr, nullptr,
                                 XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (sawDoctype) return fail(status, DecodeStatus::Doctype);
    if (!doc) return fail(status, DecodeStatus::NotXml);
    return decodeMsg(doc.release(), table, status, limits);
}
