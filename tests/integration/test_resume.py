"""Retries and resuming of launcher-patch against a server that controls
every answer: transient failures retried with back-off, others not; a body
cut off resumed from where it stopped, with If-Range, in the same run and in
a later one, after a kill -9 too; a file that changed on the server never
spliced with its old bytes.

Runs against build/linux/launcher-patch and, under Wine, the Windows build
(LAUNCHER_PATCH_TARGET=linux|windows picks one). Standalone:
python3 tests/integration/test_resume.py
"""
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))

from console_tool import prepare_launcher_patch_class, run_target_classes  # noqa: E402
from harness import entry, manifest_bytes, temporaries_below, wait_until  # noqa: E402

CONTACTING = "Contacting patch server..."
BACKOFF_MS = 50        # every back-off wait, shortened for the tests
HOLD_LIMIT_S = 60.0    # longest a held answer waits for its release


def downloaded(count):
    return "Downloaded %d file(s). Ready." % count


def finished_with(errors):
    return "Finished with %d error(s)." % errors


@dataclass
class Version:
    """What a route serves when no fault is scripted: the body, its ETag,
    and answers to "Range: bytes=N-" with a 206 when If-Range still names
    this ETag (a whole 200 otherwise)."""
    body: bytes
    etag: str
    ignores_if_range: bool = False  # answers every Range with a 206, whatever If-Range names


@dataclass
class Route:
    version: Version
    faults: list = field(default_factory=list)  # consumed one per request, then the version is served
    requests: list = field(default_factory=list)  # the headers of every request, oldest first
    hold: threading.Event = None  # with "hold:N", the answer stops after N bytes until this is set
    holding: threading.Event = field(default_factory=threading.Event)  # set once a held answer stopped


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        with server.lock:
            route = server.routes.get(self.path)
            if route is None:
                fault = "404"
            else:
                route.requests.append({k.lower(): v for k, v in self.headers.items()})
                fault = route.faults.pop(0) if route.faults else None
        try:
            self._answer(route, fault)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def _reset(self):
        """Ends the connection with a TCP reset instead of a close."""
        self.wfile.flush()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    def _status_only(self, status, extra=None):
        body = b"status %d\n" % status
        self.send_response(status)
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _answer(self, route, fault):
        if fault is not None and fault.isdigit():
            self._status_only(int(fault))
            return
        version = route.version
        start = 0
        wanted = self.headers.get("Range", "")
        if wanted.startswith("bytes=") and wanted.endswith("-") and (
                version.ignores_if_range or self.headers.get("If-Range") == version.etag):
            start = int(wanted[len("bytes="):-1])
        if fault == "reset":
            self.send_response(200)
            self.send_header("Content-Length", str(len(version.body)))
            self.end_headers()
            self.wfile.write(version.body[:len(version.body) // 3])
            self._reset()
            return
        sent = version.body[start:]
        if start > 0:
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(version.body) - 1, len(version.body)))
        else:
            self.send_response(200)
        self.send_header("Content-Length", str(len(sent)))
        self.send_header("ETag", version.etag)
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        if fault is not None and fault.startswith("cut:"):
            self.wfile.write(sent[:int(fault[4:])])  # then the connection closes early
        elif fault is not None and fault.startswith("hold:"):
            self.wfile.write(sent[:int(fault[5:])])
            self.wfile.flush()
            route.holding.set()
            route.hold.wait(HOLD_LIMIT_S)
        else:
            self.wfile.write(sent)


class ScriptedServer:
    """HTTP on 127.0.0.1 whose routes answer as scripted."""

    def __init__(self):
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.routes = {}
        self.httpd.lock = threading.Lock()
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                       daemon=True)
        self.thread.start()

    def stop(self):
        for route in list(self.httpd.routes.values()):
            if route.hold is not None:
                route.hold.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)

    def add(self, path, route):
        with self.httpd.lock:
            self.httpd.routes["/" + path] = route
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def serve_text(self, path, text):
        return self.add(path, Route(Version(text, '"manifest"')))


