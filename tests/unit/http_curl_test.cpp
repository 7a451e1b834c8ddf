// HTTP seam on libcurl against a tiny HTTP/1.1 server on 127.0.0.1 that this
// test runs itself: whole bodies through the staging buffer, connection
// reuse across roots, short bodies, stalls, heads and bodies over their
// limits, encoded bodies, abandoned bodies, redirects and refusals,
// Retry-After.
// Linux only (BSD sockets, std::thread); no network beyond loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/http.h"
#include "platform/test_hooks.h"

namespace {

constexpr int BigBodyBytes = 1000003;  // many times the staging buffer, odd on purpose

unsigned char BigByte(int i) {
    return static_cast<unsigned char>((i * 7) ^ (i >> 9));
}

// One listening socket; each connection gets a thread that answers request
// after request (keep-alive) by path until the client or the test goes away.
struct TestServer {
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> connections{0};
    std::thread acceptor;
    std::mutex lock;
    std::vector<std::thread> workers;
    std::string lastHead;  // head of the last request, under lock
    std::atomic<bool> endlessEnded{false};  // the endless body's connection went away
    std::atomic<long long> endlessSent{0};  // bytes of it handed to the connection
};

bool WaitReadable(TestServer *server, int fd, int ms) {
    for (int waited = 0; waited < ms && !server->stopping; waited += 20) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) return true;
    }
    return false;
}

