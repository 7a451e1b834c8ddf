"""launcher-patch against a hostile HTTP server on loopback: a raw-socket
server that decides every byte of every answer (heads and bodies that
trickle, bodies that never end, encoded bodies, connections cut by FIN or
by reset in the middle of a body). Each scenario runs the real tool, check
or patch, with the network limits shortened (LAUNCHER_PATCH_TIMEOUT_MS) and
checks how the pass ended, that the game folder is as it was and that the
run ended within a bound computed from the shortened limits. Also: the
request target each URL is sent as, and downloads sharing one slow link.

The same scenarios run against the Linux build and, under Wine, against the
Windows build (LAUNCHER_PATCH_TARGET=linux|windows picks one; unset runs
both when both are built). Standalone:
python3 tests/integration/test_hostile_http.py
"""
import gzip
import os
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from console_tool import prepare_launcher_patch_class  # noqa: E402
from harness import PacedServer, snapshot, snapshot_changes, temporaries_below, write_file  # noqa: E402

CONTACTING = "Contacting patch server..."
UNREACHABLE = "Could not reach patch server (launcher.ini)."

# The shortened limit given to the tool: connecting, silence, the response
# head and the rate window are each this long, the rate floor 1 KiB/s of it.
LIMIT_MS = 2000
LIMIT_S = LIMIT_MS / 1000.0
# What a run may take beyond its limits: starting the program (Wine), and a
# loaded machine.
SLACK_S = 12.0
# How long a trickling answer goes on when nobody stops it: far beyond every
# bound below, so that a client without the limits visibly overruns them.
TRICKLE_S = 45.0
# Endless bodies stop after this much time or data, whatever the client does.
ENDLESS_S = 90.0
ENDLESS_BYTES = 1 << 40
RUN_TIMEOUT_S = 75.0  # the runner kills a run that takes longer

MIB = 1 << 20
MANIFEST_CAP = 256 * MIB  # the engine's largest manifest


def finished_with(errors):
    return "Finished with %d error(s)." % errors


def all_ok(total):
    return "All %d files OK - ready to play." % total


# --------------------------------------------------------------------------
# The server


