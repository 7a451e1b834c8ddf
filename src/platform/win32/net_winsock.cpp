// Network backend for Windows: the net seam over Winsock 2 (ws2_32). Every
// user starts and cleans up the library itself (WSAStartup is counted), so
// probes that overlap do not undo each other's start-up. Sockets need no
// close-on-exec flag: the game is started without inherited handles.
// Leaves out overlapped and event-based sockets: one select() is all the
// probe waits with.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/net.h"

// Winsock's INVALID_SOCKET is all bits set, which NoSocket is too.
static_assert(sizeof(SOCKET) == sizeof(NetSocket), "a NetSocket holds a SOCKET");

static SOCKET AsSocket(NetSocket socket) { return SOCKET(socket); }

static const addrinfo *FirstAddress(const NetAddresses *addresses) {
    return reinterpret_cast<const addrinfo *>(addresses);
}

bool NetStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void NetCleanup() { WSACleanup(); }

NetAddresses *NetResolveIpv4(const char *host, const char *service) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    if (getaddrinfo(host, service, &hints, &addresses) != 0) return nullptr;
    return reinterpret_cast<NetAddresses *>(addresses);
}

void NetFreeAddresses(NetAddresses *addresses) {
    if (addresses != nullptr) freeaddrinfo(reinterpret_cast<addrinfo *>(addresses));
}

NetSocket NetOpenSocket(const NetAddresses *addresses) {
    const addrinfo *first = FirstAddress(addresses);
    SOCKET socket = ::socket(first->ai_family, first->ai_socktype, first->ai_protocol);
    return socket == INVALID_SOCKET ? NoSocket : NetSocket(socket);
}

void NetStartConnect(NetSocket socket, const NetAddresses *addresses) {
    const addrinfo *first = FirstAddress(addresses);
    (void)connect(AsSocket(socket), first->ai_addr, int(first->ai_addrlen));
}

void NetCloseSocket(NetSocket socket) { closesocket(AsSocket(socket)); }

void NetSetNonBlocking(NetSocket socket) {
    u_long on = 1;
    ioctlsocket(AsSocket(socket), FIONBIO, &on);
}

// Only the write set is passed: Winsock reports a failed connection attempt
// in the exception set, so a refused server simply lets the wait run out.
int NetWaitWritable(NetSocket socket, int timeoutMs) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(AsSocket(socket), &writable);
    timeval limit;
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    return select(0, nullptr, &writable, nullptr, &limit);
}

// Writable already means connected on Winsock; the checks cost nothing and
// keep the outcome right on stacks (Wine's among them) that also report a
// failed attempt as writable.
bool NetConnectionEstablished(NetSocket socket) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(AsSocket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0 || error != 0)
        return false;
    sockaddr_storage peer;
    int peerLength = sizeof peer;
    return getpeername(AsSocket(socket), reinterpret_cast<sockaddr *>(&peer), &peerLength) == 0;
}
