#!/usr/bin/env python3
"""Patch throughput, check speed and memory of launcher-patch, next to curl.

Serves a generated patch tree from a private nginx on 127.0.0.1 and times:
  (i)   patch of 2,000 files of 16 KiB into an empty game folder,
  (ii)  patch of 4 files of 256 MiB into an empty game folder,
  (iii) check of a 100,000-entry manifest whose files are all present.
The patch cases' manifests are made by launcher-manifest (the one beside
--tool), as a server operator makes them; each case is compared with one
curl process fetching the same URLs (manifest included) one after another
over its reused connection. Every download is verified (file count, sizes,
SHA-256 of samples) so that a run which skipped or mangled files cannot
look fast. Each child's peak RSS comes from wait4 in bench/peak_rss.c, per
process.

Normally started through bench/run.sh, which builds the tools first:
  bench/patchbench.py --tool build/bench/launcher-patch --peak-rss build/bench/peak_rss
                      [--runs 5] [--large-runs 3] [--skip-large] [--keep]
Needs only python3, nginx (/usr/sbin/nginx) and curl. Prints PASS/MISS per
target and exits 0 unless the setup itself or a verification failed.
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
import time

sys.dont_write_bytecode = True  # keep scripts/ free of __pycache__
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "scripts"))
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
from console_tool import ConsoleTool, make_manifest  # noqa: E402
from local_nginx import NGINX, LocalNginx  # noqa: E402

MiB = 1024 * 1024
GiB = 1024 * MiB

SMALL_COUNT, SMALL_BYTES, SMALL_FOLDERS = 2000, 16 * 1024, 20
LARGE_COUNT, LARGE_BYTES = 4, 256 * MiB
CHECK_COUNT, CHECK_FOLDERS, CHECK_MAX_BYTES = 100_000, 100, 100

SMALL_RATIO_TARGET = 1.10
LARGE_RATIO_TARGET = 1.05
CHECK_SECONDS_TARGET = 1.0
PATCH_RSS_TARGET_MIB = 32.0

CURL = shutil.which("curl") or "/usr/bin/curl"


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

    def last_line(self):
        with open(self.stdout_path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").strip().splitlines()
        return lines[-1] if lines else ""


PEAK_RSS = ""  # the bench/peak_rss.c helper, set from --peak-rss


def timed_run(argv, stdout_path):
    """Runs argv with stdout into a file (never a pipe: launcher-patch prints
    thousands of lines and a full pipe would stall it) and returns its wall
    time and its peak RSS. The RSS comes from the small peak_rss helper that
    forks the program: taken from Python's own wait4, Linux would report at
    least the interpreter's size for every child."""
    result_path = stdout_path + ".rss"
    with open(stdout_path, "wb") as out:
        start = time.perf_counter()
        subprocess.run([PEAK_RSS, result_path] + argv, stdin=subprocess.DEVNULL, stdout=out,
                       stderr=subprocess.STDOUT)
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


class Tree:
    """The served files and what each download must look like. A patch
    case's files lie in a folder of the case's name, its manifest beside
    it (small/ and small.txt); the paths in entries are relative to it."""

    def __init__(self, root, base_url, manifest_tool):
        self.root = root
        self.base_url = base_url
        self.manifest_tool = manifest_tool
        self.small = []  # (relative path, size, sha256)
        self.large = []

    def url(self, relative):
        return f"{self.base_url}/{relative}"

    def folder(self, case):
        return os.path.join(self.root, case)

    def publish(self, case):
        make_manifest(self.folder(case), self.url(case), os.path.join(self.root, case + ".txt"),
                      tool=self.manifest_tool)

    def make_small(self):
        for i in range(SMALL_COUNT):
            relative = f"d{i % SMALL_FOLDERS:02d}/f{i:04d}.bin"
            data = os.urandom(SMALL_BYTES)
            path = os.path.join(self.folder("small"), relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            self.small.append((relative, SMALL_BYTES, hashlib.sha256(data).hexdigest()))
        self.publish("small")

    def make_large(self):
        os.makedirs(self.folder("large"), exist_ok=True)
        for i in range(LARGE_COUNT):
            relative = f"part{i}.bin"
            h = hashlib.sha256()
            with open(os.path.join(self.folder("large"), relative), "wb") as f:
                for _ in range(LARGE_BYTES // MiB):
                    block = os.urandom(MiB)
                    h.update(block)
                    f.write(block)
            self.large.append((relative, LARGE_BYTES, h.hexdigest()))
        self.publish("large")

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


# ---------------------------------------------------------------- nginx

def start_nginx(prefix, root):
    """The private nginx (scripts/local_nginx.py) tuned for throughput:
    sendfile, no access log, one connection for every request of a run."""
    try:
        return LocalNginx(root, prefix, access_log=False, sendfile=True, keepalive_requests=1000000,
                          keepalive_timeout="120s", txt_as_text=False)
    except (RuntimeError, TimeoutError) as problem:
        raise BenchError(str(problem)) from None


# ---------------------------------------------------------------- verification

def verify_download(dest, source_root, entries, sample_every, full_hash, rng, label):
    """Raises BenchError unless dest holds exactly the entries' files (no
    leftovers such as temporary files) with the right sizes and contents.
    Small files are hashed every sample_every-th entry plus the last one;
    large ones get random 64 KiB windows compared with the source tree, or
    their whole SHA-256 when full_hash is set."""
    found = set()
    for folder, _, names in os.walk(dest):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), dest))
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