class Connection:
    """One accepted connection as a handler sees it. Every wait is bounded
    by the server's stop event; a send that fails marks the connection as
    gone."""

    def __init__(self, server, sock):
        self.server = server
        self.sock = sock
        self.sent = 0
        self.gone = False
        self.pending = b""

    def read_head(self, limit_s=30.0):
        """The next request head (bytes up to the blank line), or None when
        the client closed, the wait ran out or the server stops."""
        deadline = time.monotonic() + limit_s
        while b"\r\n\r\n" not in self.pending:
            if self.server.stopping.is_set() or time.monotonic() >= deadline:
                return None
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return None
            if not data:
                return None
            self.pending += data
        head, self.pending = self.pending.split(b"\r\n\r\n", 1)
        return head + b"\r\n\r\n"

    def send(self, data):
        """All of data; False once the client is gone or the server stops."""
        view = memoryview(data)
        while view and not self.gone:
            if self.server.stopping.is_set():
                return False
            try:
                n = self.sock.send(view)
            except socket.timeout:
                continue
            except OSError:
                self.gone = True
                break
            self.sent += n
            view = view[n:]
        return not self.gone

    def pause(self, seconds):
        """Waits; False when the server stops meanwhile."""
        return not self.server.stopping.wait(seconds)

    def reset(self):
        """Ends the connection with a TCP reset instead of a FIN."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


class Route:
    """What the server does for one request target: handler(connection)
    writes the answer and returns True to keep the connection for another
    request. Counts requests and keeps their heads and the bytes sent."""

    def __init__(self, handler):
        self.handler = handler
        self.heads = []
        self.sent = 0
        self.finished = threading.Event()  # the last answer's handler returned


class HostileServer:
    """TCP server on 127.0.0.1, one thread per connection, that answers
    each request target with its Route."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(32)
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.routes = {}
        self.targets = []  # every request target as it arrived, routed or not
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.threads = []
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def route(self, path, handler):
        route = Route(handler)
        with self.lock:
            self.routes["/" + path.lstrip("/")] = route
        return route

    def stop(self):
        self.stopping.set()
        self.acceptor.join(10)
        for thread in self.threads:
            thread.join(10)
        self.listener.close()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                sock, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            sock.settimeout(0.1)
            thread = threading.Thread(target=self._serve, args=(sock,), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _serve(self, sock):
        connection = Connection(self, sock)
        try:
            while True:
                head = connection.read_head()
                if head is None:
                    break
                target = head.split(b" ", 2)[1].decode("latin-1")
                with self.lock:
                    self.targets.append(target)
                    route = self.routes.get(target)
                if route is None:
                    connection.send(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
                    continue
                route.heads.append(head)
                before = connection.sent
                try:
                    keep = route.handler(connection)
                finally:
                    route.sent += connection.sent - before
                    route.finished.set()
                if not keep or connection.gone or connection.sock.fileno() < 0:
                    break
        finally:
            if connection.sock.fileno() >= 0:
                try:
                    connection.sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                connection.sock.close()


# --------------------------------------------------------------------------
# Answers


def head(status="200 OK", length=None, extra=()):
    lines = ["HTTP/1.1 " + status]
    if length is not None:
        lines.append("Content-Length: %d" % length)
    lines.extend(extra)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def whole(body, extra=()):
    """A plain answer with its length, on a connection kept for more."""
    def answer(connection):
        return connection.send(head(length=len(body), extra=extra) + body)
    return answer


def trickling_head(gap_s, body):
    """The status line at once, then one header line every gap_s, for
    TRICKLE_S; then the rest of the head and the body."""
    def answer(connection):
        if not connection.send(b"HTTP/1.1 200 OK\r\n"):
            return False
        until = time.monotonic() + TRICKLE_S
        n = 0
        while time.monotonic() < until:
            if not connection.pause(gap_s) or not connection.send(b"X-Trickle-%d: %d\r\n" % (n, n)):
                return False
            n += 1
        connection.send(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        return False
    return answer


def oversized_head(body, head_bytes):
    """A head of head_bytes of harmless header lines, sent at once."""
    def answer(connection):
        filler = b"".join(b"X-Filler-%06d: %s\r\n" % (i, b"f" * 40) for i in range(head_bytes // 56 + 1))
        return connection.send(b"HTTP/1.1 200 OK\r\n" + filler +
                               b"Content-Length: %d\r\n\r\n" % len(body) + body)
    return answer


def trickling_body(body, gap_s, step):
    """The whole head at once, then step bytes of body every gap_s (for at
    most TRICKLE_S), then the rest at once."""
    def answer(connection):
        if not connection.send(head(length=len(body))):
            return False
        until = time.monotonic() + TRICKLE_S
        at = 0
        while at < len(body) and time.monotonic() < until:
            if not connection.pause(gap_s) or not connection.send(body[at:at + step]):
                return False
            at += step
        connection.send(body[at:])
        return False
    return answer


def endless(announced, line=b"#" + b"x" * 62 + b"\n"):
    """A body announced as `announced` bytes (None: no length) that goes on for ever (in
    comment lines, so every prefix of it is a valid manifest), on a
    keep-alive connection: until the client stops reading or the caps."""
    def answer(connection):
        if not connection.send(head(length=announced)):
            return False
        piece = line * (MIB // len(line))
        until = time.monotonic() + ENDLESS_S
        while connection.sent < ENDLESS_BYTES and time.monotonic() < until:
            if not connection.send(piece):
                return False
        return False
    return answer


def chunked_then_cut(body, how, pause_s=0.5):
    """body in chunks of at most 1000 bytes, without the closing zero-size
    chunk; then, after pause_s (the client has read what was sent), the
    connection ends: "fin" or "reset"."""
    def answer(connection):
        chunks = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 1000]), body[i:i + 1000])
                          for i in range(0, len(body), 1000))
        if not connection.send(head(extra=["Transfer-Encoding: chunked"]) + chunks):
            return False
        connection.pause(pause_s)
        if how == "reset":
            connection.reset()
        return False
    return answer


def unannounced_then_reset(body):
    """body without a length (it would end with the connection), then a reset."""
    def answer(connection):
        if not connection.send(head(extra=["Connection: close"]) + body):
            return False
        connection.pause(0.5)
        connection.reset()
        return False
    return answer


def manifest_text(entries, counted=True):
    """A manifest of "path|size|url" entries; counted: as launcher-manifest
    writes one, between first and last lines that count the entries (the
    engine refuses such a manifest without its last line), otherwise
    written by hand, with nothing that shows where it ends."""
    lines = ["%s|%d|%s" % entry for entry in entries]
    if counted:
        lines = ["#launcher-manifest entries=%d" % len(entries)] + lines + ["#end entries=%d" % len(entries)]
    return ("\n".join(lines) + "\n").encode("utf-8")


def payload(name, size):
    """Reproducible bytes of size, different for every name."""
    seed = sum(name.encode()) or 1
    return bytes((seed * 31 + i * 7 + (i >> 8)) & 0xFF for i in range(size))


# --------------------------------------------------------------------------
# Scenarios


class HostileServerScenarios:
    target = None  # "linux" or "windows", set by the concrete classes

    @classmethod
    def setUpClass(cls):
        prepare_launcher_patch_class(cls, "launcher-hostile")
        cls.server = HostileServer()
        cls.addClassCleanup(cls.server.stop)
        cls.tool.warm_up()

    def setUp(self):
        self.game = self.sandbox / self._testMethodName / "game"
        self.game.mkdir(parents=True)

    def route(self, name, handler):
        """A route private to this scenario: (its URL, its Route)."""
        path = "%s/%s" % (self._testMethodName, name)
        return self.server.url(path), self.server.route(path, handler)

    def run_tool(self, mode, url, extra=()):
        """One pass with the limits shortened, and the waits between a
        download's attempts too."""
        env = dict(os.environ, LAUNCHER_PATCH_BACKOFF_MS="100")
        try:
            return self.tool.run([mode, "--dir", self.tool.native(self.game), "--url", url] + list(extra),
                                 timeout_ms=LIMIT_MS, timeout_s=RUN_TIMEOUT_S, env=env)
        except subprocess.TimeoutExpired:
            self.fail("%s %s did not end within %.0f s" % (mode, url, RUN_TIMEOUT_S))

    def assertEnded(self, result, code, last, within_s, at_least_s=0.0):
        self.assertEqual(result.code, code, result.describe())
        self.assertTrue(result.lines, result.describe())
        self.assertEqual(result.lines[-1], last, result.describe())
        self.assertLess(result.elapsed_s, within_s, result.describe())
        self.assertGreaterEqual(result.elapsed_s, at_least_s, result.describe())

    def assertGameUnchanged(self, before):
        self.assertEqual(snapshot_changes(before, snapshot(self.game)), [])
        self.assertEqual(temporaries_below(self.game), [])

    def patch_one(self, name, handler, size, old):
        """A game folder holding `name` (old bytes) and a manifest whose one
        entry downloads it from handler: (manifest URL, file route)."""
        write_file(self.game / name, old)
        file_url, file_route = self.route("files/" + name, handler)
        manifest_url, _ = self.route("manifests/" + name, whole(manifest_text([(name, size, file_url)])))
        return manifest_url, file_route

    def test_trickling_heads_end_within_the_head_limit(self):
        """A head that trickles in, one line at a time well within the
        silence limit, ends the request when the head limit has passed: the
        manifest as unreachable, a file as an error with the old file kept.
        A head that arrives at once but is larger than 64 KiB is refused."""
        body = manifest_text([])
        url, _ = self.route("trickle-manifest", trickling_head(LIMIT_S / 8, body))
        result = self.run_tool("check", url)
        self.assertEnded(result, 2, UNREACHABLE, within_s=3 * LIMIT_S + SLACK_S, at_least_s=LIMIT_S * 0.8)

        new = payload("head", 5000)
        url, _ = self.patch_one("head.bin", trickling_head(LIMIT_S / 8, new), len(new), b"old head.bin")
        before = snapshot(self.game)
        result = self.run_tool("patch", url)
        self.assertEnded(result, 1, finished_with(1), within_s=3 * LIMIT_S + SLACK_S, at_least_s=LIMIT_S * 0.8)
        self.assertGameUnchanged(before)

        url, _ = self.route("large-head", oversized_head(body, 80 * 1024))
        result = self.run_tool("check", url)
        self.assertEnded(result, 2, UNREACHABLE, within_s=2 * LIMIT_S + SLACK_S)

    def test_trickling_bodies_end_within_the_rate_window(self):
        """Bodies whose bytes keep coming, but far below 1 KiB/s over the
        rate window (a byte every three quarters of the silence limit, two
        bytes a second), end when the first window closes short: the
        manifest as unreachable, a file as an error with the old file kept."""
        manifest = manifest_text([("f%d.bin" % i, i, "http://127.0.0.1:1/f%d" % i) for i in range(40)])
        for name, gap_s, step in [("one byte at a time", LIMIT_S * 3 / 4, 1), ("two bytes a second", 1.0, 2)]:
            with self.subTest(manifest=name):
                url, _ = self.route("trickle-manifest-%d" % step, trickling_body(manifest, gap_s, step))
                result = self.run_tool("check", url)
                self.assertEnded(result, 2, UNREACHABLE, within_s=3 * LIMIT_S + SLACK_S,
                                 at_least_s=LIMIT_S * 0.8)

        new = payload("body", 3000)
        url, _ = self.patch_one("body.bin", trickling_body(new, 1.0, 2), len(new), b"old body.bin")
        before = snapshot(self.game)
        result = self.run_tool("patch", url)
        self.assertEnded(result, 1, finished_with(1), within_s=3 * LIMIT_S + SLACK_S, at_least_s=LIMIT_S * 0.8)
        self.assertGameUnchanged(before)

    def test_abandoned_bodies_are_not_read_on(self):
        """When the engine gives up on a body that would go on for ever (a
        manifest without a length that reaches its 256 MiB cap; one that
        announces 10^12 bytes, refused before its body; a file body longer
        than the manifest says, on a keep-alive connection), the pass ends
        at once: nothing reads the rest of the body first."""
        url, route = self.route("endless-manifest", endless(None))
        result = self.run_tool("check", url)
        self.assertEnded(result, 2, UNREACHABLE, within_s=15.0)
        self.assertTrue(route.finished.wait(10), "the server never saw the manifest's connection end")
        self.assertGreaterEqual(route.sent, MANIFEST_CAP)
        self.assertLess(route.sent, MANIFEST_CAP + 64 * MIB)

        url, route = self.route("announced-manifest", endless(10 ** 12))
        result = self.run_tool("check", url)
        self.assertEnded(result, 2, UNREACHABLE, within_s=15.0)
        self.assertTrue(route.finished.wait(10), "the server never saw the manifest's connection end")
        self.assertLess(route.sent, 64 * MIB)

        size = 100000
        after = payload("after", 4000)
        old = b"old oversize.bin"
        write_file(self.game / "oversize.bin", old)
        file_url, file_route = self.route("files/oversize.bin", endless(10 ** 12, line=b"z" * 64))
        after_url, _ = self.route("files/after.bin", whole(after))
        url, _ = self.route("manifests/oversize", whole(manifest_text([
            ("oversize.bin", size, file_url), ("after.bin", len(after), after_url)])))
        result = self.run_tool("patch", url)
        self.assertEnded(result, 1, finished_with(1), within_s=15.0)
        self.assertEqual((self.game / "oversize.bin").read_bytes(), old)
        self.assertEqual((self.game / "after.bin").read_bytes(), after)  # the pass went on
        self.assertEqual(temporaries_below(self.game), [])
        self.assertTrue(file_route.finished.wait(10), "the server never saw the file's connection end")
        self.assertLess(file_route.sent, 64 * MIB)

    def test_encoded_bodies_are_refused(self):
        """The tool asks for unencoded bodies; a gzip-encoded manifest is
        unreachable, and a gzip-encoded file is an error even when its
        encoded length is the manifest's size. Nothing decodes silently."""
        plain = payload("plain", 20000)
        old = b"old encoded.bin"
        packed_manifest = gzip.compress(manifest_text([("encoded.bin", len(old), "http://127.0.0.1:1/x")]))
        url, route = self.route("gzip-manifest", whole(packed_manifest, extra=["Content-Encoding: gzip"]))
        result = self.run_tool("check", url)
        self.assertEnded(result, 2, UNREACHABLE, within_s=2 * LIMIT_S + SLACK_S)
        self.assertIn(b"\r\naccept-encoding: identity\r\n", route.heads[-1].lower())

        packed = gzip.compress(plain)
        url, file_route = self.patch_one("encoded.bin", whole(packed, extra=["Content-Encoding: gzip"]),
                                         len(packed), old)
        before = snapshot(self.game)
        result = self.run_tool("patch", url)
        self.assertEnded(result, 1, finished_with(1), within_s=2 * LIMIT_S + SLACK_S)
        self.assertGameUnchanged(before)
        self.assertIn(b"\r\naccept-encoding: identity\r\n", file_route.heads[-1].lower())

    def test_manifests_cut_in_transit_are_unreachable(self):
        """A manifest written by hand (no counted last line that would show
        the cut) is never read as complete when it was cut in transit: sent
        chunked and cut before its closing chunk, by FIN or by a reset (a
        while later, or right behind the data), or sent without a length and
        cut by a reset; even though every entry that arrived is in place."""
        entries = []
        for i in range(30):
            name = "have%02d.bin" % i
            write_file(self.game / name, payload(name, 100 + i))
            entries.append((name, 100 + i, "http://127.0.0.1:1/" + name))
        text = manifest_text(entries, counted=False)
        cut = text[:text.rindex(b"\n", 0, len(text) * 2 // 3) + 1]  # whole entries only
        before = snapshot(self.game)
        for name, handler in [("chunked, FIN", chunked_then_cut(cut, "fin")),
                              ("chunked, reset", chunked_then_cut(cut, "reset")),
                              ("chunked, reset at once", chunked_then_cut(cut, "reset", pause_s=0)),
                              ("no length, reset", unannounced_then_reset(cut))]:
            with self.subTest(manifest=name):
                url, _ = self.route("cut-" + name.replace(", ", "-").replace(" ", "-"), handler)
                result = self.run_tool("check", url)
                self.assertEnded(result, 2, UNREACHABLE, within_s=2 * LIMIT_S + SLACK_S)
        self.assertGameUnchanged(before)
        # The same manifest whole is fine: the files really are in place.
        url, _ = self.route("whole", whole(text))
        self.assertEnded(self.run_tool("check", url), 0, all_ok(len(entries)), within_s=2 * LIMIT_S + SLACK_S)

    def test_each_url_is_sent_as_the_same_request_target(self):
        """Both builds send each URL as one exact ASCII target; a URL with a
        control character or a user name is refused unasked, its password shown nowhere."""
        base = "/%s/files/" % self._testMethodName
        # What a backend could change of a prepared URL (the rules: request_url_test.cpp).
        sent = [  # (path as the manifest writes it, target on the wire)
            ("a b.bin", "a%20b.bin"),
            ("%41%2f.bin", "%41%2f.bin"),
            ("r;x=1,y(2)!$'*+|~.bin?k=v/w:@[]", "r;x=1,y(2)!$'*+|~.bin?k=v/w:@[]"),
            ("u\"<>^`{}.bin?\"<>^`{}", "u\"<>^`{}.bin?\"<>^`{}"),
            ("b\\s.bin?b=\\", "b%5Cs.bin?b=%5C"),
            ("x/./y/../dots.bin", "x/dots.bin"),
        ]
        password = "s3cret-Pw0rd"
        address = "127.0.0.1:%d%s" % (self.server.port, base)
        refused = [("tab.bin", "http://%st\tb.bin" % address), ("user.bin", "http://someone@%su.bin" % address),
                   ("login.bin", "http://someone:%s@%su.bin" % (password, address))]
        entries = [(name, 10, url) for name, url in refused]
        for i, (written, expected) in enumerate(sent):
            self.server.route(base + expected, whole(payload(str(i), 700)))
            entries.append(("%d.bin" % i, 700, self.server.url(base + written)))
        manifest_url, _ = self.route("manifest", whole(manifest_text(entries)))
        result = self.run_tool("patch", manifest_url)
        self.assertEnded(result, 1, finished_with(len(refused)), within_s=4 * LIMIT_S + SLACK_S)
        for i in range(len(sent)):
            self.assertEqual((self.game / ("%d.bin" % i)).read_bytes(), payload(str(i), 700), sent[i])
        for name, _ in refused:
            self.assertIn(name, result.stderr)

        # Nor is a manifest URL with a password ever asked for.
        check = self.run_tool("check", "http://someone:%s@%slisted" % (password, address))
        self.assertEnded(check, 2, UNREACHABLE, within_s=LIMIT_S + SLACK_S)
        with self.server.lock:
            self.assertEqual(sorted(t for t in self.server.targets if t.startswith(base)),
                             sorted(base + expected for _, expected in sent))
        for run in (result, check):
            self.assertNotIn(password, run.stderr + "\n".join(run.lines))

    def test_downloads_sharing_a_slow_link_share_the_rate_floor(self):
        """Eight downloads sharing a 1.5 KiB/s link (190 B/s each, under the 1 KiB/s
        floor) all arrive; a lone 100 B/s trickler beside seven quick files is cut
        as too slow after one window, in one attempt."""
        paced = PacedServer(link_rate=1536, piece=64)
        self.addCleanup(paced.stop)
        for group, rates, code, last, bounds in [
                ("link", ["link"] * 8, 0, "Downloaded 8 file(s). Ready.", (0, 8 * 2000 / 1536.0 + 4 * LIMIT_S)),
                ("mixed", [None] * 7 + [100], 1, finished_with(1), (LIMIT_S * 0.8, 2 * LIMIT_S))]:
            names = ["%s%d.bin" % (group, i) for i in range(8)]
            entries = [(name, 2000, paced.add(name, payload(name, 2000), rate)) for name, rate in zip(names, rates)]
            for name in names:
                write_file(self.game / name, b"old " + name.encode())
            result = self.run_tool("patch", paced.add(group, manifest_text(entries)), ["--jobs", "8"])
            self.assertEnded(result, code, last, within_s=bounds[1] + SLACK_S, at_least_s=bounds[0])
            for name, rate in zip(names, rates):
                self.assertEqual(paced.hits_of(name), 1, name)
                self.assertEqual((self.game / name).read_bytes(),
                                 b"old " + name.encode() if rate == 100 else payload(name, 2000), name)
        self.assertRegex(result.stderr, "mixed7.bin: .*too slow")


class LinuxHostileServerTest(HostileServerScenarios, unittest.TestCase):
    target = "linux"


class WindowsHostileServerTest(HostileServerScenarios, unittest.TestCase):
    target = "windows"


if __name__ == "__main__":
    unittest.main(verbosity=2)
