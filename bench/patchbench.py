#!/usr/bin/env python3
"""Patch throughput, check speed and memory of launcher-patch, next to curl.

Serves a generated patch tree from a private nginx on 127.0.0.1 and times:
  (i)   patch of 2,000 files of 16 KiB into an empty game folder (against
        curl one transfer after another and curl --parallel --parallel-max 8),
  (ii)  patch of 4 files of 256 MiB into an empty game folder,
  (iii) check of a 100,000-entry manifest whose files are all present,
  (iv)  patch of 300 files of 16 KiB through bench/latency_proxy.py, which
        delays every chunk by 25 ms each way (a 50 ms round trip), with the
        launcher's default settings, against curl --parallel --parallel-max 8
        and aria2c -j 8 fetching the same URLs, and the Windows build under
        Wine (--windows-tool) against the same curl figure,
  (v)   resume (a hook, reporting MISS until launcher-patch resumes): one
        256 MiB file through the proxy, the first pass killed once half the
        file reached it, then a second pass; the bytes the server sent in
        both, as counted by the proxy, against the file's size,
  (vii) check of case (iii)'s files with a manifest that gives every
        SHA-256, the game folder's hash cache (launcher.hashes) warm,
        against find printing every file's size (find -printf '%s'): the
        cache must keep a hashed check as fast as a walk of the sizes; the
        first check, which hashes every file, is logged too,
  (vi)  the cost of per-file SHA-256: case (ii)'s files patched with a
        manifest whose URLs end in "#sha256=..." against the same manifest
        without them (the launcher hashes while it writes), once at full
        loopback speed, where the two cores are the limit, and once with
        each download paced to PACED_RATE by nginx (4 x 100 MiB/s, faster
        than most players' links), where the network is, and
        launcher-manifest --sha256 over a tree of about 2.5 GiB (case (ii)'s
        and (i)'s files linked in, six more of 256 MiB) against sha256sum over
        the same files, both reading from the page cache; every digest the
        tool writes is compared with sha256sum's,
  (viii) case (iv)'s 300 files over HTTPS: a second nginx serving TLS and
        HTTP/2 with a certificate for 127.0.0.1 from a throwaway CA made by
        scripts/tls_nginx.py in the temporary folder, behind its own latency
        proxy (25 ms each way); launcher-patch trusting that CA through
        SSL_CERT_FILE against curl --parallel --parallel-max 100 --http2
        --cacert, wall time and CPU time (user + system) of each, with the
        requests nginx served over HTTP/2 and the TLS connections each tool
        opened, from its access log.
The patch cases' manifests are made by launcher-manifest (the one beside
--tool), as a server operator makes them; cases (i) and (ii) are compared
with one curl process fetching the same URLs (manifest included) one after
another over its reused connection. Every download is verified (file count,
sizes, SHA-256 of samples) so that a run which skipped or mangled files
cannot look fast. Each child's peak RSS comes from wait4 in
bench/peak_rss.c, per process.

Normally started through bench/run.sh, which builds the tools first:
  bench/patchbench.py --tool build/bench/launcher-patch --peak-rss build/bench/peak_rss
                      [--windows-tool build/bench-windows/launcher-patch.exe]
                      [--wine-prefix DIR] [--runs 5] [--large-runs 3]
                      [--latency-runs 5] [--skip-large] [--skip-latency]
                      [--skip-resume] [--skip-hashing] [--hashing-runs 3]
                      [--skip-https | --only-https] [--https-runs 5] [--keep]
Needs python3, nginx (/usr/sbin/nginx, with its http2 module for (viii)),
curl, openssl for (viii) and aria2c (without aria2c its row is left out);
Wine for the Windows row. Load averages are logged beside (i) and (viii).
Prints PASS/MISS per target and exits 0 unless the setup itself or a
verification failed (a failure of (viii) is reported after the table).
"""
import argparse
import hashlib
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True  # keep scripts/ free of __pycache__
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "scripts"))
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
from console_tool import ConsoleTool, make_manifest  # noqa: E402
from latency_proxy import LatencyProxy  # noqa: E402  (beside this file)
from local_nginx import NGINX, LocalNginx, _end_with_parent  # noqa: E402
from tls_nginx import TlsNginx, make_authority  # noqa: E402
from wine import WineRequired, wine_ready  # noqa: E402

MiB = 1024 * 1024
GiB = 1024 * MiB

SMALL_COUNT, SMALL_BYTES, SMALL_FOLDERS = 2000, 16 * 1024, 20
LARGE_COUNT, LARGE_BYTES = 4, 256 * MiB
CHECK_COUNT, CHECK_FOLDERS, CHECK_MAX_BYTES = 100_000, 100, 100
LATENCY_COUNT, LATENCY_BYTES, LATENCY_FOLDERS = 300, 16 * 1024, 10
LATENCY_DELAY_S = 0.025  # each way: a round trip costs 50 ms
LATENCY_PARALLEL = 8     # curl --parallel-max and aria2c -j
RESUME_BYTES = 256 * MiB

SMALL_RATIO_TARGET = 1.10
SMALL_PARALLEL = 8                # (i) also against curl --parallel --parallel-max 8
SMALL_PARALLEL_RATIO_TARGET = 1.2
HTTPS_PARALLEL = 100              # (viii) curl --parallel-max
HTTPS_TIME_RATIO_TARGET = 1.2     # (viii) wall time against curl's
HTTPS_CPU_RATIO_TARGET = 2.0      # (viii) user + system time against curl's
LARGE_RATIO_TARGET = 1.05
CHECK_SECONDS_TARGET = 1.0
HASHED_CHECK_RATIO_TARGET = 1.2   # (vii) check with hashes and a warm cache / find -printf '%s'
FIND = shutil.which("find") or "/usr/bin/find"
PATCH_RSS_TARGET_MIB = 32.0
LATENCY_RATIO_TARGET = 1.0        # against curl and against aria2c
LATENCY_WINE_RATIO_TARGET = 1.3   # the Windows build under Wine against curl
RESUME_TRAFFIC_TARGET = 1.10      # bytes sent in both passes / file size
HASHED_PATCH_RATIO_TARGET = 1.10  # (vi) patch with #sha256= / the same without
PACED_MIB_S = 100  # (vi) nginx's limit_rate per download of the paced rows
PACED_RATE = f"{PACED_MIB_S}m"
PACED_PREFIX = "paced"  # the URL folder nginx serves the tree from at that pace
MANIFEST_HASH_RATIO_TARGET = 1.2  # (vi) launcher-manifest --sha256 / sha256sum
HASH_TREE_EXTRA_COUNT = 6         # (vi) files of 256 MiB added to (ii)'s and (i)'s
SHA256SUM = shutil.which("sha256sum") or "/usr/bin/sha256sum"

CURL = shutil.which("curl") or "/usr/bin/curl"
ARIA2C = shutil.which("aria2c") or "/usr/bin/aria2c"


def log(text):
    print(text, file=sys.stderr, flush=True)


class BenchError(Exception):
    pass


# ---------------------------------------------------------------- child runs

