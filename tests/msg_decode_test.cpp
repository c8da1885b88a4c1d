// Received documents: what is rejected, what is tolerated, and that rejection never reads a
// missing node or allocates from an untrusted count.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "Msg.h"
#include "memory_budget.h"
#include "msg_test_util.h"
#include "xml_util.h"

using namespace msgtest;

namespace {

DecodeStatus statusOf(const std::string& text, MsgTable table) {
    DecodeStatus status = DecodeStatus::Ok;
    std::unique_ptr<Msg> m(parseMsg(text.data(), text.size(), table, &status));
    EXPECT_EQ(m == nullptr, status != DecodeStatus::Ok);
    return status;
}

xmlDoc* parse(const std::string& text) {
    return xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                         XML_PARSE_NONET);
}

std::vector<xmlNode*> elementsOf(xmlNode* parent) {
    std::vector<xmlNode*> out;
    for (xmlNode* n = parent->children; n != nullptr; n = n->next) {
        if (n->type == XML_ELEMENT_NODE) out.push_back(n);
    }
    return out;
}

// Applies `mutate` to a fresh copy of text's tree, once per target that `pick` lists, and
// returns the decode status of each mutated document.
std::vector<DecodeStatus> mutations(const std::string& text, MsgTable table,
                                    const std::function<std::vector<xmlNode*>(xmlDoc*)>& pick,
                                    const std::function<void(xmlNode*)>& mutate) {
    std::vector<DecodeStatus> out;
    DocPtr probe(parse(text));
    const size_t count = pick(probe.get()).size();
    for (size_t i = 0; i < count; ++i) {
        xmlDoc* doc = parse(text);
        mutate(pick(doc)[i]);
        DecodeStatus status;
        std::unique_ptr<Msg> m(decodeMsg(doc, table, &status));
        out.push_back(status);
    }
    return out;
}

// Body elements: every child of the root, "id" and "version" included.
std::vector<xmlNode*> rootChildren(xmlDoc* d) {
    return elementsOf(xmlDocGetRootElement(d));
}

void collect(xmlNode* n, const std::function<bool(xmlNode*)>& want, std::vector<xmlNode*>* out) {
    for (xmlNode* c : elementsOf(n)) {
        if (want(c)) out->push_back(c);
        collect(c, want, out);
    }
}

bool hasNum(xmlNode* n) {
    return xmlHasProp(n, reinterpret_cast<const xmlChar*>("num")) != nullptr;
}

std::vector<xmlNode*> listContainers(xmlDoc* d) {
    std::vector<xmlNode*> out;
    collect(xmlDocGetRootElement(d), hasNum, &out);
    return out;
}

// Entries of a list that have children of their own and no count: composite entries.
std::vector<xmlNode*> compositeEntries(xmlDoc* d) {
    std::vector<xmlNode*> out;
    collect(
        xmlDocGetRootElement(d),
        [](xmlNode* n) {
            return n->parent != nullptr && hasNum(n->parent) && !hasNum(n) &&
                   !elementsOf(n).empty();
        },
        &out);
    return out;
}

void setNum(xmlNode* n, const char* v) {
    xmlSetProp(n, reinterpret_cast<const xmlChar*>("num"), reinterpret_cast<const xmlChar*>(v));
}

TEST(Reject, EachMissingBodyElement) {
    for (auto& s : samples()) {
        SCOPED_TRACE(s.msg->getType());
        for (DecodeStatus st : mutations(chars(*s.msg), s.table, rootChildren, [](xmlNode* n) {
                 xmlUnlinkNode(n);
                 xmlFreeNode(n);
             })) {
            EXPECT_EQ(st, DecodeStatus::Malformed);
        }
    }
}

