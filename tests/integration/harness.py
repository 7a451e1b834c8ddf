"""Integration harness for launcher-patch: a private nginx serving a generated
patch tree, a scripted fault server for the answers nginx will not give,
helpers that write manifests and game folders; the tool itself runs through
tests/support/console_tool.py (the Linux build directly, the Windows build
under Wine).

Everything listens on 127.0.0.1 only. Every wait is a poll against a
deadline; every server thread stops by itself when its owner stops it or
when its own bounded wait runs out.
"""
import os
import re
import socket
import sys
import threading
import time
import urllib.parse
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))

from local_nginx import LocalNginx  # noqa: E402

# Longest a scripted stall holds its connection when nobody stops it (s).
STALL_LIMIT_S = 60.0


def wait_until(condition, timeout_s, what):
    """Polls condition() until it is true; raises TimeoutError at the deadline."""
    deadline = time.monotonic() + timeout_s
    while True:
        if condition():
            return
        if time.monotonic() >= deadline:
            raise TimeoutError("gave up waiting for " + what)
        time.sleep(0.02)


# --------------------------------------------------------------------------
# nginx


class Nginx(LocalNginx):
    """One private nginx instance (scripts/local_nginx.py) with its pid file,
    logs and temporary folders under workdir, serving root; start() starts
    it. The access log holds "<status> <request uri>" per request, read with
    requests()."""

    def __init__(self, root, workdir):
        super().__init__(root, workdir, start=False, access_log=True, sendfile=False,
                         keepalive_requests=None, keepalive_timeout="15s", txt_as_text=False,
                         extra_config="server_name localhost;")


# --------------------------------------------------------------------------
# Fault server


@dataclass
class Reply:
    """A scripted answer. body is what is actually sent; content_length is
    what the head announces ("auto" for len(body), None for no header, then
    the body ends when the connection closes). stall keeps the connection
    open after the body until the server stops (or STALL_LIMIT_S)."""
    status: int = 200
    body: bytes = b""
    content_length: object = "auto"
    headers: dict = field(default_factory=dict)
    stall: bool = False


@dataclass
class Endless:
    """A 200 answer without a length whose body is line after line of
    comment text, until limit_bytes were sent or the client went away.
    Serves one request."""
    limit_bytes: int
    chunk_bytes: int = 1 << 20
    sent_bytes: int = 0  # handed to the connection so far
    finished: threading.Event = field(default_factory=threading.Event)


@dataclass
class Held:
    """A 200 answer with its Content-Length that sends the first `first`
    bytes of body, sets `started`, holds the connection until `release` is
    set (or STALL_LIMIT_S passed), then sends the rest. Serves any number
    of requests, each held the same way."""
    body: bytes
    first: int
    release: threading.Event = field(default_factory=threading.Event)
    started: threading.Event = field(default_factory=threading.Event)


@dataclass
class BarQuery:
    """Serves body only when the raw request target contains a vertical bar
    (raw or percent-escaped); 404 otherwise."""
    body: bytes


class _FaultHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"  # every answer ends with its connection

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        with server.lock:
            server.hits.append(self.path)
            route = server.routes.get(self.path)
            if route is None:
                route = server.routes.get(self.path.split("?", 1)[0])
        if route is None:
            route = Reply(status=404, body=b"no such route\n")
        if isinstance(route, BarQuery):
            target = self.path
            ok = "|" in target or "%7c" in target.lower()
            route = Reply(body=route.body) if ok else Reply(status=404, body=b"bar lost\n")
        try:
            if isinstance(route, Endless):
                self._endless(route)
            elif isinstance(route, Paced):
                _send_paced(self, route)
            elif isinstance(route, Held):
                self._held(route)
            else:
                self._reply(route)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def _reply(self, r):
        self.send_response(r.status)
        length = len(r.body) if r.content_length == "auto" else r.content_length
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in r.headers.items():
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(r.body)
        self.wfile.flush()
        if r.stall:
            self.server.stopping.wait(STALL_LIMIT_S)

    def _held(self, r):
        self.send_response(200)
        self.send_header("Content-Length", str(len(r.body)))
        self.send_header("ETag", '"held-%d"' % len(r.body))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(r.body[:r.first])
        self.wfile.flush()
        r.started.set()
        r.release.wait(STALL_LIMIT_S)
        self.wfile.write(r.body[r.first:])
        self.wfile.flush()

    def _endless(self, r):
        self.send_response(200)
        self.send_header("Connection", "close")
        self.end_headers()
        line = b"#" + b"x" * 62 + b"\n"
        chunk = line * (r.chunk_bytes // len(line))
        try:
            while r.sent_bytes < r.limit_bytes and not self.server.stopping.is_set():
                self.wfile.write(chunk)
                r.sent_bytes += len(chunk)
            self.wfile.flush()
        finally:
            r.finished.set()


class FaultServer:
    """HTTP server on 127.0.0.1 answering each request target with a
    scripted Reply (looked up with, then without, its query). Records every
    request target in hits."""

    def __init__(self):
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), _FaultHandler)
        self.httpd.daemon_threads = True
        self.httpd.routes = {}
        self.httpd.hits = []
        self.httpd.lock = threading.Lock()
        self.httpd.stopping = threading.Event()
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                       daemon=True)

    def start(self):
        self.thread.start()  # the socket listens since construction

    def stop(self):
        self.httpd.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=10)

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def route(self, path, reply):
        with self.httpd.lock:
            self.httpd.routes["/" + path.lstrip("/")] = reply
        return self.url(path)

    def hits_of(self, path):
        target = "/" + path.lstrip("/")
        with self.httpd.lock:
            return sum(1 for hit in self.httpd.hits if hit.split("?", 1)[0] == target)


