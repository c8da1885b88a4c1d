// The message server over real loopback connections. The loop starts once for the whole
// executable; each test installs its handler, raw peers send exact bytes (whole, split, cut
// short), and responses and diagnostic lines are compared byte for byte.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "http_impl.h"
#include "malloc_ptr.h"
#include "msg_test_util.h"
#include "net_util.h"
#include "test_util.h"

using msgtest::kCommitOkXml;
using msgtest::kInitXml;
using ::testing::HasSubstr;
using testutil::DiagCapture;
using testutil::kErrorResponse;
using testutil::okResponse;

namespace {

const std::string kPostLine = "POST http://127.0.0.1:1/query HTTP/1.1";

std::string head(size_t length, const std::string& line = kPostLine) {
    return line + "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

// A request as the client sends it: the text and its NUL byte.
std::string post(const std::string& xml = kInitXml) {
    return testutil::postRequest("http://127.0.0.1:1/query", xml);
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// ---- Handlers ----

// What the handler saw of the last request.
struct Seen {
    int calls = 0;
    std::string type;
    unsigned short dataPort = 0;
    std::string srcAddr;
    unsigned short srcPort = 0;
    int sock = -1;
    int sockPeerPort = -1;  // peer port of the request's sock, from getpeername
    long readLimitSec = 0;  // time limits set on the request's sock
    long writeLimitSec = 0;
};
std::mutex gSeenMutex;
Seen gSeen;  // guarded by gSeenMutex

void record(Msg* m) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int peerPort = getpeername(m->sock, reinterpret_cast<sockaddr*>(&peer), &len) == 0
                       ? ntohs(peer.sin_port)
                       : -1;
    timeval readLimit{}, writeLimit{};
    len = sizeof readLimit;
    getsockopt(m->sock, SOL_SOCKET, SO_RCVTIMEO, &readLimit, &len);
    len = sizeof writeLimit;
    getsockopt(m->sock, SOL_SOCKET, SO_SNDTIMEO, &writeLimit, &len);
    auto* init = dynamic_cast<ESMInit*>(m);
    std::lock_guard<std::mutex> lock(gSeenMutex);
    ++gSeen.calls;
    gSeen.type = m->getType();
    gSeen.dataPort = init != nullptr ? init->getPort() : 0;
    gSeen.srcAddr = m->getSrcAddrStr();
    gSeen.srcPort = m->getSrcPort();
    gSeen.sock = m->sock;
    gSeen.sockPeerPort = peerPort;
    gSeen.readLimitSec = readLimit.tv_sec;
    gSeen.writeLimitSec = writeLimit.tv_sec;
}

Seen seen() {
    std::lock_guard<std::mutex> lock(gSeenMutex);
    return gSeen;
}

Msg* replyCommitOk(Msg* m) {
    record(m);
    return new ESMCommitOk(m->getId(), m->getVersion());
}

Msg* replyNull(Msg* m) {
    record(m);
    return nullptr;
}

// A reply of roughly 70 bytes per entry.
Msg* bigReply(size_t entries) {
    std::vector<MulticastEndPoint> eps(entries, MulticastEndPoint(0x030201e1, 4000, 64));
    std::vector<MulticastEndPoint> zones;
    return new SynthESMOk(7, 8, eps, zones);
}

constexpr size_t kBigEntries = 20000;

size_t bigReplyLength() {
    std::unique_ptr<Msg> m(bigReply(kBigEntries));
    return strlen(MallocText(m->getChars()).get());
}

Msg* replyBig(Msg*) {
    return bigReply(kBigEntries);
}

// The peer goes away while the handler runs; the reply is then written to a dead connection.
std::mutex gGateMutex;
std::condition_variable gGateCond;
bool gEntered = false;  // guarded by gGateMutex
bool gRelease = false;  // guarded by gGateMutex

Msg* replyBigAfterRelease(Msg*) {
    std::unique_lock<std::mutex> lock(gGateMutex);
    gEntered = true;
    gGateCond.notify_all();
    gGateCond.wait_for(lock, std::chrono::seconds(10), [] { return gRelease; });
    return bigReply(kBigEntries);
}

// Sleeps 200 ms and tracks how many handlers run at once.
std::atomic<int> gActive{0};
std::atomic<int> gPeak{0};

Msg* replyAfter200ms(Msg* m) {
    int now = ++gActive;
    for (int peak = gPeak.load(); now > peak && !gPeak.compare_exchange_weak(peak, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    --gActive;
    return new ESMCommitOk(m->getId(), m->getVersion());
}

// Spends ms of CPU time on the calling thread.
void burnCpu(long ms) {
    timespec start{}, now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    do {
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L < ms);
}

Msg* replyAfterCpuWork(Msg* m) {
    burnCpu(50);
    return new ESMCommitOk(m->getId(), m->getVersion());
}

std::atomic<MsgHandler> gHandler{replyCommitOk};

Msg* dispatch(Msg* m) {
    return gHandler.load()(m);
}

// ---- Fixture ----

class HttpServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A small budget, so that one request can exceed it.
        setRequestMemoryBudgetLimit(256ull << 20);
        sPort = testutil::freePort();
        global_time_init();
        startServerLoop(sPort, dispatch);
        // Probe with whole requests: a probe that connects and closes would leave its
        // "Unexpected header" lines to land in the first test's captured output.
        ASSERT_TRUE(testutil::waitFor([] {
            Fd s(testutil::connectTo("127.0.0.1", sPort));
            std::string out;
            return s.valid() && testutil::sendAll(s.get(), post()) &&
                   testutil::readUntilClosed(s.get(), &out) && out == okResponse(kCommitOkXml);
        }));
    }

    void SetUp() override {
        gHandler = replyCommitOk;
        std::lock_guard<std::mutex> lock(gSeenMutex);
        gSeen = Seen();
    }

    // Connects (from the local address `from`), sends each part as a segment of its own,
    // half-closes when asked, and returns all the server sent; the server must close.
    static std::string exchange(const std::vector<std::string>& parts, bool halfClose = false,
                                const char* from = nullptr, uint16_t* localPort = nullptr) {
        Fd s(testutil::connectTo("127.0.0.1", sPort, from));
        EXPECT_TRUE(s.valid());
        if (!s.valid()) return "";
        if (localPort != nullptr) {
            sockaddr_in local{};
            socklen_t len = sizeof local;
            getsockname(s.get(), reinterpret_cast<sockaddr*>(&local), &len);
            *localPort = ntohs(local.sin_port);
        }
        EXPECT_TRUE(testutil::sendSegments(s.get(), parts));
        if (halfClose) shutdown(s.get(), SHUT_WR);
        std::string out;
        EXPECT_TRUE(testutil::readUntilClosed(s.get(), &out)) << "server did not close";
        return out;
    }

    static uint16_t sPort;
};

uint16_t HttpServerTest::sPort = 0;

// ---- Framing ----

TEST_F(HttpServerTest, HeadAndBodyInOneSegmentAreServed) {
    EXPECT_EQ(exchange({post()}), okResponse(kCommitOkXml));
    Seen s = seen();
    EXPECT_EQ(s.calls, 1);
    EXPECT_EQ(s.type, "ESMInit");
    EXPECT_EQ(s.dataPort, 5000);
}

TEST_F(HttpServerTest, BodyInSeveralLaterSegmentsIsCollected) {
    std::string body = kInitXml + std::string(1, '\0');
    EXPECT_EQ(
        exchange({head(body.size()), body.substr(0, 10), body.substr(10, 40), body.substr(50)}),
        okResponse(kCommitOkXml));
    EXPECT_EQ(seen().dataPort, 5000);
}

TEST_F(HttpServerTest, BodyWithAndWithoutNulDecodesTheSame) {
    EXPECT_EQ(exchange({post()}), okResponse(kCommitOkXml));
    EXPECT_EQ(exchange({head(kInitXml.size()) + kInitXml}), okResponse(kCommitOkXml));
    Seen s = seen();
    EXPECT_EQ(s.calls, 2);
    EXPECT_EQ(s.dataPort, 5000);
}

TEST_F(HttpServerTest, MethodUriAndVersionAreNotExamined) {
    std::string body = kInitXml + std::string(1, '\0');
    EXPECT_EQ(exchange({head(body.size(), "GET /other HTTP/1.0") + body}),
              okResponse(kCommitOkXml));
    // The longest method and version that fit their fields.
    EXPECT_EQ(exchange({head(body.size(), "DELETE / HTTP/10.1") + body}), okResponse(kCommitOkXml));
    EXPECT_EQ(seen().calls, 2);
}

TEST_F(HttpServerTest, BytesAfterTheAnnouncedBodyAreIgnored) {
    EXPECT_EQ(exchange({post() + "<ESMInit>trailing"}), okResponse(kCommitOkXml));
}

TEST_F(HttpServerTest, ShortBodyIsWarnedAboutAndDecoded) {
    DiagCapture err(DiagStream::Err);
    std::string sent = head(kInitXml.size() + 200) + kInitXml;
    EXPECT_EQ(exchange({sent}, true), okResponse(kCommitOkXml));
    EXPECT_THAT(err.text(), HasSubstr("Only received " + std::to_string(kInitXml.size()) +
                                      " bytes of message body out of " +
                                      std::to_string(kInitXml.size() + 200) + " expected.\n"));
    EXPECT_EQ(seen().dataPort, 5000);
}

TEST_F(HttpServerTest, ContentLengthMustArriveWithTheRequestLine) {
    DiagCapture err(DiagStream::Err);
    std::string line = kPostLine + "\r\n";
    Fd s(testutil::connectTo("127.0.0.1", sPort));
    ASSERT_TRUE(testutil::sendSegments(s.get(), {line}));
    std::string out;
    // The server answers the first segment alone, before the header is even sent.
    ASSERT_TRUE(testutil::readUntilClosed(s.get(), &out));
    EXPECT_EQ(out, kErrorResponse);
    EXPECT_THAT(err.text(), HasSubstr("Unexpected content-length from client:\n" + line +
                                      "\nreadHTTPRequest returned NULL\n"));
}

// Each refused request gets the error response and its own line, and never reaches the handler.
TEST_F(HttpServerTest, RefusedRequestsGetTheErrorResponseAndTheirLine) {
    const std::string body = kInitXml + std::string(1, '\0');
    const std::string parse = "\nreadHTTPRequest returned NULL\n";
    const std::string noLength = "Unexpected content-length from client:\n" + kPostLine;
    const std::pair<std::string, std::string> cases[] = {
        {"POST /query\r\n", "Unexpected header from client:\nPOST /query\r\n" + parse},
        // Tokens longer than their fields read like an incomplete line.
        {head(body.size(), "PROPFIND / HTTP/1.1") + body,
         "Unexpected header from client:\nPROPFIND / HTTP/1.1\r\n"},
        {head(body.size(), "POST / HTTP/1.1.1.1") + body,
         "Unexpected header from client:\nPOST / HTTP/1.1.1.1\r\n"},
        // Content-Length must be the first header, spelt exactly so.
        {kPostLine + "\r\nHost: 127.0.0.1\r\n" + head(body.size(), "").substr(2) + body,
         noLength + "\r\nHost: 127.0.0.1\r\n"},
        {kPostLine + "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
         noLength + "\r\ncontent-length: "},
        {head(0) + kInitXml, "Body length is: 0" + parse},
        {kPostLine + "\r\nContent-Length: -5\r\n\r\n" + kInitXml, "Body length is: -5" + parse},
        {head(64 * 1024 * 1024 + 1) + kInitXml,
         "Body length 67108865 is above the limit of 67108864 bytes\n"},
        {kPostLine + "\r\nContent-Length: 99999999999\r\n\r\n",
         "Body length 2147483647 is above the limit of 67108864 bytes\n"},
        // Bodies without a request class.
        {post(kCommitOkXml), "undefined request type\n"},
        {post("<?xml version=\"1.0\"?>\n<Unknown><id>1</id><version>2</version></Unknown>\n"),
         "undefined request type\n"},
        {post("this is not XML"), "request body is not a well-formed XML document\n"},
        {post("<ESMInit><id>1</id><version>2</version></ESMInit>"),
         "request document does not have the elements of its type\n"},
        {post("<!DOCTYPE ESMInit [<!ENTITY p \"5000\">]>\n<ESMInit><id>1</id><version>2</version>"
              "<data_port>&p;</data_port></ESMInit>"),
         "request document declares a document type\n"},
    };
    for (const auto& [request, line] : cases) {
        DiagCapture err(DiagStream::Err);
        EXPECT_EQ(exchange({request}), kErrorResponse) << request.substr(0, 60);
        EXPECT_EQ(count(err.text(), line), 1u) << err.text();
    }
    EXPECT_EQ(seen().calls, 0);
}

// ---- The memory budget ----

// Found by a hostile client: one small request could make the server allocate gigabytes.
TEST_F(HttpServerTest, BodyThatCannotFitTheBudgetIsRefusedBeforeItIsRead) {
    ASSERT_EQ(requestMemoryBudget().limitBytes(), 256u << 20);
    const int length = 20 << 20;  // its tree could take a gigabyte
    testutil::DiagCapture err(DiagStream::Err);
    // The peer sends all of it: the server reads and drops it, so the answer is not lost to a
    // reset.
    EXPECT_EQ(exchange({head(length), std::string(length, 'x')}, true), kErrorResponse);
    const std::string text = err.text();
    EXPECT_THAT(text, HasSubstr("memory budget: request of 20971520 bytes refused: needs " +
                                std::to_string(requestCostBytes(length)) + " bytes, "));
    EXPECT_EQ(count(text, "memory budget:"), 1u);
    EXPECT_EQ(count(text, "readHTTPRequest returned NULL"), 0u);
    EXPECT_EQ(seen().calls, 0);
}

// Found by a hostile client: peers that announce large bodies and send a byte now and then held
// the budget for what they announced, so that every other request above the small reserve was
// refused. A connection holds only what has arrived.
TEST_F(HttpServerTest, SlowAnnouncersHoldOnlyWhatArrived) {
    // Each announces a body whose tree alone would take nearly all of the 256 MiB budget.
    const int announced = 4500 * 1024;
    std::vector<Fd> slow;
    for (int i = 0; i < 50; ++i) {
        slow.emplace_back(testutil::connectTo("127.0.0.1", sPort));
        ASSERT_TRUE(testutil::sendAll(slow.back().get(), head(announced) + "<"));
    }
    ASSERT_TRUE(testutil::waitFor([] { return serverConnections().idle >= 50; }));
    EXPECT_LT(requestMemoryBudget().usedBytes(), 50u * 64 * 1024);
    // Beyond the small reserve (its tree needs about 10 MiB), and answered at once.
    std::string padded = kInitXml;
    padded.insert(padded.find("<id>"), "<!--" + std::string(200000, 'x') + "-->");
    EXPECT_EQ(exchange({post(padded)}), okResponse(kCommitOkXml));
    // Their lines ("Only received ...") must not land in a later test's output.
    testutil::DiagCapture err(DiagStream::Err);
    slow.clear();
    EXPECT_TRUE(testutil::waitFor([] {
        const ServerConnections c = serverConnections();
        return c.idle == 0 && c.busy == 0;
    }));
}

TEST_F(HttpServerTest, ListsThatCannotFitTheBudgetAreRefusedBeforeTheyAreAllocated) {
    std::string lists;
    for (int i = 0; i < 5; ++i) lists += "<l num=\"1048576\"/>";
    testutil::DiagCapture err(DiagStream::Err);
    EXPECT_EQ(exchange({post("<SynthInit><id>1</id><version>1</version>" + lists +
                             "<m>x</m></SynthInit>")}),
              kErrorResponse);
    EXPECT_THAT(err.text(), HasSubstr("memory budget: request lists refused: need "));
    EXPECT_EQ(count(err.text(), "\n"), 1u) << err.text();
    EXPECT_EQ(seen().calls, 0);
    // Every request gives its bytes back once it is done.
    EXPECT_TRUE(testutil::waitFor([] { return requestMemoryBudget().usedBytes() == 0; }))
        << requestMemoryBudget().usedBytes();
}

// Found by a hostile client: "num" 100000 without entries made the daemon serve 100000 phantom
// endpoints; "num" 0 with three entries answered 200 OK without setting up anything.
TEST_F(HttpServerTest, SynthesisCountsTheListsDoNotBackAreRefusedBeforeTheHandler) {
    const std::string zones = "<z num=\"0\"/></SynthESMReq>";
    const std::string three = "<e>1.1.1.1</e><e>2.2.2.2</e><e>3.3.3.3</e>";
    const std::vector<std::string> unbacked = {
        "<l num=\"100000\"/>", "<l num=\"0\">" + three + "</l>", "<l num=\"\">" + three + "</l>"};
    for (const std::string& endpoints : unbacked) {
        testutil::DiagCapture err(DiagStream::Err);
        EXPECT_EQ(
            exchange({post("<SynthESMReq><id>1</id><version>1</version>" + endpoints + zones)}),
            kErrorResponse);
        EXPECT_EQ(err.text(), "request lists announce counts other than the entries they hold\n");
    }
    EXPECT_EQ(seen().calls, 0);
    EXPECT_EQ(exchange({post("<SynthESMReq><id>7</id><version>8</version><l num=\"3\">" + three +
                             "</l>" + zones)}),
              okResponse(kCommitOkXml));
    EXPECT_EQ(seen().calls, 1);
}

TEST_F(HttpServerTest, HandlerReturningNullGetsTheErrorResponse) {
    gHandler = replyNull;
    DiagCapture err(DiagStream::Err);
    EXPECT_EQ(exchange({post()}), kErrorResponse);
    EXPECT_THAT(err.text(), HasSubstr("RecvCallback returned NULL\n"));
    EXPECT_EQ(seen().calls, 1);
}

TEST_F(HttpServerTest, HandlerSeesThePeerAddressPortAndConnection) {
    uint16_t localPort = 0;
    EXPECT_EQ(exchange({post()}, false, "127.0.0.2", &localPort), okResponse(kCommitOkXml));
    Seen s = seen();
    EXPECT_EQ(s.srcAddr, "127.0.0.2");
    EXPECT_EQ(s.srcPort, localPort);
    EXPECT_EQ(s.sockPeerPort, localPort);
    // A peer that stops sending or reading holds its thread for a bounded time only.
    EXPECT_EQ(s.readLimitSec, kServerIoTimeoutSec);
    EXPECT_EQ(s.writeLimitSec, kServerIoTimeoutSec);
}

TEST_F(HttpServerTest, ConnectionOnDescriptorZeroIsServed) {
    // With standard input closed, an accepted connection can get descriptor 0.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Fd peer(pair[0]);
    Fd savedStdin(dup(0));
    dup2(pair[1], 0);
    close(pair[1]);
    ASSERT_TRUE(testutil::sendAll(peer.get(), post()));
    EXPECT_EQ(HTTPconn(new Parameters{dispatch, 0, 0, 0}), nullptr);
    std::string out;
    EXPECT_TRUE(testutil::readUntilClosed(peer.get(), &out));
    dup2(savedStdin.get(), 0);
    EXPECT_EQ(out, okResponse(kCommitOkXml));
    EXPECT_EQ(seen().sock, 0);
}

// Found by the torture run: a peer that sent its head and then one body byte a second passed
// every per-read time limit and held its connection thread for as long as its body lasted.
TEST_F(HttpServerTest, TricklingBodyIsCutAtTheRequestDeadline) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Fd peer(pair[0]);
    Fd conn(pair[1]);
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        testutil::sendAll(peer.get(), head(100));
        for (int i = 0; i < 100 && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!testutil::sendAll(peer.get(), "<")) break;
        }
    });
    DiagCapture err(DiagStream::Err);
    const auto start = std::chrono::steady_clock::now();
    HTTPReqPtr req(readHTTPRequestBy(
        conn.get(), std::chrono::steady_clock::now() + std::chrono::milliseconds(700)));
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string text = err.text();
    stop = true;
    trickle.join();
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->content_length, 100);
    // Other connection threads of this process may print too.
    const size_t at = text.find("Only received ");
    ASSERT_NE(at, std::string::npos) << text;
    int received = 0, announced = 0;
    ASSERT_EQ(
        sscanf(text.c_str() + at, "Only received %d bytes of message body out of %d expected.\n",
               &received, &announced),
        2)
        << text;
    EXPECT_EQ(announced, 100);
    EXPECT_GE(received, 1);
    EXPECT_LT(received, 100);
    EXPECT_EQ(strlen(req->body), static_cast<size_t>(received));
    EXPECT_LT(took, std::chrono::seconds(5));  // the trickle alone would last 10 s
}