TEST(Reject, EachListWithoutOrWithABadCount) {
    int lists = 0;
    for (auto& s : samples()) {
        SCOPED_TRACE(s.msg->getType());
        const std::string text = chars(*s.msg);
        auto removeNum = [](xmlNode* n) {
            xmlUnsetProp(n, reinterpret_cast<const xmlChar*>("num"));
        };
        for (auto bad :
             {"-1", "-2147483648", "2147483648", "4294967295", "1048577", "99999999999"}) {
            for (DecodeStatus st :
                 mutations(text, s.table, listContainers, [bad](xmlNode* n) { setNum(n, bad); })) {
                EXPECT_EQ(st, DecodeStatus::Malformed) << bad;
            }
        }
        for (DecodeStatus st : mutations(text, s.table, listContainers, removeNum)) {
            EXPECT_EQ(st, DecodeStatus::Malformed);
            ++lists;
        }
    }
    EXPECT_GE(lists, 25);  // the samples hold lists in every class that has them
}

TEST(Reject, EachCompositeEntryMissingAChild) {
    int entries = 0;
    for (auto& s : samples()) {
        SCOPED_TRACE(s.msg->getType());
        for (DecodeStatus st :
             mutations(chars(*s.msg), s.table, compositeEntries, [](xmlNode* entry) {
                 xmlNode* last = elementsOf(entry).back();
                 xmlUnlinkNode(last);
                 xmlFreeNode(last);
             })) {
            EXPECT_EQ(st, DecodeStatus::Malformed);
            ++entries;
        }
    }
    EXPECT_GE(entries, 20);
}

TEST(Reject, EntriesBeyondTheCountAreNotChecked) {
    // A short third zone is never read when "num" says two.
    const std::string text = wire(
        "<SynthIPMZOk><id>1</id><version>1</version><zonelist num=\"1\"><zone><addr>1.1.1.1</addr>"
        "<mask>255.0.0.0</mask></zone><zone/></zonelist><idxlist num=\"0\"/></SynthIPMZOk>");
    auto m = decodeAs<SynthIPMZOk>(text, MsgTable::Responses);
    EXPECT_EQ(m->getZoneVec().size(), 1u);
}

TEST(Reject, DocumentsWithoutUsableRoot) {
    EXPECT_EQ(statusOf("", MsgTable::Requests), DecodeStatus::NotXml);
    EXPECT_EQ(statusOf("<ESMInit><id>1</id>", MsgTable::Requests), DecodeStatus::NotXml);
    EXPECT_EQ(statusOf(std::string("\0\1\2", 3), MsgTable::Requests), DecodeStatus::NotXml);
    EXPECT_EQ(statusOf("<ESMCommitOk/>", MsgTable::Responses), DecodeStatus::Malformed);
    EXPECT_EQ(statusOf("<ESMCommitOk><!-- c --></ESMCommitOk>", MsgTable::Responses),
              DecodeStatus::Malformed);
    EXPECT_EQ(statusOf("<ESMCommitOk><id>1</id></ESMCommitOk>", MsgTable::Responses),
              DecodeStatus::Malformed);
    EXPECT_EQ(statusOf("<Unknown><id>1</id><version>1</version></Unknown>", MsgTable::Requests),
              DecodeStatus::UnknownType);
    EXPECT_EQ(statusOf("<Unknown><id>1</id><version>1</version></Unknown>", MsgTable::Responses),
              DecodeStatus::UnknownType);
    EXPECT_EQ(
        statusOf("<esminit><id>1</id><version>1</version><p>1</p></esminit>", MsgTable::Requests),
        DecodeStatus::UnknownType);

    DecodeStatus status;
    EXPECT_EQ(decodeMsg(nullptr, MsgTable::Requests, &status), nullptr);
    EXPECT_EQ(status, DecodeStatus::NotXml);
    xmlDoc* rootless = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    EXPECT_EQ(decodeMsg(rootless, MsgTable::Requests, &status), nullptr);  // frees it
    EXPECT_EQ(status, DecodeStatus::NoRoot);
}

TEST(Reject, ParsingTouchesNoNetworkAndExpandsNoExternalEntities) {
    const std::string xxe =
        "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY e SYSTEM \"file:///etc/hostname\">]>"
        "<DynamicInit><id>1</id><version>1</version><argv num=\"1\"><arg>&e;</arg></argv>"
        "</DynamicInit>";
    // The declaration alone refuses the document: the file's text never enters a message.
    EXPECT_EQ(statusOf(xxe, MsgTable::Requests), DecodeStatus::Doctype);
}