class RunResult:
    def __init__(self, seconds, peak_mib, exit_code, cpu_seconds, stdout_path):
        self.seconds = seconds
        self.cpu_seconds = cpu_seconds  # user + system
        self.peak_mib = peak_mib
        self.exit_code = exit_code
        self.stdout_path = stdout_path
        self.connections = None  # connections opened through the latency proxy
        self.served = None  # (viii): nginx's (requests, over HTTP/2, connections)

    def last_line(self):
        with open(self.stdout_path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").strip().splitlines()
        return lines[-1] if lines else ""


PEAK_RSS = ""  # the bench/peak_rss.c helper, set from --peak-rss


def timed_run(argv, stdout_path, env=None):
    """Runs argv (in env, default this process's environment) with stdout
    into a file (never a pipe: launcher-patch prints thousands of lines and
    a full pipe would stall it) and returns its wall time and its peak RSS.
    The RSS comes from the small peak_rss helper that forks the program:
    taken from Python's own wait4, Linux would report at least the
    interpreter's size for every child."""
    result_path = stdout_path + ".rss"
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        subprocess.run([PEAK_RSS, result_path] + argv, stdin=subprocess.DEVNULL, stdout=out,
                       stderr=subprocess.STDOUT, env=env)
        seconds = time.perf_counter() - start
    with open(result_path) as f:
        peak_kib, exit_code, user, system = f.read().split()
    os.unlink(result_path)
    return RunResult(seconds, int(peak_kib) / 1024.0, int(exit_code), float(user) + float(system), stdout_path)


# ---------------------------------------------------------------- the tree

def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(4 * MiB)
            if not block:
                return h.hexdigest()
            h.update(block)


def write_random_file(path, size):
    """Writes size random bytes (whole MiB) to path; returns their SHA-256."""
    h = hashlib.sha256()
    with open(path, "wb") as f:
        for _ in range(size // MiB):
            block = os.urandom(MiB)
            h.update(block)
            f.write(block)
    return h.hexdigest()


class Tree:
    """The served files and what each download must look like. A patch
    case's files lie in a folder of the case's name, its manifest beside
    it (small/ and small.txt); the paths in entries are relative to it."""

    def __init__(self, root, base_url, manifest_tool, proxy_url=None):
        self.root = root
        self.base_url = base_url
        self.proxy_url = proxy_url  # the same files through the latency proxy
        self.https_base = None  # (viii): through a latency proxy to the TLS nginx
        self.manifest_tool = manifest_tool
        self.small = []  # (relative path, size, sha256)
        self.large = []
        self.latency = []
        self.resume = []

    def url(self, relative):
        return f"{self.base_url}/{relative}"

    def proxied_url(self, relative):
        return f"{self.proxy_url}/{relative}"

    def https_url(self, relative):
        return f"{self.https_base}/{relative}"

    def folder(self, case):
        return os.path.join(self.root, case)

    def publish(self, case, through_proxy=False):
        base = self.proxied_url(case) if through_proxy else self.url(case)
        make_manifest(self.folder(case), base, os.path.join(self.root, case + ".txt"), tool=self.manifest_tool)

    def make_random_files(self, case, count, size, folders):
        entries = []
        for i in range(count):
            relative = f"d{i % folders:02d}/f{i:04d}.bin"
            data = os.urandom(size)
            path = os.path.join(self.folder(case), relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            entries.append((relative, size, hashlib.sha256(data).hexdigest()))
        return entries

    def make_small(self):
        self.small = self.make_random_files("small", SMALL_COUNT, SMALL_BYTES, SMALL_FOLDERS)
        self.publish("small")

    def make_latency(self):
        """Case (iv): its manifest names the proxy's URLs."""
        self.latency = self.make_random_files("latency", LATENCY_COUNT, LATENCY_BYTES, LATENCY_FOLDERS)
        self.publish("latency", through_proxy=True)

    def make_https(self, https_base):
        """Case (viii): case (iv)'s files (made now when that case is left
        out), listed in https.txt with URLs of https_base."""
        self.https_base = https_base
        if not self.latency:
            self.latency = self.make_random_files("latency", LATENCY_COUNT, LATENCY_BYTES, LATENCY_FOLDERS)
        make_manifest(self.folder("latency"), self.https_url("latency"), os.path.join(self.root, "https.txt"),
                      tool=self.manifest_tool)

    def make_resume(self):
        """Case (v): one 256 MiB file, a link to the first of case (ii)'s
        when that was made, served through the proxy."""
        os.makedirs(self.folder("resume"), exist_ok=True)
        path = os.path.join(self.folder("resume"), "whole.bin")
        if self.large and self.large[0][1] == RESUME_BYTES:
            os.link(os.path.join(self.folder("large"), self.large[0][0]), path)
            digest = self.large[0][2]
        else:
            digest = write_random_file(path, RESUME_BYTES)
        self.resume = [("whole.bin", RESUME_BYTES, digest)]
        self.publish("resume", through_proxy=True)

    def make_large(self):
        os.makedirs(self.folder("large"), exist_ok=True)
        for i in range(LARGE_COUNT):
            relative = f"part{i}.bin"
            digest = write_random_file(os.path.join(self.folder("large"), relative), LARGE_BYTES)
            self.large.append((relative, LARGE_BYTES, digest))
        self.publish("large")

    def make_hashed_large(self):
        """Case (vi): case (ii)'s manifest with every file's SHA-256, and
        both again with URLs that nginx paces (large-paced.txt and
        large-paced-sha.txt)."""
        paced = f"{PACED_PREFIX}/large"
        for name, options, base in (("large-sha", ["--sha256"], self.url("large")),
                                    ("large-paced", [], self.url(paced)),
                                    ("large-paced-sha", ["--sha256"], self.url(paced))):
            out = os.path.join(self.root, name + ".txt")
            result = self.manifest_tool.run([*options, self.folder("large"), base], stdout_path=out)
            if result.code != 0:
                raise BenchError(f"launcher-manifest {' '.join(options)} failed: {result.describe()}")

    def make_hash_tree(self):
        """Case (vi): about 2.5 GiB to hash: links to case (ii)'s and (i)'s
        files and HASH_TREE_EXTRA_COUNT new ones of 256 MiB. Returns the
        relative paths."""
        tree = self.folder("hashtree")
        paths = []
        for case, entries in (("large", self.large), ("small", self.small)):
            for relative, _, _ in entries:
                target = os.path.join(tree, case, relative)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                os.link(os.path.join(self.folder(case), relative), target)
                paths.append(f"{case}/{relative}")
        os.makedirs(os.path.join(tree, "extra"), exist_ok=True)
        for i in range(HASH_TREE_EXTRA_COUNT):
            write_random_file(os.path.join(tree, "extra", f"x{i}.bin"), LARGE_BYTES)
            paths.append(f"extra/x{i}.bin")
        return sorted(paths)

    def make_check(self, game):
        """A game folder already holding every file of check.txt (sizes
        0..CHECK_MAX_BYTES). The URLs are never fetched by a check pass.
        The manifest is written here along with the files rather than made
        by launcher-manifest: no server holds these files, and the time of
        the pass, held against a fixed target, depends on the order of the
        entries, which take the folders in turn (a listing would keep each
        folder's files together)."""
        filler = b"x" * CHECK_MAX_BYTES
        with open(os.path.join(self.root, "check.txt"), "w") as manifest:
            for folder in range(CHECK_FOLDERS):
                os.makedirs(os.path.join(game, f"data/g{folder:03d}"), exist_ok=True)
            for i in range(CHECK_COUNT):
                relative = f"data/g{i % CHECK_FOLDERS:03d}/e{i:06d}.dat"
                size = i % (CHECK_MAX_BYTES + 1)
                with open(os.path.join(game, relative), "wb") as f:
                    f.write(filler[:size])
                manifest.write(f"{relative}|{size}|{self.url(relative)}\n")

    def make_hashed_check(self):
        """check-hashed.txt: check.txt's entries with the SHA-256 of their
        files (each is "x" repeated to its size)."""
        digests = [hashlib.sha256(b"x" * size).hexdigest() for size in range(CHECK_MAX_BYTES + 1)]
        with open(os.path.join(self.root, "check.txt")) as plain, \
                open(os.path.join(self.root, "check-hashed.txt"), "w") as hashed:
            for line in plain:
                relative, size, url = line.rstrip("\n").split("|")
                hashed.write(f"{relative}|{size}|{url}#sha256={digests[int(size)]}\n")


# ---------------------------------------------------------------- nginx

def start_nginx(prefix, root):
    """The private nginx (scripts/local_nginx.py) tuned for throughput:
    sendfile, no access log, one connection for every request of a run."""
    paced = f"location /{PACED_PREFIX}/ {{ alias {root}/; limit_rate {PACED_RATE}; }}"
    try:
        return LocalNginx(root, prefix, access_log=False, sendfile=True, keepalive_requests=1000000,
                          keepalive_timeout="120s", txt_as_text=False, extra_config=paced)
    except (RuntimeError, TimeoutError) as problem:
        raise BenchError(str(problem)) from None


def start_tls(work, root):
    """Case (viii)'s servers: a throwaway CA and a certificate for
    127.0.0.1, the TLS nginx serving root with it (tuned as start_nginx's)
    and a latency proxy in front of it, which passes the TLS bytes on
    untouched. Returns (nginx, proxy, authority)."""
    try:
        authority = make_authority(os.path.join(work, "tls"))
        nginx = TlsNginx(root, os.path.join(work, "nginx-tls"), authority, access_log=False, sendfile=True,
                         keepalive_requests=1000000, keepalive_timeout="120s", txt_as_text=False).start()
    except (RuntimeError, TimeoutError) as problem:
        raise BenchError(f"HTTPS case: {problem}") from None
    return nginx, LatencyProxy(nginx.tls_port, LATENCY_DELAY_S).start(), authority


# ---------------------------------------------------------------- verification

def verify_download(dest, source_root, entries, sample_every, full_hash, rng, label):
    """Raises BenchError unless dest holds exactly the entries' files (no
    leftovers such as temporary files) with the right sizes and contents;
    the launcher's hash cache (launcher.hashes, written when the manifest
    gives hashes) is its own file, not a leftover.
    Small files are hashed every sample_every-th entry plus the last one;
    large ones get random 64 KiB windows compared with the source tree, or
    their whole SHA-256 when full_hash is set."""
    found = set()
    for folder, _, names in os.walk(dest):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), dest))
    found.discard("launcher.hashes")
    expected = {relative for relative, _, _ in entries}
    if found != expected:
        missing, extra = sorted(expected - found), sorted(found - expected)
        raise BenchError(f"{label}: {len(missing)} missing ({missing[:3]}), {len(extra)} extra ({extra[:3]})")
    for index, (relative, size, digest) in enumerate(entries):
        path = os.path.join(dest, relative)
        actual = os.path.getsize(path)
        if actual != size:
            raise BenchError(f"{label}: {relative} has {actual} bytes, expected {size}")
        if size >= 64 * MiB:
            if full_hash:
                if sha256_file(path) != digest:
                    raise BenchError(f"{label}: {relative} differs from the served file (SHA-256)")
            else:
                verify_windows(path, os.path.join(source_root, relative), size, rng, label)
        elif index % sample_every == 0 or index == len(entries) - 1:
            if sha256_file(path) != digest:
                raise BenchError(f"{label}: {relative} differs from the served file (SHA-256)")


