// The proxy simulator's fault modes as a peer sees them: exact bytes on the wire and what the
// project's own client makes of them.
#include <gtest/gtest.h>

#include "Msg.h"
#include "http_response.h"
#include "msg_test_util.h"
#include "overlay_fixture.h"

using namespace overlay;
using msgtest::A;
using msgtest::chars;
using testutil::DiagCapture;

namespace {

TEST(ProxySimFaults, CloseMidReplySendsTheHeadAndHalfTheBody) {
    ProxySim sim("127.0.29.5", 7020, "--close-mid-reply");
    const std::string whole = chars(ESMInitOk(5, 6, A("127.0.29.5"), 32));
    int s = testutil::connectTo("127.0.29.5", 7020);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(
        testutil::sendAll(s, testutil::postRequest("http://x/query", chars(ESMInit(5, 6, 7560)))));
    std::string resp;
    EXPECT_TRUE(testutil::readUntilClosed(s, &resp));
    close(s);
    EXPECT_EQ(resp, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                        std::to_string(whole.size()) + "\r\n\r\n" +
                        whole.substr(0, whole.size() / 2));
    EXPECT_TRUE(testutil::waitFor([&] { return !sim.out().empty(); }));
    EXPECT_EQ(sim.out(), "ESMInit id=5 version=6 data_port=7560\n");
}

TEST(ProxySimFaults, ClientGivesUpOnAReplyCutInTheMiddle) {
    ProxySim sim("127.0.29.6", 7020, "--close-mid-reply");
    std::vector<TransportEndPoint> none;
    ESMCommit commit(7, 8, A("224.5.6.7"), 7560, 0, none);
    const std::string whole = chars(ESMCommitOk(7, 8));
    DiagCapture err(DiagStream::Err);
    int s = sendRequestMsg("127.0.29.6", 7020, &commit);
    ASSERT_GE(s, 0);
    std::unique_ptr<Msg> reply(getResponseMsg(s));
    const std::string text = err.text();
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(text, "Only received " + std::to_string(whole.size() / 2) +
                        " bytes of message body out of " + std::to_string(whole.size()) +
                        " expected.\n");
}

TEST(ProxySimFaults, ClientGivesUpOnAHungProxyAtItsDeadline) {
    ProxySim sim("127.0.29.7", 7020, "--hang");
    ESMInit init(9, 10, 7560);
    DiagCapture err(DiagStream::Err);
    int s = sendRequestMsg("127.0.29.7", 7020, &init);
    ASSERT_GE(s, 0);
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<Msg> reply(
        getResponseMsgBy(s, std::chrono::steady_clock::now() + std::chrono::milliseconds(500)));
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string text = err.text();
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(text, "Unexpected response from server:\n\n");
    EXPECT_GE(took, std::chrono::milliseconds(450));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_TRUE(testutil::waitFor([&] { return !sim.out().empty(); }));
    EXPECT_EQ(sim.out(), "ESMInit id=9 version=10 data_port=7560\n");
}

TEST(ProxySimFaults, HelpNamesEveryFault) {
    testutil::Child help(PROXY_SIM_PATH, {"--help"});
    ASSERT_EQ(help.wait(5000), 0);
    for (const char* fault :
         {"--fail-init", "--wrong-reply", "--fail-commit", "--hang", "--close-mid-reply"}) {
        EXPECT_NE(help.out().find(fault), std::string::npos) << fault;
    }
}

}  // namespace
