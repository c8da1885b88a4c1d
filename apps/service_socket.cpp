#include "service_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstring>

namespace {

int socketOption(int fd, int option) {
    int value = 0;
    socklen_t len = sizeof value;
    return getsockopt(fd, SOL_SOCKET, option, &value, &len) == 0 ? value : -1;
}

// What fd is, in words: "a TCP/IPv6 socket listening on port 7000", "a UDP/IPv4 socket on port
// 7000", "not a socket".
std::string describe(int fd) {
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return "not a socket";
    const int domain = socketOption(fd, SO_DOMAIN);
    const int type = socketOption(fd, SO_TYPE);
    const char* family = domain == AF_INET    ? "IPv4"
                         : domain == AF_INET6 ? "IPv6"
                         : domain == AF_UNIX  ? "Unix"
                                              : "other";
    const char* kind = type == SOCK_STREAM ? "stream" : type == SOCK_DGRAM ? "datagram" : "other";
    if (domain == AF_INET || domain == AF_INET6) kind = type == SOCK_STREAM ? "TCP" : "UDP";
    std::string text = std::string("a ") + kind + "/" + family + " socket";
    struct sockaddr_storage sa = {};
    socklen_t len = sizeof sa;
    if ((domain == AF_INET || domain == AF_INET6) &&
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&sa), &len) == 0) {
        const uint16_t port = domain == AF_INET
                                  ? reinterpret_cast<struct sockaddr_in*>(&sa)->sin_port
                                  : reinterpret_cast<struct sockaddr_in6*>(&sa)->sin6_port;
        text += socketOption(fd, SO_ACCEPTCONN) == 1 ? " listening on port " : " on port ";
        text += std::to_string(ntohs(port));
    } else if (socketOption(fd, SO_ACCEPTCONN) == 1) {
        text += " that listens";
    }
    return text;
}

}  // namespace

HandedSocket adoptHandedSocket(unsigned short port, Fd* socket, std::string* problem) {
    const int n = sd_listen_fds(1);
    if (n == 0) return HandedSocket::None;
    const std::string wanted = "a listening TCP/IPv4 socket on port " + std::to_string(port);
    if (n < 0) {
        *problem = "the sockets handed over cannot be taken: " + std::string(strerror(-n));
        return HandedSocket::Bad;
    }
    if (n > 1) {
        *problem =
            std::to_string(n) + " sockets were handed over; the daemon serves one, " + wanted;
        return HandedSocket::Bad;
    }
    const int fd = SD_LISTEN_FDS_START;
    if (sd_is_socket_inet(fd, AF_INET, SOCK_STREAM, 1, port) <= 0) {
        *problem = "the socket handed over is not " + wanted + ": it is " + describe(fd);
        return HandedSocket::Bad;
    }
    // The node loader and the other programs the daemon runs must not inherit it.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    *socket = Fd(fd);
    return HandedSocket::Adopted;
}
