#pragma once

// Reading one request of the transport's framing from the bytes of successive reads, whatever
// does the reading: the event loop (reads as they become possible, memory waited for by polling)
// or a thread of its own (blocking reads, memory waited for in place).

#include <cstddef>
#include <string>

#include "http_impl.h"
#include "memory_budget.h"

class RequestReader {
public:
    enum class Step {
        More,        // read more, at most want() bytes
        WaitBudget,  // the memory for what arrived is not there yet: retryBudget() later
        Done,        // take() the request
        Refused,     // the error response: a line on standard error is out (see reason())
    };

    // reservation (may be null: no budget) holds what the request costs as it arrives: a fixed
    // share for the record, each body byte as it is received, and the parsed tree's share once
    // the body is whole. With waitForBudget a reservation waits for memory itself (grow) and
    // WaitBudget never comes back; otherwise it only tries (tryGrow).
    RequestReader(MemoryReservation* reservation, bool waitForBudget);
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

    // How many bytes the next read may bring: the head's single read, then the rest of the body.
    size_t want() const;
    // The n > 0 bytes of one read. The first call holds the whole head: what arrives later is
    // the body.
    Step feed(const char* data, size_t n);
    // Nothing more arrives: the peer closed, a read failed or time ran out. A body cut short is
    // served with what arrived.
    Step end();
    // After WaitBudget: tries again; lastTry refuses when the memory is still not there.
    Step retryBudget(bool lastTry);

    // Done: the request, for the caller to own.
    HTTPReq* take() { return mReq.release(); }
    // Refused for want of memory (the line said so), with the body bytes not yet sent.
    bool overBudget() const { return mOverBudget; }
    size_t unreadBody() const;
    // Why a request was refused, in a few words.
    const char* reason() const { return mReason; }

private:
    enum class Phase { Head, Body, Done };
    Step parseHead(const char* data, size_t n);
    Step reserve();
    Step refuse(const char* reason);
    Step refuseForBudget();
    bool grow(uint64_t bytes);

    MemoryReservation* const mReservation;
    const bool mWaitForBudget;
    Phase mPhase = Phase::Head;
    HTTPReqPtr mReq;
    size_t mLength = 0;    // announced body length
    size_t mReceived = 0;  // body bytes received
    uint64_t mOwed = 0;    // bytes held and not yet reserved
    bool mEnded = false;   // nothing more arrives
    bool mOverBudget = false;
    const char* mReason = "";
};