bool SendAll(int fd, const std::string &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

// Sends bytes, waiting for room at most while the server runs; false once
// the client is gone (or the server stops), so a client that stops reading
// cannot hold a server thread for ever.
bool SendWhileServing(TestServer *server, int fd, const char *bytes, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        if (server->stopping) return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        ssize_t n = send(fd, bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

// Sends one piece every gapMs until the client is gone or limitMs passed.
bool Trickle(TestServer *server, int fd, const std::string &piece, int gapMs, int limitMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < until) {
        if (WaitReadable(server, fd, gapMs)) {  // the client hung up (or sent more)
            char scrap[64];
            if (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) == 0) return false;
        }
        if (!SendWhileServing(server, fd, piece.data(), piece.size())) return false;
    }
    return true;
}

// Holds a connection open without answering until the client hangs up.
void StallUntilClosed(TestServer *server, int fd) {
    char scrap[256];
    while (WaitReadable(server, fd, 10000) && recv(fd, scrap, sizeof scrap, 0) > 0) {
    }
}

std::string Head(const char *statusLine, const std::string &extra, long length) {
    std::string head = std::string("HTTP/1.1 ") + statusLine + "\r\n" + extra;
    if (length >= 0) head += "Content-Length: " + std::to_string(length) + "\r\n";
    return head + "\r\n";
}

// Answers one request; false when the connection is to be closed.
bool Answer(TestServer *server, int fd, const std::string &path) {
    if (path == "/big") {
        std::string body(BigBodyBytes, '\0');
        for (int i = 0; i < BigBodyBytes; i++) body[i] = char(BigByte(i));
        return SendAll(fd, Head("200 OK", "", BigBodyBytes) + body);
    }
    if (path == "/missing") return SendAll(fd, Head("404 Not Found", "", 9) + "not here\n");
    if (path == "/short") {
        SendAll(fd, Head("200 OK", "", 1000) + std::string(500, 'x'));
        return false;
    }
    if (path == "/stall-head") {
        StallUntilClosed(server, fd);
        return false;
    }
    if (path == "/stall-body") {
        SendAll(fd, Head("200 OK", "", 1000) + std::string(100, 'y'));
        StallUntilClosed(server, fd);
        return false;
    }
    if (path == "/loop") return SendAll(fd, Head("302 Found", "Location: /loop\r\n", 0));
    if (path == "/to-file") return SendAll(fd, Head("302 Found", "Location: file:///etc/passwd\r\n", 0));
    if (path == "/hop") return SendAll(fd, Head("301 Moved", "Location: /interim\r\n", 12) + "ignored body");
    if (path == "/interim")
        return SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n" + Head("200 OK", "", 5) + "final");
    if (path == "/chunked")
        return SendAll(fd, Head("200 OK", "Transfer-Encoding: chunked\r\n", -1) + "4\r\nabcd\r\n3\r\nefg\r\n0\r\n\r\n");
    if (path == "/trickle-head") {  // a header line every 50 ms, for 10 s
        if (SendAll(fd, "HTTP/1.1 200 OK\r\n") && Trickle(server, fd, "X-Trickle: 1\r\n", 50, 10000))
            SendAll(fd, "Content-Length: 2\r\n\r\nok");
        return false;
    }
    if (path == "/large-head") {
        std::string filler;
        while (filler.size() <= 80 * 1024) filler += "X-Filler: " + std::string(40, 'f') + "\r\n";
        return SendAll(fd, Head("200 OK", filler, 2) + "ok");
    }
    if (path == "/trickle-body") {  // 2 bytes every 100 ms, for 10 s
        if (SendAll(fd, Head("200 OK", "", 1000))) Trickle(server, fd, "zz", 100, 10000);
        return false;
    }
    if (path == "/busy-seconds") return SendAll(fd, Head("503 Busy", "Retry-After: 4294968\r\n", 0));
    if (path == "/busy-date")  // two minutes after the server's own clock, which is decades behind
        return SendAll(fd, Head("503 Busy", "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                                            "Retry-After: Sun, 06 Nov 1994 08:51:37 GMT\r\n", 0));
    if (path == "/busy-past") return SendAll(fd, Head("429 Slow down", "Retry-After: Sun, 06 Nov 1994 08:51:37 GMT\r\n", 0));
    if (path == "/gzip") return SendAll(fd, Head("200 OK", "Content-Encoding: gzip\r\n", 10) + std::string(10, 'g'));
    if (path == "/identity") return SendAll(fd, Head("200 OK", "Content-Encoding: identity\r\n", 5) + "plain");
    if (path == "/transfer-gzip")
        return SendAll(fd, Head("200 OK", "Transfer-Encoding: gzip, chunked\r\n", -1) + "3\r\nabc\r\n0\r\n\r\n");
    if (path == "/endless") {  // announced as 10^12 bytes, sent until the client goes
        std::string piece(64 * 1024, 'e');
        bool sending = SendAll(fd, Head("200 OK", "", 1000000000000L));
        while (sending && (sending = SendWhileServing(server, fd, piece.data(), piece.size())))
            server->endlessSent += long(piece.size());
        server->endlessEnded = true;
        return false;
    }
    return SendAll(fd, Head("500 Unknown", "", 0));
}

void ServeConnection(TestServer *server, int fd) {
    std::string pending;
    char chunk[4096];
    for (;;) {
        size_t end = pending.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (!WaitReadable(server, fd, 10000)) break;
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            pending.append(chunk, size_t(n));
            continue;
        }
        std::string head = pending.substr(0, end + 4);
        pending.erase(0, end + 4);
        {
            std::lock_guard<std::mutex> hold(server->lock);
            server->lastHead = head;
        }
        size_t start = head.find(' ') + 1;
        std::string path = head.substr(start, head.find(' ', start) - start);
        if (!Answer(server, fd, path)) break;
    }
    close(fd);
}

void AcceptConnections(TestServer *server) {
    while (!server->stopping) {
        if (!WaitReadable(server, server->listener, 100)) continue;
        int fd = accept(server->listener, nullptr, nullptr);
        if (fd < 0) continue;
        server->connections++;
        std::lock_guard<std::mutex> hold(server->lock);
        server->workers.emplace_back(ServeConnection, server, fd);
    }
}

void StartServer(TestServer *server) {
    server->listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(server->listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server->listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server->listener, 16), 0);
    socklen_t size = sizeof address;
    getsockname(server->listener, reinterpret_cast<sockaddr *>(&address), &size);
    server->port = ntohs(address.sin_port);
    server->acceptor = std::thread(AcceptConnections, server);
}

void StopServer(TestServer *server) {
    server->stopping = true;
    server->acceptor.join();
    for (std::thread &worker : server->workers) worker.join();
    close(server->listener);
}

std::u16string Url(const TestServer &server, const char *path) {
    std::string ascii = "http://127.0.0.1:" + std::to_string(server.port) + path;
    return std::u16string(ascii.begin(), ascii.end());
}

// Reads the whole body in pieces of `piece` bytes. False when a read failed.
bool ReadBody(HttpRequest *request, int piece, std::string *body) {
    std::vector<char> buffer(static_cast<size_t>(piece));
    for (;;) {
        int received = -1;
        if (!HttpRead(request, buffer.data(), piece, &received)) return false;
        if (received == 0) return true;
        body->append(buffer.data(), size_t(received));
    }
}

class HttpCurl : public ::testing::Test {
protected:
    void SetUp() override {
        g_httpTimeoutOverrideMs = 0;
        StartServer(&server);
        root = HttpOpenRoot();
        ASSERT_NE(root, nullptr);
    }
    void TearDown() override {
        HttpCloseRoot(root);
        g_httpTimeoutOverrideMs = 0;
        StopServer(&server);
    }
    TestServer server;
    HttpRoot *root = nullptr;
};

TEST_F(HttpCurl, BodiesArriveWholeOverOneReusedConnection) {
    int status = 0;
    int64_t length = 0;
    HttpRequest *request = HttpOpenUrl(root, Url(server, "/big").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(length, BigBodyBytes);
    std::string body;
    ASSERT_TRUE(ReadBody(request, 1000, &body));
    HttpCloseRequest(request);
    ASSERT_EQ(body.size(), size_t(BigBodyBytes));
    for (int i = 0; i < BigBodyBytes; i++)
        ASSERT_EQ(static_cast<unsigned char>(body[i]), BigByte(i)) << "at byte " << i;

    {
        std::lock_guard<std::mutex> hold(server.lock);
        EXPECT_NE(server.lastHead.find("User-Agent: ZentharaLauncher/" LAUNCHER_VERSION_TEXT "\r\n"), std::string::npos);
        EXPECT_NE(server.lastHead.find("Cache-Control: no-cache\r\n"), std::string::npos);
        EXPECT_NE(server.lastHead.find("Pragma: no-cache\r\n"), std::string::npos);
        EXPECT_NE(server.lastHead.find("Accept-Encoding: identity\r\n"), std::string::npos);
    }

    // The engine opens a fresh root per file; the connection must outlive it.
    HttpRoot *second = HttpOpenRoot();
    std::u16string upper = Url(server, "/missing");
    upper.replace(0, 4, u"HTTP");  // the scheme is matched without regard to case
    request = HttpOpenUrl(second, upper.c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(status, 404);
    EXPECT_EQ(length, 9);
    body.clear();
    EXPECT_TRUE(ReadBody(request, 64 * 1024, &body));
    EXPECT_EQ(body, "not here\n");
    HttpCloseRequest(request);
    HttpCloseRoot(second);

    request = HttpOpenUrl(root, Url(server, "/chunked").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(length, -1);
    body.clear();
    EXPECT_TRUE(ReadBody(request, 3, &body));
    EXPECT_EQ(body, "abcdefg");
    HttpCloseRequest(request);

    EXPECT_EQ(server.connections.load(), 1);
}

TEST_F(HttpCurl, ClosingMidBodyLeavesTheNextRequestWorking) {
    int status = 0;
    int64_t length = 0;
    // Read a little so the transfer is paused on a full staging buffer, then drop it.
    HttpRequest *request = HttpOpenUrl(root, Url(server, "/big").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    char first[10];
    int received = 0;
    ASSERT_TRUE(HttpRead(request, first, sizeof first, &received));
    EXPECT_GT(received, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    HttpCloseRequest(request);

    request = HttpOpenUrl(root, Url(server, "/interim").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(length, 5);
    std::string body;
    EXPECT_TRUE(ReadBody(request, 100, &body));
    EXPECT_EQ(body, "final");
    HttpCloseRequest(request);
}

TEST_F(HttpCurl, BodyShorterThanAnnouncedFailsAfterItsBytes) {
    int status = 0;
    int64_t length = 0;
    HttpRequest *request = HttpOpenUrl(root, Url(server, "/short").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(length, 1000);
    std::string body;
    EXPECT_FALSE(ReadBody(request, 64, &body));
    EXPECT_EQ(body.size(), 500u);
    HttpCloseRequest(request);
}

TEST_F(HttpCurl, SilentServerTimesOutBeforeAndDuringTheBody) {
    g_httpTimeoutOverrideMs = 300;
    int status = 0;
    int64_t length = 0;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpOpenUrl(root, Url(server, "/stall-head").c_str(), &status, &length), nullptr);

    HttpRequest *request = HttpOpenUrl(root, Url(server, "/stall-body").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(status, 200);
    std::string body;
    EXPECT_FALSE(ReadBody(request, 4096, &body));
    EXPECT_EQ(body, std::string(100, 'y'));
    int received = -1;
    char more[16];
    EXPECT_FALSE(HttpRead(request, more, sizeof more, &received));  // stays failed
    HttpCloseRequest(request);
    // Two 300 ms timeouts; well under curl's own one-second low-speed rule each.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1800));
}

TEST_F(HttpCurl, RedirectsFollowOnlyWithinHttpAndLimit) {
    int status = 0;
    int64_t length = 0;
    // A redirect's own body must not leak into the final one.
    HttpRequest *request = HttpOpenUrl(root, Url(server, "/hop").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(length, 5);
    std::string body;
    EXPECT_TRUE(ReadBody(request, 100, &body));
    EXPECT_EQ(body, "final");
    HttpCloseRequest(request);

    EXPECT_EQ(HttpOpenUrl(root, Url(server, "/loop").c_str(), &status, &length), nullptr);
    EXPECT_EQ(HttpOpenUrl(root, Url(server, "/to-file").c_str(), &status, &length), nullptr);
}

TEST_F(HttpCurl, RefusesOtherSchemesAndUnansweredAddresses) {
    int status = 0;
    int64_t length = 0;
    EXPECT_EQ(HttpOpenUrl(root, u"file:///etc/passwd", &status, &length), nullptr);
    EXPECT_EQ(HttpOpenUrl(root, u"ftp://127.0.0.1/x", &status, &length), nullptr);
    EXPECT_EQ(HttpOpenUrl(root, u"httpx://127.0.0.1/x", &status, &length), nullptr);

    // A port that was just free: nothing listens there.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size);
    close(probe);
    std::string closed = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";
    EXPECT_EQ(HttpOpenUrl(root, std::u16string(closed.begin(), closed.end()).c_str(), &status, &length), nullptr);
}

TEST_F(HttpCurl, HeadsOverTheirTimeOrSizeAreRefused) {
    g_httpTimeoutOverrideMs = 300;
    int status = 0;
    int64_t length = 0;
    // Lines keep coming, well within the silence limit, but the head never ends.
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpOpenUrl(root, Url(server, "/trickle-head").c_str(), &status, &length), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3000));
    EXPECT_EQ(HttpOpenUrl(root, Url(server, "/large-head").c_str(), &status, &length), nullptr);

    HttpRequest *request = HttpOpenUrl(root, Url(server, "/missing").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);  // the next request is answered as usual
    EXPECT_EQ(status, 404);
    HttpCloseRequest(request);
}

TEST_F(HttpCurl, BodyBelowTheRateFloorFailsWhenItsWindowCloses) {
    g_httpTimeoutOverrideMs = 300;  // a 300 ms window must bring 307 bytes
    int status = 0;
    int64_t length = 0;
    HttpRequest *request = HttpOpenUrl(root, Url(server, "/trickle-body").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(length, 1000);
    auto started = std::chrono::steady_clock::now();
    std::string body;
    EXPECT_FALSE(ReadBody(request, 4096, &body));
    // Never silent for long, so only the floor can end it: at the first
    // window, long before the server's ten seconds of trickling.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3000));
    EXPECT_LT(body.size(), 100u);
    EXPECT_EQ(HttpReadFailure(request), HttpFailedTooSlow);  // not retried, unlike a silence
    HttpCloseRequest(request);
}

TEST_F(HttpCurl, RetryAfterIsReadAsSecondsFromTheServersNow) {
    const struct {
        const char *path;
        int status;
        int64_t seconds;
    } cases[] = {
        {"/busy-seconds", 503, 4294968},  // would wrap as 32-bit milliseconds
        {"/busy-date", 503, 120},         // counted from the Date header, not this clock
        {"/busy-past", 429, 0},           // without a Date: from this clock, long past
        {"/missing", 404, -1},
    };
    for (const auto &c : cases) {
        HttpResponseInfo info;
        HttpFailure failure = HttpOk;
        HttpRequest *request = HttpOpenUrlWith(root, Url(server, c.path).c_str(), nullptr, &info, &failure);
        ASSERT_NE(request, nullptr) << c.path;
        EXPECT_EQ(info.status, c.status) << c.path;
        EXPECT_EQ(info.retryAfterSeconds, c.seconds) << c.path;
        HttpCloseRequest(request);
    }
}

TEST_F(HttpCurl, RateFloorHoldsWhileAnotherThreadDrivesTheMulti) {
    g_httpTimeoutOverrideMs = 300;
    // Another thread keeps requests of its own stalling meanwhile: the
    // trickle's rate floor is this request's alone.
    std::atomic<bool> trickleOver{false};
    std::thread staller([&] {
        HttpRoot *own = HttpOpenRoot();
        while (!trickleOver) {
            int status = 0;
            int64_t length = 0;
            HttpRequest *stalled = HttpOpenUrl(own, Url(server, "/stall-body").c_str(), &status, &length);
            std::string ignored;
            if (stalled != nullptr) ReadBody(stalled, 4096, &ignored);
            HttpCloseRequest(stalled);
        }
        HttpCloseRoot(own);
    });
    int status = 0;
    int64_t length = 0;
    auto started = std::chrono::steady_clock::now();
    HttpRequest *request = HttpOpenUrl(root, Url(server, "/trickle-body").c_str(), &status, &length);
    std::string body;
    bool whole = request != nullptr && ReadBody(request, 4096, &body);
    auto took = std::chrono::steady_clock::now() - started;
    HttpCloseRequest(request);
    trickleOver = true;
    staller.join();
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(whole);
    EXPECT_LT(took, std::chrono::milliseconds(5000));
}

TEST_F(HttpCurl, OnlyIdentityBodiesAreTaken) {
    int status = 0;
    int64_t length = 0;
    EXPECT_EQ(HttpOpenUrl(root, Url(server, "/gzip").c_str(), &status, &length), nullptr);
    EXPECT_EQ(HttpOpenUrl(root, Url(server, "/transfer-gzip").c_str(), &status, &length), nullptr);
    {
        std::lock_guard<std::mutex> hold(server.lock);
        EXPECT_NE(server.lastHead.find("Accept-Encoding: identity\r\n"), std::string::npos);
    }
    HttpRequest *request = HttpOpenUrl(root, Url(server, "/identity").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    std::string body;
    EXPECT_TRUE(ReadBody(request, 100, &body));
    EXPECT_EQ(body, "plain");
    HttpCloseRequest(request);
}

TEST_F(HttpCurl, AbandonedBodyEndsItsConnectionAtOnce) {
    int status = 0;
    int64_t length = 0;
    HttpRequest *request = HttpOpenUrl(root, Url(server, "/endless").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(length, 1000000000000LL);
    char some[4096];
    int received = 0;
    for (int i = 0; i < 64; i++) ASSERT_TRUE(HttpRead(request, some, sizeof some, &received));
    HttpCloseRequest(request);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server.endlessEnded && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(server.endlessEnded) << "the abandoned connection stayed open";
    EXPECT_LT(server.endlessSent.load(), 64LL << 20);  // nothing read the rest on

    // The next request has a connection of its own, none of the abandoned one.
    request = HttpOpenUrl(root, Url(server, "/missing").c_str(), &status, &length);
    ASSERT_NE(request, nullptr);
    HttpCloseRequest(request);
    EXPECT_EQ(server.connections.load(), 2);
}

}  // namespace
