"""A large file patched from the player's old copy: only the chunks the old
copy lacks travel, as byte ranges, and whatever goes wrong on the way (an
index that lies or is missing, a server that ignores Range, a range cut off)
still ends with exactly the published file.

The indexes come from the Linux launcher-manifest --chunks; the server here
answers "Range: bytes=F-L" itself and counts what it sends. Runs against
build/linux/launcher-patch and, under Wine, the Windows build
(LAUNCHER_PATCH_TARGET=linux|windows picks one). Standalone:
python3 tests/integration/test_delta.py
"""
import random
import struct
import sys
import tempfile
import threading
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from console_tool import ConsoleTool, prepare_launcher_patch_class, run_target_classes  # noqa: E402

INDEX_HEADER_BYTES = 68
INDEX_RECORD_BYTES = 28


class _RangeHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # ranges of one file share a kept-alive connection

    def log_message(self, *args):
        pass

    def do_GET(self):
        try:
            self._answer()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up on a whole body it did not want

    def _answer(self):
        server = self.server
        path = self.path.split("?", 1)[0]
        wanted = self.headers.get("Range")
        with server.lock:
            body = server.files.get(path)
            server.requests.append((path, wanted))
            cut = server.cut_after if wanted and server.cut_after else None
            server.cut_after = None if cut else server.cut_after
        if wanted and server.gather:
            self._gather()
        if body is None:
            self._send(404, b"missing\n", {})
            return
        if not wanted or server.ignore_range:
            self._send(200, body, {})
            return
        first, last = wanted[len("bytes="):].split("-")
        first, last = int(first), int(last) if last else len(body) - 1
        self._send(206, body[first:last + 1],
                   {"Content-Range": "bytes %d-%d/%d" % (first, last, len(body))}, cut)

    def _gather(self):
        """Holds the first ranges' answers until `gather` of them are asked
        for at once (or a few seconds pass), and notes the most seen at once."""
        server = self.server
        with server.arrived:
            server.in_flight += 1
            server.most_at_once = max(server.most_at_once, server.in_flight)
            server.arrived.notify_all()
            server.arrived.wait_for(lambda: server.most_at_once >= server.gather, timeout=5)
        with server.arrived:
            server.in_flight -= 1

    def _send(self, status, body, headers, cut=None):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        sent = body[:cut] if cut else body
        self.wfile.write(sent)
        self.wfile.flush()
        path = self.path.split("?", 1)[0]
        with self.server.lock:
            self.server.sent[path] = self.server.sent.get(path, 0) + len(sent)
        if cut:
            self.close_connection = True


class _QuietServer(ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # A client that drops its connection (the launcher leaving a range
        # for the whole file) is part of the scenarios, not a server fault.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class RangeServer:
    """Serves files by path with Range answers; counts requests and bytes."""

    def __init__(self):
        self.httpd = _QuietServer(("127.0.0.1", 0), _RangeHandler)
        self.httpd.daemon_threads = True
        self.httpd.lock = threading.Lock()
        self.httpd.arrived = threading.Condition()
        self.reset()
        self.httpd.files = {}
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                       daemon=True)
        self.thread.start()

    def reset(self, ignore_range=False, cut_after=None, gather=0):
        with self.httpd.lock:
            self.httpd.requests, self.httpd.sent = [], {}
            self.httpd.ignore_range, self.httpd.cut_after = ignore_range, cut_after
            self.httpd.gather, self.httpd.in_flight, self.httpd.most_at_once = gather, 0, 0

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.httpd.server_address[1], path)

    def put(self, path, body):
        with self.httpd.lock:
            self.httpd.files["/" + path] = body

    def requests_of(self, path):
        with self.httpd.lock:
            return [wanted for p, wanted in self.httpd.requests if p == "/" + path]

    def sent_of(self, path):
        with self.httpd.lock:
            return self.httpd.sent.get("/" + path, 0)


def changed(data, rng, changes, piece, insert=0):
    """data with `changes` pieces of random bytes written over it, and
    `insert` random bytes put in near its start."""
    out = bytearray(data)
    for k in range(changes):
        at = (k + 1) * len(out) // (changes + 1)
        out[at:at + piece] = rng.randbytes(piece)
    if insert:
        out[4096:4096] = rng.randbytes(insert)
    return bytes(out)


