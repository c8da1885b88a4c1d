// The request-line, status-line and Content-Length scanners on plain buffers.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "http_impl.h"

namespace {

bool requestLine(const std::string& head, RequestLine* out) {
    return parseRequestLine(head.data(), head.data() + head.size(), out);
}

bool statusLine(const std::string& head, StatusLine* out) {
    return parseStatusLine(head.data(), head.data() + head.size(), out);
}

// The Content-Length value and the text where the body starts, or "FAIL".
std::string contentLength(const std::string& text, int* length) {
    const char* body = nullptr;
    if (!parseContentLength(text.data(), text.data() + text.size(), length, &body)) return "FAIL";
    return std::string(body, text.data() + text.size());
}

TEST(HttpHeadTest, RequestLineTakesThreeTokensAndTheWhitespaceAfter) {
    std::string head = "POST http://h:1/query HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    RequestLine l;
    ASSERT_TRUE(requestLine(head, &l));
    EXPECT_EQ(l.method.str(), "POST");
    EXPECT_EQ(l.uri.str(), "http://h:1/query");
    EXPECT_EQ(l.version.str(), "HTTP/1.1");
    EXPECT_EQ(std::string(l.end), "Content-Length: 3\r\n\r\nabc");
}

TEST(HttpHeadTest, RequestLineWhitespaceIsAnyRunIncludingTabsAndNone) {
    RequestLine l;
    std::string spaced = "\r\n GET\t\t/other  HTTP/1.0\n\n\tX";
    ASSERT_TRUE(requestLine(spaced, &l));
    EXPECT_EQ(l.method.str(), "GET");
    EXPECT_EQ(l.uri.str(), "/other");
    EXPECT_EQ(l.version.str(), "HTTP/1.0");
    EXPECT_EQ(std::string(l.end), "X");

    // No line end at all: the offset is the end of the text.
    std::string head = "POST / HTTP/1.1";
    ASSERT_TRUE(requestLine(head, &l));
    EXPECT_EQ(l.end, head.data() + head.size());
}

TEST(HttpHeadTest, RequestLineWithFewerThanThreeTokensFails) {
    RequestLine l;
    EXPECT_FALSE(requestLine("", &l));
    EXPECT_FALSE(requestLine(" \r\n\r\n", &l));
    EXPECT_FALSE(requestLine("POST", &l));
    EXPECT_FALSE(requestLine("POST /query\r\n", &l));
}

TEST(HttpHeadTest, RequestLineRefusesTokensLongerThanTheirFields) {
    RequestLine l;
    EXPECT_TRUE(requestLine("DELETE / HTTP/10.1\r\n", &l));  // 6 and 9 characters fit
    EXPECT_FALSE(requestLine("PROPFIND / HTTP/1.1\r\n", &l));
    EXPECT_FALSE(requestLine("POST / HTTP/1.1.1\r\n", &l));
    EXPECT_FALSE(requestLine("POST / HTTP/1.1Content-Length: 5\r\n", &l));
    EXPECT_FALSE(requestLine("POST " + std::string(kUriBufSize, 'u') + " HTTP/1.1\r\n", &l));
    EXPECT_TRUE(requestLine("POST " + std::string(kUriBufSize - 1, 'u') + " HTTP/1.1\r\n", &l));
}

TEST(HttpHeadTest, ScanningStopsAtTheFirstNulByte) {
    std::string head("POST\0 / HTTP/1.1\r\n", 18);
    RequestLine l;
    EXPECT_FALSE(requestLine(head, &l));

    int length = 0;
    EXPECT_EQ(contentLength(std::string("Content-\0Length: 5", 18), &length), "FAIL");
}

TEST(HttpHeadTest, ContentLengthNeedsTheExactLiteralAtOnce) {
    int length = 0;
    EXPECT_EQ(contentLength("Content-Length: 42\r\n\r\n<a/>", &length), "<a/>");
    EXPECT_EQ(length, 42);
    EXPECT_EQ(contentLength("Content-Length:7<a/>", &length), "<a/>");
    EXPECT_EQ(length, 7);
    EXPECT_EQ(contentLength("Content-Length: \t+9 \n", &length), "");
    EXPECT_EQ(length, 9);

    EXPECT_EQ(contentLength("content-length: 42\r\n\r\n", &length), "FAIL");
    EXPECT_EQ(contentLength("Host: x\r\nContent-Length: 42\r\n\r\n", &length), "FAIL");
    EXPECT_EQ(contentLength(" Content-Length: 42\r\n\r\n", &length), "FAIL");
    EXPECT_EQ(contentLength("Content-Length: \r\n\r\n", &length), "FAIL");
    EXPECT_EQ(contentLength("Content-Length: -\r\n", &length), "FAIL");
    EXPECT_EQ(contentLength("Content-Length", &length), "FAIL");
}

TEST(HttpHeadTest, ContentLengthKeepsSignAndSaturates) {
    int length = 0;
    EXPECT_EQ(contentLength("Content-Length: -5\r\n\r\n", &length), "");
    EXPECT_EQ(length, -5);
    EXPECT_EQ(contentLength("Content-Length: 0\r\n\r\n", &length), "");
    EXPECT_EQ(length, 0);
    EXPECT_EQ(contentLength("Content-Length: 99999999999\r\n\r\n", &length), "");
    EXPECT_EQ(length, INT_MAX);
    EXPECT_EQ(contentLength("Content-Length: -99999999999\r\n\r\n", &length), "");
    EXPECT_EQ(length, INT_MIN);
}

TEST(HttpHeadTest, BodyStartsAfterAllWhitespaceFollowingTheNumber) {
    int length = 0;
    // Whitespace in the format matches any run, so leading body whitespace is eaten too.
    EXPECT_EQ(contentLength("Content-Length: 5\r\n\r\n \n<a/>", &length), "<a/>");
    // A number followed at once by other bytes ends there; the body starts with them.
    EXPECT_EQ(contentLength("Content-Length: 12abc", &length), "abc");
    EXPECT_EQ(length, 12);
}

TEST(HttpHeadTest, StatusLineOfTheSuccessResponse) {
    std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\n<a/>";
    StatusLine s;
    ASSERT_TRUE(statusLine(head, &s));
    EXPECT_EQ(s.version.str(), "HTTP/1.1");
    EXPECT_EQ(s.code, 200);
    EXPECT_EQ(s.reason.str(), "OK");
    ASSERT_TRUE(s.connectionClose);
    EXPECT_EQ(std::string(s.end), "Content-Length: 5\r\n\r\n<a/>");
}

TEST(HttpHeadTest, StatusLineOfTheErrorResponseGivesItsFirstReasonWord) {
    StatusLine s;
    std::string head = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";
    ASSERT_TRUE(statusLine(head, &s));
    EXPECT_EQ(s.code, 400);
    EXPECT_EQ(s.reason.str(), "Bad");
    EXPECT_FALSE(s.connectionClose);  // "Request" stands where the header should
}

TEST(HttpHeadTest, StatusLineNeedsConnectionCloseRightAfterIt) {
    StatusLine s;
    ASSERT_TRUE(statusLine("HTTP/1.1 200 OK\r\nServer: x\r\nConnection: close\r\n", &s));
    EXPECT_FALSE(s.connectionClose);
    ASSERT_TRUE(statusLine("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n", &s));
    EXPECT_FALSE(s.connectionClose);
    ASSERT_TRUE(statusLine("HTTP/1.1 200 OK\r\nconnection: close\r\n", &s));
    EXPECT_FALSE(s.connectionClose);
    ASSERT_TRUE(statusLine("HTTP/1.1 200 OK Connection:close", &s));
    EXPECT_TRUE(s.connectionClose);
}

TEST(HttpHeadTest, IncompleteOrOversizedStatusLineFails) {
    StatusLine s;
    EXPECT_FALSE(statusLine("", &s));
    EXPECT_FALSE(statusLine("HTTP/1.1", &s));
    EXPECT_FALSE(statusLine("HTTP/1.1 OK 200\r\n", &s));
    EXPECT_FALSE(statusLine("HTTP/1.1 200\r\n", &s));
    EXPECT_FALSE(statusLine("HTTP/1.1.1 200 OK\r\n", &s));
    EXPECT_TRUE(statusLine("HTTP/1.1 500 " + std::string(kMaxReasonLen, 'r'), &s));
    EXPECT_FALSE(statusLine("HTTP/1.1 500 " + std::string(kMaxReasonLen + 1, 'r'), &s));
}

}  // namespace
