#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "http_impl.h"
#include "net_util.h"

size_t writeMessage(int sock, const char* head, size_t headLen, const char* body, size_t bodyLen,
                    const Deadline* deadline) {
    // One call: a head sent on its own would wait for its acknowledgement (Nagle) before the
    // body could follow, and every system call counts at this rate of requests.
    struct iovec iov[2] = {{const_cast<char*>(head), headLen}, {const_cast<char*>(body), bodyLen}};
    const int count = bodyLen > 0 ? 2 : 1;
    size_t written = deadline != nullptr ? writeAllvBy(sock, iov, count, *deadline)
                                         : writeAllv(sock, iov, count);
    return written > headLen ? written - headLen : 0;
}

char* newBodyBuffer(int length) {
    if (length <= 0) {
        diagf(DiagStream::Err, "Body length is: %d\n", length);
        return nullptr;
    }
    // The length comes from the peer: never allocate more than a message can sensibly need.
    if (length > kMaxBodyBytes) {
        diagf(DiagStream::Err, "Body length %d is above the limit of %d bytes\n", length,
              kMaxBodyBytes);
        return nullptr;
    }
    char* body = static_cast<char*>(calloc(static_cast<size_t>(length) + 1, 1));
    if (body == nullptr) diagf(DiagStream::Err, "Cannot allocate a body of %d bytes\n", length);
    return body;
}

size_t receiveBody(int sock, const char* rest, const char* restEnd, char* body, size_t want,
                   Deadline deadline) {
    size_t received = static_cast<size_t>(restEnd - rest);
    if (received > want) received = want;
    memcpy(body, rest, received);
    while (received < want) {
        ssize_t n = readSomeBy(sock, body + received, want - received, deadline);
        if (n <= 0) break;
        received += static_cast<size_t>(n);
    }
    return received;
}