TEST_F(HttpServerTest, SilentPeerGetsNoRequestAfterTheDeadline) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Fd peer(pair[0]);
    Fd conn(pair[1]);
    DiagCapture err(DiagStream::Err);
    HTTPReqPtr req(readHTTPRequestBy(
        conn.get(), std::chrono::steady_clock::now() + std::chrono::milliseconds(200)));
    EXPECT_EQ(req, nullptr);
    EXPECT_THAT(err.text(), HasSubstr("Unexpected header from client:\n\n"));
}

TEST_F(HttpServerTest, ConnectionWithoutHandlerGetsTheErrorResponse) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Fd peer(pair[0]);
    ASSERT_TRUE(testutil::sendAll(peer.get(), post()));
    DiagCapture err(DiagStream::Err);
    EXPECT_EQ(HTTPconn(new Parameters{nullptr, pair[1], 0, 0}), nullptr);
    std::string out;
    EXPECT_TRUE(testutil::readUntilClosed(peer.get(), &out));
    EXPECT_EQ(out, kErrorResponse);
    EXPECT_THAT(err.text(), HasSubstr("RecvCallback is NULL!\n"));
}

TEST_F(HttpServerTest, LargeReplyGoesOutWithItsExactLength) {
    gHandler = replyBig;
    std::string out = exchange({post()});
    size_t n = bigReplyLength();
    std::string expectedHead =
        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n";
    ASSERT_EQ(out.substr(0, expectedHead.size()), expectedHead);
    EXPECT_EQ(out.size() - expectedHead.size(), n);
    EXPECT_EQ(out.substr(out.size() - 14), "</SynthESMOk>\n");
}

