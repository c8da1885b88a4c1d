// The message client against one-connection fake servers on loopback: the request bytes it
// writes, and what it makes of exact responses, whole or in segments.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http_impl.h"
#include "msg_test_util.h"
#include "net_util.h"
#include "test_util.h"

using msgtest::kCommitOkXml;
using msgtest::kInitXml;
using testutil::DiagCapture;
using testutil::okResponse;

namespace {

std::string okHead(size_t length) {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(length) +
           "\r\n\r\n";
}

// Accepts one connection on 127.0.0.1, reads the request through its announced body, sends the
// parts as segments of their own and closes. With resetOnData it closes the connection with a
// reset as soon as request bytes arrive, without reading them.
class FakeServer {
public:
    explicit FakeServer(std::vector<std::string> parts, bool resetOnData = false)
        : mListener(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = testutil::addrOf("127.0.0.1");
        socklen_t len = sizeof sa;
        bind(mListener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(mListener.get(), 1);
        getsockname(mListener.get(), reinterpret_cast<sockaddr*>(&sa), &len);
        mPort = ntohs(sa.sin_port);
        mThread = std::thread([this, parts, resetOnData] { serve(parts, resetOnData); });
    }
    ~FakeServer() {
        if (mThread.joinable()) mThread.join();
    }

    uint16_t port() const { return mPort; }

    // The request bytes as received; waits for the exchange to end.
    std::string request() {
        if (mThread.joinable()) mThread.join();
        return mRequest;
    }

private:
    void serve(const std::vector<std::string>& parts, bool resetOnData) {
        pollfd p{mListener.get(), POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return;
        Fd conn(accept(mListener.get(), nullptr, nullptr));
        if (resetOnData) {
            pollfd in{conn.get(), POLLIN, 0};
            poll(&in, 1, 10000);
            linger reset{1, 0};
            setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            return;
        }
        char buf[8192];
        while (!requestComplete()) {
            pollfd in{conn.get(), POLLIN, 0};
            if (poll(&in, 1, 10000) != 1) break;
            ssize_t n = recv(conn.get(), buf, sizeof buf, 0);
            if (n <= 0) break;
            mRequest.append(buf, static_cast<size_t>(n));
        }
        testutil::sendSegments(conn.get(), parts, 100);
    }

    bool requestComplete() const {
        size_t headEnd = mRequest.find("\r\n\r\n");
        if (headEnd == std::string::npos) return false;
        size_t at = mRequest.find("Content-Length: ");
        size_t length = at < headEnd ? std::stoul(mRequest.substr(at + 16)) : 0;
        return mRequest.size() >= headEnd + 4 + length;
    }

    Fd mListener;
    uint16_t mPort = 0;
    std::string mRequest;
    std::thread mThread;
};

// One exchange with a fresh ESMInit(7, 8, 5000) to the fake.
std::unique_ptr<Msg> exchange(FakeServer& fake, const char* host = "127.0.0.1") {
    ESMInit init(7, 8, 5000);
    int s = sendRequestMsg(host, fake.port(), &init);
    EXPECT_GT(s, 0);
    return std::unique_ptr<Msg>(getResponseMsg(s));
}

bool isClosed(int fd) {
    return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

TEST(HttpClientTest, RequestIsWrittenByteForByteAndTheReplyDecoded) {
    FakeServer fake({okResponse(kCommitOkXml)});
    DiagCapture err(DiagStream::Err);
    ESMInit init(7, 8, 5000);
    int s = sendRequestMsg("127.0.0.1", fake.port(), &init);
    ASSERT_GT(s, 0);
    // A server that stops answering holds the caller for a bounded time only.
    timeval readLimit{}, writeLimit{};
    socklen_t len = sizeof readLimit;
    getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &readLimit, &len);
    len = sizeof writeLimit;
    getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &writeLimit, &len);
    EXPECT_EQ(readLimit.tv_sec, kClientIoTimeoutSec);
    EXPECT_EQ(writeLimit.tv_sec, kClientIoTimeoutSec);

    std::unique_ptr<Msg> reply(getResponseMsg(s));
    // Any response type comes back; the caller checks the one it expects.
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->getType(), "ESMCommitOk");
    EXPECT_EQ(reply->getId(), 7u);
    EXPECT_EQ(reply->getVersion(), 8u);
    std::string port = std::to_string(fake.port());
    EXPECT_EQ(fake.request(), "POST http://127.0.0.1:" + port +
                                  "/query HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + kInitXml +
                                  std::string(1, '\0'));
    EXPECT_EQ(err.text(), "");
}

TEST(HttpClientTest, HostNameIsResolved) {
    FakeServer fake({okResponse(kCommitOkXml)});
    std::unique_ptr<Msg> reply = exchange(fake, "localhost");
    ASSERT_TRUE(reply);
    EXPECT_EQ(fake.request().substr(0, 22 + std::to_string(fake.port()).size()),
              "POST http://localhost:" + std::to_string(fake.port()));
}

// Responses in pieces, cut short or followed by more bytes are decoded all the same; the last two
// are reported.
TEST(HttpClientTest, UsableResponsesAreDecodedAndTheirFlawsReported) {
    const size_t n = kCommitOkXml.size();
    const struct {
        std::vector<std::string> parts;
        std::string err;
    } cases[] = {
        {{okHead(n), kCommitOkXml.substr(0, 20), kCommitOkXml.substr(20, 30),
          kCommitOkXml.substr(50)},
         ""},
        {{okHead(n + 50) + kCommitOkXml},
         "Only received " + std::to_string(n) + " bytes of message body out of " +
             std::to_string(n + 50) + " expected.\n"},
        {{okResponse(kCommitOkXml), "XYZ"}, "3 extra bytes read!\n#XYZ#\n"},
    };
    for (const auto& c : cases) {
        FakeServer fake(c.parts);
        DiagCapture err(DiagStream::Err);
        std::unique_ptr<Msg> reply = exchange(fake);
        ASSERT_TRUE(reply) << c.parts[0];
        EXPECT_EQ(reply->getType(), "ESMCommitOk");
        EXPECT_EQ(err.text(), c.err);
    }
}

TEST(HttpClientTest, ErrorResponseGivesItsCodeAndFirstWordAndNull) {
    FakeServer fake({"HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n"});
    DiagCapture err(DiagStream::Err);
    ESMInit init(7, 8, 5000);
    int s = sendRequestMsg("127.0.0.1", fake.port(), &init);
    ASSERT_GT(s, 0);
    EXPECT_EQ(getResponseMsg(s), nullptr);
    EXPECT_TRUE(isClosed(s));
    EXPECT_EQ(err.text(), "Error 400 Bad\n");
}

TEST(HttpClientTest, BodiesWithoutAResponseClassGiveNullSilently) {
    DiagCapture err(DiagStream::Err);
    for (const std::string& body :
         {kInitXml, std::string("<?xml version=\"1.0\"?>\n<Unknown><id>1</id></Unknown>\n"),
          std::string("not XML at all"), std::string("<ESMCommitOk><id>1</id></ESMCommitOk>")}) {
        FakeServer fake({okResponse(body)});
        EXPECT_EQ(exchange(fake), nullptr) << body;
    }
    EXPECT_EQ(err.text(), "");
}

TEST(HttpClientTest, MalformedResponseHeadsAreUnexpected) {
    const std::vector<std::string> heads = {
        "hello\r\n\r\n",
        "HTTP/1.1 200\r\n\r\n",
        "HTTP/1.1 200 OK\r\nServer: fake\r\nConnection: close\r\nContent-Length: 5\r\n\r\n",
        "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n",
        "HTTP/1.1 200 OK\r\nConnection: close\r\ncontent-length: 5\r\n\r\n",
    };
    for (const std::string& head : heads) {
        FakeServer fake({head + "<a/>\n"});
        DiagCapture err(DiagStream::Err);
        EXPECT_EQ(exchange(fake), nullptr);
        EXPECT_EQ(err.text(), "Unexpected response from server:\n" + head + "<a/>\n\n");
    }
}

TEST(HttpClientTest, BadContentLengthsAreRefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0", "Body length is: 0\n"},
        {"-3", "Body length is: -3\n"},
        {"67108865", "Body length 67108865 is above the limit of 67108864 bytes\n"},
    };
    for (const auto& c : cases) {
        FakeServer fake(
            {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + c.first + "\r\n\r\n"});
        DiagCapture err(DiagStream::Err);
        EXPECT_EQ(exchange(fake), nullptr);
        EXPECT_EQ(err.text(), c.second);
    }
}

