#include "http_request_reader.h"

#include <cstdlib>
#include <cstring>

#include "diag.h"

RequestReader::RequestReader(MemoryReservation* reservation, bool waitForBudget)
    : mReservation(reservation), mWaitForBudget(waitForBudget) {}

size_t RequestReader::want() const {
    if (mPhase == Phase::Head) return kHeadBufSize;
    return mLength > mReceived ? mLength - mReceived : 1;
}

size_t RequestReader::unreadBody() const {
    return mEnded || mLength <= mReceived ? 0 : mLength - mReceived;
}

RequestReader::Step RequestReader::feed(const char* data, size_t n) {
    if (mPhase == Phase::Head) return parseHead(data, n);
    if (mPhase != Phase::Body) return Step::Done;
    // Bytes beyond the announced body are ignored.
    const size_t take = n < mLength - mReceived ? n : mLength - mReceived;
    memcpy(mReq->body + mReceived, data, take);
    mReceived += take;
    mOwed += take;
    return reserve();
}

RequestReader::Step RequestReader::end() {
    mEnded = true;
    if (mPhase == Phase::Head) return parseHead("", 0);
    if (mPhase == Phase::Body && mReceived < mLength) {
        diagf(DiagStream::Err, "Only received %d bytes of message body out of %d expected.\n",
              static_cast<int>(mReceived), static_cast<int>(mLength));
    }
    return reserve();
}

RequestReader::Step RequestReader::retryBudget(bool lastTry) {
    const Step step = reserve();
    if (step == Step::WaitBudget && lastTry) return refuseForBudget();
    return step;
}

RequestReader::Step RequestReader::parseHead(const char* data, size_t n) {
    // The head must come whole with the first read; later bytes belong to the body. The lines
    // that quote it print its text up to its first NUL byte, as they always have.
    const int shown = static_cast<int>(n < kHeadBufSize ? n : kHeadBufSize);
    const char* headEnd = data + shown;
    mReq.reset(static_cast<HTTPReq*>(calloc(1, sizeof(HTTPReq))));
    if (!mReq) return refuse("out of memory");

    RequestLine line;
    if (!parseRequestLine(data, headEnd, &line)) {
        diagf(DiagStream::Err, "Unexpected header from client:\n%.*s\n", shown, data);
        return refuse(n == 0 ? "no request arrived" : "no request line");
    }
    // The URI takes what it needs (it is below kUriBufSize, or the line would not parse).
    mReq->uri = static_cast<char*>(malloc(line.uri.len + 1));
    if (mReq->uri == nullptr) return refuse("out of memory");
    memcpy(mReq->method, line.method.data, line.method.len);
    mReq->method[line.method.len] = '\0';
    memcpy(mReq->uri, line.uri.data, line.uri.len);
    mReq->uri[line.uri.len] = '\0';

    int length = 0;
    const char* bodyStart = nullptr;
    if (!parseContentLength(line.end, headEnd, &length, &bodyStart)) {
        diagf(DiagStream::Err, "Unexpected content-length from client:\n%.*s\n", shown, data);
        return refuse("no Content-Length after the request line");
    }
    const size_t inHead = static_cast<size_t>(headEnd - bodyStart);
    // Lengths out of range are refused by newBodyBuffer, with their own line. One that could
    // never fit the budget is refused before any of its body is read.
    if (mReservation != nullptr && length > 0 && length <= kMaxBodyBytes &&
        !mReservation->canEverHold(requestCostBytes(length))) {
        mLength = static_cast<size_t>(length);
        mReceived = inHead < mLength ? inHead : mLength;
        return refuseForBudget();
    }
    mReq->body = newBodyBuffer(length);
    if (mReq->body == nullptr) return refuse("Content-Length out of range");
    mReq->content_length = length;
    mLength = static_cast<size_t>(length);
    mPhase = Phase::Body;
    mOwed = kRequestRecordBytes + 1;
    return feed(bodyStart, inHead);
}

bool RequestReader::grow(uint64_t bytes) {
    return mWaitForBudget ? mReservation->grow(bytes) : mReservation->tryGrow(bytes);
}

RequestReader::Step RequestReader::reserve() {
    const bool whole = mEnded || mReceived == mLength;
    if (mReservation != nullptr) {
        // What arrived is held already; the tree is reserved before the body is parsed.
        const uint64_t need = mOwed + (whole ? kTreeBytesPerBodyByte * mReceived : 0);
        if (!grow(need)) return mWaitForBudget ? refuseForBudget() : Step::WaitBudget;
        mOwed = 0;
    }
    if (!whole) return Step::More;
    mPhase = Phase::Done;
    return Step::Done;
}

RequestReader::Step RequestReader::refuse(const char* reason) {
    mReason = reason;
    mPhase = Phase::Done;
    mReq.reset();
    return Step::Refused;
}

RequestReader::Step RequestReader::refuseForBudget() {
    const MemoryBudget& budget = mReservation->budget();
    diagf(DiagStream::Err,
          "memory budget: request of %d bytes refused: needs %llu bytes, %llu of %llu in use\n",
          static_cast<int>(mLength),
          static_cast<unsigned long long>(requestCostBytes(static_cast<int>(mLength))),
          static_cast<unsigned long long>(budget.usedBytes()),
          static_cast<unsigned long long>(budget.limitBytes()));
    mOverBudget = true;
    return refuse("memory budget");
}
