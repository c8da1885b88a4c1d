// Codec cost against raw libxml2 doing the same tree work without our classes: build and
// serialise, and parse and decode, a SynthESMReq with 10,000 endpoints and 1,000 zones and an
// ESMCommit with 1,000 members. The zone log lines go to /dev/null on both sides alike.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Msg.h"

namespace {

const int kEndpoints = 10000;
const int kZones = 1000;
const int kMembers = 1000;

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

std::vector<EndPoint> endpoints() {
    std::vector<EndPoint> v;
    for (int i = 0; i < kEndpoints; ++i)
        v.emplace_back(htonl(0x0A000000u + static_cast<uint32_t>(i)));
    return v;
}

std::vector<EndZone> zones() {
    std::vector<EndZone> v;
    for (int i = 0; i < kZones; ++i) {
        EndZone z(htonl(0x0B000000u + (static_cast<uint32_t>(i) << 8)), htonl(0xFFFFFF00u));
        z.setEP(htonl(0x0B000000u + (static_cast<uint32_t>(i) << 8) + 7));
        v.push_back(z);
    }
    return v;
}

std::vector<TransportEndPoint> members() {
    std::vector<TransportEndPoint> v;
    for (int i = 0; i < kMembers; ++i)
        v.emplace_back(htonl(0x7F000000u + static_cast<uint32_t>(i)),
                       static_cast<unsigned short>(7000 + i));
    return v;
}

std::string text(const Msg& m) {
    char* p = m.getChars();
    std::string s(p);
    free(p);
    return s;
}

// ---- raw libxml2: the same documents, plain structs ----

struct RawZone {
    uint32_t addr, mask, ep;
};
struct RawMember {
    uint32_t addr;
    uint16_t port;
};

void rawNum(xmlNode* parent, const char* name, int32_t v) {
    char buf[20];
    snprintf(buf, sizeof buf, "%d", v);
    xmlNewChild(parent, nullptr, X(name), X(buf));
}

void rawAddr(xmlNode* parent, const char* name, uint32_t a) {
    char buf[16];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    xmlNewChild(parent, nullptr, X(name), X(buf));
}

xmlNode* rawList(xmlNode* parent, const char* name, size_t n) {
    xmlNode* l = xmlNewChild(parent, nullptr, X(name), nullptr);
    char buf[20];
    snprintf(buf, sizeof buf, "%d", static_cast<int>(n));
    xmlSetProp(l, X("num"), X(buf));
    return l;
}

char* rawBuildReq(const std::vector<uint32_t>& eps, const std::vector<RawZone>& zs) {
    xmlDoc* doc = xmlNewDoc(X("1.0"));
    xmlNode* root = xmlNewDocNode(doc, nullptr, X("SynthESMReq"), nullptr);
    xmlDocSetRootElement(doc, root);
    rawNum(root, "id", 7);
    rawNum(root, "version", 7);
    xmlNode* el = rawList(root, "endpointlist", eps.size());
    for (uint32_t a : eps) rawAddr(el, "endpoint", a);
    xmlNode* zl = rawList(root, "zonelist", zs.size());
    for (const RawZone& z : zs) {
        xmlNode* e = xmlNewChild(zl, nullptr, X("zone"), nullptr);
        rawAddr(e, "addr", z.addr);
        rawAddr(e, "mask", z.mask);
        rawNum(e, "ep", static_cast<int32_t>(z.ep));
        printf("varno: setEP %d -> %d\n", static_cast<int32_t>(z.ep), static_cast<int32_t>(z.ep));
    }
    xmlChar* out;
    int size;
    xmlDocDumpMemory(doc, &out, &size);
    xmlFreeDoc(doc);
    return reinterpret_cast<char*>(out);
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

size_t rawCount(xmlNode* l) {
    xmlChar* c = xmlGetProp(l, X("num"));
    size_t n = strtoul(reinterpret_cast<char*>(c), nullptr, 10);
    xmlFree(c);
    return n;
}

void rawDecodeReq(const std::string& s, std::vector<uint32_t>* eps, std::vector<RawZone>* zs) {
    xmlDoc* doc = xmlReadMemory(s.data(), static_cast<int>(s.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    xmlNode* id = firstElem(xmlDocGetRootElement(doc)->children);
    xmlNode* ver = nextElem(id);
    benchmark::DoNotOptimize(strtoul(content(id).c_str(), nullptr, 10));
    benchmark::DoNotOptimize(strtoul(content(ver).c_str(), nullptr, 10));
    xmlNode* el = nextElem(ver);
    eps->assign(rawCount(el), 0);
    size_t i = 0;
    for (xmlNode* e = firstElem(el->children); e != nullptr && i < eps->size(); e = nextElem(e))
        (*eps)[i++] = rawIp(e);
    xmlNode* zl = nextElem(el);
    zs->assign(rawCount(zl), RawZone{});
    i = 0;
    for (xmlNode* z = firstElem(zl->children); z != nullptr && i < zs->size(); z = nextElem(z)) {
        xmlNode* a = firstElem(z->children);
        xmlNode* m = nextElem(a);
        xmlNode* ep = nextElem(m);
        RawZone& r = (*zs)[i++];
        r.addr = rawIp(a);
        r.mask = rawIp(m);
        const std::string t = content(ep);
        r.ep = static_cast<uint32_t>(strtoul(t.c_str(), nullptr, 10));
        printf("varno: getEP %s -> %d\n", t.c_str(), static_cast<int32_t>(r.ep));
    }
    xmlFreeDoc(doc);
}

char* rawBuildCommit(const std::vector<RawMember>& ms) {
    xmlDoc* doc = xmlNewDoc(X("1.0"));
    xmlNode* root = xmlNewDocNode(doc, nullptr, X("ESMCommit"), nullptr);
    xmlDocSetRootElement(doc, root);
    rawNum(root, "id", 7);
    rawNum(root, "version", 7);
    rawAddr(root, "data_addr", htonl(0xE0050607u));
    rawNum(root, "data_port", 7560);
    rawNum(root, "ttl", 0);
    xmlNode* l = rawList(root, "memberlist", ms.size());
    for (const RawMember& m : ms) {
        xmlNode* e = xmlNewChild(l, nullptr, X("member"), nullptr);
        rawAddr(e, "addr", m.addr);
        rawNum(e, "port", m.port);
    }
    xmlChar* out;
    int size;
    xmlDocDumpMemory(doc, &out, &size);
    xmlFreeDoc(doc);
    return reinterpret_cast<char*>(out);
}

void rawDecodeCommit(const std::string& s, std::vector<RawMember>* ms) {
    xmlDoc* doc = xmlReadMemory(s.data(), static_cast<int>(s.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    xmlNode* n = firstElem(xmlDocGetRootElement(doc)->children);
    for (int k = 0; k < 2; ++k, n = nextElem(n))
        benchmark::DoNotOptimize(strtoul(content(n).c_str(), nullptr, 10));
    benchmark::DoNotOptimize(rawIp(n));
    n = nextElem(n);
    benchmark::DoNotOptimize(strtoul(content(n).c_str(), nullptr, 10));
    n = nextElem(n);
    benchmark::DoNotOptimize(strtoul(content(n).c_str(), nullptr, 10));
    n = nextElem(n);
    ms->assign(rawCount(n), RawMember{});
    size_t i = 0;
    for (xmlNode* e = firstElem(n->children); e != nullptr && i < ms->size(); e = nextElem(e)) {
        xmlNode* a = firstElem(e->children);
        (*ms)[i].addr = rawIp(a);
        (*ms)[i++].port = static_cast<uint16_t>(strtoul(content(nextElem(a)).c_str(), nullptr, 10));
    }
    xmlFreeDoc(doc);
}

// ---- the benchmarks ----

void BM_ReqBuild_Ours(benchmark::State& st) {
    auto eps = endpoints();
    auto zs = zones();
    for (auto _ : st) {
        SynthESMReq m(7, 7, eps, zs);
        char* p = m.getChars();
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

void BM_ReqBuild_Raw(benchmark::State& st) {
    std::vector<uint32_t> eps;
    for (auto& e : endpoints()) eps.push_back(static_cast<uint32_t>(e.getAddr()));
    std::vector<RawZone> zs;
    for (auto& z : zones())
        zs.push_back({static_cast<uint32_t>(z.getAddr()), static_cast<uint32_t>(z.getMask()),
                      static_cast<uint32_t>(z.getEP())});
    for (auto _ : st) {
        char* p = rawBuildReq(eps, zs);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

void BM_ReqDecode_Ours(benchmark::State& st) {
    auto eps = endpoints();
    auto zs = zones();
    const std::string s = text(SynthESMReq(7, 7, eps, zs));
    for (auto _ : st) {
        std::unique_ptr<Msg> m(parseMsg(s.data(), s.size(), MsgTable::Requests));
        benchmark::DoNotOptimize(m.get());
    }
}

void BM_ReqDecode_Raw(benchmark::State& st) {
    auto eps = endpoints();
    auto zs = zones();
    const std::string s = text(SynthESMReq(7, 7, eps, zs));
    std::vector<uint32_t> outEps;
    std::vector<RawZone> outZones;
    for (auto _ : st) {
        rawDecodeReq(s, &outEps, &outZones);
        benchmark::DoNotOptimize(outEps.data());
    }
}

void BM_CommitBuild_Ours(benchmark::State& st) {
    auto ms = members();
    for (auto _ : st) {
        ESMCommit m(7, 7, htonl(0xE0050607u), 7560, 0, ms);
        char* p = m.getChars();
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

void BM_CommitBuild_Raw(benchmark::State& st) {
    std::vector<RawMember> ms;
    for (auto& m : members()) ms.push_back({static_cast<uint32_t>(m.getAddr()), m.getPort()});
    for (auto _ : st) {
        char* p = rawBuildCommit(ms);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

void BM_CommitDecode_Ours(benchmark::State& st) {
    auto ms = members();
    const std::string s = text(ESMCommit(7, 7, htonl(0xE0050607u), 7560, 0, ms));
    for (auto _ : st) {
        std::unique_ptr<Msg> m(parseMsg(s.data(), s.size(), MsgTable::Requests));
        benchmark::DoNotOptimize(m.get());
    }
}

void BM_CommitDecode_Raw(benchmark::State& st) {
    auto ms = members();
    const std::string s = text(ESMCommit(7, 7, htonl(0xE0050607u), 7560, 0, ms));
    std::vector<RawMember> out;
    for (auto _ : st) {
        rawDecodeCommit(s, &out);
        benchmark::DoNotOptimize(out.data());
    }
}

BENCHMARK(BM_ReqBuild_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReqBuild_Raw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReqDecode_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReqDecode_Raw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommitBuild_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommitBuild_Raw)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommitDecode_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommitDecode_Raw)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    // The zone log lines are part of the work; their destination is not. The report goes to
    // the original standard output.
    const int report = dup(1);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1);
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    std::ofstream out("/proc/self/fd/" + std::to_string(report));
    // Keep glibc from returning and re-faulting heap pages between iterations: whether that
    // happens depends on the order of frees, not on the codec, and it swamps the difference.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    xmlInitParser();
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&out);
    reporter.SetErrorStream(&out);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return 0;
}
