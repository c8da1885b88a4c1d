#pragma once

// Telling the service manager how the daemon is doing: one datagram per state change to the
// socket named by $NOTIFY_SOCKET ("READY=1" once it serves, "STOPPING=1" when it begins to end).
// Without the variable nothing is sent.

#include <sys/socket.h>
#include <sys/un.h>

#include "net_util.h"

class ServiceNotifier {
public:
    // Reads $NOTIFY_SOCKET (a path, or "@name" for an abstract address) and removes it from the
    // environment, so that the programs the daemon runs do not inherit it. Call before any other
    // thread starts: it changes the environment.
    ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // Sends state ("READY=1"); false when there is nowhere to send it or sending failed. Never
    // blocks. Thread-safe.
    bool notify(const char* state) const;

private:
    Fd mSock;
    struct sockaddr_un mAddr = {};
    socklen_t mAddrLen = 0;
};