// Found by the torture run: one 50 KB entity referenced a few thousand times in a text or an
// attribute expanded to gigabytes and minutes of CPU when the decoder read it.
TEST(Reject, DocumentTypeDeclarationsStopTheParser) {
    const std::string big(50000, '1');
    std::string inText, inAttr;
    for (int i = 0; i < 200; ++i) inText += "&a;";
    const std::string dtd =
        "<?xml version=\"1.0\"?><!DOCTYPE SynthIPMZReq [<!ENTITY a \"" + big + "\">]>";
    const std::string laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;"
        "&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]><ESMCommitOk><id>&c;</id>"
        "<version>1</version></ESMCommitOk>";
    const std::vector<std::pair<std::string, MsgTable>> docs = {
        {dtd + "<SynthIPMZReq><id>" + inText +
             "</id><version>1</version><l num=\"0\"/>"
             "</SynthIPMZReq>",
         MsgTable::Requests},
        {dtd + "<SynthIPMZReq><id>1</id><version>1</version><l num=\"" + inText +
             "\"/>"
             "</SynthIPMZReq>",
         MsgTable::Requests},
        {laughs, MsgTable::Responses},
        {"<?xml version=\"1.0\"?><!DOCTYPE ESMCommitOk SYSTEM \"http://127.0.0.1:9/d.dtd\">"
         "<ESMCommitOk><id>1</id><version>1</version></ESMCommitOk>",
         MsgTable::Responses},
        {"<!DOCTYPE ESMCommitOk><ESMCommitOk><id>1</id><version>1</version></ESMCommitOk>",
         MsgTable::Responses},
    };
    for (const auto& d : docs) {
        EXPECT_EQ(statusOf(d.first, d.second), DecodeStatus::Doctype) << d.first.substr(0, 200);
    }
    // The same documents without their declaration are fine.
    EXPECT_EQ(
        statusOf("<ESMCommitOk><id>1</id><version>1</version></ESMCommitOk>", MsgTable::Responses),
        DecodeStatus::Ok);
    // A document built elsewhere with a declaration is refused by the decoder too.
    xmlDoc* doc = parse("<ESMCommitOk><id>1</id><version>1</version></ESMCommitOk>");
    xmlCreateIntSubset(doc, reinterpret_cast<const xmlChar*>("ESMCommitOk"), nullptr, nullptr);
    DecodeStatus status = DecodeStatus::Ok;
    EXPECT_EQ(decodeMsg(doc, MsgTable::Responses, &status), nullptr);
    EXPECT_EQ(status, DecodeStatus::Doctype);
}

TEST(Tolerate, PredefinedAndCharacterReferencesStillDecode) {
    auto m = decodeAs<DynamicInit>(
        wire("<DynamicInit><id>1</id><version>1</version><argv num=\"1\"><arg>a &amp; &#98;&lt;"
             "</arg></argv></DynamicInit>"),
        MsgTable::Requests);
    EXPECT_EQ(m->getARGV(), (std::vector<std::string>{"a & b<"}));
}

TEST(Tolerate, NonElementNodesAreSkipped) {
    const std::string pretty =
        "<?xml version=\"1.0\"?>\n<!-- hello -->\n<ESMCommit>\n  <!-- id next -->\n  <id>5</id>\n"
        "  <?pi x?>\n  <version>6</version>\n  <data_addr>224.5.6.7</data_addr>\n"
        "  <data_port>7560</data_port>\n  <ttl>1</ttl>\n  <memberlist num=\"1\">\n    <member>\n"
        "      <addr>10.0.0.1</addr>\n      <port>4000</port>\n    </member>\n  </memberlist>\n"
        "</ESMCommit>\n";
    auto m = decodeAs<ESMCommit>(pretty, MsgTable::Requests);
    EXPECT_EQ(m->getId(), 5ul);
    EXPECT_EQ(m->getVersion(), 6ul);
    EXPECT_EQ(m->getTTL(), 1);
    ASSERT_EQ(m->getMemberVec().size(), 1u);
    EXPECT_EQ(m->getMemberVec()[0].getStr(), "10.0.0.1:4000");
}

