// The diagnostics sink: where lines go by default, redirecting and silencing them, one sink call
// per line whatever its length, and perror's text.
#include "diag.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

struct Call {
    DiagStream stream;
    std::string text;
};
std::vector<Call> gCalls;  // only the test's own thread prints here

void record(DiagStream stream, const char* text, size_t len) {
    gCalls.push_back({stream, std::string(text, len)});
}

// Installs record for the test and puts the default back after it.
class DiagSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        gCalls.clear();
        ASSERT_EQ(setDiagSink(record), nullptr);
    }
    void TearDown() override { EXPECT_EQ(setDiagSink(nullptr), record); }
};

TEST(DiagDefault, OutGoesToStandardOutputAndErrToStandardError) {
    // The default sink writes through stdio, so only the descriptors show where it went.
    testutil::CaptureFd out(1), err(2);
    diagf(DiagStream::Out, "to %s\n", "stdout");
    diagf(DiagStream::Err, "to %s\n", "stderr");
    const std::string o = out.text(), e = err.text();
    out.restore();
    err.restore();
    EXPECT_EQ(o, "to stdout\n");
    EXPECT_EQ(e, "to stderr\n");
}

TEST(DiagDefault, DiscardDiagSilencesEverything) {
    testutil::CaptureFd out(1), err(2);
    ASSERT_EQ(setDiagSink(discardDiag), nullptr);
    diagf(DiagStream::Out, "dropped\n");
    errno = EPERM;
    diagPerror("dropped");
    EXPECT_EQ(setDiagSink(nullptr), discardDiag);
    const std::string o = out.text(), e = err.text();
    out.restore();
    err.restore();
    EXPECT_EQ(o + e, "");
}

TEST_F(DiagSinkTest, EachDiagfIsOneWholeCallOnItsStream) {
    const std::string longText(3000, 'x');  // far beyond the formatting buffer on the stack
    diagf(DiagStream::Out, "Got %s from %s:%d\n", "SynthESMReq", "127.0.0.1", 4000);
    diagf(DiagStream::Err, "%s|\n", longText.c_str());
    ASSERT_EQ(gCalls.size(), 2u);
    EXPECT_EQ(gCalls[0].stream, DiagStream::Out);
    EXPECT_EQ(gCalls[0].text, "Got SynthESMReq from 127.0.0.1:4000\n");
    EXPECT_EQ(gCalls[1].stream, DiagStream::Err);
    EXPECT_EQ(gCalls[1].text, longText + "|\n");
}

// A line left open on one stream gets its line feed before diagLine's text, not after.
TEST_F(DiagSinkTest, DiagLineStartsOnALineOfItsOwn) {
    diagf(DiagStream::Err, "sending ESMInit to %s:%d...", "127.0.0.5", 7020);
    diagf(DiagStream::Out, "got ESMInitOk\n");  // the other stream does not close it
    diagLine(DiagStream::Err, "request %d failed\n", 1);
    diagLine(DiagStream::Err, "request %d answered\n", 2);
    ASSERT_EQ(gCalls.size(), 4u);
    EXPECT_EQ(gCalls[2].text, "\nrequest 1 failed\n");
    EXPECT_EQ(gCalls[3].text, "request 2 answered\n");
}

TEST_F(DiagSinkTest, PerrorWritesPerrorsTextAndKeepsErrno) {
    errno = ECONNREFUSED;
    diagPerror("connect");
    EXPECT_EQ(errno, ECONNREFUSED);
    errno = ENOENT;
    diagPerror("");
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(gCalls.size(), 2u);
    EXPECT_EQ(gCalls[0].stream, DiagStream::Err);
    EXPECT_EQ(gCalls[0].text, std::string("connect: ") + strerror(ECONNREFUSED) + "\n");
    EXPECT_EQ(gCalls[1].text, std::string(strerror(ENOENT)) + "\n");
}

// The tests' capture catches lines of every thread and hands the sink back when it ends.
TEST_F(DiagSinkTest, TestCaptureCatchesOtherThreadsAndRestoresTheSink) {
    {
        testutil::DiagCapture out(DiagStream::Out);
        std::thread([] { diagf(DiagStream::Out, "from a thread\n"); }).join();
        diagf(DiagStream::Err, "passes on\n");
        EXPECT_EQ(out.text(), "from a thread\n");
    }
    diagf(DiagStream::Out, "after\n");
    ASSERT_EQ(gCalls.size(), 2u);
    EXPECT_EQ(gCalls[0].text, "passes on\n");
    EXPECT_EQ(gCalls[1].text, "after\n");
}

}  // namespace
