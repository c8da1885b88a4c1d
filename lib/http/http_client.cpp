#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "EndPoint.h"
#include "diag.h"
#include "http_impl.h"
#include "malloc_ptr.h"
#include "net_util.h"

HTTPReq* newHTTPReq(const char* method, const std::string& uri) {
    HTTPReqPtr req(static_cast<HTTPReq*>(calloc(1, sizeof(HTTPReq))));
    if (!req) return nullptr;
    if (method != nullptr) strncat(req->method, method, kMaxMethodLen);
    req->uri = static_cast<char*>(malloc(uri.size() + 1));
    if (req->uri == nullptr) return nullptr;
    memcpy(req->uri, uri.c_str(), uri.size() + 1);
    req->content_length = -1;
    req->body = nullptr;
    return req.release();
}

void setBody(HTTPReq* req, const char* text) {
    if (req == nullptr || text == nullptr) return;
    size_t n = strlen(text) + 1;  // the NUL byte travels too
    if (n > static_cast<size_t>(kMaxBodyBytes)) return;
    char* copy = static_cast<char*>(malloc(n));
    if (copy == nullptr) return;
    memcpy(copy, text, n);
    free(req->body);
    req->body = copy;
    req->content_length = static_cast<int>(n);
}

int openClientSocket(const char* hostname, unsigned short port) {
    if (hostname == nullptr || port == 0) return -1;
    uint32_t addrNet = 0;
    int err = 0;
    if (!resolveIPv4(hostname, &addrNet, &err)) {
        errno = err;
        diagPerror(hostname);
        return -1;
    }
    int sock = connectTcp(addrNet, port, kClientConnectTimeoutMs);
    if (sock < 0) {
        diagPerror("connect");
        return -1;
    }
    setIoTimeouts(sock, kClientIoTimeoutSec);
    return sock;
}

namespace {

// The whole reason phrase of a status line from its first word on (the head's own token stops
// at a blank): printable characters up to the line end, at most 80 of them.
std::string reasonPhrase(const char* begin, const char* end) {
    std::string out;
    for (const char* p = begin; p != nullptr && p < end && *p != '\r' && *p != '\n'; ++p) {
        if (out.size() == 80) break;
        out += (*p >= 0x20 && *p < 0x7f) ? *p : '?';
    }
    return out;
}

// Writes the request on the connected sock, giving up at deadline when there is one; a failed
// write shows when the response is read.
void writeHTTPReq(int sock, const HTTPReq* req, const Deadline* deadline = nullptr) {
    bool hasBody = req->content_length > 0 && req->body != nullptr;
    std::string head;
    head.append(req->method).append(" ").append(req->uri).append(" HTTP/1.1\r\n");
    head.append("Content-Length: ")
        .append(hasBody ? std::to_string(req->content_length) : "0")
        .append("\r\n\r\n");
    // A failed write shows when the response is read.
    writeMessage(sock, head.data(), head.size(), hasBody ? req->body : nullptr,
                 hasBody ? static_cast<size_t>(req->content_length) : 0, deadline);
}

// The POST request carrying msg to addr:port, or null.
HTTPReq* newMsgRequest(const char* addr, unsigned short port, Msg* msg) {
    std::string uri = std::string("http://") + addr + ":" + std::to_string(port) + "/query";
    HTTPReqPtr req(newHTTPReq("POST", uri));
    MallocText text(msg->getChars());
    if (!req || !text) return nullptr;
    setBody(req.get(), text.get());
    if (req->body == nullptr) return nullptr;
    return req.release();
}

}  // namespace

int sendHTTPReq(HTTPReq* req, const char* hostname, unsigned short port) {
    if (req == nullptr) return -1;
    int sock = openClientSocket(hostname, port);
    if (sock < 0) return -1;
    writeHTTPReq(sock, req);
    return sock;
}

int sendRequestMsg(const char* addr, unsigned short port, Msg* msg) {
    if (addr == nullptr || port == 0 || msg == nullptr) return -1;
    HTTPReqPtr req(newMsgRequest(addr, port, msg));
    if (!req) return -1;
    return sendHTTPReq(req.get(), addr, port);
}

