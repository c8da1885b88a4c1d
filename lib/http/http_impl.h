#pragma once

// The pieces of the HTTP message transport behind http.h: the request record, the server thread
// and the one-connection server, the request and response writers, and the head parsers, which
// work on a buffer so that they can be tested on their own.
//
// The framing: a request is "<method> <uri> HTTP/1.1\r\nContent-Length: <n>\r\n\r\n<n bytes>";
// a response is "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: <n>\r\n\r\n<n bytes>" or
// "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n". The head must arrive in the first read.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "http.h"
#include "http_response.h"
#include "http_serve.h"
#include "net_util.h"

// Fixed sizes of the framing.
constexpr size_t kHeadBufSize = 8192;  // one read brings the head: at most this many bytes
constexpr size_t kUriBufSize = 8192;   // the server's uri buffer, NUL included
constexpr size_t kMaxMethodLen = 6;    // method field of 7 characters
constexpr size_t kMaxVersionLen = 9;   // version field of 10 characters
constexpr size_t kMaxReasonLen = 499;  // reason word field of 500 characters
constexpr int kMaxBodyBytes = 64 * 1024 * 1024;  // larger Content-Length values are refused

// What a request may cost, reserved from requestMemoryBudget() as it arrives: the record with
// its URI buffer when the head is in, each body byte as it is received, and libxml2's tree of
// the body once the body is whole, measured at up to 51.2 bytes per byte of text (elements one
// blank apart; 32 for elements alone, about 10 for a list of endpoints). A request whose
// announced length could never fit is refused before its body is read.
constexpr uint64_t kTreeBytesPerBodyByte = 52;
constexpr uint64_t kRequestRecordBytes = 16 * 1024;
inline uint64_t requestCostBytes(int contentLength) {
    const uint64_t n = contentLength > 0 ? static_cast<uint64_t>(contentLength) : 0;
    return kRequestRecordBytes + (n + 1) + kTreeBytesPerBodyByte * n;
}
// How long a request waits for its reservation to fit before it is refused.
constexpr std::chrono::milliseconds kBudgetWait{3000};
// How long a connection refused before its body was read goes on reading (and dropping) that
// body, so that the peer reads the error response instead of a reset.
constexpr int kDiscardBodySec = 5;

// One HTTP request. Allocated with malloc; release it with freeHTTPReq.
struct HTTPReq {
    char method[kMaxMethodLen + 1];  // NUL-terminated
    char* uri;                       // owned, NUL-terminated
    int content_length;              // -1 while no body is set
    char* body;                      // owned, content_length + 1 bytes (NUL-terminated), or null
};

// Releases uri, body and the record; does nothing for null.
void freeHTTPReq(HTTPReq* req);

struct HTTPReqFree {
    void operator()(HTTPReq* r) const { freeHTTPReq(r); }
};
using HTTPReqPtr = std::unique_ptr<HTTPReq, HTTPReqFree>;

// ---- Shared by both sides ----

// Writes head and then body (either may be empty) in one go where the kernel allows; never
// raises SIGPIPE. With a deadline, gives up at it (writeAllvBy); without, each write is bounded
// by the socket's own time-outs. Returns how many bytes of body were written after the whole head.
size_t writeMessage(int sock, const char* head, size_t headLen, const char* body, size_t bodyLen,
                    const Deadline* deadline = nullptr);

// A zero-filled buffer of length + 1 bytes (free() it) for an announced body, or null after a
// line on standard error: for a length of 0 or less, above kMaxBodyBytes, or out of memory.
char* newBodyBuffer(int length);

// Fills body with want bytes: first those of [rest, restEnd), the bytes of the head's read that
// follow the head (any beyond want are ignored), then reads from sock until deadline. Returns
// the count received, short when the peer stopped sending, a read failed or time ran out.
size_t receiveBody(int sock, const char* rest, const char* restEnd, char* body, size_t want,
                   Deadline deadline);

// ---- Server ----

// The server thread's argument; owned by that thread.
struct ThreadParam {
    unsigned short listenport;  // host byte order
    MsgHandler RecvCallback;
};

// A connection thread's argument; owned by that thread.
struct Parameters {
    MsgHandler RecvCallback;
    int sock;          // the accepted connection, closed by the thread
    uint32_t srcaddr;  // peer address, network byte order
    uint16_t srcport;  // peer port, network byte order
};