// A server that trickles its body a byte at a time cannot hold the caller past the deadline.
TEST(HttpClientTest, TricklingResponseIsCutAtTheDeadline) {
    std::vector<std::string> parts{okHead(kCommitOkXml.size())};
    for (char c : kCommitOkXml) parts.emplace_back(1, c);
    FakeServer fake(parts);
    ESMInit init(7, 8, 5000);
    int s = sendRequestMsg("127.0.0.1", fake.port(), &init);
    ASSERT_GT(s, 0);
    DiagCapture err(DiagStream::Err);
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<Msg> reply(
        getResponseMsgBy(s, std::chrono::steady_clock::now() + std::chrono::milliseconds(700)));
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string text = err.text();
    EXPECT_EQ(reply, nullptr);
    EXPECT_TRUE(isClosed(s));
    int received = 0, announced = 0;
    ASSERT_EQ(sscanf(text.c_str(), "Only received %d bytes of message body out of %d expected.\n",
                     &received, &announced),
              2)
        << text;
    EXPECT_EQ(announced, static_cast<int>(kCommitOkXml.size()));
    EXPECT_LT(received, announced);
    EXPECT_LT(took, std::chrono::seconds(5));  // the trickle alone would last 8 s
}

TEST(HttpClientTest, PortZeroOrNoHostFailsAtOnceAndSilently) {
    DiagCapture err(DiagStream::Err);
    ESMInit init(7, 8, 5000);
    EXPECT_EQ(sendRequestMsg("127.0.0.1", 0, &init), -1);
    EXPECT_EQ(sendRequestMsg(nullptr, 80, &init), -1);
    EXPECT_EQ(openClientSocket("127.0.0.1", 0), -1);
    EXPECT_EQ(getResponseMsg(-1), nullptr);
    EXPECT_EQ(err.text(), "");
}

