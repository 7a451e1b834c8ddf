// Network seam for Windows: Winsock 2 (ws2_32). Every user starts and cleans
// up the library itself (WSAStartup is counted), so probes that overlap do
// not undo each other's start-up.
// Leaves out overlapped and event-based sockets: one select() is all the
// probe waits with.
#include "platform/net.h"

bool NetStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void NetCleanup() { WSACleanup(); }

void NetCloseSocket(NetSocket socket) { closesocket(socket); }

void NetSetNonBlocking(NetSocket socket) {
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
}

// Only the write set is passed: Winsock reports a failed connection attempt
// in the exception set, so a refused server simply lets the wait run out.
int NetWaitWritable(NetSocket socket, int timeoutMs) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket, &writable);
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
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0 || error != 0)
        return false;
    sockaddr_storage peer;
    int peerLength = sizeof peer;
    return getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &peerLength) == 0;
}