def verify_windows(path, source, size, rng, label, windows=8, window_bytes=64 * 1024):
    offsets = [0, size - window_bytes] + [rng.randrange(0, size - window_bytes) for _ in range(windows)]
    with open(path, "rb") as got, open(source, "rb") as want:
        for offset in offsets:
            got.seek(offset)
            want.seek(offset)
            if got.read(window_bytes) != want.read(window_bytes):
                raise BenchError(f"{label}: {os.path.basename(path)} differs at offset {offset}")


# ---------------------------------------------------------------- cases

def listed_entries(listing_path):
    """(relative path, URL) of every entry of a manifest, in its order;
    comment lines (launcher-manifest's first and last) and blank ones are
    no entries."""
    with open(listing_path) as listing:
        lines = [line.rstrip("\n") for line in listing]
    return [(fields[0], fields[2]) for fields in
            (line.split("|", 2) for line in lines if line.strip() and not line.startswith("#"))]


def curl_config(path, tree, manifest, manifest_copy, dest, manifest_url=None):
    """The config of one curl process. Without --parallel its transfers run
    one after another and the connection is reused. It fetches the manifest
    too (from manifest_url, default the one on nginx), as the launcher does,
    then every URL the manifest lists, in its order."""
    with open(path, "w") as f:
        f.write(f'url = "{manifest_url or tree.url(manifest)}"\noutput = "{manifest_copy}"\n')
        for relative, url in listed_entries(os.path.join(tree.root, manifest)):
            f.write(f'url = "{url}"\noutput = "{os.path.join(dest, relative)}"\n')


def aria2_input(path, tree, manifest, manifest_url, manifest_copy, dest):
    """aria2c's input file for the same transfers as curl_config's: the
    manifest into manifest_copy, every entry below dest."""
    with open(path, "w") as f:
        f.write(f"{manifest_url}\n  dir={os.path.dirname(manifest_copy)}\n  out={os.path.basename(manifest_copy)}\n")
        for relative, url in listed_entries(os.path.join(tree.root, manifest)):
            f.write(f"{url}\n  dir={dest}\n  out={relative}\n")


def reset_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def patch_case(work, tool, tree, case, entries, runs, sample_every, sync_first, warmup, parallel=0):
    """Alternates launcher and curl runs (the order rotated every round)
    into fresh empty folders and returns {kind: [RunResult]}: "launcher",
    "curl" and, with parallel, "parallel", curl with --parallel
    --parallel-max parallel over the same config."""
    manifest = case + ".txt"
    game = os.path.join(work, "game")
    fetched = os.path.join(work, "fetched")
    cfg = os.path.join(work, f"curl-{manifest}.cfg")
    curl_config(cfg, tree, manifest, os.path.join(work, "curl-" + manifest), fetched)
    curl_argv = [CURL, "-s", "-S", "--fail", "--create-dirs", "--config", cfg]
    kinds = {"launcher": [tool, "patch", "--dir", game, "--url", tree.url(manifest)], "curl": curl_argv}
    if parallel:
        kinds["parallel"] = curl_argv + ["--parallel", "--parallel-max", str(parallel)]
    rng = random.Random(7)
    results = {kind: [] for kind in kinds}

    def one(kind, keep):
        dest = game if kind == "launcher" else fetched
        reset_folder(dest)
        if sync_first:
            os.sync()  # earlier runs' dirty pages are flushed outside the timing
        run = timed_run(kinds[kind], os.path.join(work, f"{kind}.out"))
        if run.exit_code != 0:
            raise BenchError(f"{kind} on {manifest} exited {run.exit_code}: {run.last_line()}")
        if kind == "launcher":
            want = f"Downloaded {len(entries)} file(s). Ready."
            if run.last_line() != want:
                raise BenchError(f"launcher on {manifest} ended with '{run.last_line()}', expected '{want}'")
        full = kind == "launcher" and len(results[kind]) == runs - 1
        verify_download(dest, tree.folder(case), entries, sample_every, full, rng, f"{kind} {manifest}")
        if keep:
            results[kind].append(run)
        shutil.rmtree(dest, ignore_errors=True)

    order = list(kinds)
    if warmup:
        for kind in order:
            one(kind, keep=False)
    for r in range(runs):
        for kind in rotated(order, r):
            one(kind, keep=True)
    return results


