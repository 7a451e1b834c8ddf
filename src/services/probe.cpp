// Server status probe: one non-blocking TCP connect to the configured server
// and one wait of 2.5 s for it, on a worker thread of its own so the window
// never waits for the network. Platform-neutral over the net seam
// (Winsock 2 or BSD sockets).
// Leaves out IPv6, every resolved address but the first, retries (the next
// timer tick probes again) and any range check on the port.
#include "services/probe.h"

#include <cstdio>

#include "base/state.h"
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

    NetAddresses *addresses = NetResolveIpv4(host, service);
    if (addresses != nullptr) {
        NetSocket socket = NetOpenSocket(addresses);
        if (socket != NoSocket) {
            NetSetNonBlocking(socket);
            NetStartConnect(socket, addresses);
            if (NetWaitWritable(socket, ProbeTimeoutMs) > 0 && NetConnectionEstablished(socket)) outcome = 1;
            NetCloseSocket(socket);
        }
        NetFreeAddresses(addresses);
    }
    NetCleanup();
    return outcome;
}

uint32_t ProbeServerThread(void *) {
    g_state.serverState = ProbeServer(g_state.serverHost, g_state.serverPort);
    // No forced paint: the dot changes when the window next paints.
    RequestRepaint();
    return 0;
}