TEST_F(HttpServerTest, ReplyToAPeerThatLeftIsAShortWrite) {
    gHandler = replyBigAfterRelease;
    {
        std::lock_guard<std::mutex> lock(gGateMutex);
        gEntered = gRelease = false;
    }
    DiagCapture err(DiagStream::Err);
    Fd s(testutil::connectTo("127.0.0.1", sPort));
    ASSERT_TRUE(testutil::sendAll(s.get(), post()));
    {
        std::unique_lock<std::mutex> lock(gGateMutex);
        ASSERT_TRUE(gGateCond.wait_for(lock, std::chrono::seconds(10), [] { return gEntered; }));
    }
    linger reset{1, 0};  // close with a reset, so that every later write fails
    setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    s.reset();
    {
        std::lock_guard<std::mutex> lock(gGateMutex);
        gRelease = true;
    }
    gGateCond.notify_all();
    std::string tail = " bytes out of " + std::to_string(bigReplyLength()) + " total!\n";
    EXPECT_TRUE(testutil::waitFor([&] { return err.text().find(tail) != std::string::npos; }));
    EXPECT_THAT(err.text(), HasSubstr("Warning: Could only write "));
    // The process is still here (no SIGPIPE) and serving.
    gHandler = replyCommitOk;
    EXPECT_EQ(exchange({post()}), okResponse(kCommitOkXml));
}

