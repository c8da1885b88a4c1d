// slp_da_bench: the Directory Agent under the locator's lookups. For each registration count it
// starts slp-da with that many ESMProxy registrations (one per client address, as the daemon's
// locator finds them) and keeps --outstanding UDP lookups
// "(&(addr=A)(mask=255.255.255.255))" in flight from one socket, each for a random registered A,
// each answer checked for exactly that proxy. Rounds rotate over the counts. Then, against the
// largest store: the time of one call as OpenSLP's client library makes it (the local-agent
// handshake over TCP, DA discovery over UDP, the lookup), and how long a normal lookup waits
// behind one and behind --behind (5) hostile ones (the most comparisons a predicate may hold,
// none answerable from the index) against the locator's store and against a store whose every
// registration holds the most attribute values allowed.
//
//   slp_da_bench [--regs 10,1000,10000] [--runs R] [--seconds S] [--outstanding N]
//                [--behind K]
//   slp_da_bench --target ADDR:PORT --addrs N [--seconds S] [--outstanding N]
//                load only, on an agent started elsewhere that holds the same registrations
//                (slp_da_bench --write-regs N FILE writes them)
//
// Output lines:
//   run regs=N round=I rps= p50_us= p99_us= max_us= cpu_us= lost= wrong=
//   da regs=N runs=R rps=<median> p50_us=<median> p99_us=<median> max_us=<max> cpu_us=<median>
//      lost= wrong=
//   call runs=R median_ms= max_ms=
//   hostile store=locator|wide regs=N leaves=L behind=1|K alone_ms= cpu_ms= wait_ms=
//           wait_max_ms= error=E
// cpu_us is the agent's CPU time per lookup, cpu_ms its CPU time for one hostile lookup
// (/proc/PID/schedstat), which other work on the machine does not inflate.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "slp_wire.h"

namespace {

using bench::Clock;
using Bytes = std::vector<uint8_t>;

constexpr int kLostMs = 1000;    // an answer later than this counts as lost
constexpr int kPadValues = 126;  // with addr and mask: the default --max-attrs of 128

// CPU time a process has used, in ms, from /proc/PID/schedstat (nanoseconds on the CPU): exact,
// and unaffected by time spent waiting for a CPU.
double cpuMs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e6;
}

std::string clientAddr(int i) {
    return "10.200." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}
std::string proxyUrl(int i) {
    return "service:ESMProxy://10.201." + std::to_string(i / 250) + "." +
           std::to_string(i % 250 + 1) + ":7020";
}
std::string lookupPredicate(int i) {
    return "(&(addr=" + clientAddr(i) + ")(mask=255.255.255.255))";
}

bool writeRegs(const std::string& path, int n) {
    std::ofstream out(path);
    for (int i = 0; i < n; ++i) {
        out << proxyUrl(i) << ",en,65535\naddr=" << clientAddr(i) << "\nmask=255.255.255.255\n\n";
    }
    return static_cast<bool>(out);
}

// A UDP socket connected to 127.0.0.1:port, or -1.
int udpTo(uint16_t port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(s);
        return -1;
    }
    int big = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    return s;
}

// The next datagram on s within timeoutMs (empty when none).
Bytes recvWithin(int s, int timeoutMs) {
    Bytes b(65536);
    pollfd p{s, POLLIN, 0};
    ssize_t n = poll(&p, 1, timeoutMs) == 1 ? recv(s, b.data(), b.size(), 0) : -1;
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
}

Bytes srvRqst(uint16_t xid, const std::string& type, const std::string& scope,
              const std::string& pred) {
    Bytes b;
    slpwire::encodeSrvRqst(xid, "en", 0, "", type, scope, pred, "", &b);
    return b;
}

