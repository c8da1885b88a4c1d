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
