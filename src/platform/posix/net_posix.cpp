// Network seam on POSIX: BSD sockets need no library start-up; the wait is
// a poll() for POLLOUT because select() cannot hold a descriptor numbered
// FD_SETSIZE or above, which a launcher with many open files may get.
// Leaves out retrying a wait interrupted by a signal: that probe reports
// unreachable and the next one, 20 s later, corrects it.
#include "platform/net.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

bool NetStartup() { return true; }

void NetCleanup() {}

void NetCloseSocket(NetSocket socket) { close(socket); }

void NetSetNonBlocking(NetSocket socket) {
    int flags = fcntl(socket, F_GETFL, 0);
    if (flags != -1) fcntl(socket, F_SETFL, flags | O_NONBLOCK);
}

int NetWaitWritable(NetSocket socket, int timeoutMs) {
    struct pollfd entry = {};
    entry.fd = socket;
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
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
    struct sockaddr_storage peer;
    socklen_t peerLength = sizeof peer;
    return getpeername(socket, reinterpret_cast<struct sockaddr *>(&peer), &peerLength) == 0;
}