// A TCP socket listening on port of every IPv4 address (backlog SOMAXCONN), or -1 after perror()
// of the failing call. The caller closes it.
int openServerSocket(unsigned short port);

// Opens the listening socket of its ThreadParam (or exits the process with status 1) and serves
// it; takes ownership of its ThreadParam.
void* serverThread(void* arg);

// Serves one connection on the calling thread with blocking reads and writes: read, decode, call
// the handler, answer, close, add the CPU time the thread used since it last added. Takes
// ownership of its Parameters. Always returns null.
void* HTTPconn(void* arg);

// Reads one request from sock, or returns null after a line on standard error (silently for a
// negative sock). The caller owns the result. The body is always NUL-terminated; bytes that never
// arrived read as 0. The whole request must arrive within kServerRequestTimeoutSec.
HTTPReq* readHTTPRequest(int sock);

// readHTTPRequest with the time limit given as the moment reading ends; a body cut short by it
// is treated like one whose peer stopped sending.
HTTPReq* readHTTPRequestBy(int sock, Deadline deadline);

// How reading a request within a memory reservation ended.
struct RequestRead {
    bool overBudget = false;  // refused before its body was read, after one line on stderr
    size_t unreadBody = 0;    // then: the body bytes the peer has yet to send
};

// readHTTPRequestBy that holds what the request costs in reservation (when not null), waiting for
// memory as it grows; when it does not fit, returns null with read->overBudget set.
HTTPReq* readBudgetedRequest(int sock, Deadline deadline, MemoryReservation* reservation,
                             RequestRead* read);

// Writes the 200 response with text (NUL-terminated) as its body.
void sendHTTPResponse(int sock, const char* text);

// Writes the 400 response.
void sendHTTPError(int sock);

// ---- Client ----

// A request with the method (cut to 6 characters) and a copy of uri, without body. The caller
// releases it with freeHTTPReq; null only when memory ran out.
HTTPReq* newHTTPReq(const char* method, const std::string& uri);

// Gives req a copy of text with its NUL byte as body. Does nothing when either is null, when the
// text is longer than a server accepts, or when memory ran out.
void setBody(HTTPReq* req, const char* text);

// A TCP socket connected to hostname:port (dotted quad, or a name resolved thread-safely), with
// the client's time limits set, or -1 (after perror() except for a null host or port 0).
int openClientSocket(const char* hostname, unsigned short port);

// Connects and writes req; returns the socket, left open for the response, or -1.
int sendHTTPReq(HTTPReq* req, const char* hostname, unsigned short port);

// ---- Head parsing ----
//
// The parsers scan a [begin, end) buffer with the rules of the sscanf formats the framing was
// written with: the text ends at the first NUL byte; whitespace in a format matches any run of
// whitespace, none included; a token is a run of non-whitespace after optional whitespace; a
// number is an optional sign and decimal digits after optional whitespace. A token longer than
// its field fails the scan instead of being cut.

// A run of bytes inside the scanned buffer; valid as long as the buffer is.
struct HeadToken {
    const char* data = nullptr;
    size_t len = 0;
    std::string str() const { return std::string(data, len); }
};

// "%s %s %s\r\n": method (at most 6), uri (below kUriBufSize), version (at most 9).
struct RequestLine {
    HeadToken method;
    HeadToken uri;
    HeadToken version;
    const char* end = nullptr;  // after the whitespace that follows the version
};
bool parseRequestLine(const char* begin, const char* end, RequestLine* out);

// "%s %d %s\r\nConnection: close\r\n": version (at most 9), code, first reason word (at most 499).
// Returns false when one of the three is missing; connectionClose tells whether the header
// followed, and only then is end set (after the whitespace that follows it).
struct StatusLine {
    HeadToken version;
    int code = 0;
    HeadToken reason;
    bool connectionClose = false;
    const char* end = nullptr;
};
bool parseStatusLine(const char* begin, const char* end, StatusLine* out);

// "Content-Length: %d\r\n\r\n" right at begin: the value (saturated to the int range) and where
// the body starts, after the whitespace that follows the number. False when the literal (case
// matters) or the number is missing.
bool parseContentLength(const char* begin, const char* end, int* length, const char** body);
