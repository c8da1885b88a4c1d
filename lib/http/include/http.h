#pragma once

// The HTTP message transport: one XML message per request and per response, one request per
// connection. The server reads requests on an event loop and hands each decoded request to the
// application's handler on a worker thread once it is whole; the client posts a message and
// reads the reply.

#include <pthread.h>

#include <cstdint>

#include "Msg.h"
#include "memory_budget.h"

// The message handler. Runs on a worker thread, possibly concurrently with itself. It gets the
// decoded request with sock (non-blocking, the connection), source address and source port set,
// must not delete it, and returns a new reply that the server sends and deletes, or null for the
// error response.
typedef Msg* (*MsgHandler)(Msg* request);

// Starts the server thread, which listens on port and serves every connection with handler, and
// returns at once. Call once per process, before any other thread uses libxml2. Exits the
// process with status 1 when handler is null or the thread cannot be started; the server thread
// exits it with status 1 when it cannot listen on port.
void startServerLoop(unsigned short port, MsgHandler handler);

// Sets the limit of requestMemoryBudget() (1 GiB unless set). Call before its first use, which
// startServerLoop and serveListener make.
void setRequestMemoryBudgetLimit(uint64_t bytes);

// The budget of every request a server of this process has in flight. A connection reserves what
// its request holds as it arrives (the body bytes received, then the XML tree of it, up to 53
// times the body) and, before the decoder allocates list vectors, what they may take; a request
// whose memory is not there within 3 s gets the error response, and one whose announced length
// could never fit gets it at once. limitBytes() and usedBytes() may be read from any thread.
MemoryBudget& requestMemoryBudget();

// Posts msg to addr:port ("http://addr:port/query") and returns the connected socket for
// getResponseMsg, or -1 (nothing left open). addr is a dotted quad or a host name; the caller
// keeps msg. Thread-safe.
int sendRequestMsg(const char* addr, unsigned short port, Msg* msg);

// Reads the response on sock, closes sock and returns the decoded reply, which the caller
// deletes, or null (after a line on standard error when the response itself was wrong; at once
// and silently for a negative sock).
// Thread-safe.
Msg* getResponseMsg(int sock);

// The CPU time the calling thread alone has used so far, in microseconds.
void get_rusage_times(long* utime, long* stime);

// CPU time in microseconds that the servers' workers and event loops spent, added as requests
// are answered (and now and then by each loop). Read and write them only under global_time_mut.
extern pthread_mutex_t global_time_mut;
extern long global_utime;  // guarded by global_time_mut
extern long global_stime;  // guarded by global_time_mut

// Sets both sums to 0; call before startServerLoop.
void global_time_init();
// Adds to both sums under global_time_mut.
void global_time_add(long utime, long stime);
