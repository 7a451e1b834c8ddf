#!/usr/bin/env python3
"""Patching a large file from its old copy, next to a whole download and zsync.

Builds version 1 of one large random file (--size, 1 GiB by default) and
version 2 from it: 20 changes of 64 KiB scattered through it and one
insertion of 1,000 bytes near the start. Version 2 is published with
launcher-manifest --chunks behind a private nginx on 127.0.0.1, and:
  (a) bytes that travel, as nginx counts them (the body bytes of its access
      log, headers left out), when launcher-patch patches a folder holding
      version 1, against the whole file and against zsync with version 1 as
      its seed (its .zsync file counted too); goal: at most 3% of the file
      and no more than zsync,
  (b) the same patch through bench/latency_proxy.py (50 ms round trip)
      against curl downloading the whole file through it,
  (c) peak memory of launcher-patch patching a file of --memory-size
      (4 GiB by default; 0 leaves it out) the same way; goal: 64 MiB,
  (d) launcher-manifest --chunks against --sha256 alone on the same folder,
      from the page cache; goal: at most 1.5 times,
  (e) a check of many present files with a warm hash cache: measured by
      bench/run.sh (patchbench.py case (vii)), not here.
Every patched file is compared with version 2 by SHA-256. Until the
launcher patches from old copies, (a) shows it fetching the whole file.

Normally started through bench/delta.sh, which builds the tools first:
  bench/delta.py --build build/bench --peak-rss build/bench/peak_rss
                 [--size BYTES] [--memory-size BYTES] [--runs 3] [--workdir DIR] [--keep]
                 [--only-manifest]   case (d) alone, without a server
Prints PASS/MISS per goal; exits 0 unless the setup or a verification failed.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "scripts"))
sys.path.insert(0, os.path.join(TOP, "bench"))
from latency_proxy import LatencyProxy  # noqa: E402
from local_nginx import LocalNginx  # noqa: E402
from patchbench import sha256_file, verdict  # noqa: E402

MiB = 1024 * 1024
GiB = 1024 * MiB
CHANGES, CHANGE_BYTES = 20, 64 * 1024
INSERT_AT, INSERT_BYTES = 300 * 1024, 1000
LATENCY_DELAY_S = 0.025  # each way
NAME = "data/world.pak"


class BenchError(Exception):
    pass


def log(text):
    print(text, file=sys.stderr, flush=True)


def make_versions(old_path, new_path, size, seed):
    """Version 1: size random bytes; version 2: CHANGES runs of
    CHANGE_BYTES rewritten at scattered places and INSERT_BYTES inserted at
    INSERT_AT."""
    rng = random.Random(seed)
    spots = sorted(rng.randrange(INSERT_AT + CHANGE_BYTES, size - CHANGE_BYTES) for _ in range(CHANGES))
    with open(old_path, "wb") as old, open(new_path, "wb") as new:
        at = 0
        while at < size:
            block = bytearray(rng.randbytes(min(16 * MiB, size - at)))
            old.write(block)
            for spot in spots:  # the changes that fall in this block
                for i in range(max(spot, at), min(spot + CHANGE_BYTES, at + len(block))):
                    block[i - at] ^= 0x5A
            if at <= INSERT_AT < at + len(block):
                block[INSERT_AT - at:INSERT_AT - at] = rng.randbytes(INSERT_BYTES)
            new.write(block)
            at += min(16 * MiB, size - at)


def run(argv, stdout=subprocess.DEVNULL, peak_rss=None):
    """(seconds, exit code, peak MiB or None) of argv."""
    result = None
    if peak_rss:
        result = tempfile.mktemp(prefix="delta-rss-")
        argv = [peak_rss, result] + argv
    start = time.perf_counter()
    code = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.DEVNULL).returncode
    seconds = time.perf_counter() - start
    peak = None
    if result:
        with open(result) as f:
            peak_kib, code = f.read().split()[:2]
        os.unlink(result)
        peak, code = int(peak_kib) / 1024.0, int(code)
    return seconds, code, peak


class Server:
    """nginx over the published folder, counting the body bytes it sends."""

    def __init__(self, root, state):
        self.log_path = os.path.join(state, "bytes.log")
        self.nginx = LocalNginx(root, state, access_log=False, sendfile=True, txt_as_text=False,
                                extra_config=f"access_log {self.log_path} combined;")

    def sent_since(self, mark):
        """(body bytes, requests) logged after mark (a byte offset of the log)."""
        with open(self.log_path, "rb") as f:
            f.seek(mark)
            lines = f.read().decode(errors="replace").splitlines()
        total = 0
        for line in lines:  # ... "GET /x HTTP/1.1" 206 12345 "-" "agent"
            fields = line.split('"')[2].split()
            total += int(fields[1])
        return total, len(lines)

    def mark(self):
        return os.path.getsize(self.log_path) if os.path.exists(self.log_path) else 0


def publish(tool_dir, folder, base, manifest, chunks_dir=None):
    argv = [os.path.join(tool_dir, "launcher-manifest")]
    argv += ["--chunks", chunks_dir] if chunks_dir else ["--sha256"]
    with open(manifest, "wb") as out:
        seconds, code, _ = run(argv + [folder, base], stdout=out)
    if code != 0:
        raise BenchError(f"launcher-manifest on {folder} exited {code}")
    return seconds


def place_indexes(chunks_dir, folder):
    for top, _, names in os.walk(chunks_dir):
        for name in names:
            source = os.path.join(top, name)
            target = os.path.join(folder, os.path.relpath(source, chunks_dir))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(source, target)


def patch_old_copy(tool_dir, old_path, game, manifest_url, want_sha, peak_rss=None):
    """launcher-patch patch over a game folder holding version 1; returns
    (seconds, peak MiB)."""
    shutil.rmtree(game, ignore_errors=True)
    os.makedirs(os.path.join(game, os.path.dirname(NAME)))
    shutil.copyfile(old_path, os.path.join(game, NAME))
    tool = os.path.join(tool_dir, "launcher-patch")
    output = game + ".out"
    with open(output, "wb") as out:
        seconds, code, peak = run([tool, "patch", "--dir", game, "--url", manifest_url], out, peak_rss)
    if code != 0:
        with open(output, errors="replace") as f:
            said = f.read().strip().splitlines()[-3:]
        raise BenchError(f"launcher-patch exited {code} patching from the old copy: {said}")
    if sha256_file(os.path.join(game, NAME)) != want_sha:
        raise BenchError("launcher-patch left a file that is not version 2")
    return seconds, peak


def zsync_run(zsync_file_url, old_path, out_path, want_sha, cwd):
    if os.path.exists(out_path):
        os.unlink(out_path)
    seconds, code, _ = run(["sh", "-c", f'cd "{cwd}" && exec zsync -q -i "{old_path}" -o "{out_path}" '
                                        f'"{zsync_file_url}"'])
    if code != 0 or sha256_file(out_path) != want_sha:
        raise BenchError(f"zsync failed ({code}) or left another file")
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="folder with launcher-patch and launcher-manifest")
    parser.add_argument("--peak-rss", required=True)
    parser.add_argument("--size", type=int, default=GiB)
    parser.add_argument("--memory-size", type=int, default=4 * GiB)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--workdir")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--only-manifest", action="store_true", help="case (d) alone")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="delta-bench-", dir=args.workdir)
    try:
        return bench(args, work)
    except BenchError as problem:
        log(f"delta bench: {problem}")
        return 1
    finally:
        if args.keep:
            log(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


def manifest_row(args, published, base, work):
    """(d) launcher-manifest --chunks against --sha256 alone, medians of
    args.runs, each run of one after one of the other."""
    out = os.path.join(work, "timing.txt")
    sha_times, chunk_times = [], []
    for i in range(args.runs):
        sha_times.append(publish(args.build, published, base, out))
        chunk_times.append(publish(args.build, published, base, out, os.path.join(work, "c%d" % i)))
        shutil.rmtree(os.path.join(work, "c%d" % i), ignore_errors=True)
    sha_s, chunk_s = statistics.median(sha_times), statistics.median(chunk_times)
    return ("(d) launcher-manifest --chunks / --sha256, s", "%.2f" % chunk_s, "%.2f" % sha_s,
            "%.2fx" % (chunk_s / sha_s), verdict(chunk_s <= 1.5 * sha_s))


def print_rows(rows):
    print(f"{'case':58} {'ours':>12} {'against':>12} {'ratio':>22}  goal")
    for case, ours_value, against, ratio, goal in rows:
        print(f"{case:58} {ours_value!s:>12} {against!s:>12} {ratio:>22}  {goal}")


def bench(args, work):
    served, state = os.path.join(work, "srv"), os.path.join(work, "nginx")
    published, chunks = os.path.join(served, "files"), os.path.join(work, "chunks")
    old_path, new_path = os.path.join(work, "v1.pak"), os.path.join(published, NAME)
    os.makedirs(os.path.dirname(new_path))
    os.makedirs(state)
    log(f"making version 1 and 2 of a {args.size / MiB:.0f} MiB file")
    make_versions(old_path, new_path, args.size, 1)
    if args.only_manifest:
        os.unlink(old_path)
        print_rows([manifest_row(args, published, "http://127.0.0.1/files", work)])
        return 0
    want_sha = sha256_file(new_path)
    server = Server(served, state)
    proxy = LatencyProxy(server.nginx.port, LATENCY_DELAY_S)
    proxy.start()
    rows = []
    try:
        base = server.nginx.url("files")
        publish(args.build, published, base, os.path.join(work, "manifest.txt"), chunks)
        place_indexes(chunks, published)
        shutil.copyfile(os.path.join(work, "manifest.txt"), os.path.join(served, "manifest.txt"))
        proxied = f"http://127.0.0.1:{proxy.port}"
        publish(args.build, published, proxied + "/files", os.path.join(served, "manifest-proxied.txt"))
        index_bytes = os.path.getsize(os.path.join(chunks, NAME + ".chunks"))
        game = os.path.join(work, "game")

        # (a) bytes that travel
        mark = server.mark()
        patch_old_copy(args.build, old_path, game, server.nginx.url("manifest.txt"), want_sha)
        ours, requests = server.sent_since(mark)
        whole = args.size + INSERT_BYTES
        zsync_bytes = None
        if shutil.which("zsync") and shutil.which("zsyncmake"):
            zsync_file = os.path.join(published, NAME + ".zsync")
            subprocess.run(["zsyncmake", "-u", server.nginx.url("files/" + NAME), "-o", zsync_file, new_path],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            mark = server.mark()
            zsync_run(server.nginx.url("files/" + NAME + ".zsync"), old_path, os.path.join(work, "z.out"),
                      want_sha, work)
            zsync_bytes, _ = server.sent_since(mark)
        rows.append(("(a) bytes sent, ours (index %d B, %d requests)" % (index_bytes, requests), ours, whole,
                     "%.2f%% of the file" % (100.0 * ours / whole), verdict(ours <= 0.03 * whole)))
        if zsync_bytes is not None:
            rows.append(("(a) bytes sent, zsync (.zsync file included)", zsync_bytes, whole,
                         "ours/zsync %.2f" % (ours / zsync_bytes), verdict(ours <= zsync_bytes)))
        else:
            rows.append(("(a) zsync", "-", "-", "zsync not installed", "-"))

        # (b) time through the 50 ms stand-in
        ours_s = statistics.median(patch_old_copy(args.build, old_path, game, proxied + "/manifest-proxied.txt",
                                                  want_sha)[0] for _ in range(args.runs))
        fetched = os.path.join(work, "fetched.pak")
        curl_s = statistics.median(run(["curl", "-s", "-S", "--fail", "-o", fetched,
                                        proxied + "/files/" + NAME])[0] for _ in range(args.runs))
        rows.append(("(b) seconds through 50 ms, ours / curl whole", "%.2f" % ours_s, "%.2f" % curl_s,
                     "%.2fx" % (ours_s / curl_s), verdict(ours_s < curl_s)))
        shutil.rmtree(game, ignore_errors=True)

        # (d) launcher-manifest --chunks against --sha256 alone
        rows.append(manifest_row(args, published, base, work))
    finally:
        proxy.stop()
        server.nginx.stop()

    # (c) peak memory patching a large file
    if args.memory_size > 0:
        for path in (old_path, new_path):
            os.unlink(path)
        shutil.rmtree(chunks, ignore_errors=True)
        shutil.rmtree(published, ignore_errors=True)
        os.makedirs(os.path.dirname(new_path))
        for leftover in ("fetched.pak", "z.out"):
            if os.path.exists(os.path.join(work, leftover)):
                os.unlink(os.path.join(work, leftover))
        log(f"making version 1 and 2 of a {args.memory_size / MiB:.0f} MiB file")
        make_versions(old_path, new_path, args.memory_size, 2)
        want_sha = sha256_file(new_path)
        server = Server(served, state)
        try:
            base = server.nginx.url("files")
            publish(args.build, published, base, os.path.join(served, "manifest.txt"), chunks)
            place_indexes(chunks, published)
            mark = server.mark()
            _, peak = patch_old_copy(args.build, old_path, os.path.join(work, "game"),
                                     server.nginx.url("manifest.txt"), want_sha, args.peak_rss)
            sent, _ = server.sent_since(mark)
        finally:
            server.nginx.stop()
        rows.append(("(c) peak MiB patching %.0f MiB (sent %.1f MiB)" % (args.memory_size / MiB, sent / MiB),
                     "%.1f" % peak, "64", "-", verdict(peak <= 64)))
    rows.append(("(e) check with a warm hash cache", "-", "-", "bench/run.sh case (vii)", "-"))

    print_rows(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
