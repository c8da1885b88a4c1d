#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http_impl.h"
#include "net_util.h"

size_t writeHead(int sock, const char* head, size_t len, bool bodyFollows) {
    // Without MSG_MORE the body would wait for the head's ACK (Nagle), which the peer delays.
    int flags = MSG_NOSIGNAL | (bodyFollows ? MSG_MORE : 0);
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(sock, head + done, len - done, flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

char* newBodyBuffer(int length) {
    if (length <= 0) {
        fprintf(stderr, "Body length is: %d\n", length);
        return nullptr;
    }
    // The length comes from the peer: never allocate more than a message can sensibly need.
    if (length > kMaxBodyBytes) {
        fprintf(stderr, "Body length %d is above the limit of %d bytes\n", length, kMaxBodyBytes);
        return nullptr;
    }
    char* body = static_cast<char*>(calloc(static_cast<size_t>(length) + 1, 1));
    if (body == nullptr) fprintf(stderr, "Cannot allocate a body of %d bytes\n", length);
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