def curl_config(path, tree, manifest, manifest_copy, dest):
    """One curl process, sequential transfers: the connection is reused.
    It fetches the manifest too, as the launcher does, then every URL the
    manifest lists, in its order."""
    with open(os.path.join(tree.root, manifest)) as listing:
        listed = [line.rstrip("\n").split("|", 2) for line in listing if line.strip()]
    with open(path, "w") as f:
        f.write(f'url = "{tree.url(manifest)}"\noutput = "{manifest_copy}"\n')
        for relative, _, url in listed:
            f.write(f'url = "{url}"\noutput = "{os.path.join(dest, relative)}"\n')


def reset_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def patch_case(work, tool, tree, case, entries, runs, sample_every, sync_first, warmup):
    """Alternates launcher and curl runs (order flipped every round) into
    fresh empty folders and returns the two lists of RunResults."""
    manifest = case + ".txt"
    game = os.path.join(work, "game")
    fetched = os.path.join(work, "fetched")
    cfg = os.path.join(work, f"curl-{manifest}.cfg")
    curl_config(cfg, tree, manifest, os.path.join(work, "curl-" + manifest), fetched)
    launcher_argv = [tool, "patch", "--dir", game, "--url", tree.url(manifest)]
    curl_argv = [CURL, "-s", "-S", "--fail", "--create-dirs", "--config", cfg]
    rng = random.Random(7)
    results = {"launcher": [], "curl": []}

    def one(kind, keep):
        dest = game if kind == "launcher" else fetched
        reset_folder(dest)
        if sync_first:
            os.sync()  # earlier runs' dirty pages are flushed outside the timing
        argv = launcher_argv if kind == "launcher" else curl_argv
        run = timed_run(argv, os.path.join(work, f"{kind}.out"))
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

    if warmup:
        one("launcher", keep=False)
        one("curl", keep=False)
    for r in range(runs):
        order = ("launcher", "curl") if r % 2 == 0 else ("curl", "launcher")
        for kind in order:
            one(kind, keep=True)
    return results["launcher"], results["curl"]


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
    if run.exit_code != 1 or run.last_line() != "1 file(s) missing - click PATCH FILES.":
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


# ---------------------------------------------------------------- report

def median(runs):
    return statistics.median(r.seconds for r in runs)


def verdict(ok):
    return "PASS" if ok else "MISS"


def patch_row(case, launcher_runs, curl_runs, ratio_target):
    """Logs both tools' runs of a patch case and makes its table row."""
    detail("launcher patch", launcher_runs)
    detail("curl", curl_runs)
    ratio = median(launcher_runs) / median(curl_runs)
    peak = max(r.peak_mib for r in launcher_runs)
    return dict(case=case, launcher=median(launcher_runs), curl=median(curl_runs),
                ratio=f"{ratio:.3f}", target=f"<= {ratio_target:.2f} {verdict(ratio <= ratio_target)}",
                rss=peak, rss_target=f"< 32 {verdict(peak < PATCH_RSS_TARGET_MIB)}")