class DeltaScenarios:
    target = None  # "linux" or "windows", set by the concrete classes
    size = 3 << 20

    @classmethod
    def setUpClass(cls):
        prepare_launcher_patch_class(cls, "launcher-delta")
        cls.publisher = ConsoleTool("launcher-manifest")
        if not cls.publisher.exe.exists():
            raise unittest.SkipTest("the Linux launcher-manifest is not built")
        cls.server = RangeServer()
        cls.addClassCleanup(cls.server.stop)
        cls.tool.warm_up()

    def publish(self, name, body):
        """Publishes body as name with its chunk index; the manifest's URL."""
        folder = self.sandbox / self._testMethodName
        (folder / "published").mkdir(parents=True, exist_ok=True)
        (folder / "published" / name).write_bytes(body)
        prefix = self._testMethodName + "/"
        result = self.publisher.run(["--chunks", str(folder / "chunks"), str(folder / "published"),
                                     self.server.url(prefix)])
        self.assertEqual(result.code, 0, result.describe())
        self.server.put(prefix + name, body)
        self.server.put(prefix + name + ".chunks", (folder / "chunks" / (name + ".chunks")).read_bytes())
        self.server.put(prefix + "manifest", result.stdout)
        return self.server.url(prefix + "manifest")

    def patch_over(self, old, manifest, name):
        game = self.sandbox / self._testMethodName / "game"
        game.mkdir(parents=True, exist_ok=True)
        (game / name).write_bytes(old)
        env = self.tool.environment(timeout_ms=5000)
        env["LAUNCHER_PATCH_BACKOFF_MS"] = "50"
        result = self.tool.run(["patch", "--dir", self.tool.native(game), "--url", manifest], env=env)
        self.assertEqual(result.code, 0, result.describe())
        self.assertEqual(result.lines[-1], "Downloaded 1 file(s). Ready.", result.describe())
        return (game / name).read_bytes()

    def test_old_copy_spares_what_it_has(self):
        rng = random.Random(7)
        old = rng.randbytes(self.size)
        # A few changes and an insertion near the start: only ranges travel.
        new = changed(old, rng, 4, 5000, insert=1000)
        manifest = self.publish("data.pak", new)
        self.server.reset(gather=3)
        self.assertEqual(self.patch_over(old, manifest, "data.pak"), new)
        # The ranges of one file travel over several transfers at once.
        self.assertGreaterEqual(self.server.httpd.most_at_once, 3)
        ranges = self.server.requests_of(self._testMethodName + "/data.pak")
        self.assertTrue(ranges and all(r and r.startswith("bytes=") and not r.endswith("-") for r in ranges), ranges)
        # Each change costs the chunk or two around it (about 40 KiB each).
        self.assertLess(self.server.sent_of(self._testMethodName + "/data.pak"), 5 * 2 * 48 * 1024)
        self.assertEqual(len(self.server.requests_of(self._testMethodName + "/data.pak.chunks")), 1)
        # Changes everywhere: never more than the file and its index travel.
        other = rng.randbytes(self.size)
        self.server.reset()
        self.assertEqual(self.patch_over(other, manifest, "data.pak"), new)
        travelled = self.server.sent_of(self._testMethodName + "/data.pak")
        self.assertLessEqual(travelled, len(new))

    def test_any_fault_still_gives_the_published_file(self):
        rng = random.Random(11)
        old = rng.randbytes(self.size)
        new = changed(old, rng, 3, 5000)  # the same size, so the old copy's index fits the new file's
        path = self._testMethodName + "/data.pak"
        manifest = self.publish("data.pak", new)
        good_index = self.server.httpd.files["/" + path + ".chunks"]
        self.publish("data.pak", old)
        old_index = self.server.httpd.files["/" + path + ".chunks"]
        manifest = self.publish("data.pak", new)
        wrong_offset = bytearray(good_index)
        struct.pack_into("<Q", wrong_offset, INDEX_HEADER_BYTES + INDEX_RECORD_BYTES, 5)
        wrong_size = bytearray(good_index)
        struct.pack_into("<Q", wrong_size, 24, self.size + 1)
        lying = {
            "hashes of another file": old_index[:32] + good_index[32:64] + old_index[64:],
            "wrong offset": bytes(wrong_offset),
            "wrong size": bytes(wrong_size),
            "cut short": good_index[:-5],
            "missing": None,
        }
        for what, index in lying.items():
            with self.subTest(index=what):
                if index is None:
                    del self.server.httpd.files["/" + path + ".chunks"]
                else:
                    self.server.put(path + ".chunks", index)
                self.server.reset()
                self.assertEqual(self.patch_over(old, manifest, "data.pak"), new)
        self.server.put(path + ".chunks", good_index)
        # A server that answers every range with the whole file.
        self.server.reset(ignore_range=True)
        self.assertEqual(self.patch_over(old, manifest, "data.pak"), new)
        # A range cut off in its middle: its rest is asked for.
        self.server.reset(cut_after=2000)
        self.assertEqual(self.patch_over(old, manifest, "data.pak"), new)
        ranges = self.server.requests_of(path)
        first, last = ranges[0][len("bytes="):].split("-")
        self.assertIn("bytes=%d-%s" % (int(first) + 2000, last), ranges[1:])


class LinuxDeltaTest(DeltaScenarios, unittest.TestCase):
    target = "linux"


class WindowsDeltaTest(DeltaScenarios, unittest.TestCase):
    target = "windows"
    size = 2 << 20  # Wine is slower


if __name__ == "__main__":
    sys.exit(run_target_classes([LinuxDeltaTest, WindowsDeltaTest]))