// slp-da on 127.0.0.1 with an ephemeral port.
class Da {
public:
    Da(const std::string& path, const bench::TempDir& dir, const std::string& name,
       std::vector<std::string> args) {
        args.insert(args.begin(), {"--listen", "127.0.0.1:0"});
        mProc = std::make_unique<bench::Proc>(path, args, "/dev/null", dir.file(name + ".err"));
        if (mProc->waitErr("listening on", 60000)) {
            unsigned port = 0;
            sscanf(mProc->err().c_str(), "slp-da: listening on %*[0-9.]:%u", &port);
            mPort = static_cast<uint16_t>(port);
        }
    }
    uint16_t port() const { return mPort; }
    pid_t pid() const { return mProc->pid(); }

private:
    std::unique_ptr<bench::Proc> mProc;
    uint16_t mPort = 0;
};

struct LoadResult {
    double rps = 0;
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
    double cpuUs = 0;  // the agent's CPU time per lookup
    long lost = 0;
    long wrong = 0;
};

// Closed-loop lookups from one socket with `outstanding` in flight.
LoadResult runLoad(uint16_t port, pid_t pid, int addrs, int outstanding, double warmupS,
                   double seconds) {
    LoadResult res;
    int s = udpTo(port);
    if (s < 0) return res;
    struct Slot {
        uint16_t xid = 0;
        int addr = 0;
        Clock::time_point sent;
    };
    std::vector<Slot> slots(static_cast<size_t>(outstanding));
    std::vector<int> slotOfXid(65536, -1);
    std::mt19937 rng(12345);
    uint16_t nextXid = 1;
    auto send1 = [&](size_t k) {
        Slot& slot = slots[k];
        if (slotOfXid[slot.xid] == static_cast<int>(k)) slotOfXid[slot.xid] = -1;
        slot.xid = nextXid++;
        if (nextXid == 0) nextXid = 1;
        slot.addr = static_cast<int>(rng() % static_cast<unsigned>(addrs));
        slotOfXid[slot.xid] = static_cast<int>(k);
        Bytes req = srvRqst(slot.xid, "ESMProxy", "default", lookupPredicate(slot.addr));
        slot.sent = Clock::now();
        ::send(s, req.data(), req.size(), 0);
    };
    const Clock::time_point start = Clock::now();
    const Clock::time_point from =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warmupS));
    const Clock::time_point until =
        from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (size_t k = 0; k < slots.size(); ++k) send1(k);
    std::vector<double> lat;
    long done = 0;
    double cpuFrom = -1;
    Bytes buf(65536);
    while (Clock::now() < until) {
        if (cpuFrom < 0 && pid > 0 && Clock::now() >= from) cpuFrom = cpuMs(pid);
        pollfd p{s, POLLIN, 0};
        poll(&p, 1, 10);
        ssize_t n;
        while ((n = recv(s, buf.data(), buf.size(), MSG_DONTWAIT)) > 0) {
            slpwire::SrvRply r;
            if (slpwire::parseSrvRply(buf.data(), static_cast<size_t>(n), &r) !=
                slpwire::ReplyParse::kOk) {
                continue;
            }
            int k = slotOfXid[r.hdr.xid];
            if (k < 0) continue;  // a late answer to a request counted as lost
            Slot& slot = slots[static_cast<size_t>(k)];
            const Clock::time_point now = Clock::now();
            if (slot.sent >= from && now < until) {
                lat.push_back(std::chrono::duration<double, std::micro>(now - slot.sent).count());
                ++done;
                if (r.urls.size() != 1 || r.urls[0].url != proxyUrl(slot.addr)) ++res.wrong;
            }
            send1(static_cast<size_t>(k));
        }
        const Clock::time_point now = Clock::now();
        for (size_t k = 0; k < slots.size(); ++k) {
            if (now - slots[k].sent > std::chrono::milliseconds(kLostMs)) {
                if (slots[k].sent >= from) ++res.lost;
                send1(k);
            }
        }
    }
    if (cpuFrom >= 0 && done > 0) res.cpuUs = (cpuMs(pid) - cpuFrom) * 1000 / done;
    close(s);
    std::sort(lat.begin(), lat.end());
    res.rps = done / seconds;
    if (!lat.empty()) {
        res.p50Us = lat[lat.size() / 2];
        res.p99Us = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
        res.maxUs = lat.back();
    }
    return res;
}

