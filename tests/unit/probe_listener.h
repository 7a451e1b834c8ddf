// Loopback TCP listeners for the status probe's tests: the system's own
// socket calls for what the probe never does (bind, listen, accept, recv),
// the net seam for the rest, so the tests run on both platforms. Waits poll
// with a deadline; nothing here sleeps a fixed time to let something happen.
#pragma once
#include <chrono>
#include <cstdio>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET NativeSocket;
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
typedef int NativeSocket;
#endif

#include "platform/net.h"

inline NativeSocket Native(NetSocket socket) { return NativeSocket(socket); }

struct TestListener {
    NetSocket socket;  // listening socket, NoSocket when none
    int port;          // bound TCP port
};

// Listens on the numeric address (127.0.0.1 or ::1) at port, 0 for any free
// port. False when the address cannot be bound here.
inline bool OpenTestListener(const char *address, int port, TestListener *out) {
    out->socket = NoSocket;
    out->port = 0;
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(address, service, &hints, &found) != 0) return false;
    NetSocket listening = NetSocket(socket(found->ai_family, found->ai_socktype, found->ai_protocol));
    bool ready = listening != NoSocket && bind(Native(listening), found->ai_addr, int(found->ai_addrlen)) == 0 &&
                 listen(Native(listening), 16) == 0;
    freeaddrinfo(found);
    sockaddr_storage bound = {};
    socklen_t boundLength = sizeof bound;
    if (ready) ready = getsockname(Native(listening), reinterpret_cast<sockaddr *>(&bound), &boundLength) == 0;
    if (!ready) {
        if (listening != NoSocket) NetCloseSocket(listening);
        return false;
    }
    out->socket = listening;
    out->port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                            : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    return true;
}

inline void CloseTestListener(TestListener *listener) {
    if (listener->socket != NoSocket) NetCloseSocket(listener->socket);
    listener->socket = NoSocket;
}

// Takes connections that reached the listener, up to want of them, until
// the deadline. Each taken connection is checked to have been closed by the
// client without a byte being sent. Returns how many passed that check.
inline int AcceptClosedConnections(TestListener *listener, int want, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    NetSetNonBlocking(listener->socket);
    int closedQuietly = 0;
    for (int taken = 0; taken < want && std::chrono::steady_clock::now() < deadline;) {
        NetSocket connection = NetSocket(accept(Native(listener->socket), nullptr, nullptr));
        if (connection == NoSocket) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        taken++;
        NetSetNonBlocking(connection);
        char byte;
        int received = -1;  // nothing yet: would block
        while (received < 0 && std::chrono::steady_clock::now() < deadline) {
            received = int(recv(Native(connection), &byte, 1, 0));
            if (received < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (received == 0) closedQuietly++;  // orderly close, no data
        NetCloseSocket(connection);
    }
    return closedQuietly;
}
