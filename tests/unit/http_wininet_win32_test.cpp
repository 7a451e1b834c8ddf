// HTTP seam on WinINet against a server on 127.0.0.1 that this test runs,
// one connection at a time: a body with its length keeps the connection for
// the next request, one without a length or cut short ends it, and the
// requests of one caller are served by one kept worker thread. Windows only.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "platform/http.h"

// "/kept<seed>": 20000 bytes with their length, the connection kept;
// "/unannounced": as many without a length, then the end; "/cut": 4000 of
// 20000 announced, then the end.
static std::string BodyOf(const std::string &target) {
    char seed = target == "/cut" ? 'c' : target == "/unannounced" ? 'u' : target[5];
    std::string body(target == "/cut" ? 4000 : 20000, seed);
    for (size_t i = 0; i < body.size(); i += 97) body[i] = char(i);
    return body;
}

// Three connections, one after another, each answered request by request.
static void ServeOneByOne(SOCKET listener, std::atomic<int> *connections) {
    for (SOCKET s; *connections < 3 && (s = accept(listener, nullptr, nullptr)) != INVALID_SOCKET; closesocket(s)) {
        ++*connections;
        std::string pending, target = "/kept";
        for (char chunk[4096]; target.rfind("/kept", 0) == 0;) {
            size_t end = pending.find("\r\n\r\n");
            int n = end == std::string::npos ? recv(s, chunk, sizeof chunk, 0) : 0;
            if (n > 0) pending.append(chunk, size_t(n));
            if (end == std::string::npos && n > 0) continue;
            if (end == std::string::npos) break;  // the client closed the connection
            target = pending.substr(4, pending.find(' ', 4) - 4);  // after "GET "
            pending.erase(0, end + 4);
            std::string reply = target == "/unannounced" ? "HTTP/1.0 200 OK\r\n\r\n"
                                : "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\nConnection: keep-alive\r\n\r\n";
            reply += BodyOf(target);
            send(s, reply.data(), int(reply.size()), 0);
        }
    }
}

// Adds the threads of this process to seen.
static void NoteThreads(std::set<DWORD> *seen) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) seen->insert(entry.th32ThreadID);
    CloseHandle(snapshot);
}

TEST(HttpWinInet, ConnectionsAndTheWorkerAreKeptFromRequestToRequest) {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {AF_INET, 0, {}, {}};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
    std::atomic<int> connections{0};  // counted before the answer goes out
    std::thread server(ServeOneByOne, listener, &connections);
    HttpRoot *root = HttpOpenRoot();
    std::set<DWORD> threads;  // every thread seen while a request was open
    size_t afterFirst = 0;
    struct { const char *target; HttpFailure failure; int connectionsSoFar; } steps[] = {
        {"/keptA", HttpOk, 1}, {"/keptB", HttpOk, 1}, {"/unannounced", HttpOk, 1}, {"/keptC", HttpOk, 2},
        {"/cut", HttpFailedCut, 2}, {"/keptD", HttpOk, 3}, {"/unannounced", HttpOk, 3}};
    for (const auto &step : steps) {
        std::wstring url = L"http://127.0.0.1:" + std::to_wstring(ntohs(address.sin_port));
        for (const char *p = step.target; *p != 0; p++) url += WideChar(*p);
        HttpResponseInfo info;
        HttpFailure failure;
        HttpRequest *request = HttpOpenUrlWith(root, url.c_str(), nullptr, &info, &failure);
        ASSERT_NE(request, nullptr) << step.target;
        NoteThreads(&threads);
        afterFirst = afterFirst == 0 ? threads.size() : afterFirst;
        std::string body;
        char buffer[7000];
        for (int got = 0; HttpRead(request, buffer, sizeof buffer, &got) && got > 0;) body.append(buffer, size_t(got));
        EXPECT_EQ(HttpReadFailure(request), step.failure) << step.target;
        HttpCloseRequest(request);
        EXPECT_EQ(body, BodyOf(step.target)) << step.target;
        EXPECT_EQ(connections, step.connectionsSoFar) << step.target;
    }
    EXPECT_LE(threads.size(), afterFirst + 1) << "the requests were not served by one worker";  // + WinINet's own
    HttpCloseRoot(root);
    server.join();
    closesocket(listener);
    WSACleanup();
}
