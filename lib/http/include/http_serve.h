#pragma once

// Serving a listening socket that the caller opened, with the transport's accept loop and
// connection threads: for peers such as a proxy simulator that pick their own address.

#include "http.h"
#include "net_util.h"

// Accepts connections on listener for good (until accept fails for a reason that is not
// transient) and serves each on a connection thread of its own. Sets listener's time limits
// (they bound how long an idle connection thread waits) and takes it over: it is closed when the
// last connection thread has left, which may be after this returns.
void serveListener(Fd listener, MsgHandler handler);

// ---- Stopping the server and watching its connections ----
//
// Every listener served in this process (startServerLoop's and serveListener's) takes part.

// Connections being served right now: idle ones are accepted and wait for their request to
// arrive whole, busy ones are being answered. Each count may lag the other by a connection.
// Thread-safe and cheap (two atomic reads).
struct ServerConnections {
    int idle;
    int busy;
};
ServerConnections serverConnections();

// Waits until startServerLoop's listening socket is open. True once it is; false when it is not
// after timeoutMs (when it cannot be opened at all, the server thread ends the process).
bool waitServerListening(int timeoutMs);

// Stops accepting on every listener, for good: from now on connections are refused, and the
// threads waiting for one end quietly. Connections already accepted are served to the end.
// Thread-safe; calling it again does nothing more.
void stopServing();

// After stopServing, waits until every connection has been served and its thread has left the
// server, at most timeoutMs. True when none is left.
bool waitServingEnded(int timeoutMs);

// Called on the connection thread each time the server answers a request with the error
// response before any handler saw it (the request did not arrive whole, was not a message, or
// was beyond a limit), so that a program can count refusals. Null removes it. Thread-safe.
using RefusalObserver = void (*)();
void setRefusalObserver(RefusalObserver observer);
