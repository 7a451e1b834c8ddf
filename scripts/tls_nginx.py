"""The private nginx of scripts/local_nginx.py serving TLS and HTTP/2 too,
with a throwaway certificate authority made for one run, for the HTTPS case
of bench/patchbench.py and the HTTPS scenario of the integration tests.

make_authority(folder) makes, with the openssl command, a CA and a server
certificate for 127.0.0.1 (subjectAltName IP:127.0.0.1, P-256 keys) in
folder, valid for two days; nothing goes into the system's trust store:
clients are handed the CA file (curl --cacert, SSL_CERT_FILE).

TlsNginx(root, workdir, authority) is a LocalNginx that also listens with
"ssl http2" on a second loopback port, tls_port, and logs every request as
"<connection serial> <protocol> <status> <uri> <end> <duration>", so that a
run can tell how many requests were served over HTTP/2, on how many
connections, and which of them ran at the same time.
Debian 12's nginx (1.22) takes http2 as a parameter of listen.
"""
import collections
import os
import subprocess
import time

from local_nginx import LocalNginx, accepts_connections, free_port

OPENSSL = "/usr/bin/openssl"
SERVER_EXTENSIONS = """basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1
"""
PORT_ATTEMPTS = 5  # a TLS port taken between choosing and binding is chosen again

# One line of tls.log: start and end are seconds (the end as nginx's clock
# says, the start that less the request's duration).
Served = collections.namedtuple("Served", "connection protocol status uri start end")


class Authority:
    def __init__(self, folder):
        self.ca = os.path.join(folder, "ca.pem")  # what clients trust
        self.certificate = os.path.join(folder, "server.pem")
        self.key = os.path.join(folder, "server.key")


def _openssl(folder, *arguments):
    result = subprocess.run([OPENSSL, *arguments], cwd=folder, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise RuntimeError(f"openssl {arguments[0]} failed: {result.stdout.decode(errors='replace')[-500:]}")


def make_authority(folder):
    """A CA and a server certificate for 127.0.0.1 it signed, in folder;
    RuntimeError when openssl is missing or fails."""
    if not os.access(OPENSSL, os.X_OK):
        raise RuntimeError(f"{OPENSSL} is missing (bench/run.sh installs it)")
    os.makedirs(folder, exist_ok=True)
    authority = Authority(folder)
    p256 = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    _openssl(folder, "req", "-x509", *p256, "-keyout", "ca.key", "-out", authority.ca, "-days", "2",
             "-subj", "/CN=patchbench throwaway CA",
             "-addext", "basicConstraints = critical, CA:TRUE",
             "-addext", "keyUsage = critical, keyCertSign, cRLSign")
    _openssl(folder, "req", "-new", *p256, "-keyout", authority.key, "-out", "server.csr",
             "-subj", "/CN=127.0.0.1")
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write(SERVER_EXTENSIONS)
    _openssl(folder, "x509", "-req", "-in", "server.csr", "-CA", authority.ca, "-CAkey", "ca.key",
             "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-days", "2",
             "-extfile", "server.ext", "-out", authority.certificate)
    return authority


class TlsNginx(LocalNginx):
    """LocalNginx (same options) also serving root with TLS and HTTP/2 on
    127.0.0.1:tls_port, every request logged to tls.log in its folder."""

    def __init__(self, root, workdir, authority, **options):
        super().__init__(root, workdir, start=False, **options)
        self.authority = authority
        self.log_path = self._path("tls.log")
        # log_format belongs to the http block, where the tuning goes.
        self.settings["tuning"] += "\n    log_format tls '$connection $server_protocol $status $request_uri $msec $request_time';"
        self.plain_extra = self.settings["extra"]
        self.tls_port = None

    def start(self, timeout_s=15.0):
        for attempt in range(PORT_ATTEMPTS):
            self.tls_port = free_port()
            self.settings["extra"] = "\n        ".join((
                f"listen 127.0.0.1:{self.tls_port} ssl http2;",
                f"ssl_certificate {self.authority.certificate};",
                f"ssl_certificate_key {self.authority.key};",
                "ssl_protocols TLSv1.2 TLSv1.3;",
                f"access_log {self.log_path} tls;",
                self.plain_extra))
            try:
                return super().start(timeout_s)
            except RuntimeError as problem:
                if attempt == PORT_ATTEMPTS - 1 or "in use" not in str(problem):
                    raise
        return self

    def _listening(self):
        return super()._listening() and accepts_connections(self.tls_port)

    def clear_log(self):
        """Empties tls.log (nginx appends, so its next lines start it)."""
        with open(self.log_path, "w"):
            pass

    def served(self, at_least, timeout_s=5.0):
        """(requests, requests over HTTP/2.0, distinct connections) in tls.log,
        once it holds at_least lines or timeout_s passed: nginx writes a
        line when its request ends, which may be just after the client
        has all it asked for."""
        deadline = time.monotonic() + timeout_s
        while True:
            with open(self.log_path, errors="replace") as f:
                lines = [line.split() for line in f if line.strip()]
            if len(lines) >= at_least or time.monotonic() >= deadline:
                break
            time.sleep(0.02)
        return (len(lines), sum(1 for fields in lines if fields[1] == "HTTP/2.0"),
                len({fields[0] for fields in lines}))

    def tls_url(self, path=""):
        return "https://127.0.0.1:%d/%s" % (self.tls_port, path.lstrip("/"))

    def served_requests(self, at_least, timeout_s=5.0):
        """Every line of tls.log as a Served, once it holds at_least lines
        or timeout_s passed."""
        self.served(at_least, timeout_s)
        with open(self.log_path, errors="replace") as f:
            fields = [line.split() for line in f if line.strip()]
        return [Served(c, p, int(s), u, float(end) - float(took), float(end)) for c, p, s, u, end, took in fields]
