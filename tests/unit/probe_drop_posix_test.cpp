// The status probe against a port whose connection requests are dropped:
// it must give up after its 2.5 s wait and report unreachable. Needs a
// firewall rule, so it runs only inside the network namespace that
// tests/integration/probe_drop.sh sets up, which names the filtered port in
// PROBE_DROPPED_PORT; anywhere else it is skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "base/state.h"
#include "probe_listener.h"
#include "services/probe.h"
#include "window_recording.h"

TEST(ProbeDrop, FilteredPortIsUnreachableAfterTheWait) {
    const char *dropped = getenv("PROBE_DROPPED_PORT");
    if (dropped == nullptr) GTEST_SKIP() << "run by tests/integration/probe_drop.sh in a network namespace";
    ResetLauncherState(&g_state);
    ClearWindowRecords();
    strcpy(g_state.serverHost, "127.0.0.1");

    // Loopback works in this namespace: an unfiltered listener is reachable.
    TestListener open;
    ASSERT_TRUE(OpenTestListener("127.0.0.1", 0, &open));
    g_state.serverPort = open.port;
    ProbeServerThread(nullptr);
    ASSERT_EQ(g_state.serverState, 1);

    // A server listens on the filtered port too, so a 0 there can only come
    // from requests that never get an answer, not from a refusal.
    TestListener filtered;
    ASSERT_TRUE(OpenTestListener("127.0.0.1", atoi(dropped), &filtered));
    g_state.serverPort = filtered.port;
    auto start = std::chrono::steady_clock::now();
    ProbeServerThread(nullptr);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(g_state.serverState, 0);
    EXPECT_EQ(RepaintRequests(), 2);
    EXPECT_GE(seconds, 2.0) << "gave up before the wait ran out";
    EXPECT_LT(seconds, 10.0) << "waited far longer than one 2.5 s wait";
    printf("filtered port probed in %.2f s\n", seconds);

    CloseTestListener(&filtered);
    CloseTestListener(&open);
}