TEST_F(HttpServerTest, ConnectionIsIdleUntilItsRequestIsInThenBusyUntilAnswered) {
    auto counted = [](int idle, int busy) {
        return testutil::waitFor([&] {
            const ServerConnections c = serverConnections();
            return c.idle == idle && c.busy == busy;
        });
    };
    ASSERT_TRUE(counted(0, 0));  // the fixture's probe has left
    gHandler = replyBigAfterRelease;
    {
        std::lock_guard<std::mutex> lock(gGateMutex);
        gEntered = gRelease = false;
    }
    const std::string request = post();
    Fd s(testutil::connectTo("127.0.0.1", sPort));
    ASSERT_TRUE(testutil::sendAll(s.get(), request.substr(0, request.size() - 10)));
    EXPECT_TRUE(counted(1, 0));
    ASSERT_TRUE(testutil::sendAll(s.get(), request.substr(request.size() - 10)));
    EXPECT_TRUE(counted(0, 1));
    {
        std::lock_guard<std::mutex> lock(gGateMutex);
        gRelease = true;
    }
    gGateCond.notify_all();
    std::string out;
    EXPECT_TRUE(testutil::readUntilClosed(s.get(), &out));
    EXPECT_TRUE(counted(0, 0));
}

TEST_F(HttpServerTest, ConnectionThreadsAddTheirCpuTime) {
    // CPU time of this thread is never counted. Spending it first also lets connection threads
    // of earlier tests finish before the sums are reset.
    burnCpu(300);
    global_time_init();

    // Three connections one after the other, most likely on one reused thread: each adds only
    // what it used, never the thread's whole time again.
    gHandler = replyAfterCpuWork;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(exchange({post()}), okResponse(kCommitOkXml));
    auto total = [] {
        pthread_mutex_lock(&global_time_mut);
        long sum = global_utime + global_stime;
        pthread_mutex_unlock(&global_time_mut);
        return sum;
    };
    // The thread adds its time after closing the connection.
    EXPECT_TRUE(testutil::waitFor([&] { return total() >= 150000; }));
    EXPECT_LT(total(), 280000);
}

