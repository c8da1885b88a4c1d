#pragma once

// One request of the message transport and its answer, shared by the event loop's exchanges and
// the blocking one-connection server (HTTPconn).

#include <memory>
#include <string>

#include "event_server.h"
#include "http_impl.h"
#include "malloc_ptr.h"
#include "memory_budget.h"

// The response to one request: the 200 head with the serialised reply, or the error response.
struct Answer {
    serve::Response response;
    MallocText body;  // the reply's text, which response.body points into
    bool ok = false;  // a 200 with a body

    void refuse();
    // The 200 response around text (from getChars), which the answer then owns.
    void reply(char* text);
};

// Decodes req (whose lists are reserved in reservation), runs handler with the peer and the
// connection fd set on the message, and sets *out to the response (the error response, after
// its line, when there is no reply). Runs on a worker or connection thread.
void answerRequest(MsgHandler handler, const HTTPReq* req, const serve::Peer& peer, int fd,
                   MemoryReservation* reservation, Answer* out);

// The 200 head for a body of bodyLen bytes, and the error response.
std::string okResponseHead(size_t bodyLen);
std::string errorResponseHead();

// "Warning: Could only write ..." for a 200 response whose body went out short.
void reportShortWrite(size_t written, size_t total);

// Tells the refusal observer (http_serve.h) that peer got the error response for reason.
void noteRefusal(const serve::Peer& peer, const char* reason);

// The event loop's exchange for a connection from peer, served with handler.
std::unique_ptr<serve::Exchange> newMessageExchange(MsgHandler handler, const serve::Peer& peer);