// One call as OpenSLP's client library makes it against a DA on this host: the local-agent
// handshake over TCP (DAAdverts read until one carries an error, at most 5 s), DA discovery
// over UDP, then the lookup. Milliseconds, or -1 when the lookup found nothing.
double openSlpCall(uint16_t port, int addr) {
    const Clock::time_point t0 = Clock::now();
    int t = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(t, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        Bytes hs = srvRqst(0x1001, "service:directory-agent", "", "");
        ::send(t, hs.data(), hs.size(), MSG_NOSIGNAL);
        Bytes in;
        uint8_t buf[4096];
        const Clock::time_point end = Clock::now() + std::chrono::seconds(5);
        bool last = false;
        while (!last && Clock::now() < end) {
            pollfd p{t, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = recv(t, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.insert(in.end(), buf, buf + n);
            // Whole DAAdverts: stop at the first whose error field is not 0.
            size_t at = 0;
            while (!last && in.size() - at >= 18 &&
                   in.size() - at >= slpwire::peekLength(&in[at])) {
                size_t langLen = static_cast<size_t>(in[at + 12] << 8 | in[at + 13]);
                size_t e = at + 14 + langLen;
                last = e + 1 < in.size() && (in[e] != 0 || in[e + 1] != 0);
                at += slpwire::peekLength(&in[at]);
            }
        }
    }
    close(t);
    int u = udpTo(port);
    Bytes disc = srvRqst(0x1002, "service:directory-agent", "default", "");
    ::send(u, disc.data(), disc.size(), 0);
    Bytes advert = recvWithin(u, 2000);
    close(u);
    u = udpTo(port);
    Bytes ask = srvRqst(0x1003, "ESMProxy", "default", lookupPredicate(addr));
    ::send(u, ask.data(), ask.size(), 0);
    Bytes reply = recvWithin(u, 2000);
    close(u);
    slpwire::SrvRply r;
    if (advert.empty() ||
        slpwire::parseSrvRply(reply.data(), reply.size(), &r) != slpwire::ReplyParse::kOk ||
        r.urls.size() != 1) {
        return -1;
    }
    return bench::msSince(t0);
}

// A predicate of `leaves` substring items, none of which the index can answer or any
// registration match, over the tags every registration holds.
std::string hostilePredicate(int leaves) {
    std::string p = "(|";
    for (int i = 0; i < leaves; ++i) p += i % 2 ? "(x-pad=*q*z*)" : "(addr=*9*9*9*9*x)";
    return p + ")";
}

struct Hostile {
    double aloneMs = 0;
    double cpuMs = 0;  // the agent's CPU time for one hostile lookup
    double waitMs = 0;
    double waitMaxMs = 0;
    int error = -1;
};

// How long one hostile lookup takes, and a normal lookup sent right behind `behind` of them.
Hostile runHostile(uint16_t port, pid_t pid, int addrs, int leaves, int behind, int runs) {
    Hostile h;
    std::vector<double> alone, wait, cpu;
    int bad = udpTo(port);
    int good = udpTo(port);
    const std::string pred = hostilePredicate(leaves);
    for (int run = 0; run < runs; ++run) {
        Bytes req = srvRqst(static_cast<uint16_t>(2000 + run), "ESMProxy", "default", pred);
        const double cpu0 = cpuMs(pid);
        Clock::time_point t0 = Clock::now();
        ::send(bad, req.data(), req.size(), 0);
        Bytes r = recvWithin(bad, 10000);
        alone.push_back(bench::msSince(t0));
        cpu.push_back(cpuMs(pid) - cpu0);
        if (r.size() >= 18) h.error = r[16] << 8 | r[17];
        for (int k = 0; k < behind; ++k) ::send(bad, req.data(), req.size(), 0);
        Bytes ask = srvRqst(static_cast<uint16_t>(3000 + run), "ESMProxy", "default",
                            lookupPredicate(run % addrs));
        t0 = Clock::now();
        ::send(good, ask.data(), ask.size(), 0);
        Bytes answer = recvWithin(good, 10000);
        wait.push_back(answer.empty() ? 10000 : bench::msSince(t0));
        for (int k = 0; k < behind; ++k) recvWithin(bad, 10000);
    }
    close(bad);
    close(good);
    h.aloneMs = bench::median(alone);
    h.cpuMs = bench::median(cpu);
    h.waitMs = bench::median(wait);
    h.waitMaxMs = *std::max_element(wait.begin(), wait.end());
    return h;
}

// Registers n entries that each hold the most attribute values allowed, over UDP.
bool registerWide(uint16_t port, int n) {
    int s = udpTo(port);
    std::string pad = "(x-pad=";
    for (int v = 0; v < kPadValues; ++v) {
        char value[32];
        snprintf(value, sizeof value, "%spad-value-%06d-abc", v ? "," : "", v);
        pad += value;
    }
    pad += ")";
    bool ok = true;
    for (int i = 0; i < n && ok; ++i) {
        Bytes reg;
        slpwire::encodeSrvReg(static_cast<uint16_t>(i), "en", slpwire::kFlagFresh,
                              {65535, proxyUrl(i)}, "service:ESMProxy", "default",
                              "(addr=" + clientAddr(i) + "),(mask=255.255.255.255)," + pad, &reg);
        ::send(s, reg.data(), reg.size(), 0);
        Bytes ack = recvWithin(s, 2000);
        ok = ack.size() == 18 && ack[17] == 0;
    }
    close(s);
    return ok;
}

void printLoad(const char* what, const std::string& head, const LoadResult& r) {
    printf("%s %s rps=%.0f p50_us=%.0f p99_us=%.0f max_us=%.0f cpu_us=%.1f lost=%ld wrong=%ld\n",
           what, head.c_str(), r.rps, r.p50Us, r.p99Us, r.maxUs, r.cpuUs, r.lost, r.wrong);
    fflush(stdout);
}

std::vector<int> parseCounts(const char* text) {
    std::vector<int> out;
    for (const char* p = text; *p != '\0';) {
        out.push_back(atoi(p));
        const char* comma = strchr(p, ',');
        if (comma == nullptr) break;
        p = comma + 1;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts = {10, 1000, 10000};
    int runs = 5;
    double seconds = 5;
    int outstanding = 16;
    int behind = 5;
    std::string target;
    int addrs = 0;
    std::string writePath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--regs") {
            counts = parseCounts(v);
        } else if (a == "--runs") {
            runs = atoi(v);
        } else if (a == "--seconds") {
            seconds = atof(v);
        } else if (a == "--outstanding") {
            outstanding = atoi(v);
        } else if (a == "--behind") {
            behind = atoi(v);
        } else if (a == "--target") {
            target = v;
        } else if (a == "--addrs") {
            addrs = atoi(v);
        } else if (a == "--write-regs" && i + 2 < argc) {
            addrs = atoi(v);
            writePath = argv[++i + 1];
        } else {
            fprintf(stderr, "slp_da_bench: bad argument %s\n", a.c_str());
            return 2;
        }
    }
    if (!writePath.empty()) return writeRegs(writePath, addrs) ? 0 : 1;
    if (!target.empty()) {
        unsigned port = 0;
        if (sscanf(target.c_str(), "127.0.0.1:%u", &port) != 1 || addrs <= 0) {
            fprintf(stderr, "slp_da_bench: --target 127.0.0.1:PORT needs --addrs N\n");
            return 2;
        }
        printLoad("run", "regs=" + std::to_string(addrs) + " round=0",
                  runLoad(static_cast<uint16_t>(port), 0, addrs, outstanding, 1, seconds));
        return 0;
    }
    if (counts.empty() || runs < 1) return 2;
    bench::TempDir dir;
    if (!dir.valid()) return 1;
    // One agent per count, all running, measured in rotating order.
    std::vector<std::unique_ptr<Da>> das;
    for (int n : counts) {
        const std::string reg = dir.file("regs-" + std::to_string(n));
        if (!writeRegs(reg, n)) return 1;
        das.push_back(
            std::make_unique<Da>(SLP_DA_PATH, dir, "da-" + std::to_string(n),
                                 std::vector<std::string>{"--reg", reg, "--max-registrations",
                                                          std::to_string(std::max(n, 10000))}));
        if (das.back()->port() == 0) {
            fprintf(stderr, "slp_da_bench: slp-da with %d registrations did not start\n", n);
            return 1;
        }
    }
    std::vector<std::vector<LoadResult>> results(counts.size());
    for (int round = 0; round < runs; ++round) {
        for (size_t j = 0; j < counts.size(); ++j) {
            const size_t k = (j + static_cast<size_t>(round)) % counts.size();
            LoadResult r =
                runLoad(das[k]->port(), das[k]->pid(), counts[k], outstanding, 1, seconds);
            printLoad("run",
                      "regs=" + std::to_string(counts[k]) + " round=" + std::to_string(round), r);
            results[k].push_back(r);
        }
    }
    for (size_t k = 0; k < counts.size(); ++k) {
        LoadResult m;
        std::vector<double> rps, p50, p99, cpu;
        for (const LoadResult& r : results[k]) {
            rps.push_back(r.rps);
            cpu.push_back(r.cpuUs);
            p50.push_back(r.p50Us);
            p99.push_back(r.p99Us);
            m.maxUs = std::max(m.maxUs, r.maxUs);
            m.lost += r.lost;
            m.wrong += r.wrong;
        }
        m.rps = bench::median(rps);
        m.p50Us = bench::median(p50);
        m.p99Us = bench::median(p99);
        m.cpuUs = bench::median(cpu);
        printLoad("da", "regs=" + std::to_string(counts[k]) + " runs=" + std::to_string(runs), m);
    }

    const size_t largest =
        static_cast<size_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
    const uint16_t port = das[largest]->port();
    const pid_t pid = das[largest]->pid();
    const int n = counts[largest];
    std::vector<double> calls;
    for (int i = 0; i < 21; ++i) calls.push_back(openSlpCall(port, i % n));
    printf("call runs=%zu median_ms=%.2f max_ms=%.2f\n", calls.size(), bench::median(calls),
           *std::max_element(calls.begin(), calls.end()));

    const int leaves = 32;  // the default --max-filter-leaves
    auto report = [&](const char* store, uint16_t p, pid_t id) {
        for (int k : {1, behind}) {
            Hostile h = runHostile(p, id, n, leaves, k, 11);
            printf(
                "hostile store=%s regs=%d leaves=%d behind=%d alone_ms=%.2f cpu_ms=%.2f "
                "wait_ms=%.2f wait_max_ms=%.2f error=%d\n",
                store, n, leaves, k, h.aloneMs, h.cpuMs, h.waitMs, h.waitMaxMs, h.error);
            fflush(stdout);
        }
    };
    report("locator", port, pid);
    fflush(stdout);
    das.clear();
    Da wide(SLP_DA_PATH, dir, "da-wide",
            {"--max-registrations", std::to_string(std::max(n, 10000))});
    if (wide.port() == 0 || !registerWide(wide.port(), n)) {
        fprintf(stderr, "slp_da_bench: the store of wide registrations could not be built\n");
        return 1;
    }
    report("wide", wide.port(), wide.pid());
    return 0;
}
