// Network seam: the socket calls of the status probe (resolve, open, start a
// connection, wait, check, close), so the probe is written once.
// Backends: win32/net_winsock.cpp (Winsock 2, ws2_32) and
// posix/net_posix.cpp (BSD sockets).
// Leaves out everything the probe does not need: no data is ever sent or
// received, only IPv4 client stream sockets are opened, and only the first
// resolved address is ever used.
#pragma once
#include <cstdint>

// A socket (a SOCKET on Windows, a descriptor elsewhere); NoSocket when none.
typedef intptr_t NetSocket;
constexpr NetSocket NoSocket = -1;

// The addresses a name resolved to (getaddrinfo's list).
struct NetAddresses;

// Starts the network library for one user (WSAStartup 2.2); false when it
// cannot be used, and then NetCleanup must not be called. Nothing to start
// on POSIX. Each successful start is paired with one NetCleanup, so users on
// different threads are independent.
bool NetStartup();
void NetCleanup();

// Resolves host at the decimal service text to IPv4 stream addresses;
// nullptr when it resolves to none. What the name or service means is the
// resolver's business.
NetAddresses *NetResolveIpv4(const char *host, const char *service);
void NetFreeAddresses(NetAddresses *addresses);

// A stream socket for the first address; NoSocket on failure. It is not
// inherited by processes started later (a game started while a probe runs
// must not hold the probe's connection).
NetSocket NetOpenSocket(const NetAddresses *addresses);
// Starts connecting the socket to the first address. The result is not
// reported: on a non-blocking socket it is normally "in progress", and the
// wait and the check below decide.
void NetStartConnect(NetSocket socket, const NetAddresses *addresses);

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