def rotated(order, r):
    """The round r's order of the kinds: each starts a round in turn."""
    return order[r % len(order):] + order[:r % len(order)]


def check_case(work, tool, tree, game, runs):
    argv = [tool, "check", "--dir", game, "--url", tree.url("check.txt")]
    want = f"All {CHECK_COUNT} files OK - ready to play."
    launcher = []
    for r in range(runs + 1):  # the first run warms the stat cache
        run = timed_run(argv, os.path.join(work, "check.out"))
        if run.exit_code != 0 or run.last_line() != want:
            raise BenchError(f"check exited {run.exit_code} with '{run.last_line()}', expected '{want}'")
        if r > 0:
            launcher.append(run)
    # A pass that only printed the right line would pass the above: one file
    # off by a byte must be reported.
    victim = os.path.join(game, "data/g007/e000007.dat")
    with open(victim, "ab") as f:
        f.write(b"!")
    run = timed_run(argv, os.path.join(work, "check.out"))
    os.truncate(victim, 7)
    if run.exit_code != 1 or run.last_line() != "1 file(s) differ - run launcher-patch patch.":
        raise BenchError(f"check missed a file of the wrong size: exit {run.exit_code}, '{run.last_line()}'")
    curl = []
    manifest_copy = os.path.join(work, "check-manifest.txt")
    for _ in range(runs):
        run = timed_run([CURL, "-s", "-S", "--fail", "-o", manifest_copy, tree.url("check.txt")],
                        os.path.join(work, "curl.out"))
        if run.exit_code != 0 or os.path.getsize(manifest_copy) != os.path.getsize(os.path.join(tree.root, "check.txt")):
            raise BenchError("curl could not fetch check.txt")
        curl.append(run)
    return launcher, curl


def hashed_check_case(work, tool, tree, game, runs):
    """(vii): a check without the hash cache (every file hashed), then timed
    checks with it warm, and find printing every size. Returns the first
    run, the timed runs and find's runs."""
    cache = os.path.join(game, "launcher.hashes")
    if os.path.exists(cache):
        os.remove(cache)
    argv = [tool, "check", "--dir", game, "--url", tree.url("check-hashed.txt")]
    out = os.path.join(work, "check-hashed.out")

    def checked(want_code, want):
        run = timed_run(argv, out)
        if run.exit_code != want_code or run.last_line() != want:
            raise BenchError(f"hashed check exited {run.exit_code} with '{run.last_line()}', expected '{want}'")
        return run

    all_ok = f"All {CHECK_COUNT} files OK - ready to play."
    cold = checked(0, all_ok)
    if not os.path.exists(cache):
        raise BenchError("the hashed check left no launcher.hashes")
    warm = [checked(0, all_ok) for _ in range(runs)]
    # A warm cache must not hide a change of content at the same size.
    victim = os.path.join(game, "data/g007/e000007.dat")
    with open(victim, "wb") as f:
        f.write(b"y" * 7)
    checked(1, "1 file(s) differ - run launcher-patch patch.")
    with open(victim, "wb") as f:
        f.write(b"x" * 7)
    checked(0, all_ok)
    find = []
    for _ in range(runs):
        run = timed_run([FIND, game, "-type", "f", "-printf", "%s\n"], os.path.join(work, "find.out"))
        if run.exit_code != 0:
            raise BenchError(f"find exited {run.exit_code}")
        find.append(run)
    return cold, warm, find


# ---------------------------------------------------------------- latency

class WineRunner:
    """The Windows launcher-patch under Wine, in a prefix of the benchmark's
    own, with that prefix's wineserver kept running through the case: every
    timed run then starts like a program does once Wine is up, and the
    server's own start and exit stay out of the figures."""

    SERVER_IDLE_S = 120

    def __init__(self, exe, prefix):
        self.tool = ConsoleTool("launcher-patch", "windows")
        self.tool.exe = Path(exe)
        self.prefix = os.path.abspath(prefix)
        self.base = dict(os.environ, WINEPREFIX=self.prefix)
        self.server = None

    def env(self):
        return self.tool.environment(base=self.base)

    def argv(self, game, url):
        return self.tool.command(["patch", "--dir", self.tool.native(game), "--url", url])

    def start(self):
        new = not os.path.isdir(os.path.join(self.prefix, "drive_c"))
        log(f"  Wine prefix {self.prefix}" + (" (new: made now, which takes a while)" if new else ""))
        os.makedirs(self.prefix, exist_ok=True)
        try:
            self.tool.warm_up(self.base)
            # The warm-up's server ends after its few seconds of idling; then
            # ours starts, in the foreground, so that it is our child to end.
            # It stays while idle for SERVER_IDLE_S, longer than the other
            # tools' runs between two of its own, and gets SIGTERM should
            # this process die first, so that none is left behind.
            subprocess.run(["wineserver", "-w"], env=self.env(), timeout=2 * self.SERVER_IDLE_S,
                           stdin=subprocess.DEVNULL)
        except (subprocess.TimeoutExpired, OSError) as problem:
            raise BenchError(f"Wine did not start launcher-patch.exe: {problem}") from None
        self.server = subprocess.Popen(["wineserver", "-f", f"-p{self.SERVER_IDLE_S}"], env=self.env(),
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, preexec_fn=_end_with_parent)
        return self

    def stop(self):
        if self.server is not None and self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait(timeout=10)
        self.server = None


def latency_case(work, tool, tree, proxy, runs, wine=None):
    """Case (iv): launcher-patch, curl --parallel, aria2c (when installed)
    and the Windows build under Wine (when given) each patch the 300 files
    of latency.txt through the proxy into a fresh empty folder; one warm-up
    round, then runs rounds, the order of the tools rotated every round.
    Returns {kind: [RunResult]}, each run with the connections it opened."""
    manifest = "latency.txt"
    manifest_url = tree.proxied_url(manifest)
    game = os.path.join(work, "game")
    fetched = os.path.join(work, "fetched")
    manifest_copy = os.path.join(work, "latency-manifest-copy.txt")
    cfg = os.path.join(work, "curl-latency.cfg")
    curl_config(cfg, tree, manifest, manifest_copy, fetched, manifest_url)
    aria_list = os.path.join(work, "aria2c-latency.txt")
    aria2_input(aria_list, tree, manifest, manifest_url, manifest_copy, fetched)
    parallel = str(LATENCY_PARALLEL)
    kinds = {  # kind: (argv, folder it fills, environment)
        "launcher": ([tool, "patch", "--dir", game, "--url", manifest_url], game, None),
        "curl": ([CURL, "-s", "-S", "--fail", "--create-dirs", "--parallel", "--parallel-max", parallel,
                  "--config", cfg], fetched, None),
    }
    if os.access(ARIA2C, os.X_OK):
        kinds["aria2c"] = ([ARIA2C, "--no-conf", "--quiet", "-j", parallel, "-i", aria_list,
                            "--allow-overwrite=true", "--auto-file-renaming=false", "--continue=false",
                            "--file-allocation=none"], fetched, None)
    if wine is not None:
        kinds["wine"] = (wine.argv(game, manifest_url), game, wine.env())

    def counted(run):
        run.connections = proxy.connections

    return latency_files_rounds(work, tree, manifest, kinds, runs, 11, proxy.reset_counters, counted)