TEST(HttpClientTest, ConnectionOnDescriptorZeroIsUsed) {
    FakeServer fake({okResponse(kCommitOkXml)});
    // With standard input closed, the client's socket gets descriptor 0.
    Fd savedStdin(dup(0));
    close(0);
    ESMInit init(7, 8, 5000);
    int s = sendRequestMsg("127.0.0.1", fake.port(), &init);
    std::unique_ptr<Msg> reply(getResponseMsg(s));
    dup2(savedStdin.get(), 0);
    EXPECT_EQ(s, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->getType(), "ESMCommitOk");
}

TEST(HttpClientTest, UnresolvableHostIsReported) {
    // A label this long is refused by the resolver itself, so no query leaves the host.
    std::string host(300, 'a');
    DiagCapture err(DiagStream::Err);
    ESMInit init(7, 8, 5000);
    EXPECT_EQ(sendRequestMsg(host.c_str(), 80, &init), -1);
    EXPECT_EQ(err.text(), host + ": No such device or address\n");
}

TEST(HttpClientTest, RefusedConnectionIsReported) {
    DiagCapture err(DiagStream::Err);
    ESMInit init(7, 8, 5000);
    EXPECT_EQ(sendRequestMsg("127.0.0.1", testutil::freePort(), &init), -1);
    EXPECT_EQ(err.text(), "connect: Connection refused\n");
}

TEST(HttpClientTest, WritingToAServerThatLeftDoesNotEndTheProcess) {
    FakeServer fake({}, true);
    // Far more than the socket buffers hold, so that writes meet the reset.
    std::vector<MulticastEndPoint> eps(50000, MulticastEndPoint(0x030201e1, 4000, 64));
    std::vector<MulticastEndPoint> none;
    SynthESMOk big(7, 8, eps, none);
    DiagCapture err(DiagStream::Err);
    int s = sendRequestMsg("127.0.0.1", fake.port(), &big);
    ASSERT_GT(s, 0);
    EXPECT_EQ(getResponseMsg(s), nullptr);
    EXPECT_EQ(err.text(), "Unexpected response from server:\n\n");
}

// A peer that reads steadily but slowly (1 KiB every 5 ms through a small window) cannot hold
// the request past the deadline: every write waits only for the time left.
TEST(HttpClientTest, SlowReaderCannotStretchTheRequestPastTheDeadline) {
    Fd listener(socket(AF_INET, SOCK_STREAM, 0));
    const int small = 4096;
    setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = testutil::addrOf("127.0.0.1");
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        pollfd p{listener.get(), POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return;
        Fd conn(accept(listener.get(), nullptr, nullptr));
        char buf[1024];
        for (int i = 0; i < 2000 && !stop; ++i) {  // 10 s at most
            recv(conn.get(), buf, sizeof buf, MSG_DONTWAIT);
            usleep(5000);
        }
    });
    // About 8 MiB of request: twice what the largest socket buffers hold.
    std::vector<EndPoint> eps(300000, EndPoint(0x0302010a));
    std::vector<EndZone> zones;
    SynthESMReq req(7, 8, eps, zones);
    uint32_t addrNet = 0;
    int err = 0;
    const auto start = std::chrono::steady_clock::now();
    Fd s(sendRequestMsgBy("127.0.0.1", ntohs(sa.sin_port), &req, start + std::chrono::seconds(1),
                          &addrNet, &err));
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    stop = true;
    reader.join();
    EXPECT_TRUE(s.valid()) << err;
    EXPECT_LT(tookMs, 2000);
}

TEST(HttpClientTest, RequestRecordAndItsHeadWithoutBody) {
    HTTPReqPtr req(newHTTPReq("PROPFIND", "/x"));
    ASSERT_TRUE(req);
    EXPECT_STREQ(req->method, "PROPFI");
    EXPECT_STREQ(req->uri, "/x");
    EXPECT_EQ(req->content_length, -1);
    EXPECT_EQ(req->body, nullptr);
    setBody(req.get(), nullptr);
    EXPECT_EQ(req->content_length, -1);
    setBody(req.get(), "ab");
    EXPECT_EQ(req->content_length, 3);
    EXPECT_EQ(std::string(req->body, 3), std::string("ab\0", 3));

    FakeServer fake({okResponse(kCommitOkXml)});
    HTTPReqPtr bare(newHTTPReq("GET", "/x"));
    Fd s(sendHTTPReq(bare.get(), "127.0.0.1", fake.port()));
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(fake.request(), "GET /x HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(sendHTTPReq(nullptr, "127.0.0.1", fake.port()), -1);
}

}  // namespace