def report(rows, load_before):
    head = f"{'case':<30} {'launcher':>9} {'curl':>9} {'ratio':>6}  {'target':<16} {'peak RSS':>9}  {'target':<14}"
    print()
    print(head)
    print("-" * len(head))
    for row in rows:
        print(f"{row['case']:<30} {row['launcher']:>8.3f}s {row['curl']:>8.3f}s {row['ratio']:>6}  "
              f"{row['target']:<16} {row['rss']:>5.1f} MiB  {row['rss_target']:<14}")
    print()
    print("Times are medians (launcher and curl runs interleaved); peak RSS is the largest of the")
    print("launcher's runs. For the check case the curl column is a reference only: one curl")
    print("fetching the manifest alone.")
    print(f"Load average (1 min) before the run: {load_before:.2f} on {os.cpu_count()} CPUs.")
    if load_before > 0.5:
        print("Other work was running: wall times are noisy; the CPU times in the log above are steadier.")


def detail(label, runs):
    times = ", ".join(f"{r.seconds:.3f}" for r in runs)
    log(f"  {label:<22} s: {times}  (best {min(r.seconds for r in runs):.3f}, "
        f"median {median(runs):.3f}); median CPU {statistics.median(r.cpu_seconds for r in runs):.3f} s; "
        f"peak RSS {max(r.peak_mib for r in runs):.1f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True,
                        help="the launcher-patch executable (launcher-manifest must lie beside it)")
    parser.add_argument("--peak-rss", required=True, help="the peak_rss helper built from bench/peak_rss.c")
    parser.add_argument("--runs", type=int, default=5, help="timed runs per side, small and check cases")
    parser.add_argument("--large-runs", type=int, default=5, help="timed runs per side, 256 MiB case")
    parser.add_argument("--workdir", default=None, help="parent of the temporary folder (default: the system's)")
    parser.add_argument("--skip-large", action="store_true", help="leave out the 4 x 256 MiB case")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
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

    load_before = os.getloadavg()[0]  # before this script adds its own load
    work = tempfile.mkdtemp(prefix="patchbench-", dir=args.workdir)
    os.chmod(work, 0o755)  # nginx reads as this user; readable anyway should it read as nobody
    # SIGTERM unwinds like Ctrl-C so nginx is stopped and the folder removed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    nginx = None
    try:
        free = shutil.disk_usage(work).free
        # tree + one download folder at a time + 100k small files (one block each)
        needed = LARGE_COUNT * LARGE_BYTES * 2 + CHECK_COUNT * 4096 + 256 * MiB
        run_large = not args.skip_large
        if run_large and free < needed:
            log(f"only {free / GiB:.1f} GiB free under {work}, {needed / GiB:.1f} GiB needed: skipping (ii)")
            run_large = False

        root = os.path.join(work, "tree")
        os.makedirs(root)
        # Started first: the manifests name its port.
        nginx = start_nginx(os.path.join(work, "nginx"), root)
        tree = Tree(root, f"http://127.0.0.1:{nginx.port}", manifest_tool)
        t0 = time.perf_counter()
        log(f"work folder {work}; generating {SMALL_COUNT} x 16 KiB ...")
        tree.make_small()
        if run_large:
            log(f"generating {LARGE_COUNT} x 256 MiB ...")
            tree.make_large()
        check_game = os.path.join(work, "checkgame")
        log(f"generating {CHECK_COUNT} present files for the check case ...")
        tree.make_check(check_game)
        log(f"  generated in {time.perf_counter() - t0:.1f} s")

        log(f"nginx on 127.0.0.1:{nginx.port}")

        rows = []
        log("(i) 2000 x 16 KiB ...")
        lw, cw = patch_case(work, tool, tree, "small", tree.small, args.runs,
                            sample_every=50, sync_first=False, warmup=True)
        rows.append(patch_row("(i)   2000 x 16 KiB patch", lw, cw, SMALL_RATIO_TARGET))

        if run_large:
            log("(ii) 4 x 256 MiB ...")
            lw, cw = patch_case(work, tool, tree, "large", tree.large, args.large_runs,
                                sample_every=1, sync_first=True, warmup=False)
            rows.append(patch_row("(ii)  4 x 256 MiB patch", lw, cw, LARGE_RATIO_TARGET))

        log(f"(iii) check of {CHECK_COUNT} entries ...")
        lw, cw = check_case(work, tool, tree, check_game, args.runs)
        detail("launcher check", lw)
        detail("curl manifest only", cw)
        rows.append(dict(case=f"(iii) check {CHECK_COUNT} entries", launcher=median(lw), curl=median(cw),
                         ratio="-", target=f"< 1 s {verdict(median(lw) < CHECK_SECONDS_TARGET)}",
                         rss=max(r.peak_mib for r in lw), rss_target="(none)"))
        report(rows, load_before)
        return 0
    finally:
        if nginx is not None:
            nginx.stop()
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