def latency_files_rounds(work, tree, manifest, kinds, runs, seed, before_run, after_run):
    """Runs each kind of kinds ({kind: (argv, folder it fills, environment)})
    into its fresh empty folder, where it must leave case (iv)'s files (the
    launcher, "launcher" or "wine", ending on its line of a whole patch):
    one warm-up run each, then runs rounds, the order rotated every round.
    before_run() is called before each run, after_run(run) after it.
    Returns {kind: [RunResult]} of the rounds."""
    want = f"Downloaded {len(tree.latency)} file(s). Ready."
    rng = random.Random(seed)
    results = {kind: [] for kind in kinds}

    def one(kind, keep):
        argv, dest, env = kinds[kind]
        reset_folder(dest)
        before_run()
        run = timed_run(argv, os.path.join(work, f"{manifest[:-len('.txt')]}-{kind}.out"), env)
        after_run(run)
        if run.exit_code != 0:
            raise BenchError(f"{kind} on {manifest} exited {run.exit_code}: {run.last_line()}")
        if kind in ("launcher", "wine") and run.last_line() != want:
            raise BenchError(f"{kind} on {manifest} ended with '{run.last_line()}', expected '{want}'")
        verify_download(dest, tree.folder("latency"), tree.latency, 25, False, rng, f"{kind} {manifest}")
        if keep:
            results[kind].append(run)
        shutil.rmtree(dest, ignore_errors=True)

    order = list(kinds)
    for kind in order:
        one(kind, keep=False)
    for r in range(runs):
        for kind in rotated(order, r):
            one(kind, keep=True)
    return results


# ---------------------------------------------------------------- HTTPS

def https_case(work, tool, tree, nginx, proxy, ca_file, runs):
    """Case (viii): launcher-patch, told to trust the throwaway CA through
    SSL_CERT_FILE, and curl --parallel --parallel-max HTTPS_PARALLEL --http2
    --cacert each patch the files of https.txt over TLS through the latency
    proxy in front of the TLS nginx (latency_files_rounds). Each run keeps
    what nginx logged for it in run.served: (requests, requests over
    HTTP/2, connections that carried them), and the connections it opened
    through the proxy in run.connections. Returns {kind: [RunResult]}."""
    manifest = "https.txt"
    manifest_url = tree.https_url(manifest)
    game = os.path.join(work, "game")
    fetched = os.path.join(work, "fetched")
    cfg = os.path.join(work, "curl-https.cfg")
    curl_config(cfg, tree, manifest, os.path.join(work, "https-manifest-copy.txt"), fetched, manifest_url)
    kinds = {  # kind: (argv, folder it fills, environment)
        "launcher": ([tool, "patch", "--dir", game, "--url", manifest_url], game,
                     dict(os.environ, SSL_CERT_FILE=ca_file)),
        "curl": ([CURL, "-s", "-S", "--fail", "--create-dirs", "--http2", "--cacert", ca_file, "--parallel",
                  "--parallel-max", str(HTTPS_PARALLEL), "--config", cfg], fetched, None),
    }

    def cleared():
        nginx.clear_log()
        proxy.reset_counters()

    def logged(run):
        run.connections = proxy.connections
        run.served = nginx.served(len(tree.latency) + 1 if run.exit_code == 0 else 0)  # the manifest, every file

    return latency_files_rounds(work, tree, manifest, kinds, runs, 13, cleared, logged)


def served_note(label, runs):
    """What nginx logged for a tool's runs of case (viii): requests, how
    many over HTTP/2, the TLS connections they came on, and those the tool
    opened through the proxy (medians)."""
    requests, http2, used = (statistics.median(r.served[i] for r in runs) for i in range(3))
    opened = statistics.median(r.connections for r in runs)
    return (f"(viii) {label}: nginx served {requests:.0f} requests, {http2:.0f} of them over HTTP/2.0, "
            f"on {used:.0f} TLS connection(s); {opened:.0f} opened (medians per run)")


# ---------------------------------------------------------------- resume (hook)
#
# The measurement of resuming a cut download is complete; its target can be
# met only once launcher-patch continues a file a killed pass left half-done
# (until then the second pass fetches the whole file again: about 1.5).

