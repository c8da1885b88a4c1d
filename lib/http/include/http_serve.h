#pragma once

// Serving a listening socket that the caller opened or that was handed over, with the
// transport's event loop and handler threads, and controlling the servers of the process.

#include <cstdint>

#include "http.h"
#include "net_util.h"

// Serves listener with handler on the calling thread's event loop until accept fails for good
// (after a line) or stopServing, and every connection accepted has been answered. Takes the
// listener over and closes it.
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

// Stops accepting on every listener, for good. Connections already queued on a socket the
// process opened itself are still taken and served, then it is closed, so new connections are
// refused; a handed-over socket keeps queueing for the next process. Connections already
// accepted are served to the end. Thread-safe; calling it again does nothing more.
void stopServing();

// After stopServing, waits until every connection accepted has been answered and closed, at
// most timeoutMs. True when none is left.
bool waitServingEnded(int timeoutMs);

// A request the server answered with the error response before any handler saw it (it did not
// arrive whole, was not a message, or was beyond a limit): who sent it and why, in a few words.
struct RefusalInfo {
    uint32_t peerAddr;  // network byte order
    uint16_t peerPort;  // host byte order
    const char* reason;
};
// Called on a server thread for each such request, so that a program can count and report
// refusals. Null removes it. Thread-safe.
using RefusalObserver = void (*)(const RefusalInfo& refusal);
void setRefusalObserver(RefusalObserver observer);

// Serves listener, a listening TCP socket handed over by a service manager, with handler on a
// server thread of its own, as startServerLoop serves the socket it opens (including its line
// "Listening on port N"). Stopping never closes the socket for the manager: connections go on
// queueing there for the next process. Exits the process with status 1 like startServerLoop.
void startServerLoopOn(Fd listener, MsgHandler handler);

// The most handler threads of each server started from now on (256 unless set); complete
// requests beyond them wait in order.
void setMaxWorkers(int n);
