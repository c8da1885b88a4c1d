// Codec cost against raw libxml2 doing the same tree work without our classes: build and
// serialise, and parse and decode, a SynthESMReq with 10,000 endpoints and 1,000 zones and an
// ESMCommit with 1,000 members.
//
//   codec_bench [--rounds N] [--batch-ms MS]          defaults: 400 rounds, 2 ms
//   codec_bench --profile OP ours|raw ITERATIONS    one side alone (after one untimed
//                                                   iteration), for perf or callgrind
//
// The raw side makes the same libxml2 calls in the same order, frees in the same order, formats
// numbers and addresses with the codec's own formatters (formatI32, formatAddr) and writes the
// same log lines with one stdio call each, to the same standard output (pointed at /dev/null,
// fully buffered and written out between batches). Before timing anything the program checks
// that both sides produce the same bytes and the same log lines and decode the same fields, and
// exits with status 1 when they do not.
//
// Each round runs every operation once on each side, a batch of the same number of iterations
// (about MS milliseconds, at least one), so that a burst of other work on a shared machine hits
// both sides of a pair alike. Ours goes first in even rounds and raw in odd ones, and each pair
// of rounds gives one ratio, the geometric mean of its two ours/raw ratios: whatever favours the
// first (or second) batch of a round cancels out. (It does not vanish by itself: the operation
// that opens a round runs on a heap shaped by the small ones before it, and its first batch
// came out 30% faster or slower than its second.) Many short pairs make the median settle even
// when other programs share the CPUs. Times are the thread's CPU time. ReqBuildQuiet silences
// the codec's diagnostics sink and lets the raw side print nothing.
//
// Output, one line per operation:
//   codec op=OP rounds=N iterations=K ours_us=<median> raw_us=<median> ratio=<median of the
//   ratios of the pairs of rounds> ratio_p25=<first quartile> ratio_p75=<third quartile>
//   ratio_of_medians=<ours_us/raw_us>
#include <arpa/inet.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "EndPoint.h"
#include "Msg.h"
#include "diag.h"
#include "num_util.h"

namespace {

const int kEndpoints = 10000;
const int kZones = 1000;
const int kMembers = 1000;
const unsigned long kId = 7;
const unsigned long kGroup = 0x070605E0;  // 224.5.6.7 in network byte order
const unsigned short kDataPort = 7560;

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

// ---- the inputs, as our value types and as plain structs ----

struct RawZone {
    uint32_t addr, mask, ep;
};
struct RawMember {
    uint32_t addr;
    uint16_t port;
};

struct Inputs {
    std::vector<EndPoint> eps;
    std::vector<EndZone> zones;
    std::vector<TransportEndPoint> members;
    std::vector<uint32_t> rawEps;
    std::vector<RawZone> rawZones;
    std::vector<RawMember> rawMembers;
    std::string reqText, commitText;  // what both decoders read
};

Inputs makeInputs() {
    Inputs in;
    for (int i = 0; i < kEndpoints; ++i) {
        const uint32_t a = htonl(0x0A000000u + static_cast<uint32_t>(i));
        in.eps.emplace_back(a);
        in.rawEps.push_back(a);
    }
    for (int i = 0; i < kZones; ++i) {
        // Every fourth representative has a high last byte, so "ep" is negative there.
        const uint32_t base = 0x0B000000u + (static_cast<uint32_t>(i) << 8);
        const RawZone r{htonl(base), htonl(0xFFFFFF00u), htonl(base + (i % 4 == 0 ? 200 : 7))};
        EndZone z(r.addr, r.mask);
        z.setEP(r.ep);
        in.zones.push_back(z);
        in.rawZones.push_back(r);
    }
    for (int i = 0; i < kMembers; ++i) {
        const uint32_t a = htonl(0x7F000000u + static_cast<uint32_t>(i));
        const uint16_t port = static_cast<uint16_t>(7000 + i);
        in.members.emplace_back(a, port);
        in.rawMembers.push_back({a, port});
    }
    return in;
}

// ---- ours ----

std::string dumpOf(const Msg& m) {
    char* p = m.getChars();
    std::string s = p != nullptr ? p : "";
    free(p);
    return s;
}

void oursReqBuild(Inputs& in) {
    SynthESMReq m(kId, kId, in.eps, in.zones);
    char* p = m.getChars();
    free(p);
}

void oursCommitBuild(Inputs& in) {
    ESMCommit m(kId, kId, kGroup, kDataPort, 0, in.members);
    char* p = m.getChars();
    free(p);
}

void oursReqDecode(Inputs& in) {
    std::unique_ptr<Msg> m(parseMsg(in.reqText.data(), in.reqText.size(), MsgTable::Requests));
    if (m == nullptr) abort();
}

void oursCommitDecode(Inputs& in) {
    std::unique_ptr<Msg> m(
        parseMsg(in.commitText.data(), in.commitText.size(), MsgTable::Requests));
    if (m == nullptr) abort();
}

// ---- raw libxml2 ----

// Values go in as text nodes of their own, as the codec writes them: digits and dots need no
// escaping, so no entity scan.
void rawNum(xmlNode* parent, const char* name, int32_t v) {
    char buf[kI32TextSize];
    formatI32(v, buf);
    xmlNewTextChild(parent, nullptr, X(name), X(buf));
}

void rawAddr(xmlNode* parent, const char* name, uint32_t a) {
    char buf[kAddrTextSize];
    formatAddr(a, buf);
    xmlNewTextChild(parent, nullptr, X(name), X(buf));
}

xmlNode* rawList(xmlNode* parent, const char* name, size_t n) {
    xmlNode* l = xmlNewChild(parent, nullptr, X(name), nullptr);
    char buf[kI32TextSize];
    formatI32(static_cast<int32_t>(n), buf);
    xmlSetProp(l, X("num"), X(buf));
    return l;
}

xmlNode* rawRoot(xmlDoc* doc, const char* type) {
    xmlNode* root = xmlNewDocNode(doc, nullptr, X(type), nullptr);
    xmlDocSetRootElement(doc, root);
    rawNum(root, "id", static_cast<int32_t>(kId));
    rawNum(root, "version", static_cast<int32_t>(kId));
    return root;
}

// The dump, freed as ours is: the buffer first, then the document.
std::string rawDumpAndFree(xmlDoc* doc, bool keep) {
    xmlChar* out = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc, &out, &size);
    std::string s = keep && out != nullptr ? reinterpret_cast<char*>(out) : "";
    free(out);
    xmlFreeDoc(doc);
    return s;
}

