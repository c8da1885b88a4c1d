#pragma once

// slp-da's sockets: one thread serves UDP and TCP from a poll loop and hands each whole message to
// the DirectoryAgent. Each round serves a bounded batch of datagrams and of messages per TCP
// connection, so that neither side starves the other. A TCP message must arrive whole, and its
// reply be taken, within a deadline from its first byte; idle connections are closed after a
// while. When the table is full, the longest-idle connection, or failing that the longest
// stalled request, makes room for a new one.

#include <netinet/in.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net_util.h"
#include "slp_agent.h"

namespace slpda {

struct ServerConfig {
    size_t maxConnections = 256;
    int messageDeadlineMs = 5000;  // first byte of a request to the last byte of its reply
    int idleCloseMs = 300000;      // a connection with nothing under way
};

class Server {
public:
    // tcp listens and udp is bound, both on addrNet (maybe INADDR_ANY) and the same port.
    Server(DirectoryAgent* agent, uint32_t addrNet, Fd tcp, Fd udp, ServerConfig cfg);
    ~Server();

    // Serves until *stop is set. Whenever *reload is set, clears it and calls onReload between
    // two messages. Returns false after a poll failure (reported with perror).
    bool run(const volatile sig_atomic_t* stop, volatile sig_atomic_t* reload,
             const std::function<void()>& onReload);

private:
    struct Conn;

    void serveUdp();
    void sendUdp(const std::vector<std::vector<uint8_t>>& replies,
                 std::vector<struct sockaddr_in>& to, const std::vector<uint32_t>& from);
    // Log lines wait in mLog and leave with one write per batch, before the batch's replies.
    void log(const std::string& line);
    void flushLog();
    void acceptAll();
    // The connection to close for a new one when the table is full: the longest-idle one or,
    // when none is idle, the one whose request stalled longest; either must have been quiet
    // for a second (a client's request arrives in well under that), so only a peer that holds
    // a connection without using it loses out. end() when there is none.
    std::vector<Conn>::iterator roomVictim(int64_t nowMs);
    bool serveConn(Conn* c, int64_t nowMs);
    void closeExpired(int64_t nowMs);
    int pollTimeoutMs(int64_t nowMs, bool moreWork) const;

    DirectoryAgent* mAgent;
    uint32_t mAddrNet;
    Fd mTcp;
    Fd mUdp;
    ServerConfig mCfg;
    std::vector<Conn> mConns;
    size_t mUdpSlot;               // bytes per datagram: the largest message read
    std::vector<uint8_t> mUdpBuf;  // a slot for each datagram of a batch
    std::string mLog;
};

}  // namespace slpda
