#include "service_notify.h"

#include <cstdlib>
#include <cstring>

ServiceNotifier::ServiceNotifier() {
    const char* name = getenv("NOTIFY_SOCKET");
    if (name == nullptr) return;
    const size_t len = strlen(name);
    // Only absolute paths and abstract names are addresses; anything else is ignored.
    if ((name[0] == '/' || name[0] == '@') && len >= 2 && len < sizeof mAddr.sun_path) {
        mAddr.sun_family = AF_UNIX;
        memcpy(mAddr.sun_path, name, len);
        if (name[0] == '@') mAddr.sun_path[0] = '\0';  // abstract: no terminating NUL counted
        mAddrLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len +
                                          (name[0] == '/' ? 1 : 0));
        mSock = Fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    }
    unsetenv("NOTIFY_SOCKET");
}

bool ServiceNotifier::notify(const char* state) const {
    if (!mSock.valid()) return false;
    const size_t len = strlen(state);
    const ssize_t n = sendto(mSock.get(), state, len, MSG_NOSIGNAL,
                             reinterpret_cast<const struct sockaddr*>(&mAddr), mAddrLen);
    return n == static_cast<ssize_t>(len);
}