// log: where the zone lines go (null: nowhere).
std::string rawReqBuild(const Inputs& in, FILE* log, bool keep) {
    xmlDoc* doc = xmlNewDoc(X("1.0"));
    xmlNode* root = rawRoot(doc, "SynthESMReq");
    xmlNode* el = rawList(root, "endpointlist", in.rawEps.size());
    for (uint32_t a : in.rawEps) rawAddr(el, "endpoint", a);
    xmlNode* zl = rawList(root, "zonelist", in.rawZones.size());
    for (const RawZone& z : in.rawZones) {
        xmlNode* e = xmlNewChild(zl, nullptr, X("zone"), nullptr);
        rawAddr(e, "addr", z.addr);
        rawAddr(e, "mask", z.mask);
        char ep[kI32TextSize];
        formatI32(static_cast<int32_t>(z.ep), ep);
        xmlNewTextChild(e, nullptr, X("ep"), X(ep));
        if (log != nullptr) fprintf(log, "varno: setEP %s -> %s\n", ep, ep);
    }
    return rawDumpAndFree(doc, keep);
}

std::string rawCommitBuild(const Inputs& in, bool keep) {
    xmlDoc* doc = xmlNewDoc(X("1.0"));
    xmlNode* root = rawRoot(doc, "ESMCommit");
    rawAddr(root, "data_addr", kGroup);
    rawNum(root, "data_port", kDataPort);
    rawNum(root, "ttl", 0);
    xmlNode* l = rawList(root, "memberlist", in.rawMembers.size());
    for (const RawMember& m : in.rawMembers) {
        xmlNode* e = xmlNewChild(l, nullptr, X("member"), nullptr);
        rawAddr(e, "addr", m.addr);
        rawNum(e, "port", m.port);
    }
    return rawDumpAndFree(doc, keep);
}

xmlNode* firstElem(xmlNode* n) {
    while (n != nullptr && n->type != XML_ELEMENT_NODE) n = n->next;
    return n;
}
xmlNode* nextElem(xmlNode* n) {
    return firstElem(n->next);
}

std::string content(xmlNode* n) {
    xmlChar* c = xmlNodeGetContent(n);
    std::string s(reinterpret_cast<char*>(c));
    xmlFree(c);
    return s;
}

uint32_t rawIp(xmlNode* n) {
    in_addr a{};
    inet_aton(content(n).c_str(), &a);
    return a.s_addr;
}

uint32_t rawU32(xmlNode* n) {
    return static_cast<uint32_t>(strtoul(content(n).c_str(), nullptr, 10));
}

