// Network backend for Linux: the net seam over BSD sockets (getaddrinfo,
// socket, connect, poll). They need no library start-up; sockets are opened
// close-on-exec; the wait is a poll() for POLLOUT because select() cannot
// hold a descriptor numbered FD_SETSIZE or above, which a launcher with many
// open files may get.
// Leaves out retrying a wait interrupted by a signal: that probe reports
// unreachable and the next one, 20 s later, corrects it.
#include "platform/net.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

bool NetStartup() { return true; }

void NetCleanup() {}

static const addrinfo *FirstAddress(const NetAddresses *addresses) {
    return reinterpret_cast<const addrinfo *>(addresses);
}

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
    int socket = ::socket(first->ai_family, first->ai_socktype | SOCK_CLOEXEC, first->ai_protocol);
    return socket < 0 ? NoSocket : NetSocket(socket);
}

void NetStartConnect(NetSocket socket, const NetAddresses *addresses) {
    const addrinfo *first = FirstAddress(addresses);
    (void)connect(int(socket), first->ai_addr, first->ai_addrlen);
}

void NetCloseSocket(NetSocket socket) { close(int(socket)); }

void NetSetNonBlocking(NetSocket socket) {
    int flags = fcntl(int(socket), F_GETFL, 0);
    if (flags != -1) fcntl(int(socket), F_SETFL, flags | O_NONBLOCK);
}

int NetWaitWritable(NetSocket socket, int timeoutMs) {
    struct pollfd entry = {};
    entry.fd = int(socket);
    entry.events = POLLOUT;
    return poll(&entry, 1, timeoutMs);
}

// A refused or unreachable server makes the socket writable too (with
// POLLERR), so the pending error must be 0. That alone is not proof on
// every stack: one that reports a refusal from connect() itself has handed
// the error over already and SO_ERROR reads 0, but the socket has no peer.
bool NetConnectionEstablished(NetSocket socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(int(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
    struct sockaddr_storage peer;
    socklen_t peerLength = sizeof peer;
    return getpeername(int(socket), reinterpret_cast<struct sockaddr *>(&peer), &peerLength) == 0;
}
