// One request of the message transport from its first byte to its answer: reading it within its
// memory reservation, decoding it, running the handler and framing the response. The event loop
// drives it through MessageExchange; HTTPconn and readHTTPRequest drive the same code with
// blocking reads on a thread of their own.

#include "http_exchange.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "diag.h"
#include "http_request_reader.h"
#include "malloc_ptr.h"
#include "num_util.h"
#include "request_memory.h"

namespace {

const char kHttpVersion[] = "HTTP/1.1";

std::atomic<RefusalObserver> gRefusalObserver{nullptr};

void observeRefusal(const serve::Peer& peer, const char* reason) {
    if (RefusalObserver observer = gRefusalObserver.load()) {
        observer(RefusalInfo{peer.addr, ntohs(peer.port), reason});
    }
}

const char* undecodableReason(DecodeStatus status) {
    switch (status) {
        case DecodeStatus::UnknownType:
            return "not a request message";
        case DecodeStatus::NotXml:
            return "body not XML";
        case DecodeStatus::NoRoot:
            return "body without a root element";
        case DecodeStatus::Doctype:
            return "body declares a document type";
        case DecodeStatus::Unbacked:
            return "list counts not backed by entries";
        case DecodeStatus::OverBudget:
            return "memory budget";
        default:
            return "body without the elements of its type";
    }
}

void reportUndecodable(DecodeStatus status, const DecodeLimits& limits,
                       const MemoryReservation& reservation) {
    switch (status) {
        case DecodeStatus::UnknownType:
            diagf(DiagStream::Err, "undefined request type\n");
            break;
        case DecodeStatus::NotXml:
            diagf(DiagStream::Err, "request body is not a well-formed XML document\n");
            break;
        case DecodeStatus::NoRoot:
            diagf(DiagStream::Err, "request document has no root element\n");
            break;
        case DecodeStatus::Doctype:
            diagf(DiagStream::Err, "request document declares a document type\n");
            break;
        case DecodeStatus::Unbacked:
            diagf(DiagStream::Err,
                  "request lists announce counts other than the entries they hold\n");
            break;
        case DecodeStatus::OverBudget:
            diagf(DiagStream::Err,
                  "memory budget: request lists refused: need %llu bytes, %llu of %llu in use\n",
                  static_cast<unsigned long long>(limits.listBytes),
                  static_cast<unsigned long long>(reservation.budget().usedBytes()),
                  static_cast<unsigned long long>(reservation.budget().limitBytes()));
            break;
        default:
            diagf(DiagStream::Err, "request document does not have the elements of its type\n");
            break;
    }
}

// The request as the event loop reads and answers it.
class MessageExchange : public serve::Exchange {
public:
    MessageExchange(MsgHandler handler, const serve::Peer& peer)
        : mHandler(handler),
          mPeer(peer),
          mReservation(&requestMemoryBudget(), kBudgetWait),
          mReader(&mReservation, false) {}

    size_t readLimit() const override { return mReader.want(); }
    Next received(const char* data, size_t n) override { return next(mReader.feed(data, n)); }
    Next ended(bool) override { return next(mReader.end()); }
    Next retryBudget(bool lastTry) override { return next(mReader.retryBudget(lastTry)); }

    void handle(const serve::Peer& peer, int fd) override {
        HTTPReqPtr req(mReader.take());
        answerRequest(mHandler, req.get(), peer, fd, &mReservation, &mAnswer);
        // What the request held is given back now rather than once the answer is out.
        req.reset();
        if (mReservation.bytes() > serve::kGiveBackAfterBytes) serve::giveBackFreedMemory();
    }
    const serve::Response& response() const override { return mAnswer.response; }
    void written(size_t bodyBytes, bool complete) override {
        if (mAnswer.ok && !complete) reportShortWrite(bodyBytes, mAnswer.response.bodyLen);
    }
    size_t unreadAfterReply() const override {
        return mReader.overBudget() ? mReader.unreadBody() : 0;
    }

private:
    Next next(RequestReader::Step step) {
        switch (step) {
            case RequestReader::Step::More:
                return Next::Read;
            case RequestReader::Step::WaitBudget:
                return Next::WaitBudget;
            case RequestReader::Step::Done:
                return Next::Handle;
            case RequestReader::Step::Refused:
                break;
        }
        // Over budget, the request was refused with its own line before it was read.
        if (!mReader.overBudget()) diagf(DiagStream::Err, "readHTTPRequest returned NULL\n");
        mAnswer.refuse();
        observeRefusal(mPeer, mReader.reason());
        return Next::Reply;
    }

    const MsgHandler mHandler;
    const serve::Peer mPeer;
    MemoryReservation mReservation;
    RequestReader mReader;
    Answer mAnswer;
};

}  // namespace

std::string okResponseHead(size_t bodyLen) {
    char length[kI32TextSize];
    formatI32(static_cast<int32_t>(bodyLen), length);
    return std::string(kHttpVersion) + " 200 OK\r\nConnection: close\r\nContent-Length: " + length +
           "\r\n\r\n";
}

std::string errorResponseHead() {
    return std::string(kHttpVersion) + " 400 Bad Request\r\nConnection: close\r\n\r\n";
}

void Answer::refuse() {
    response.head = errorResponseHead();
    response.body = nullptr;
    response.bodyLen = 0;
    ok = false;
}

void Answer::reply(char* text) {
    body.reset(text);
    response.bodyLen = strlen(text);
    response.head = okResponseHead(response.bodyLen);
    response.body = text;
    ok = true;
}

void reportShortWrite(size_t written, size_t total) {
    diagf(DiagStream::Err, "Warning: Could only write %d bytes out of %d total!\n",
          static_cast<int>(written), static_cast<int>(total));
}

void noteRefusal(const serve::Peer& peer, const char* reason) {
    observeRefusal(peer, reason);
}

void answerRequest(MsgHandler handler, const HTTPReq* req, const serve::Peer& peer, int fd,
                   MemoryReservation* reservation, Answer* out) {
    if (handler == nullptr) {
        diagf(DiagStream::Err, "RecvCallback is NULL!\n");
        out->refuse();
        return;
    }
    // Clients send the text with its NUL byte, which is not part of the document.
    DecodeStatus status = DecodeStatus::Ok;
    DecodeLimits limits;
    limits.reservation = reservation;
    limits.backedCounts = true;
    std::unique_ptr<Msg> request(
        parseMsg(req->body, strlen(req->body), MsgTable::Requests, &status, &limits));
    if (!request) {
        reportUndecodable(status, limits, *reservation);
        observeRefusal(peer, undecodableReason(status));
        out->refuse();
        return;
    }
    request->setSrcAddr(peer.addr);
    request->setSrcPort(ntohs(peer.port));
    request->sock = fd;

    std::unique_ptr<Msg> reply(handler(request.get()));
    request.reset();
    if (!reply) {
        diagf(DiagStream::Err, "RecvCallback returned NULL\n");
        out->refuse();
        return;
    }
    char* text = reply->getChars();
    if (text == nullptr) {
        diagf(DiagStream::Err, "reply could not be serialised\n");
        out->refuse();
        return;
    }
    out->reply(text);
}

std::unique_ptr<serve::Exchange> newMessageExchange(MsgHandler handler, const serve::Peer& peer) {
    return std::make_unique<MessageExchange>(handler, peer);
}

void setRefusalObserver(RefusalObserver observer) {
    gRefusalObserver.store(observer);
}