class SilentListener:
    """A socket that listens but never accepts: the kernel completes the
    handshake, the request goes unanswered. Also tells afterwards whether
    anyone connected at all (a queued connection can still be accepted)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]

    def was_contacted(self):
        self.sock.setblocking(False)
        try:
            conn, _ = self.sock.accept()
        except BlockingIOError:
            return False
        conn.close()
        return True

    def close(self):
        self.sock.close()


# --------------------------------------------------------------------------
# Manifests, game folders and trees


def manifest_bytes(lines, crlf=False):
    """Joins str/bytes lines with LF (or CR LF) into UTF-8 manifest text."""
    eol = b"\r\n" if crlf else b"\n"
    parts = [line if isinstance(line, bytes) else line.encode("utf-8") for line in lines]
    return eol.join(parts) + eol


def entry(relative_path, size, url):
    return "%s|%s|%s" % (relative_path, size, url)


def write_file(path, content):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content)
    return path


def write_launcher_ini(game, patch_url, extra=""):
    text = "[launcher]\r\nPatchURL=%s\r\n%s" % (patch_url, extra)
    write_file(Path(game) / "launcher.ini", text.encode("utf-8"))


def snapshot(root):
    """Every file, folder and link below root: relative path -> content
    (bytes for files, "<dir>" for folders, "-> target" for links)."""
    root = Path(root)
    result = {}
    for folder, dirs, files in os.walk(root, followlinks=False):
        for name in dirs + files:
            p = Path(folder) / name
            rel = str(p.relative_to(root))
            if p.is_symlink():
                result[rel] = "-> " + os.readlink(p)
            elif p.is_dir():
                result[rel] = "<dir>"
            else:
                result[rel] = p.read_bytes()
    return result


def snapshot_changes(before, after):
    """Human-readable list of what differs between two snapshots."""
    changes = []
    for key in sorted(set(before) | set(after)):
        if key not in before:
            changes.append("created " + key)
        elif key not in after:
            changes.append("removed " + key)
        elif before[key] != after[key]:
            changes.append("changed " + key)
    return changes


TEMPORARY_NAME = re.compile(r"\.~launcher-[0-9a-f]{16}\.(part|meta)")


def temporaries_below(root):
    """The download temporaries (and their resume records) the engine left
    below root."""
    return sorted(str(p.relative_to(root)) for p in Path(root).rglob(".~launcher-*")
                  if TEMPORARY_NAME.fullmatch(p.name))


def temporary_name(file_name):
    """The name of the temporary the engine gives a file of this name: a
    64-bit FNV-1a hash of its UTF-16 units (low byte first) in 16 hex
    digits, so a test can plant one where the engine will look."""
    value = 0xCBF29CE484222325
    for byte in file_name.encode("utf-16-le"):
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return ".~launcher-%016x.part" % value


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def quote_path(relative):
    return urllib.parse.quote(relative)


# --------------------------------------------------------------------------
# A slow link shared by every download


@dataclass
class Paced:
    """A 200 with its length whose body goes out in pieces: at once (rate
    None), at rate bytes per second, or ("link") through the server's link."""
    body: bytes
    rate: object = None


def _send_paced(handler, r):
    server = handler.server
    handler.send_response(200)
    handler.send_header("Content-Length", str(len(r.body)))
    handler.end_headers()
    step = len(r.body) if r.rate is None else server.piece
    turn = time.monotonic()
    for at in range(0, len(r.body), step or 1):
        piece = r.body[at:at + step]
        if r.rate == "link":  # the next turn at the end of the link's line
            with server.lock:
                turn = max(time.monotonic(), server.link_free_at)
                server.link_free_at = turn + len(piece) / server.link_rate
        if server.stopping.wait(max(0.0, turn - time.monotonic())):
            return
        handler.wfile.write(piece)
        if r.rate not in (None, "link"):
            turn += len(piece) / r.rate


class PacedServer(FaultServer):
    """A FaultServer whose add()ed bodies are Paced; the "link" ones share one
    link of link_rate bytes per second in turns of `piece` bytes, round robin."""

    def __init__(self, link_rate, piece=128):
        super().__init__()
        self.httpd.link_rate, self.httpd.piece = float(link_rate), piece
        self.httpd.link_free_at = time.monotonic()
        self.start()

    def add(self, path, body, rate=None):
        return self.route(path, Paced(body, rate))