TEST(Tolerate, CountsAboveAndBelowTheChildren) {
    auto fewer = decodeAs<SynthIPMZReq>(
        wire("<SynthIPMZReq><id>1</id><version>1</version><l num=\"1\"><e>1.1.1.1</e><e>2.2.2.2</e>"
             "<e>3.3.3.3</e></l></SynthIPMZReq>"),
        MsgTable::Requests);
    ASSERT_EQ(fewer->getEPVec().size(), 1u);
    EXPECT_EQ(fewer->getEPVec()[0].getAddrStr(), "1.1.1.1");
    auto args = decodeAs<DynamicInit>(
        wire("<DynamicInit><id>1</id><version>1</version><argv num=\"2\"><a>x</a><a>y</a><a>z</a>"
             "</argv></DynamicInit>"),
        MsgTable::Requests);
    EXPECT_EQ(args->getARGV(), (std::vector<std::string>{"x", "y"}));
    auto more = decodeAs<DynamicInit>(
        wire("<DynamicInit><id>1</id><version>1</version><argv num=\"abc\"/></DynamicInit>"),
        MsgTable::Requests);
    EXPECT_TRUE(more->getARGV().empty());  // a count without digits reads as 0
}

TEST(Tolerate, TheLargestCountIsAccepted) {
    auto m = decodeAs<SynthIPMZReq>(
        wire("<SynthIPMZReq><id>1</id><version>1</version><l num=\"1048576\"><e>1.1.1.1</e></l>"
             "</SynthIPMZReq>"),
        MsgTable::Requests);
    ASSERT_EQ(m->getEPVec().size(), 1048576u);
    EXPECT_EQ(m->getEPVec()[0].getAddrStr(), "1.1.1.1");
    EXPECT_EQ(m->getEPVec().back().getAddrStr(), "0.0.0.0");
}

TEST(Reject, NestedCountsCannotMultiplyAnAllocation) {
    // Each node may announce up to the list cap of coordinates; five of them at the cap exceed
    // what one document may ask for in all.
    std::string clients;
    for (int i = 0; i < 5; ++i) clients += "<c num=\"1048576\"/>";
    const std::string text =
        wire("<GNPQueryReq><id>1</id><version>1</version><s>0</s><n>1</n><clientlist num=\"5\">" +
             clients +
             "</clientlist><candidatelist num=\"0\"/><capacitylist num=\"0\"/>"
             "<costlist num=\"0\"/></GNPQueryReq>");
    EXPECT_EQ(statusOf(text, MsgTable::Requests), DecodeStatus::Malformed);
}

TEST(Reject, DecodingConstructorsAloneNeverReadMissingNodes) {
    // Called directly on a short document, a decoder fills defaults instead of crashing.
    DocPtr doc(parse("<ESMCommit><id>3</id></ESMCommit>"));
    ESMCommit c(doc.release());
    EXPECT_EQ(c.getId(), 3ul);
    EXPECT_EQ(c.getVersion(), 0ul);
    EXPECT_TRUE(c.getMemberVec().empty());
    GNPQueryReq g(parse("<GNPQueryReq/>"));
    EXPECT_TRUE(g.getClientVec().empty());
    SynthInit s(static_cast<xmlDoc*>(nullptr));
    EXPECT_TRUE(s.getMovieName().empty());
    EXPECT_EQ(s.getChars(), nullptr);
}

// ---- What a server asks of the decoder ----

DecodeStatus statusWithin(const std::string& text, DecodeLimits* limits) {
    DecodeStatus status = DecodeStatus::Ok;
    std::unique_ptr<Msg> m(parseMsg(text.data(), text.size(), MsgTable::Requests, &status, limits));
    return status;
}

std::string synthReq(const std::string& lists) {
    return wire("<SynthESMReq><id>1</id><version>1</version>" + lists + "</SynthESMReq>");
}

