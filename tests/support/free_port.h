// Ports for network tests on the loopback interface.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A port of `type` (SOCK_DGRAM, SOCK_STREAM) on 127.0.0.1 that nothing uses now: the system's
// choice for port 0; 0 if none.
inline int freePort(int type) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

inline int freeUdpPort() {
    return freePort(SOCK_DGRAM);
}

inline int freeTcpPort() {
    return freePort(SOCK_STREAM);
}