size_t rawCount(xmlNode* l) {
    xmlChar* c = xmlGetProp(l, X("num"));
    size_t n = strtoul(reinterpret_cast<char*>(c), nullptr, 10);
    xmlFree(c);
    return n;
}

xmlDoc* rawParse(const std::string& s) {
    return xmlReadMemory(s.data(), static_cast<int>(s.size()), nullptr, nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
}

struct RawReq {
    uint32_t id = 0, version = 0;
    std::vector<uint32_t> eps;
    std::vector<RawZone> zones;
};

void rawReqDecode(const std::string& s, FILE* log, RawReq* out) {
    xmlDoc* doc = rawParse(s);
    xmlNode* id = firstElem(xmlDocGetRootElement(doc)->children);
    xmlNode* ver = nextElem(id);
    out->id = rawU32(id);
    out->version = rawU32(ver);
    xmlNode* el = nextElem(ver);
    out->eps.assign(rawCount(el), 0);
    size_t i = 0;
    for (xmlNode* e = firstElem(el->children); e != nullptr && i < out->eps.size(); e = nextElem(e))
        out->eps[i++] = rawIp(e);
    xmlNode* zl = nextElem(el);
    out->zones.assign(rawCount(zl), RawZone{});
    i = 0;
    for (xmlNode* z = firstElem(zl->children); z != nullptr && i < out->zones.size();
         z = nextElem(z)) {
        xmlNode* a = firstElem(z->children);
        xmlNode* m = nextElem(a);
        xmlNode* ep = nextElem(m);
        RawZone& r = out->zones[i++];
        r.addr = rawIp(a);
        r.mask = rawIp(m);
        const std::string t = content(ep);
        r.ep = static_cast<uint32_t>(strtoul(t.c_str(), nullptr, 10));
        if (log != nullptr)
            fprintf(log, "varno: getEP %s -> %d\n", t.c_str(), static_cast<int32_t>(r.ep));
    }
    xmlFreeDoc(doc);
}

struct RawCommit {
    uint32_t id = 0, version = 0, addr = 0, port = 0, ttl = 0;
    std::vector<RawMember> members;
};

void rawCommitDecode(const std::string& s, RawCommit* out) {
    xmlDoc* doc = rawParse(s);
    xmlNode* n = firstElem(xmlDocGetRootElement(doc)->children);
    out->id = rawU32(n);
    out->version = rawU32(n = nextElem(n));
    out->addr = rawIp(n = nextElem(n));
    out->port = rawU32(n = nextElem(n));
    out->ttl = rawU32(n = nextElem(n)) & 0xFF;
    n = nextElem(n);
    out->members.assign(rawCount(n), RawMember{});
    size_t i = 0;
    for (xmlNode* e = firstElem(n->children); e != nullptr && i < out->members.size();
         e = nextElem(e)) {
        xmlNode* a = firstElem(e->children);
        out->members[i].addr = rawIp(a);
        out->members[i++].port = static_cast<uint16_t>(rawU32(nextElem(a)));
    }
    xmlFreeDoc(doc);
}

// ---- the check that both sides do the same work ----

std::string gCaptured;  // the codec's diagnostics while checking; single-threaded
void captureDiag(DiagStream, const char* text, size_t len) {
    gCaptured.append(text, len);
}

// What the raw side wrote to a stdio stream.
template <class F>
std::string rawLines(F write) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    if (f == nullptr) return "";
    write(f);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

bool same(const char* what, const std::string& ours, const std::string& raw) {
    if (ours == raw) return true;
    size_t at = 0;
    while (at < ours.size() && at < raw.size() && ours[at] == raw[at]) ++at;
    fprintf(stderr, "codec_bench: %s differ at byte %zu (ours %zu bytes, raw %zu bytes)\n", what,
            at, ours.size(), raw.size());
    return false;
}

bool sameWork(Inputs& in) {
    bool ok = true;
    DiagSink previous = setDiagSink(captureDiag);

    gCaptured.clear();
    const std::string oursReq = dumpOf(SynthESMReq(kId, kId, in.eps, in.zones));
    const std::string oursSet = gCaptured;
    std::string rawReq;
    const std::string rawSet = rawLines([&](FILE* f) { rawReq = rawReqBuild(in, f, true); });
    ok &= same("SynthESMReq texts", oursReq, rawReq);
    ok &= same("setEP lines", oursSet, rawSet);
    if (oursSet.empty()) {
        fprintf(stderr, "codec_bench: building the request wrote no setEP lines\n");
        ok = false;
    }

    const std::string oursCommit = dumpOf(ESMCommit(kId, kId, kGroup, kDataPort, 0, in.members));
    ok &= same("ESMCommit texts", oursCommit, rawCommitBuild(in, true));

    in.reqText = oursReq;
    in.commitText = oursCommit;

    gCaptured.clear();
    std::unique_ptr<Msg> req(parseMsg(in.reqText.data(), in.reqText.size(), MsgTable::Requests));
    const std::string oursGet = gCaptured;
    RawReq r;
    const std::string rawGet = rawLines([&](FILE* f) { rawReqDecode(in.reqText, f, &r); });
    ok &= same("getEP lines", oursGet, rawGet);
    auto* q = dynamic_cast<SynthESMReq*>(req.get());
    bool fields = q != nullptr && q->getId() == r.id && q->getVersion() == r.version &&
                  r.eps == in.rawEps && q->getEPVec().size() == r.eps.size() &&
                  q->getZoneVec().size() == r.zones.size() && r.zones.size() == in.rawZones.size();
    for (size_t i = 0; fields && i < r.eps.size(); ++i)
        fields = q->getEPVec()[i].getAddr() == r.eps[i];
    for (size_t i = 0; fields && i < r.zones.size(); ++i) {
        const EndZone& z = q->getZoneVec()[i];
        const RawZone& w = r.zones[i];
        fields = z.getAddr() == w.addr && z.getMask() == w.mask && z.getEP() == w.ep &&
                 w.addr == in.rawZones[i].addr && w.mask == in.rawZones[i].mask &&
                 w.ep == in.rawZones[i].ep;
    }

    std::unique_ptr<Msg> com(
        parseMsg(in.commitText.data(), in.commitText.size(), MsgTable::Requests));
    RawCommit c;
    rawCommitDecode(in.commitText, &c);
    auto* k = dynamic_cast<ESMCommit*>(com.get());
    fields = fields && k != nullptr && k->getId() == c.id && k->getVersion() == c.version &&
             k->getAddr() == c.addr && k->getPort() == c.port && k->getTTL() == c.ttl &&
             c.addr == kGroup && c.port == kDataPort && c.members.size() == in.rawMembers.size() &&
             k->getMemberVec().size() == c.members.size();
    for (size_t i = 0; fields && i < c.members.size(); ++i) {
        const TransportEndPoint& t = k->getMemberVec()[i];
        fields = t.getAddr() == c.members[i].addr && t.getPort() == c.members[i].port &&
                 c.members[i].addr == in.rawMembers[i].addr &&
                 c.members[i].port == in.rawMembers[i].port;
    }
    if (!fields) fprintf(stderr, "codec_bench: the two decoders read different fields\n");
    setDiagSink(previous);
    return ok && fields;
}

// ---- timing ----

struct Op {
    const char* name;
    void (*ours)(Inputs&);
    void (*raw)(Inputs&);
    bool quiet;  // codec sink silenced, raw prints nothing
};

void rawReqBuildLoud(Inputs& in) {
    rawReqBuild(in, stdout, false);
}
void rawReqBuildQuiet(Inputs& in) {
    rawReqBuild(in, nullptr, false);
}
void rawCommitBuildOp(Inputs& in) {
    rawCommitBuild(in, false);
}
void rawReqDecodeLoud(Inputs& in) {
    RawReq r;
    rawReqDecode(in.reqText, stdout, &r);
}
void rawCommitDecodeOp(Inputs& in) {
    RawCommit c;
    rawCommitDecode(in.commitText, &c);
}

const Op kOps[] = {
    {"ReqBuild", oursReqBuild, rawReqBuildLoud, false},
    {"ReqBuildQuiet", oursReqBuild, rawReqBuildQuiet, true},
    {"CommitBuild", oursCommitBuild, rawCommitBuildOp, false},
    {"ReqDecode", oursReqDecode, rawReqDecodeLoud, false},
    {"CommitDecode", oursCommitDecode, rawCommitDecodeOp, false},
};

double cpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// The measured loop; not inlined, so that a profiler can count exactly this
// (valgrind --tool=callgrind --toggle-collect='*runBatch*').
__attribute__((noinline)) void runBatch(void (*f)(Inputs&), Inputs& in, int iterations) {
    for (int i = 0; i < iterations; ++i) f(in);
}

// CPU microseconds per iteration of a batch. One untimed iteration first: it brings the heap to
// this side's steady state, so that a side never pays for tidying up after the one before it.
double timeBatch(void (*f)(Inputs&), Inputs& in, int iterations, bool quiet) {
    DiagSink previous = setDiagSink(quiet ? discardDiag : nullptr);
    f(in);
    const double start = cpuUs();
    runBatch(f, in, iterations);
    const double us = (cpuUs() - start) / iterations;
    // The lines reach /dev/null outside the timed part: a write call inside it would land in
    // some batches and not others, and invites the scheduler to switch, both only noise.
    fflush(stdout);
    setDiagSink(previous);
    return us;
}

// The q-quantile of v (0 <= q <= 1), interpolated between neighbours.
double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double at = q * static_cast<double>(v.size() - 1);
    const size_t lo = static_cast<size_t>(at);
    const size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (at - static_cast<double>(lo));
}