TEST(ServerLimits, SynthesisListsMustHoldTheEntriesTheyAnnounce) {
    const std::string three = "<e>1.1.1.1</e><e>2.2.2.2</e><e>3.3.3.3</e>";
    const std::string zone = "<z><a>10.0.0.0</a><m>255.0.0.0</m><ep>1</ep></z>";
    const struct {
        std::string lists;
        DecodeStatus want;
    } cases[] = {
        {"<l num=\"3\">" + three + "</l><z num=\"1\">" + zone + "</z>", DecodeStatus::Ok},
        {"<l num=\"0\"/><z num=\"0\"/>", DecodeStatus::Ok},
        {"<l num=\"0\">" + three + "</l><z num=\"0\"/>", DecodeStatus::Unbacked},
        {"<l num=\"\">" + three + "</l><z num=\"0\"/>", DecodeStatus::Unbacked},
        {"<l num=\"abc\">" + three + "</l><z num=\"0\"/>", DecodeStatus::Unbacked},
        {"<l num=\"2\">" + three + "</l><z num=\"0\"/>", DecodeStatus::Unbacked},
        {"<l num=\"100000\"/><z num=\"0\"/>", DecodeStatus::Unbacked},
        {"<l num=\"0\"/><z num=\"2\">" + zone + "</z>", DecodeStatus::Unbacked},
    };
    for (const auto& c : cases) {
        DecodeLimits limits;
        limits.backedCounts = true;
        EXPECT_EQ(statusWithin(synthReq(c.lists), &limits), c.want) << c.lists;
        // Without the limits lists read as they always have: "num" entries, defaults for the rest.
        EXPECT_EQ(statusWithin(synthReq(c.lists), nullptr), DecodeStatus::Ok) << c.lists;
    }
    // Other types keep that rule under the same limits.
    DecodeLimits limits;
    limits.backedCounts = true;
    EXPECT_EQ(statusWithin(wire("<SynthIPMZReq><id>1</id><version>1</version><l num=\"3\"><e>"
                                "1.1.1.1</e></l></SynthIPMZReq>"),
                           &limits),
              DecodeStatus::Ok);
}

TEST(ServerLimits, ListVectorsAreReservedBeforeTheyAreAllocated) {
    MemoryBudget budget(64 * 1024 * 1024);
    {
        MemoryReservation reservation(&budget, std::chrono::milliseconds(0));
        DecodeLimits limits;
        limits.reservation = &reservation;
        // Five lists of a million default entries each would take some 200 MB.
        std::string lists;
        for (int i = 0; i < 5; ++i) lists += "<l num=\"1048576\"/>";
        EXPECT_EQ(statusWithin(wire("<SynthInit><id>1</id><version>1</version>" + lists +
                                    "<m>x</m></SynthInit>"),
                               &limits),
                  DecodeStatus::OverBudget);
        EXPECT_EQ(budget.usedBytes(), 0u);
        EXPECT_GE(limits.listBytes, 5u * 1048576u * sizeof(VCEndPoint));

        EXPECT_EQ(statusWithin(wire("<SynthIPMZReq><id>1</id><version>1</version><l num=\"2\">"
                                    "<e>1.1.1.1</e><e>2.2.2.2</e></l></SynthIPMZReq>"),
                               &limits),
                  DecodeStatus::Ok);
        EXPECT_GE(limits.listBytes, 2 * sizeof(EndPoint));
        EXPECT_EQ(reservation.bytes(), limits.listBytes);
        EXPECT_EQ(budget.usedBytes(), limits.listBytes);
    }
    EXPECT_EQ(budget.usedBytes(), 0u);
}

TEST(Tolerate, ElementNamesAreNeverCompared) {
    auto m = decodeAs<ESMCommitOk>(wire("<ESMCommitOk><a>5</a><b>6</b></ESMCommitOk>"),
                                   MsgTable::Responses);
    EXPECT_EQ(m->getId(), 5ul);
    EXPECT_EQ(m->getVersion(), 6ul);
}

}  // namespace
