#pragma once

// Reading a response together with the reason it yielded no message, for programs that explain
// a failure to a person instead of only reporting it.

#include "http.h"
#include "net_util.h"

// Why a response yielded no message, for callers that explain it to a person.
enum class ResponseResult {
    Ok,
    NoResponse,   // nothing arrived: the server closed, or the read timed out (timedOut)
    ErrorStatus,  // a status other than 200 (status)
    BadResponse,  // a head that is not the framing, or an announced length that cannot be
    ShortBody,    // the body stopped early and what arrived does not decode
    Undecodable,  // the body is not a response message
};
struct ResponseInfo {
    ResponseResult result = ResponseResult::Ok;
    int status = 0;
    bool timedOut = false;
};

// getResponseMsg, also telling why it returned null when info is not null.
Msg* readResponseMsg(int sock, ResponseInfo* info);

// getResponseMsg (whose whole response must arrive within kClientResponseTimeoutSec) with the
// time limit given as the moment reading ends.
Msg* getResponseMsgBy(int sock, Deadline deadline, ResponseInfo* info = nullptr);