std::mutex gThreadsMutex;
std::set<pid_t> gThreads;  // guarded by gThreadsMutex: kernel ids, which live threads never share

Msg* replyNotingThread(Msg* m) {
    std::lock_guard<std::mutex> lock(gThreadsMutex);
    gThreads.insert(gettid());
    return new ESMCommitOk(m->getId(), m->getVersion());
}

TEST_F(HttpServerTest, ConnectionsOneAfterAnotherReuseThreads) {
    // A worker that has answered a request waits for the next one instead of ending.
    {
        std::lock_guard<std::mutex> lock(gThreadsMutex);
        gThreads.clear();
    }
    gHandler = replyNotingThread;
    for (int i = 0; i < 20; ++i) ASSERT_EQ(exchange({post()}), okResponse(kCommitOkXml));
    std::lock_guard<std::mutex> lock(gThreadsMutex);
    EXPECT_LE(gThreads.size(), 10u);
}

// ---- Concurrency and robustness ----

TEST_F(HttpServerTest, FiftyBlockingHandlersAreServedInParallel) {
    gHandler = replyAfter200ms;
    gPeak = 0;
    std::atomic<int> ok{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int i = 0; i < 50; ++i) {
        clients.emplace_back([&ok] {
            ESMInit init(7, 8, 5000);
            int s = sendRequestMsg("127.0.0.1", sPort, &init);
            std::unique_ptr<Msg> reply(getResponseMsg(s));
            if (reply && reply->getType() == Msg::ESMCommitOk) ++ok;
        });
    }
    for (std::thread& t : clients) t.join();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(ok.load(), 50);
    EXPECT_GE(gPeak.load(), 10);
    // One after the other would take 10 s.
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(HttpServerTest, ThreadsOfABurstEndOnceIdle) {
    const int before = testutil::threadCount();
    gHandler = replyAfter200ms;
    std::vector<std::thread> clients;
    std::atomic<int> ok{0};
    for (int i = 0; i < 30; ++i) {
        clients.emplace_back([&ok] { ok += exchange({post()}) == okResponse(kCommitOkXml); });
    }
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(ok.load(), 30);
    // The burst's connection threads wait in accept a while, then end; one stays waiting.
    EXPECT_TRUE(testutil::waitFor([&] { return testutil::threadCount() <= before + 1; }, 15000))
        << testutil::threadCount() << " threads, " << before << " before the burst";
}

TEST_F(HttpServerTest, SilentConnectionsDoNotStopOthers) {
    DiagCapture err(DiagStream::Err);
    std::vector<Fd> silent;
    for (int i = 0; i < 300; ++i) {
        silent.emplace_back(testutil::connectTo("127.0.0.1", sPort));
        ASSERT_TRUE(silent.back().valid());
    }
    // Answered although 300 connections came before it and sent nothing.
    EXPECT_EQ(exchange({post()}), okResponse(kCommitOkXml));
    silent.clear();
    EXPECT_TRUE(testutil::waitFor(
        [&] { return count(err.text(), "readHTTPRequest returned NULL\n") >= 300; }, 20000));
}

TEST_F(HttpServerTest, PeerSilentForAWhileBeforeItsRequestIsServed) {
    // Connections are accepted once data arrives or after a second of silence; a peer that
    // waits longer than that before speaking must be served all the same.
    Fd s(testutil::connectTo("127.0.0.1", sPort));
    ASSERT_TRUE(s.valid());
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_TRUE(testutil::sendAll(s.get(), post()));
    std::string out;
    EXPECT_TRUE(testutil::readUntilClosed(s.get(), &out));
    EXPECT_EQ(out, okResponse(kCommitOkXml));
}

TEST_F(HttpServerTest, ListenerTimeLimitRunningOutKeepsTheServerAccepting) {
    // Accepted sockets inherit the listener's receive time limit, so accept itself gives up
    // with EAGAIN whenever no connection comes within it: that must only mean "wait again".
    const char* failed = nullptr;
    Fd owned(listenTcp(htonl(INADDR_LOOPBACK), 0, &failed));
    ASSERT_TRUE(owned.valid()) << failed;
    const int listener = owned.get();  // the server's from now on
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(listener, reinterpret_cast<sockaddr*>(&local), &len);
    const uint16_t port = ntohs(local.sin_port);
    DiagCapture err(DiagStream::Err);
    std::thread server([&owned] { serveListener(std::move(owned), dispatch); });
    auto exchangeOn = [port] {
        Fd s(testutil::connectTo("127.0.0.1", port));
        std::string out;
        if (!s.valid() || !testutil::sendAll(s.get(), post()) ||
            !testutil::readUntilClosed(s.get(), &out)) {
            return std::string("(no response)");
        }
        return out;
    };
    EXPECT_TRUE(testutil::waitFor([&] { return exchangeOn() == okResponse(kCommitOkXml); }));
    // A short limit from now on: the threads that enter accept next see it run out many times.
    timeval shortLimit = {0, 100 * 1000};
    setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &shortLimit, sizeof shortLimit);
    EXPECT_EQ(exchangeOn(), okResponse(kCommitOkXml));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(exchangeOn(), okResponse(kCommitOkXml));
    EXPECT_EQ(err.text(), "");  // a time limit running out is not an error worth a line
    // Shutting the listener down is a failure for good: the server reports it once and returns.
    shutdown(listener, SHUT_RDWR);
    server.join();
    EXPECT_EQ(err.text(), "accept: Invalid argument\n");
}

