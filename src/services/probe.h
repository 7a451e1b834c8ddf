// Server status probe: whether the game server accepts TCP connections,
// published in g_state.serverState for the status dot. Platform-neutral;
// the socket differences live in platform/net.h.
#pragma once

#include "platform/thread.h"

constexpr int ProbeTimeoutMs = 2500;  // longest wait for the connection, ms
constexpr int ProbeServiceBytes = 16; // port as decimal text, any 32-bit value

// Worker entry (started with StartWorker, nobody waits for it): one
// connection attempt to serverHost:serverPort, IPv4 only, first resolved
// address only, closed again without sending anything. Stores 1 in
// serverState when the connection was established within ProbeTimeoutMs and
// 0 on every other outcome, then requests a repaint; never touches the
// status text or progress. The parameter is ignored; the result is 0.
// Takes the resolution time plus at most ProbeTimeoutMs.
uint32_t ProbeServerThread(void *);