const Op* findOp(const char* name) {
    for (const Op& op : kOps) {
        if (strcmp(op.name, name) == 0) return &op;
    }
    return nullptr;
}

int usage() {
    fprintf(stderr,
            "usage: codec_bench [--rounds N (even)] [--batch-ms MS]\n"
            "       codec_bench --profile OP ours|raw ITERATIONS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 400;
    double batchMs = 2;
    const Op* profileOp = nullptr;
    bool profileOurs = true;
    int profileIterations = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = atoi(argv[++i]);
        } else if (a == "--batch-ms" && i + 1 < argc) {
            batchMs = atof(argv[++i]);
        } else if (a == "--profile" && i + 3 < argc) {
            profileOp = findOp(argv[++i]);
            profileOurs = strcmp(argv[++i], "ours") == 0;
            profileIterations = atoi(argv[++i]);
            if (profileOp == nullptr || profileIterations <= 0) return usage();
        } else {
            return usage();
        }
    }
    if (rounds < 2 || rounds % 2 != 0 || batchMs <= 0) return usage();

    // The log lines are part of the work; their destination is not. Results go to the original
    // standard output.
    FILE* report = fdopen(dup(1), "w");
    const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (report == nullptr || devnull < 0 || dup2(devnull, 1) < 0) {
        perror("codec_bench: /dev/null");
        return 1;
    }
    close(devnull);
    // Room for every line of a batch, so that they are written after it (see timeBatch).
    setvbuf(stdout, nullptr, _IOFBF, 4 << 20);
    // Keep glibc from returning and re-faulting heap pages between iterations: whether that
    // happens depends on the order of frees, not on the codec, and it swamps the difference.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    xmlInitParser();

    Inputs in = makeInputs();
    if (!sameWork(in)) return 1;

    if (profileOp != nullptr) {
        timeBatch(profileOurs ? profileOp->ours : profileOp->raw, in, profileIterations,
                  profileOp->quiet);
        return 0;
    }

    // One batch of each side warms caches and the allocator and sizes the batches from raw.
    std::vector<int> iterations;
    for (const Op& op : kOps) {
        timeBatch(op.ours, in, 1, op.quiet);
        const double us = timeBatch(op.raw, in, 3, op.quiet);
        iterations.push_back(std::max(1, static_cast<int>(batchMs * 1000 / us)));
    }
    const size_t nOps = sizeof kOps / sizeof kOps[0];
    std::vector<std::vector<double>> ours(nOps), raw(nOps), ratios(nOps);
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < nOps; ++k) {
            const Op& op = kOps[k];
            double o, w;
            if (r % 2 == 0) {
                o = timeBatch(op.ours, in, iterations[k], op.quiet);
                w = timeBatch(op.raw, in, iterations[k], op.quiet);
            } else {
                w = timeBatch(op.raw, in, iterations[k], op.quiet);
                o = timeBatch(op.ours, in, iterations[k], op.quiet);
            }
            ours[k].push_back(o);
            raw[k].push_back(w);
            if (r % 2 == 0) {
                ratios[k].push_back(o / w);
            } else {
                ratios[k].back() = std::sqrt(ratios[k].back() * (o / w));
            }
        }
    }
    fflush(stdout);
    for (size_t k = 0; k < nOps; ++k) {
        const double o = quantile(ours[k], 0.5);
        const double w = quantile(raw[k], 0.5);
        fprintf(report,
                "codec op=%s rounds=%d iterations=%d ours_us=%.1f raw_us=%.1f ratio=%.3f "
                "ratio_p25=%.3f ratio_p75=%.3f ratio_of_medians=%.3f\n",
                kOps[k].name, rounds, iterations[k], o, w, quantile(ratios[k], 0.5),
                quantile(ratios[k], 0.25), quantile(ratios[k], 0.75), o / w);
    }
    fclose(report);
    return 0;
}
