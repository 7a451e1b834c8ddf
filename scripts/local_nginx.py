"""Runs Debian's nginx on a free loopback port serving one folder.

Used by the demo and the tests: its own configuration, pid, logs and temp
folders live in a private folder, so it needs no root and touches nothing
of the system's nginx. Only 127.0.0.1 is ever bound.
"""
import os
import socket
import subprocess
import tempfile
import time

NGINX = "/usr/sbin/nginx"

CONFIG = """
daemon off;
worker_processes 1;
pid {state}/nginx.pid;
error_log {state}/error.log warn;
events {{ worker_connections 256; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    keepalive_timeout 120s;
    client_body_temp_path {state}/body;
    proxy_temp_path {state}/proxy;
    fastcgi_temp_path {state}/fastcgi;
    uwsgi_temp_path {state}/uwsgi;
    scgi_temp_path {state}/scgi;
    types {{ text/plain txt; }}
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        {extra}
    }}
}}
"""


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, deadline_s=10.0, process=None):
    """True once 127.0.0.1:port accepts connections, False at the deadline."""
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        if process is not None and process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.02)
    return False


class LocalNginx:
    """nginx serving root on 127.0.0.1; use as a context manager or call stop()."""

    def __init__(self, root, extra_config=""):
        self.root = os.path.abspath(root)
        self.state = tempfile.mkdtemp(prefix="launcher-nginx-")
        self.port = free_port()
        with open(os.path.join(self.state, "nginx.conf"), "w") as f:
            f.write(CONFIG.format(state=self.state, port=self.port, root=self.root, extra=extra_config))
        self.process = subprocess.Popen(
            [NGINX, "-p", self.state, "-c", os.path.join(self.state, "nginx.conf")],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not wait_for_port(self.port, 10.0, self.process):
            self.stop()
            raise RuntimeError("nginx did not start")

    def url(self, path=""):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        subprocess.run(["rm", "-rf", self.state])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
