// Server status probe: one non-blocking TCP connect to the configured server
// and one wait of 2.5 s for it, on a worker thread of its own so the window
// never waits for the network. Platform-neutral over getaddrinfo, socket and
// connect; start-up, the wait and the connection check come from
// platform/net.h (Winsock 2 or POSIX).
// Leaves out IPv6, every resolved address but the first, retries (the next
// timer tick probes again) and any range check on the port.
#include "services/probe.h"

#include <cstdio>
#include <cstring>

#include "app/state.h"
#include "platform/net.h"
#include "platform/window.h"

// Connects to the first IPv4 address of host at port and closes again at
// once. Returns 1 when the connection was established within
// ProbeTimeoutMs, otherwise 0 (no library, no name, no socket, refused,
// filtered, timed out). What it acquired is released in the order socket,
// address list, network library.
static int ProbeServer(const char *host, int32_t port) {
    if (!NetStartup()) return 0;
    int outcome = 0;

    // Handed to resolution as text even above 65535: what that means is
    // the resolver's business, and any failure is reported as 0.
    char service[ProbeServiceBytes];
    snprintf(service, sizeof service, "%d", int(port));

    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    if (getaddrinfo(host, service, &hints, &addresses) == 0 && addresses != nullptr) {
        const addrinfo *first = addresses;
        NetSocket socket = ::socket(first->ai_family, first->ai_socktype | NetSocketTypeFlags, first->ai_protocol);
        if (socket != NoSocket) {
            NetSetNonBlocking(socket);
            // Normally "in progress"; whatever it says, the wait and the
            // check below decide.
            (void)connect(socket, first->ai_addr, first->ai_addrlen);
            if (NetWaitWritable(socket, ProbeTimeoutMs) > 0 && NetConnectionEstablished(socket)) outcome = 1;
            NetCloseSocket(socket);
        }
        freeaddrinfo(addresses);
    }
    NetCleanup();
    return outcome;
}

ThreadResult THREAD_CALL ProbeServerThread(void *) {
    g_state.serverState = ProbeServer(g_state.serverHost, g_state.serverPort);
    // No forced paint: the dot changes when the window next paints.
    RequestRepaint();
    return 0;
}