def resume_case(work, tool, tree, proxy):
    """Case (v): patches resume.txt (one 256 MiB file) through the proxy,
    kills launcher-patch (SIGKILL, from the proxy's thread) as soon as half
    of the file was passed on to it, then patches again to the end. Returns
    (bytes the server sent in the first pass, in the second), as the proxy
    read them from nginx."""
    manifest = "resume.txt"
    game = os.path.join(work, "game")
    reset_folder(game)
    argv = [tool, "patch", "--dir", game, "--url", tree.proxied_url(manifest)]
    out_path = os.path.join(work, "resume.out")

    proxy.reset_counters()
    started = []
    cut = threading.Event()

    def kill():
        cut.set()
        if started:
            started[0].kill()

    proxy.cut_after(RESUME_BYTES // 2, kill)
    with open(out_path, "wb") as out:
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    started.append(process)
    if cut.is_set():  # reached before the process was known to the proxy's thread
        process.kill()
    try:
        code = process.wait(timeout=600)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise BenchError("resume: the first pass did not end within 600 s") from None
    proxy.cut_after(0, None)
    if not cut.is_set():
        raise BenchError(f"resume: the first pass ended (exit {code}) before half of the file reached it")
    time.sleep(10 * LATENCY_DELAY_S)  # what is still in the delay line reaches the proxy's counters
    first = proxy.bytes_from_target
    log(f"  first pass killed once {RESUME_BYTES // 2 // MiB} MiB had reached it ({proxy.bytes_to_clients / MiB:.1f} MiB "
        f"passed on to it in all); the server sent {first / MiB:.1f} MiB")
    partial = sorted(os.listdir(game))
    log(f"  left in the game folder: {', '.join(partial) or 'nothing'}")

    proxy.reset_counters()
    run = timed_run(argv, out_path)
    time.sleep(10 * LATENCY_DELAY_S)
    second = proxy.bytes_from_target
    want = "Downloaded 1 file(s). Ready."
    if run.exit_code != 0 or run.last_line() != want:
        raise BenchError(f"resume: the second pass exited {run.exit_code} with '{run.last_line()}', "
                         f"expected '{want}'")
    verify_download(game, tree.folder("resume"), tree.resume, 1, True, random.Random(3), f"launcher {manifest}")
    log(f"  second pass: {run.seconds:.2f} s, the server sent {second / MiB:.1f} MiB "
        f"over {proxy.connections} connection(s)")
    shutil.rmtree(game, ignore_errors=True)
    return first, second


# ---------------------------------------------------------------- report

def hashed_patch_case(work, tool, tree, runs, plain_manifest, hashed_manifest):
    """Case (vi), first half: launcher patches of case (ii)'s files, with
    the plain manifest and with the hashed one in turn (order flipped every
    round), into fresh folders; returns (plain runs, hashed runs)."""
    game = os.path.join(work, "game")
    results = {plain_manifest: [], hashed_manifest: []}
    rng = random.Random(8)
    for r in range(runs):
        order = (plain_manifest, hashed_manifest) if r % 2 == 0 else (hashed_manifest, plain_manifest)
        for manifest in order:
            reset_folder(game)
            os.sync()
            run = timed_run([tool, "patch", "--dir", game, "--url", tree.url(manifest)],
                            os.path.join(work, "hashed.out"))
            want = f"Downloaded {len(tree.large)} file(s). Ready."
            if run.exit_code != 0 or run.last_line() != want:
                raise BenchError(f"launcher on {manifest} exited {run.exit_code}: {run.last_line()}")
            verify_download(game, tree.folder("large"), tree.large, 1, False, rng, f"launcher {manifest}")
            results[manifest].append(run)
    shutil.rmtree(game, ignore_errors=True)
    return results[plain_manifest], results[hashed_manifest]


def manifest_hash_case(work, tree, paths, runs):
    """Case (vi), second half: launcher-manifest --sha256 over the hash
    tree against sha256sum over the same files, interleaved after one warm
    run of each (which fills the page cache); every digest the tool wrote
    must be sha256sum's. Returns (tool runs, sha256sum runs)."""
    folder = tree.folder("hashtree")
    tool_argv = [str(tree.manifest_tool.exe), "--sha256", folder, tree.url("hashtree")]
    sum_argv = [SHA256SUM, "--"] + paths
    results = {"tool": [], "sum": []}
    for r in range(runs + 1):
        for kind in (("tool", "sum") if r % 2 == 0 else ("sum", "tool")):
            out = os.path.join(work, f"hash-{kind}.out")
            if kind == "tool":
                run = timed_run(tool_argv, out)
            else:
                cwd = os.getcwd()
                os.chdir(folder)  # sha256sum names the files as given
                try:
                    run = timed_run(sum_argv, out)
                finally:
                    os.chdir(cwd)
            if run.exit_code != 0:
                raise BenchError(f"{kind} over the hash tree exited {run.exit_code}: {run.last_line()}")
            if r > 0:
                results[kind].append(run)
    with open(os.path.join(work, "hash-sum.out"), encoding="utf-8") as f:
        expected = {name: digest for digest, _, name in (line.rstrip("\n").partition("  ") for line in f)}
    written = {}
    with open(os.path.join(work, "hash-tool.out"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            path, _, rest = line.rstrip("\n").partition("|")
            written[path] = rest.rpartition("#sha256=")[2]
    if written != expected:
        wrong = sorted(p for p in set(written) | set(expected) if written.get(p) != expected.get(p))
        raise BenchError(f"launcher-manifest --sha256 and sha256sum disagree on {len(wrong)} files: {wrong[:3]}")
    return results["tool"], results["sum"]


def median(runs):
    return statistics.median(r.seconds for r in runs)


def verdict(ok):
    return "PASS" if ok else "MISS"


def row(case, launcher, against, yardstick, ratio="-", target="", rss="-", rss_target=""):
    """One line of the table; every field already formatted."""
    return dict(case=case, launcher=launcher, against=against, yardstick=yardstick, ratio=ratio,
                target=target, rss=rss, rss_target=rss_target)


def seconds(value):
    return f"{value:.3f}s"


def ratio_fields(ratio, ratio_target):
    return dict(ratio=f"{ratio:.3f}", target=f"<= {ratio_target:.2f} {verdict(ratio <= ratio_target)}")


def rss_fields(runs):
    peak = max(r.peak_mib for r in runs)
    return dict(rss=f"{peak:.1f} MiB", rss_target=f"< 32 {verdict(peak < PATCH_RSS_TARGET_MIB)}")


def patch_row(case, launcher_runs, curl_runs, ratio_target, against="curl"):
    """Logs both tools' runs of a patch case and makes its table row."""
    detail("launcher patch", launcher_runs)
    detail(against, curl_runs)
    return timed_row(case, launcher_runs, against, curl_runs, ratio_target, rss_fields(launcher_runs))


def timed_row(case, launcher_runs, against, other_runs, ratio_target, rss=None):
    """The row of median(launcher_runs) against median(other_runs)."""
    ratio = median(launcher_runs) / median(other_runs)
    return row(case, seconds(median(launcher_runs)), against, seconds(median(other_runs)),
               **ratio_fields(ratio, ratio_target), **(rss or {}))


def report(rows, notes, load_before):
    head = (f"{'case':<32} {'launcher':>10}  {'against':<7} {'yardstick':>10} {'ratio':>6}  {'target':<14} "
            f"{'peak RSS':>9}  target")
    print()
    print(head)
    print("-" * len(head))
    for r in rows:
        print(f"{r['case']:<32} {r['launcher']:>10}  {r['against']:<7} {r['yardstick']:>10} {r['ratio']:>6}  "
              f"{r['target']:<14} {r['rss']:>9}  {r['rss_target']:<9}".rstrip())
    print()
    print("Times are medians (the tools' runs interleaved); peak RSS is the largest of the launcher's")
    print("runs. For the check case the yardstick is a reference only: one curl fetching the")
    print("manifest alone.")
    print(f"(iv) goes through bench/latency_proxy.py, {LATENCY_DELAY_S * 1000:.0f} ms each way; the launcher runs with "
          "its default settings,")
    print(f"curl with --parallel --parallel-max {LATENCY_PARALLEL} and aria2c with -j {LATENCY_PARALLEL}, both "
          "fetching the manifest too.")
    print("The Windows row is launcher-patch.exe under Wine (its start included) against the same")
    print("curl runs.")
    print("(i) is held against curl twice: one transfer after another (curl), and the same config with")
    print(f"--parallel --parallel-max {SMALL_PARALLEL} (curl-P{SMALL_PARALLEL}).")
    print("(viii) is (iv)'s files over HTTPS, TLS and HTTP/2 from nginx, through the same kind of proxy;")
    print("the launcher trusts the run's throwaway CA through SSL_CERT_FILE, curl runs with --parallel")
    print(f"--parallel-max {HTTPS_PARALLEL} --http2 --cacert; its CPU time is user + system of each process.")
    print("(v) is what the server sent over both passes (counted by the proxy; the first killed once")
    print("half the file had reached it) against the file's size: a second pass that fetches the")
    print("whole file again makes about 1.5.")
    print("(vi) holds the launcher against itself: the 4 x 256 MiB patch with a hash on every line against")
    print("the same manifest without, and launcher-manifest --sha256 (all cores) against sha256sum (one),")
    print("both over files in the page cache. Unpaced, loopback and the two cores are the limit and every")
    print("CPU second of hashing shows; paced by nginx, as a real link would, the network is the limit.")
    for note in notes:
        print(note)
    print(f"Load average (1 min) before the run: {load_before:.2f} on {os.cpu_count()} CPUs.")
    if load_before > 0.5:
        print("Other work was running: wall times are noisy; the CPU times in the log above are steadier.")


def load_text():
    return "load average {:.2f} / {:.2f} / {:.2f} (1 / 5 / 15 min)".format(*os.getloadavg())


def detail(label, runs):
    times = ", ".join(f"{r.seconds:.3f}" for r in runs)
    connections = [r.connections for r in runs if r.connections is not None]
    opened = f"; connections {statistics.median(connections):.0f}" if connections else ""
    log(f"  {label:<22} s: {times}  (best {min(r.seconds for r in runs):.3f}, "
        f"median {median(runs):.3f}); median CPU {statistics.median(r.cpu_seconds for r in runs):.3f} s; "
        f"peak RSS {max(r.peak_mib for r in runs):.1f} MiB{opened}")


def prepare_wine(exe, prefix, notes):
    """A started WineRunner for the Windows row of case (iv), or None with
    the reason in notes: no executable named, none built, or Wine missing
    (tests/support/wine.sh's rule: under LAUNCHER_REQUIRE_WINE=1 a missing
    Wine is an error)."""
    if not exe:
        notes.append("(iv) Windows build: not measured, no --windows-tool given.")
        return None
    if not os.path.isfile(exe):
        notes.append(f"(iv) Windows build: not measured, {exe} is not built.")
        return None
    try:
        missing = wine_ready("patchbench", needs=("wineserver",))
    except WineRequired as problem:
        raise BenchError(str(problem)) from None
    if missing is not None:
        notes.append(f"(iv) Windows build: not measured, {missing.split(': ', 2)[-1]}.")
        return None
    return WineRunner(exe, prefix or os.path.join(os.path.dirname(os.path.abspath(exe)), "wineprefix")).start()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True,
                        help="the launcher-patch executable (launcher-manifest must lie beside it)")
    parser.add_argument("--peak-rss", required=True, help="the peak_rss helper built from bench/peak_rss.c")
    parser.add_argument("--runs", type=int, default=5, help="timed runs per side, small and check cases")
    parser.add_argument("--large-runs", type=int, default=5, help="timed runs per side, 256 MiB case")
    parser.add_argument("--workdir", default=None, help="parent of the temporary folder (default: the system's)")
    parser.add_argument("--skip-large", action="store_true", help="leave out the 4 x 256 MiB case")
    parser.add_argument("--latency-runs", type=int, default=5, help="timed runs per tool, latency case")
    parser.add_argument("--skip-latency", action="store_true", help="leave out the latency case (iv)")
    parser.add_argument("--skip-resume", action="store_true", help="leave out the resume case (v)")
    parser.add_argument("--windows-tool", default=None,
                        help="the Windows launcher-patch.exe for the latency case under Wine (none: left out)")
    parser.add_argument("--wine-prefix", default=None,
                        help="the Wine prefix for it (default: wineprefix beside the executable)")
    parser.add_argument("--skip-hashing", action="store_true", help="leave out the hashing case (vi)")
    parser.add_argument("--hashing-runs", type=int, default=3, help="timed runs per side, hashing case")
    parser.add_argument("--https-runs", type=int, default=5, help="timed runs per tool, HTTPS case")
    parser.add_argument("--skip-https", action="store_true", help="leave out the HTTPS case (viii)")
    parser.add_argument("--only-https", action="store_true", help="run the HTTPS case (viii) alone")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    if args.only_https:
        if args.skip_https:
            parser.error("--only-https and --skip-https leave nothing to run")
        args.skip_large = args.skip_latency = args.skip_resume = args.skip_hashing = True
    global PEAK_RSS
    tool = os.path.abspath(args.tool)
    PEAK_RSS = os.path.abspath(args.peak_rss)
    manifest_tool = ConsoleTool("launcher-manifest", build=os.path.dirname(tool))
    for program in (tool, str(manifest_tool.exe), PEAK_RSS):
        if not os.access(program, os.X_OK):
            raise BenchError(f"{program} is not an executable")
    for program in (NGINX, CURL):
        if not os.access(program, os.X_OK):
            raise BenchError(f"{program} is missing (scripts/install-deps.sh installs it)")
    # Every client goes straight to 127.0.0.1, never through a proxy of the environment.
    for name in [name for name in os.environ if name.lower().endswith("_proxy")]:
        del os.environ[name]
    os.environ["no_proxy"] = os.environ["NO_PROXY"] = "127.0.0.1,localhost"

    load_before = os.getloadavg()[0]  # before this script adds its own load
    work = tempfile.mkdtemp(prefix="patchbench-", dir=args.workdir)
    os.chmod(work, 0o755)  # nginx reads as this user; readable anyway should it read as nobody
    # SIGTERM unwinds like Ctrl-C so nginx is stopped and the folder removed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    nginx = proxy = wine = tls_nginx = tls_proxy = None
    notes = []
    failed = False
    try:
        free = shutil.disk_usage(work).free
        # tree + one download folder at a time + 100k small files (one block each)
        needed = LARGE_COUNT * LARGE_BYTES * 2 + CHECK_COUNT * 4096 + 256 * MiB
        run_large = not args.skip_large
        if run_large and free < needed:
            log(f"only {free / GiB:.1f} GiB free under {work}, {needed / GiB:.1f} GiB needed: skipping (ii)")
            run_large = False
        run_resume = not args.skip_resume
        # its file (a link to one of (ii)'s when those are made) and its download
        resume_needed = RESUME_BYTES * (1 if run_large else 2)
        if run_resume and free < (needed if run_large else 256 * MiB) + resume_needed:
            log(f"only {free / GiB:.1f} GiB free under {work}: skipping (v)")
            notes.append("(v) not measured: too little free disk space.")
            run_resume = False

        # its tree links (ii)'s and (i)'s files and adds files of its own
        run_hashing = run_large and not args.skip_hashing and os.access(SHA256SUM, os.X_OK)
        hashing_needed = HASH_TREE_EXTRA_COUNT * LARGE_BYTES
        if run_hashing and free < needed + resume_needed + hashing_needed:
            log(f"only {free / GiB:.1f} GiB free under {work}: skipping (vi)")
            notes.append("(vi) not measured: too little free disk space.")
            run_hashing = False
        elif not run_hashing and not args.skip_hashing:
            notes.append("(vi) not measured: it needs case (ii)'s files and sha256sum.")

        root = os.path.join(work, "tree")
        os.makedirs(root)
        # Started first: the manifests name its port.
        nginx = start_nginx(os.path.join(work, "nginx"), root)
        proxy = LatencyProxy(nginx.port, LATENCY_DELAY_S).start()
        tree = Tree(root, f"http://127.0.0.1:{nginx.port}", manifest_tool, f"http://127.0.0.1:{proxy.port}")
        if not args.skip_https:
            tls_nginx, tls_proxy, authority = start_tls(work, root)
        t0 = time.perf_counter()
        if not args.only_https:
            log(f"work folder {work}; generating {SMALL_COUNT} x 16 KiB ...")
            tree.make_small()
        if run_large:
            log(f"generating {LARGE_COUNT} x 256 MiB ...")
            tree.make_large()
        if not args.skip_latency:
            log(f"generating {LATENCY_COUNT} x 16 KiB for the latency case ...")
            tree.make_latency()
        if run_resume:
            log(f"generating {RESUME_BYTES // MiB} MiB for the resume case ...")
            tree.make_resume()
        if run_hashing:
            log(f"generating {HASH_TREE_EXTRA_COUNT} x 256 MiB more for the hashing case ...")
            tree.make_hashed_large()
            hash_paths = tree.make_hash_tree()
        if tls_proxy is not None:
            tree.make_https(f"https://127.0.0.1:{tls_proxy.port}")
        check_game = os.path.join(work, "checkgame")
        if not args.only_https:
            log(f"generating {CHECK_COUNT} present files for the check case ...")
            tree.make_check(check_game)
            tree.make_hashed_check()
        log(f"  generated in {time.perf_counter() - t0:.1f} s")

        log(f"nginx on 127.0.0.1:{nginx.port}, the latency proxy on 127.0.0.1:{proxy.port}")
        if tls_nginx is not None:
            log(f"TLS nginx on 127.0.0.1:{tls_nginx.tls_port}, its latency proxy on 127.0.0.1:{tls_proxy.port}")

        rows = []
        if not args.only_https:
            log("(i) 2000 x 16 KiB ...")
            runs = patch_case(work, tool, tree, "small", tree.small, args.runs,
                              sample_every=50, sync_first=False, warmup=True, parallel=SMALL_PARALLEL)
            rows.append(patch_row("(i)   2000 x 16 KiB patch", runs["launcher"], runs["curl"], SMALL_RATIO_TARGET))
            detail(f"curl --parallel-max {SMALL_PARALLEL}", runs["parallel"])
            rows.append(timed_row("(i)   the same", runs["launcher"], f"curl-P{SMALL_PARALLEL}", runs["parallel"],
                                  SMALL_PARALLEL_RATIO_TARGET))
            notes.append(f"(i) {load_text()} at its end.")
            log(f"  {load_text()}")

        if run_large:
            log("(ii) 4 x 256 MiB ...")
            runs = patch_case(work, tool, tree, "large", tree.large, args.large_runs,
                              sample_every=1, sync_first=True, warmup=False)
            rows.append(patch_row("(ii)  4 x 256 MiB patch", runs["launcher"], runs["curl"], LARGE_RATIO_TARGET))

        if not args.only_https:
            log(f"(iii) check of {CHECK_COUNT} entries ...")
            lw, cw = check_case(work, tool, tree, check_game, args.runs)
            detail("launcher check", lw)
            detail("curl manifest only", cw)
            rows.append(row(f"(iii) check {CHECK_COUNT} entries", seconds(median(lw)), "curl", seconds(median(cw)),
                            target=f"< 1 s {verdict(median(lw) < CHECK_SECONDS_TARGET)}",
                            rss=f"{max(r.peak_mib for r in lw):.1f} MiB", rss_target="(none)"))

            log(f"(vii) check of {CHECK_COUNT} entries with hashes, warm cache ...")
            cold, warm, found = hashed_check_case(work, tool, tree, check_game, args.runs)
            detail("launcher check, no cache yet (hashes every file)", [cold])
            detail("launcher check, warm cache", warm)
            detail("find -printf '%s'", found)
            rows.append(timed_row(f"(vii) check {CHECK_COUNT}, hashes", warm, "find", found,
                                  HASHED_CHECK_RATIO_TARGET,
                                  dict(rss=f"{max(r.peak_mib for r in warm):.1f} MiB", rss_target="(none)")))

        if not args.skip_latency:
            wine = prepare_wine(args.windows_tool, args.wine_prefix, notes)
            log(f"(iv) {LATENCY_COUNT} x 16 KiB through the proxy, "
                f"{LATENCY_DELAY_S * 1000:.0f} ms each way ...")
            runs = latency_case(work, tool, tree, proxy, args.latency_runs, wine)
            if wine is not None:
                wine.stop()
            case = f"(iv)  {LATENCY_COUNT} x 16 KiB, RTT {2 * LATENCY_DELAY_S * 1000:.0f} ms"
            detail("launcher patch", runs["launcher"])
            detail(f"curl --parallel-max {LATENCY_PARALLEL}", runs["curl"])
            rows.append(timed_row(case, runs["launcher"], "curl", runs["curl"], LATENCY_RATIO_TARGET,
                                  rss_fields(runs["launcher"])))
            if "aria2c" in runs:
                detail(f"aria2c -j {LATENCY_PARALLEL}", runs["aria2c"])
                rows.append(timed_row(case, runs["launcher"], "aria2c", runs["aria2c"], LATENCY_RATIO_TARGET))
            else:
                notes.append(f"(iv) against aria2c: not measured, {ARIA2C} is missing (bench/run.sh installs it).")
            if "wine" in runs:
                detail("Windows build (Wine)", runs["wine"])
                rows.append(timed_row("(iv)  the same, Windows (Wine)", runs["wine"], "curl", runs["curl"],
                                      LATENCY_WINE_RATIO_TARGET))

        if tls_nginx is not None:
            log(f"(viii) {LATENCY_COUNT} x 16 KiB over HTTPS (HTTP/2) through the proxy, "
                f"{LATENCY_DELAY_S * 1000:.0f} ms each way ...")
            try:
                runs = https_case(work, tool, tree, tls_nginx, tls_proxy, authority.ca, args.https_runs)
            except BenchError as problem:
                # Reported after the other cases' table rather than in place of it.
                log(f"patchbench: {problem}")
                notes.append(f"(viii) FAILED: {problem}")
                failed = True
            else:
                case = f"(viii) {LATENCY_COUNT} x 16 KiB HTTPS h2"
                detail("launcher patch", runs["launcher"])
                detail(f"curl --parallel-max {HTTPS_PARALLEL} --http2", runs["curl"])
                log(f"  {load_text()}")
                rows.append(timed_row(case, runs["launcher"], f"curl-P{HTTPS_PARALLEL}", runs["curl"],
                                      HTTPS_TIME_RATIO_TARGET, rss_fields(runs["launcher"])))
                launcher_cpu, curl_cpu = (statistics.median(r.cpu_seconds for r in runs[kind])
                                          for kind in ("launcher", "curl"))
                rows.append(row("(viii) the same, CPU time", seconds(launcher_cpu), f"curl-P{HTTPS_PARALLEL}",
                                seconds(curl_cpu), **ratio_fields(launcher_cpu / curl_cpu, HTTPS_CPU_RATIO_TARGET)))
                notes.append(served_note("launcher", runs["launcher"]))
                notes.append(served_note(f"curl --parallel-max {HTTPS_PARALLEL} --http2", runs["curl"]))
                notes.append(f"(viii) {load_text()} at its end.")

        if run_resume:
            log(f"(v) resume of {RESUME_BYTES // MiB} MiB cut at half ...")
            first, second = resume_case(work, tool, tree, proxy)
            traffic = (first + second) / RESUME_BYTES
            rows.append(row(f"(v)   resume {RESUME_BYTES // MiB} MiB cut at 1/2", f"{(first + second) / MiB:.1f} MiB",
                            "file", f"{RESUME_BYTES / MiB:.1f} MiB", **ratio_fields(traffic, RESUME_TRAFFIC_TARGET)))
        if run_hashing:
            for label, plain_manifest, hashed_manifest in (
                    ("", "large.txt", "large-sha.txt"),
                    (f", paced to {PACED_RATE} per download", "large-paced.txt", "large-paced-sha.txt")):
                log(f"(vi) 4 x 256 MiB with and without #sha256={label} ...")
                plain, hashed = hashed_patch_case(work, tool, tree, args.hashing_runs, plain_manifest,
                                                  hashed_manifest)
                detail("patch, sizes only", plain)
                detail("patch, #sha256=", hashed)
                case = "(vi)  4 x 256 MiB with #sha256=" if not label else f"(vi)  the same, 4 x {PACED_MIB_S} MiB/s"
                rows.append(timed_row(case, hashed, "plain", plain, HASHED_PATCH_RATIO_TARGET, rss_fields(hashed)))
            tree_bytes = sum(os.path.getsize(os.path.join(tree.folder("hashtree"), p)) for p in hash_paths)
            log(f"(vi) launcher-manifest --sha256 over {len(hash_paths)} files, {tree_bytes / GiB:.2f} GiB ...")
            tool_runs, sum_runs = manifest_hash_case(work, tree, hash_paths, args.hashing_runs)
            detail("launcher-manifest", tool_runs)
            detail("sha256sum", sum_runs)
            rows.append(timed_row(f"(vi)  manifest --sha256 {tree_bytes / GiB:.1f} GiB", tool_runs, "sha256sum",
                                  sum_runs, MANIFEST_HASH_RATIO_TARGET))
        report(rows, notes, load_before)
        return 1 if failed else 0
    finally:
        if wine is not None:
            wine.stop()
        for server in (proxy, nginx, tls_proxy, tls_nginx):
            if server is not None:
                server.stop()
        if args.keep:
            log(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as problem:
        log(f"patchbench: {problem}")
        sys.exit(1)
