// Requests per second of the message server with a trivial handler, one request per connection
// on loopback, from several client threads at once. RawClient sends prepared bytes, so that the
// server's share dominates; LibraryClient goes through sendRequestMsg and getResponseMsg.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bench_util.h"
#include "http.h"
#include "malloc_ptr.h"
#include "net_util.h"

namespace {

uint16_t gPort = 0;
std::string gRequest;  // written once before the benchmarks start

Msg* replyCommitOk(Msg* m) {
    return new ESMCommitOk(m->getId(), m->getVersion());
}

uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

// One exchange with prepared bytes; true for a 200 response read to the end.
bool rawExchange() {
    Fd s(connectTcp(loopback(), gPort, kClientConnectTimeoutMs));
    if (!s.valid() || writeAll(s.get(), gRequest.data(), gRequest.size()) != gRequest.size()) {
        return false;
    }
    char buf[4096];
    size_t total = 0;
    bool ok = false;
    for (ssize_t n; (n = readSome(s.get(), buf, sizeof buf)) > 0; total += static_cast<size_t>(n)) {
        if (total == 0) ok = n >= 12 && memcmp(buf, "HTTP/1.1 200", 12) == 0;
    }
    return ok;
}

void RawClient(benchmark::State& state) {
    int64_t failed = 0;
    for (auto _ : state) {
        if (!rawExchange()) ++failed;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(RawClient)->ThreadRange(1, 8)->UseRealTime();

void LibraryClient(benchmark::State& state) {
    ESMInit init(7, 8, 5000);
    int64_t failed = 0;
    for (auto _ : state) {
        std::unique_ptr<Msg> reply(getResponseMsg(sendRequestMsg("127.0.0.1", gPort, &init)));
        if (!reply) ++failed;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(LibraryClient)->ThreadRange(1, 8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    gPort = bench::freePort();
    ESMInit init(7, 8, 5000);
    MallocText text(init.getChars());
    gRequest = "POST http://127.0.0.1:" + std::to_string(gPort) +
               "/query HTTP/1.1\r\nContent-Length: " + std::to_string(strlen(text.get()) + 1) +
               "\r\n\r\n" + text.get() + std::string(1, '\0');
    startServerLoop(gPort, replyCommitOk);
    // The socket is opened on the server thread: wait until an exchange succeeds.
    if (!bench::waitFor(rawExchange, 5000)) {
        fprintf(stderr, "http_server_bench: the server did not answer on port %u\n", gPort);
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
