"""Runs Debian's nginx on a free loopback port serving one folder.

The one way the demo, the tests and the benchmark start a web server: its own
configuration, pid file, logs and temporary folders live in a private folder,
so it needs no root and touches nothing of the system's nginx. Only
127.0.0.1 is ever bound.

nginx runs in the foreground as a single process (no master, no workers), so
stopping it is one signal to one pid, and it reads the served folder as the
user that started it. Linux sends it SIGTERM when the thread that started it
ends, so a runner killed from outside leaves no server behind.
"""
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

NGINX = "/usr/sbin/nginx"

CONFIG = """
daemon off;
master_process off;
worker_processes 1;
pid {state}/nginx.pid;
error_log {state}/error.log warn;
events {{ worker_connections 256; }}
http {{
    log_format plain '$status $request_uri';
    access_log {access_log};
    {tuning}
    client_body_temp_path {state}/temp/body;
    proxy_temp_path {state}/temp/proxy;
    fastcgi_temp_path {state}/temp/fastcgi;
    uwsgi_temp_path {state}/temp/uwsgi;
    scgi_temp_path {state}/temp/scgi;
    {types}
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        {extra}
    }}
}}
"""

# Attempts at a port before giving up: another program may take the chosen
# port between free_port() and nginx binding it.
PORT_ATTEMPTS = 5


def free_port():
    """A TCP port on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts_connections(port):
    """True when 127.0.0.1:port accepts a connection right now."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


try:
    # Looked up here, not in the child: a fresh child of a threaded program
    # should do as little as possible before exec.
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):
    _prctl = None


def _end_with_parent():
    """Runs in the child before exec: asks Linux to send it SIGTERM when the
    thread that started it ends."""
    if _prctl is not None:
        _prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class LocalNginx:
    """nginx serving root on 127.0.0.1:port.

    Starts at once (start=False defers it to start()) and returns when it
    accepts connections; use it as a context manager or call stop().
    workdir holds its files (a temporary folder, removed by stop(), when
    None). Options:
      access_log          log "<status> <request uri>" per request, read
                          back with requests()
      sendfile            sendfile and tcp_nopush on
      keepalive_requests  requests per connection (None: nginx's default)
      keepalive_timeout   idle time of a kept connection
      txt_as_text         serve .txt files as text/plain (else, like every
                          other file, as application/octet-stream)
      extra_config        directives added to the server block
    """

    def __init__(self, root, workdir=None, *, access_log=False, sendfile=True,
                 keepalive_requests=100000, keepalive_timeout="120s", txt_as_text=True,
                 extra_config="", start=True, timeout_s=15.0):
        self.root = os.path.abspath(root)
        self.owns_state = workdir is None
        self.state = tempfile.mkdtemp(prefix="launcher-nginx-") if workdir is None \
            else os.path.abspath(workdir)
        tuning = ["sendfile on;", "tcp_nopush on;"] if sendfile else []
        if keepalive_requests is not None:
            tuning.append("keepalive_requests %d;" % keepalive_requests)
        tuning.append("keepalive_timeout %s;" % keepalive_timeout)
        self.settings = dict(
            access_log=os.path.join(self.state, "access.log") + " plain" if access_log else "off",
            tuning="\n    ".join(tuning), types="types { text/plain txt; }" if txt_as_text else "",
            extra=extra_config)
        self.port = None
        self.process = None
        if start:
            self.start(timeout_s)

    def _path(self, name):
        return os.path.join(self.state, name)

    def _read(self, name):
        try:
            with open(self._path(name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _listening(self):
        """True once this nginx listens: it writes its pid file after it
        bound the port, so a connection accepted before that is someone
        else's listener on the same port."""
        return self._read("nginx.pid").strip() == str(self.process.pid) and accepts_connections(self.port)

    def start(self, timeout_s=15.0):
        """Starts nginx and returns once it accepts connections. A port taken
        by someone else between choosing and binding is retried with another;
        RuntimeError when nginx cannot start, TimeoutError when it does not
        listen within timeout_s."""
        os.makedirs(self.root, exist_ok=True)
        for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.makedirs(self._path(os.path.join("temp", sub)), exist_ok=True)
        config = self._path("nginx.conf")
        last_error = ""
        for _ in range(PORT_ATTEMPTS):
            self.port = free_port()
            if os.path.exists(self._path("nginx.pid")):
                os.remove(self._path("nginx.pid"))
            with open(config, "w") as f:
                f.write(CONFIG.format(state=self.state, port=self.port, root=self.root, **self.settings))
            # Output goes to a file nobody has to drain.
            with open(self._path("stderr.log"), "wb") as log:
                self.process = subprocess.Popen(
                    [NGINX, "-p", self.state, "-c", config, "-e", self._path("error.log")],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log, preexec_fn=_end_with_parent)
            deadline = time.monotonic() + timeout_s
            while self.process.poll() is None and not self._listening():
                if time.monotonic() >= deadline:
                    self.stop()
                    raise TimeoutError("nginx did not listen on 127.0.0.1:%d within %.0f s"
                                       % (self.port, timeout_s))
                time.sleep(0.02)
            if self.process.poll() is None:
                return self
            last_error = (self._read("stderr.log") + self._read("error.log"))[-2000:]
            self.process = None
        self.stop()
        raise RuntimeError("nginx did not start: " + last_error)

    def url(self, path=""):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def requests(self):
        """(status, request uri) of every request logged so far (with
        access_log on; nginx writes each line when its request ends)."""
        result = []
        for line in self._read("access.log").splitlines():
            status, _, uri = line.partition(" ")
            result.append((int(status), uri))
        return result

    def stop(self):
        """Ends nginx (and removes the folder it made itself); safe to call
        more than once."""
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait(timeout=10)
            self.process = None
        if self.owns_state:
            shutil.rmtree(self.state, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
