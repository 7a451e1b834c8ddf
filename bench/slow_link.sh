#!/bin/sh
# Slow-link measurement: eight files of 100 KB served over ONE shared link
# of 6 KiB/s, then of 2 KiB/s, on 127.0.0.1 (tests/integration/harness.py's
# PacedServer: every connection's body goes through one token bucket, in
# turns), patched by launcher-patch with its default jobs and the shipped
# network limits (no LAUNCHER_PATCH_TIMEOUT_MS). Each download then gets
# 768 B/s (256 B/s), under the 1 KiB/s rate floor of a lone transfer but
# above its share of it, so every run must end with all eight files in
# place. Prints, per build and rate, the time, the exit status, the last
# line and what went to stderr.
#
# Runs the Linux build and, when it exists and Wine is there, the Windows
# build. It takes minutes: 800 KB at 6 KiB/s is about 130 s, at 2 KiB/s
# about 400 s, per build.
#
# Usage, from the repository root:   bench/slow_link.sh [rate ...]
#   rates in bytes per second (default: 6144 2048)
# Environment: LAUNCHER_PATCH_LINUX, LAUNCHER_PATCH_WINDOWS name the
# programs (default build/linux/launcher-patch, build/windows/launcher-patch.exe).
set -eu
cd "$(dirname "$0")/.."
exec python3 - "$@" <<'PYTHON'
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, "tests/integration")
sys.path.insert(0, "tests/support")
from console_tool import ConsoleTool  # noqa: E402
from harness import PacedServer  # noqa: E402

FILES = 8
FILE_BYTES = 100 * 1000
rates = [int(r) for r in sys.argv[1:]] or [6 * 1024, 2 * 1024]
work = Path(tempfile.mkdtemp(prefix="slow-link-"))
results = []
try:
    for target in ("linux", "windows"):
        tool = ConsoleTool("launcher-patch", target)
        why = tool.unavailable()
        if why:
            print("%s: skipped (%s)" % (target, why), flush=True)
            continue
        tool.warm_up()
        for rate in rates:
            server = PacedServer(link_rate=rate, piece=max(64, rate // 16))
            try:
                lines = []
                for i in range(FILES):
                    body = bytes((i * 31 + k * 7) & 0xFF for k in range(FILE_BYTES))
                    lines.append("file%d.bin|%d|%s" % (i, FILE_BYTES, server.add("file%d.bin" % i, body, rate="link")))
                manifest = server.add("manifest", ("\n".join(lines) + "\n").encode())
                game = work / ("%s-%d" % (target, rate))
                game.mkdir()
                print("%s, %d B/s shared by %d downloads: running (about %.0f s)..." %
                      (target, rate, FILES, FILES * FILE_BYTES / rate), flush=True)
                started = time.monotonic()
                result = tool.run(["patch", "--dir", tool.native(game), "--url", manifest], timeout_s=3600)
                took = time.monotonic() - started
                complete = sum(1 for i in range(FILES)
                               if (game / ("file%d.bin" % i)).is_file()
                               and (game / ("file%d.bin" % i)).stat().st_size == FILE_BYTES)
                requests = sum(server.hits_of("file%d.bin" % i) for i in range(FILES))
            finally:
                server.stop()
            row = (target, rate, took, result.code, complete, requests,
                   result.lines[-1] if result.lines else "", result.stderr.strip())
            results.append(row)
            print("  %.1f s, exit %d, %d/%d files, %d requests, %r" % (took, result.code, complete, FILES, requests,
                                                                   row[6]) +
                  ("\n  stderr: " + row[7] if row[7] else ""), flush=True)
finally:
    shutil.rmtree(work, ignore_errors=True)

print()
print("%-8s %8s %9s %5s %6s %9s  %s" % ("build", "link B/s", "time s", "exit", "files", "requests", "last line"))
for target, rate, took, code, complete, requests, last, _ in results:
    print("%-8s %8d %9.1f %5d %4d/%d %9d  %s" % (target, rate, took, code, complete, FILES, requests, last))
sys.exit(0 if results and all(r[3] == 0 and r[4] == FILES for r in results) else 1)
PYTHON
