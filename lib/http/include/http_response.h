#pragma once

// Reading a response together with the reason it yielded no message, for programs that explain
// a failure to a person instead of only reporting it.

#include <cstdint>
#include <string>

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
    std::string reason;  // the status line's reason phrase (ErrorStatus)
    bool timedOut = false;
};

// getResponseMsg, also telling why it returned null when info is not null.
Msg* readResponseMsg(int sock, ResponseInfo* info);

// getResponseMsg (whose whole response must arrive within kClientResponseTimeoutSec) with the
// time limit given as the moment reading ends.
Msg* getResponseMsgBy(int sock, Deadline deadline, ResponseInfo* info = nullptr);

// sendRequestMsg with the whole exchange bounded: resolving addr, connecting and every later
// write give up at deadline (pass the same deadline to getResponseMsgBy). Prints nothing.
// Returns the connected socket, or -1 with *err an errno value (ENXIO: no such host; ETIMEDOUT:
// no connection by the deadline). *addrNet is the address tried, 0 when none was.
int sendRequestMsgBy(const char* addr, unsigned short port, Msg* msg, Deadline deadline,
                     uint32_t* addrNet, int* err);