class ResumeScenarios:
    target = None  # "linux" or "windows", set by the concrete classes

    @classmethod
    def setUpClass(cls):
        prepare_launcher_patch_class(cls, "launcher-resume")
        cls.server = ScriptedServer()
        cls.addClassCleanup(cls.server.stop)
        cls.tool.warm_up()

    def setUp(self):
        self.game = self.sandbox / self._testMethodName / "game"
        self.game.mkdir(parents=True)

    def publish(self, name, route, size=None):
        """A route for one file, and a manifest listing it; the manifest's URL."""
        url = self.server.add(self._testMethodName + "/" + name, route)
        size = len(route.version.body) if size is None else size
        return self.server.serve_text(self._testMethodName + "/manifest-" + name,
                                      manifest_bytes([entry(name, size, url)]))

    def environment(self, timeout_ms=5000):
        env = self.tool.environment(timeout_ms=timeout_ms)
        env["LAUNCHER_PATCH_BACKOFF_MS"] = str(BACKOFF_MS)
        return env

    def patch(self, manifest):
        args = ["patch", "--dir", self.tool.native(self.game), "--url", manifest]
        return self.tool.run(args, env=self.environment())

    def assertLast(self, result, code, last):
        self.assertEqual(result.code, code, result.describe())
        self.assertTrue(result.lines, result.describe())
        self.assertEqual(result.lines[-1], last, result.describe())

    # ---- scenarios -----------------------------------------------------

    def test_transient_failures_are_retried_and_others_are_not(self):
        """A reset, then a 503, then the body: one run, three requests, the
        file in place. A 404, a 403 and a body of the wrong size are asked
        for exactly once and fail; a file that fails three times is an error
        after exactly three requests."""
        body = random.Random(1).randbytes(30000)
        retried = Route(Version(body, '"v1"'), faults=["reset", "503"])
        result = self.patch(self.publish("retried.bin", retried))
        self.assertLast(result, 0, downloaded(1))
        self.assertEqual((self.game / "retried.bin").read_bytes(), body)
        self.assertEqual(len(retried.requests), 3)

        for name, route, size in [("missing.bin", Route(Version(b"", '"x"'), faults=["404"] * 5), 10),
                                  ("forbidden.bin", Route(Version(b"", '"x"'), faults=["403"] * 5), 10),
                                  ("short.bin", Route(Version(b"only this", '"s"')), 100),
                                  ("always-busy.bin", Route(Version(b"never", '"b"'), faults=["503"] * 5), 5)]:
            with self.subTest(file=name):
                result = self.patch(self.publish(name, route, size))
                self.assertLast(result, 1, finished_with(1))
                self.assertEqual(len(route.requests), 3 if name == "always-busy.bin" else 1)
                self.assertFalse((self.game / name).exists())
        self.assertEqual(temporaries_below(self.game), [])

    def test_a_cut_body_resumes_in_a_later_run_from_where_it_stopped(self):
        """The first run gets half the body, then only 503s: it fails and
        keeps the half. The second asks for the rest with Range and If-Range
        and the file comes out byte-identical, having moved little more than
        its size in all."""
        body = random.Random(2).randbytes(400000)
        half = len(body) // 2
        route = Route(Version(body, '"v-cut"'), faults=["cut:%d" % half, "503", "503"])
        manifest = self.publish("cut.bin", route)
        self.assertLast(self.patch(manifest), 1, finished_with(1))
        self.assertFalse((self.game / "cut.bin").exists())
        self.assertEqual(len(temporaries_below(self.game)), 2)  # the partial body and its record

        self.assertLast(self.patch(manifest), 0, downloaded(1))
        self.assertEqual((self.game / "cut.bin").read_bytes(), body)
        last = route.requests[-1]
        self.assertEqual(last.get("range"), "bytes=%d-" % half, route.requests)
        self.assertEqual(last.get("if-range"), '"v-cut"')
        self.assertEqual(temporaries_below(self.game), [])

    def test_a_file_changed_on_the_server_is_never_spliced(self):
        """Cut at half; then the server's file changes (same size, a new
        ETag). The next run's If-Range no longer matches, the server sends
        the whole new file, and that is what lands, never old bytes and new."""
        old = random.Random(3).randbytes(300000)
        new = random.Random(4).randbytes(len(old))
        # A server that ignores If-Range answers the rest of its new version
        # with a 206: its ETag tells it apart, and the file is fetched whole.
        for ignores in (False, True):
            with self.subTest(ignores_if_range=ignores):
                name = "changed-%s.bin" % ignores
                route = Route(Version(old, '"old"'), faults=["cut:%d" % (len(old) // 2), "503", "503"])
                manifest = self.publish(name, route)
                self.assertLast(self.patch(manifest), 1, finished_with(1))
                route.version = Version(new, '"new"', ignores_if_range=ignores)
                self.assertLast(self.patch(manifest), 0, downloaded(1))
                self.assertEqual((self.game / name).read_bytes(), new)
                self.assertEqual(route.requests[-1].get("if-range"), None if ignores else '"old"')

    def test_a_kill_in_the_middle_then_a_rerun_resumes(self):
        """kill -9 while the body is half there: the partial stays, and the
        next run asks only for the rest, ending byte-identical."""
        body = random.Random(5).randbytes(600000)
        route = Route(Version(body, '"v-kill"'), faults=["hold:%d" % (len(body) // 2)], hold=threading.Event())
        manifest = self.publish("killed.bin", route)
        args = ["patch", "--dir", self.tool.native(self.game), "--url", manifest]
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            # Limits long enough that the held answer is never given up on
            # before the kill.
            process = subprocess.Popen(self.tool.command(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                       env=self.environment(timeout_ms=120000))
            try:
                self.assertTrue(route.holding.wait(120), "the download never started")
                def partials():
                    return [p for p in temporaries_below(self.game) if p.endswith(".part")]

                wait_until(lambda: bool(partials()), 60, "the partial body to appear")
                part = self.game / partials()[0]
                wait_until(lambda: part.stat().st_size == len(body) // 2, 60, "the half body on the disk")
                process.kill()
                process.wait(timeout=60)
            finally:
                route.hold.set()
                if process.poll() is None:
                    process.kill()
                    process.wait()
        self.assertFalse((self.game / "killed.bin").exists())
        self.assertLast(self.patch(manifest), 0, downloaded(1))
        self.assertEqual((self.game / "killed.bin").read_bytes(), body)
        self.assertEqual(route.requests[-1].get("range"), "bytes=%d-" % (len(body) // 2))


class LinuxResumeTest(ResumeScenarios, unittest.TestCase):
    target = "linux"


class WindowsResumeTest(ResumeScenarios, unittest.TestCase):
    target = "windows"


if __name__ == "__main__":
    sys.exit(run_target_classes([LinuxResumeTest, WindowsResumeTest]))