TEST_F(HttpServerTest, BurstOfAThousandConnectionsIsSurvived) {
    constexpr int kClients = 4;
    constexpr int kPerClient = 250;
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&ok] {
            // All connections stand at once before any request goes out.
            std::vector<Fd> conns;
            for (int i = 0; i < kPerClient; ++i) {
                conns.emplace_back(testutil::connectTo("127.0.0.1", sPort));
            }
            for (Fd& s : conns) {
                if (s.valid()) testutil::sendAll(s.get(), post());
            }
            for (Fd& s : conns) {
                std::string out;
                if (s.valid() && testutil::readUntilClosed(s.get(), &out) &&
                    out == okResponse(kCommitOkXml)) {
                    ++ok;
                }
            }
        });
    }
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(ok.load(), kClients * kPerClient);
    EXPECT_EQ(exchange({post()}), okResponse(kCommitOkXml));
}

TEST_F(HttpServerTest, AcceptWaitsOutARunOutOfDescriptors) {
    DiagCapture err(DiagStream::Err);
    std::vector<Fd> conns;
    for (int i = 0; i < 3; ++i) conns.emplace_back(socket(AF_INET, SOCK_STREAM, 0));
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    // Every descriptor below the limit is taken: the next accept fails with EMFILE.
    int lowestFree = dup(0);
    close(lowestFree);
    rlimit low{static_cast<rlim_t>(lowestFree), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(sPort);
    sa.sin_addr.s_addr = testutil::addrOf("127.0.0.1");
    for (Fd& s : conns) {
        EXPECT_EQ(connect(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    }
    bool reported = testutil::waitFor(
        [&] { return err.text().find("accept: Too many open files\n") != std::string::npos; });
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(reported);
    // The queued connections are accepted once descriptors are free again.
    for (Fd& s : conns) {
        ASSERT_TRUE(testutil::sendAll(s.get(), post()));
        std::string out;
        EXPECT_TRUE(testutil::readUntilClosed(s.get(), &out));
        EXPECT_EQ(out, okResponse(kCommitOkXml));
    }
}

// ---- Process exits (each in a child process of its own) ----

// Stops and restarts thread creation in this (child) process. The thread limit binds every
// user but root, so root switches to nobody, keeping root as its saved id to come back.
rlimit gSavedNproc{};
bool gWasRoot = false;

void forbidNewThreads() {
    getrlimit(RLIMIT_NPROC, &gSavedNproc);
    gWasRoot = getuid() == 0;
    if (gWasRoot && setresuid(65534, 65534, 0) != 0) _exit(90);
    rlimit none{0, gSavedNproc.rlim_max};
    if (setrlimit(RLIMIT_NPROC, &none) != 0) _exit(91);
}

void allowNewThreads() {
    if (gWasRoot && setresuid(0, 0, 0) != 0) _exit(92);
    setrlimit(RLIMIT_NPROC, &gSavedNproc);
}

class HttpServerDeathTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Each child is a fresh process running this test alone, not a fork of this one.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(HttpServerDeathTest, NullHandlerExits) {
    EXPECT_EXIT(startServerLoop(testutil::freePort(), nullptr), ::testing::ExitedWithCode(1),
                "^RecvCallback is NULL!\n$");
}

TEST_F(HttpServerDeathTest, ServerThreadThatCannotStartExits) {
    EXPECT_EXIT(
        {
            // Exit-time checks of the sanitizers start threads of their own.
            atexit(allowNewThreads);
            forbidNewThreads();
            startServerLoop(testutil::freePort(), replyCommitOk);
            _exit(2);
        },
        ::testing::ExitedWithCode(1),
        "^pthread_create: Resource temporarily unavailable\nCan't create thread... exit now!\n$");
}

TEST_F(HttpServerDeathTest, PortInUseExits) {
    EXPECT_EXIT(
        {
            uint16_t port = testutil::freePort();
            Fd holder(socket(AF_INET, SOCK_STREAM, 0));
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(port);
            if (bind(holder.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
                listen(holder.get(), 1) != 0) {
                _exit(2);
            }
            startServerLoop(port, replyCommitOk);
            sleep(10);
            _exit(3);
        },
        ::testing::ExitedWithCode(1),
        "^bind: Address already in use\nCouldn't open server socket on port [0-9]+\\.\n$");
}

std::atomic<bool> gHold{false};

// Answers once gHold is cleared (within 10 s).
Msg* replyWhenLetGo(Msg* m) {
    for (int i = 0; i < 10000 && gHold; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return new ESMCommitOk(m->getId(), m->getVersion());
}

// While no thread can start, opens connections whose handlers would hold their threads: none is
// closed unanswered; they wait for a thread. Then threads may start again: every one of them and
// a new one are answered. Exits 0 when all of that happened.
void serveThroughThreadShortage() {
    uint16_t port = testutil::freePort();
    gHold = true;
    startServerLoop(port, replyWhenLetGo);
    if (!testutil::waitListening("127.0.0.1", port)) _exit(2);
    std::vector<Fd> held;
    forbidNewThreads();
    for (int i = 0; i < 8; ++i) {
        held.emplace_back(testutil::connectTo("127.0.0.1", port));
        testutil::sendAll(held.back().get(), post());
    }
    for (Fd& s : held) {
        // Still open after a while: the request waits for a thread.
        pollfd p{s.get(), POLLIN, 0};
        if (poll(&p, 1, 300) != 0) _exit(3);
    }
    allowNewThreads();
    gHold = false;
    for (Fd& s : held) {
        std::string out;
        if (!testutil::readUntilClosed(s.get(), &out) || out != okResponse(kCommitOkXml)) _exit(5);
    }
    Fd s(testutil::connectTo("127.0.0.1", port));
    std::string out;
    const bool answered = testutil::sendAll(s.get(), post()) &&
                          testutil::readUntilClosed(s.get(), &out) &&
                          out == okResponse(kCommitOkXml);
    _exit(answered ? 0 : 6);
}

// A thread that cannot be started costs no connection: its request waits for one.
TEST_F(HttpServerDeathTest, ThreadThatCannotStartLosesNoConnection) {
    EXPECT_EXIT(
        serveThroughThreadShortage(), ::testing::ExitedWithCode(0),
        "pthread_create: Resource temporarily unavailable\nCan't create thread... exit now!\n");
}

}  // namespace
