#pragma once

// A listening socket handed over by the service manager (socket activation: LISTEN_PID,
// LISTEN_FDS, descriptors from 3), so that connections wait in its queue while the daemon is
// away between an exit and its restart instead of being refused.

#include <string>

#include "net_util.h"

enum class HandedSocket {
    None,     // nothing was handed over: the daemon listens itself
    Adopted,  // *socket is the listening TCP/IPv4 socket on the port
    Bad,      // something else was handed over; *problem says what
};

// Takes what the service manager handed over and removes its variables from the environment, so
// that the programs the daemon runs do not take it for theirs. A port of 0 accepts any port.
// Call before any other thread starts: it changes the environment.
HandedSocket adoptHandedSocket(unsigned short port, Fd* socket, std::string* problem);