int sendRequestMsgBy(const char* addr, unsigned short port, Msg* msg, Deadline deadline,
                     uint32_t* addrNet, int* err) {
    *addrNet = 0;
    *err = EINVAL;
    if (addr == nullptr || port == 0 || msg == nullptr) return -1;
    HTTPReqPtr req(newMsgRequest(addr, port, msg));
    if (!req) return -1;
    uint32_t resolved = 0;
    if (!resolveIPv4By(addr, deadline, &resolved, err)) return -1;
    *addrNet = resolved;
    const int leftMs = msUntil(deadline);
    if (leftMs == 0) {
        *err = ETIMEDOUT;
        return -1;
    }
    Fd sock(connectTcp(resolved, port, leftMs));
    if (!sock.valid()) {
        *err = errno;
        return -1;
    }
    writeHTTPReq(sock.get(), req.get(), &deadline);
    *err = 0;
    return sock.release();
}

Msg* getResponseMsg(int sock) {
    return readResponseMsg(sock, nullptr);
}

Msg* readResponseMsg(int sock, ResponseInfo* info) {
    return getResponseMsgBy(
        sock, std::chrono::steady_clock::now() + std::chrono::seconds(kClientResponseTimeoutSec),
        info);
}

Msg* getResponseMsgBy(int sock, Deadline deadline, ResponseInfo* info) {
    ResponseInfo ignored;
    if (info == nullptr) info = &ignored;
    *info = ResponseInfo();
    // Descriptor 0 is a socket like any other when standard input was closed.
    if (sock < 0) {
        info->result = ResponseResult::NoResponse;
        return nullptr;
    }
    Fd conn(sock);

    // The head must come whole with the first read; later bytes belong to the body.
    char head[kHeadBufSize + 1] = {};
    ssize_t got = readSomeBy(sock, head, kHeadBufSize, deadline);
    const bool timedOut = got < 0 && (errno == ETIMEDOUT || errno == EAGAIN);
    const char* headEnd = head + (got > 0 ? got : 0);

    StatusLine status;
    if (!parseStatusLine(head, headEnd, &status)) {
        diagf(DiagStream::Err, "Unexpected response from server:\n%s\n", head);
        info->result = got > 0 ? ResponseResult::BadResponse : ResponseResult::NoResponse;
        info->timedOut = timedOut;
        return nullptr;
    }
    info->status = status.code;
    if (status.code != 200) {
        diagf(DiagStream::Err, "Error %d %s\n", status.code, status.reason.str().c_str());
        info->result = ResponseResult::ErrorStatus;
        info->reason = reasonPhrase(status.reason.data, headEnd);
        return nullptr;
    }
    int length = 0;
    const char* bodyStart = nullptr;
    info->result = ResponseResult::BadResponse;
    if (!status.connectionClose || !parseContentLength(status.end, headEnd, &length, &bodyStart)) {
        diagf(DiagStream::Err, "Unexpected response from server:\n%s\n", head);
        return nullptr;
    }
    MallocText body(newBodyBuffer(length));
    if (!body) return nullptr;
    size_t want = static_cast<size_t>(length);
    size_t received = receiveBody(sock, bodyStart, headEnd, body.get(), want, deadline);
    info->result = received < want ? ResponseResult::ShortBody : ResponseResult::Undecodable;
    if (received < want) {
        diagf(DiagStream::Err, "Only received %d bytes of message body out of %d expected.\n",
              static_cast<int>(received), length);
    } else {
        // The server closes after the body, so this read normally sees the end of the stream.
        char extra[kHeadBufSize + 1] = {};
        ssize_t n = readSomeBy(sock, extra, kHeadBufSize, deadline);
        if (n > 0)
            diagf(DiagStream::Err, "%d extra bytes read!\n#%s#\n", static_cast<int>(n), extra);
    }
    Msg* reply = parseMsg(body.get(), received, MsgTable::Responses);
    if (reply != nullptr) info->result = ResponseResult::Ok;
    return reply;
}
