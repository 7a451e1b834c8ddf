// The status probe against real loopback listeners: reachable, refused,
// names without an IPv4 address, and probes overlapping on worker threads.
// Runs on Linux and under Wine. The filtered-port case needs a network
// namespace and lives in probe_drop_posix_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "base/state.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "probe_listener.h"
#include "services/probe.h"
#include "window_recording.h"

// A status line and progress of a check/patch run the probe must not touch.
static void StartWithARunInProgress() {
    ResetLauncherState(&g_state);
    ClearWindowRecords();
    SetStatusText(&g_state, WTEXT("Checking 3 of 9"));
    g_state.progress = 33;
}

static void ExpectRunUntouched() {
    WideChar text[StatusTextUnits];
    ReadStatusText(&g_state, text);
    char utf8[StatusTextUnits * 4];
    TextToUtf8(text, utf8, int(sizeof utf8));
    EXPECT_STREQ(utf8, "Checking 3 of 9");
    EXPECT_EQ(g_state.progress, 33);
    EXPECT_TRUE(ShownStatuses().empty()) << "the probe never forces a paint";
}

static void ProbeHost(const char *host, int port) {
    strcpy(g_state.serverHost, host);
    g_state.serverPort = port;
    EXPECT_EQ(ProbeServerThread(nullptr), 0u);
}

TEST(Probe, ListenerIsReachableAndItsClosedPortIsNot) {
    ASSERT_TRUE(NetStartup());
    StartWithARunInProgress();
    EXPECT_EQ(g_state.serverState, -1);  // not probed yet

    TestListener server;
    ASSERT_TRUE(OpenTestListener("127.0.0.1", 0, &server));
    ProbeHost("127.0.0.1", server.port);
    EXPECT_EQ(g_state.serverState, 1);
    EXPECT_EQ(RepaintRequests(), 1);
    // The server saw one connection, closed again without any data.
    EXPECT_EQ(AcceptClosedConnections(&server, 1, std::chrono::seconds(10)), 1);

    // The server stops: the same port now refuses (on Winsock the wait may
    // run its full 2.5 s first).
    CloseTestListener(&server);
    ProbeHost("127.0.0.1", server.port);
    EXPECT_EQ(g_state.serverState, 0);
    EXPECT_EQ(RepaintRequests(), 2);

    ExpectRunUntouched();
    NetCleanup();
}

// The unresolvable name has a character host names cannot contain, so
// glibc's resolver (also behind Wine) refuses it without asking any DNS
// server; and it sits under the reserved .invalid domain, so a resolver that
// does ask gets no address either.
TEST(Probe, NamesWithoutAnIPv4AddressAreUnreachable) {
    ASSERT_TRUE(NetStartup());
    StartWithARunInProgress();
    ProbeHost("no such host!.invalid", 80);
    EXPECT_EQ(g_state.serverState, 0);
    EXPECT_EQ(RepaintRequests(), 1);

    // A server reachable over IPv6 only does not count: only IPv4
    // addresses are asked for.
    TestListener server;
    if (OpenTestListener("::1", 0, &server)) {
        g_state.serverState = -1;
        ProbeHost("::1", server.port);
        EXPECT_EQ(g_state.serverState, 0);
        EXPECT_EQ(RepaintRequests(), 2);
        CloseTestListener(&server);
    }

    ExpectRunUntouched();
    NetCleanup();
}

// Probes can overlap when resolution is slow. Each pairs its own library
// start-up with its own clean-up, so none may cut off another's connection.
TEST(Probe, OverlappingProbesOnWorkersEachConnect) {
    ASSERT_TRUE(NetStartup());
    StartWithARunInProgress();
    TestListener server;
    ASSERT_TRUE(OpenTestListener("127.0.0.1", 0, &server));
    strcpy(g_state.serverHost, "127.0.0.1");
    g_state.serverPort = server.port;

    const int probes = 4;
    for (int i = 0; i < probes; i++) ASSERT_TRUE(StartWorker(ProbeServerThread));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (RepaintRequests() < probes && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(RepaintRequests(), probes);
    EXPECT_EQ(g_state.serverState, 1);
    EXPECT_EQ(AcceptClosedConnections(&server, probes, std::chrono::seconds(10)), probes);

    CloseTestListener(&server);
    ExpectRunUntouched();
    NetCleanup();
}
