"""The bandwidth cap held over time: launcher-patch --limit-rate N fetching
eight files from a private nginx on 127.0.0.1 (all eight transfers share the
cap), for about 30 s at each rate; the pass's average rate against the cap.
Goal: within 10 % of the cap at 512 KiB/s and at 5 MiB/s. With
--windows-tool, launcher-patch.exe under Wine is measured the same way;
the time a program takes to start and end (the median of three
--version runs: Wine's own start takes seconds) is left out of the pass's
time, and shown.

Usage: python3 bench/rate_cap.py --tool build/bench/launcher-patch
           [--windows-tool build/windows/launcher-patch.exe] [--seconds 30]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
from local_nginx import LocalNginx  # noqa: E402

FILES = 8
RATES_KIB = (512, 5 * 1024)
TARGET = 0.10


def start_cost(command):
    """Seconds a run of the program costs beyond its work: the median of
    three --version runs (the first run of Wine, which makes its prefix,
    goes before them)."""
    subprocess.run(command + ["--version"], capture_output=True, timeout=300)
    times = []
    for _ in range(3):
        started = time.monotonic()
        subprocess.run(command + ["--version"], capture_output=True, timeout=300)
        times.append(time.monotonic() - started)
    return sorted(times)[1]


def measure(command, work, nginx, rate_kib, seconds, start_s):
    """The pass's average rate (KiB/s) fetching FILES files that take
    about `seconds` at the cap."""
    served = work / ("served-%d" % rate_kib)
    served.mkdir()
    size = rate_kib * 1024 * seconds // FILES
    lines = ["#launcher-manifest entries=%d" % FILES]
    for i in range(FILES):
        (served / ("f%d.bin" % i)).write_bytes(os.urandom(size))
        lines.append("f%d.bin|%d|%s" % (i, size, nginx.url("served-%d/f%d.bin" % (rate_kib, i))))
    lines.append("#end entries=%d" % FILES)
    (served / "manifest.txt").write_text("\n".join(lines) + "\n")
    game = work / ("game-%d" % rate_kib)
    game.mkdir()
    started = time.monotonic()
    done = subprocess.run(command + ["patch", "--dir", str(game), "--url", nginx.url("served-%d/manifest.txt" % rate_kib),
                                     "--limit-rate", str(rate_kib)], capture_output=True, timeout=seconds * 4)
    elapsed = time.monotonic() - started - start_s
    if done.returncode != 0:
        raise SystemExit("rate_cap: the pass failed: %s" % done.stderr.decode(errors="replace")[-500:])
    shutil.rmtree(served)
    shutil.rmtree(game)
    return size * FILES / 1024 / elapsed, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="the Linux launcher-patch")
    parser.add_argument("--windows-tool", help="launcher-patch.exe, run under wine")
    parser.add_argument("--seconds", type=int, default=30, help="how long each pass should take at its cap")
    parser.add_argument("--rates", type=int, nargs="+", default=RATES_KIB, help="the caps to measure, KiB/s")
    args = parser.parse_args()
    builds = [("linux", [str(Path(args.tool).resolve())])]
    if args.windows_tool:
        builds.append(("windows (Wine)", ["wine", str(Path(args.windows_tool).resolve())]))
    work = Path(tempfile.mkdtemp(prefix="launcher-rate-cap-"))
    failed = False
    try:
        with LocalNginx(work) as nginx:
            print("%-16s %10s %12s %8s %8s %9s  %s" % ("build", "cap KiB/s", "got KiB/s", "pass s", "start s",
                                                         "off by", "target"))
            for name, command in builds:
                start_s = start_cost(command)
                for rate in args.rates:
                    got, elapsed = measure(command, work, nginx, rate, args.seconds, start_s)
                    off = got / rate - 1
                    ok = abs(off) <= TARGET
                    failed = failed or not ok
                    print("%-16s %10d %12.1f %8.1f %8.2f %+8.1f%%  within 10%% %s" % (
                        name, rate, got, elapsed, start_s, off * 100, "PASS" if ok else "MISS"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("Load average (1 min) after the run: %.2f on %d CPUs." % (os.getloadavg()[0], os.cpu_count()))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
