// Network seam: the few socket calls in which Winsock and BSD sockets differ,
// so the status probe can be written once over getaddrinfo, socket and
// connect. Backends: win32/net_winsock.cpp (Winsock 2, ws2_32) and
// posix/net_posix.cpp.
// Leaves out everything the probe does not need: no data is ever sent or
// received, and only client stream sockets are opened.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET NetSocket;
constexpr NetSocket NoSocket = INVALID_SOCKET;
// Nothing to add: the game is started on Windows without inherited handles.
constexpr int NetSocketTypeFlags = 0;
#else
#include <netdb.h>
#include <sys/socket.h>
typedef int NetSocket;
constexpr NetSocket NoSocket = -1;
// Or'ed into the socket type: a game started while a probe runs must not
// inherit the probe's connection.
constexpr int NetSocketTypeFlags = SOCK_CLOEXEC;
#endif

// Starts the network library for one user (WSAStartup 2.2); false when it
// cannot be used, and then NetCleanup must not be called. Nothing to start
// on POSIX. Each successful start is paired with one NetCleanup, so users on
// different threads are independent.
bool NetStartup();
void NetCleanup();

void NetCloseSocket(NetSocket socket);

// Puts the socket into non-blocking mode; failure is not reported (a
// blocking connect then just takes the system's own time).
void NetSetNonBlocking(NetSocket socket);

// One wait of at most timeoutMs for the socket to become writable. Returns
// above 0 when it did, 0 on time-out, below 0 on error. Winsock: select()
// on a write set holding only the socket. POSIX: poll(), which has no
// FD_SETSIZE limit on the descriptor's number.
int NetWaitWritable(NetSocket socket, int timeoutMs);

// After a wait reported the socket writable: true only when its connection
// is established. A failed attempt can also make a socket writable (POSIX),
// so the pending error must be 0 and the peer must be known.
bool NetConnectionEstablished(NetSocket socket);
