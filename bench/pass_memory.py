"""Peak memory of a check pass and a patch pass over one large manifest.

Every entry names a file of its own folder that the manifest says must be
absent ("dNNNNNNN/f.bin|-1|..."), so neither pass downloads or creates
anything and what is measured is what the pass keeps per entry: a patch
pass should stay within a check pass's peak plus 32 MiB. The manifest is
served by Python's http.server on 127.0.0.1. Peak memory is measured by
bench/peak_rss (forked per run); the Windows build runs under Wine, whose
own share is the same in both passes.

    python3 bench/pass_memory.py --peak-rss build/bench/peak_rss \\
        --tool build/linux/launcher-patch [--windows build/windows/launcher-patch.exe] [--entries N] [--short]
"""
import argparse
import functools
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path


def write_manifest(path, entries, short):
    """short: lines of about 14 bytes ("1a2b/f|-1|x"), so 12 million entries
    stay under the 256 MiB a manifest may have."""
    line = "%x/f|-1|x\n" if short else "d%08d/f.bin|-1|http://127.0.0.1:9/f\n"
    with open(path, "w") as out:
        out.write("#launcher-manifest entries=%d\n" % entries)
        for start in range(0, entries, 100000):
            out.write("".join(line % i for i in range(start, min(entries, start + 100000))))
        out.write("#end entries=%d\n" % entries)


def measure(peak_rss, command, env):
    """(peak MiB, exit status, seconds) of one run."""
    with tempfile.NamedTemporaryFile("r") as result:
        started = time.monotonic()
        subprocess.run([peak_rss, result.name] + command, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        elapsed = time.monotonic() - started
        kib, status = result.read().split()[:2]
    return int(kib) / 1024.0, int(status), elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--peak-rss", required=True)
    parser.add_argument("--tool", required=True, help="the Linux launcher-patch")
    parser.add_argument("--windows", help="a launcher-patch.exe to run under Wine too")
    parser.add_argument("--entries", type=int, default=1000000)
    parser.add_argument("--short", action="store_true", help="short lines (for 12 million entries)")
    parser.add_argument("--passes", default="check,patch", help="which passes to run (default: check,patch)")
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="pass-memory-"))
    game = work / "game"
    game.mkdir()
    write_manifest(work / "manifest.txt", args.entries, args.short)
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(work))
    handler.log_message = lambda *a: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/manifest.txt" % server.server_address[1]
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env["WINEDEBUG"] = "-all"
    print("%d entries, manifest %.1f MiB" % (args.entries, (work / "manifest.txt").stat().st_size / 2**20))
    print("%-8s %-6s %10s %6s %8s" % ("build", "pass", "peak MiB", "exit", "seconds"))
    builds = [("linux", [args.tool], str(game))]
    if args.windows:
        builds.append(("windows", ["wine", args.windows], "Z:" + str(game).replace("/", "\\")))
    worst = 0.0
    for name, program, folder in builds:
        peaks = {}
        for mode in args.passes.split(","):
            peaks[mode], status, seconds = measure(args.peak_rss, program + [mode, "--dir", folder, "--url", url], env)
            print("%-8s %-6s %10.1f %6d %8.1f" % (name, mode, peaks[mode], status, seconds))
        if "check" in peaks and "patch" in peaks:
            worst = max(worst, peaks["patch"] - peaks["check"])
            print("%-8s patch - check: %.1f MiB (goal: at most 32)" % (name, peaks["patch"] - peaks["check"]))
    server.shutdown()
    for path in sorted(work.rglob("*"), reverse=True):
        path.rmdir() if path.is_dir() else path.unlink()
    work.rmdir()
    return 0 if worst <= 32 else 1


if __name__ == "__main__":
    sys.exit(main())
