#!/bin/sh
# The console tools' own threads under ThreadSanitizer, with the programs of
# the TSan build (the unit tests cover the core's threads, not the tools'):
#   - launcher-manifest --sha256 over a generated folder of a dozen files,
#     hashed on several threads; every digest is compared with Python's;
#   - the same while four large files grow, so that the hashing threads each
#     find a changed file and report it at about the same time (the path
#     where they print names side by side);
#   - launcher-patch patch --jobs 4 from a private nginx on loopback, the
#     downloads on four workers beside the pass, one file missing on the
#     server so that a worker's failure is reported too; then a check.
# Any ThreadSanitizer report fails the script: halt_on_error=1 ends the
# program at the first one, and its standard error is searched as well.
# Builds nothing; needs python3 and nginx-light (scripts/install-deps.sh).
# Usage: tests/integration/tsan_tools.sh [BUILD]   (default build/tsan)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$repo/build/tsan}" && pwd)

if ! grep -q '^LAUNCHER_SANITIZE:STRING=thread$' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "tsan_tools: $build is not a ThreadSanitizer build (-DLAUNCHER_SANITIZE=thread)" >&2
  exit 1
fi
for program in launcher-manifest launcher-patch; do
  if [ ! -x "$build/$program" ]; then
    echo "tsan_tools: $build/$program is missing; build first" >&2
    exit 1
  fi
done

TSAN_OPTIONS=halt_on_error=1 exec /usr/bin/python3 - "$repo" "$build" <<'EOF'
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

repo, build = Path(sys.argv[1]), Path(sys.argv[2])
sys.path.insert(0, str(repo / "scripts"))
from local_nginx import LocalNginx  # noqa: E402

work = Path(tempfile.mkdtemp(prefix="launcher-tsan-tools-"))
failures = []


def run(name, args):
    """(exit code, stdout bytes, stderr text) of one program of the build;
    a ThreadSanitizer report on its standard error is a failure."""
    started = time.monotonic()
    done = subprocess.run([str(build / name)] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=300,
                          env={k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")})
    stderr = done.stderr.decode("utf-8", "replace")
    print("  %s %s: exit %d, %.1f s" % (name, " ".join(args[:1]), done.returncode, time.monotonic() - started))
    if "ThreadSanitizer" in stderr:
        failures.append("%s %s: ThreadSanitizer report:\n%s" % (name, " ".join(args), stderr[-8000:]))
        stderr = stderr.split("==================")[0] + "[the ThreadSanitizer report above]"
    return done.returncode, done.stdout, stderr


def expect(condition, what):
    if not condition:
        failures.append(what)


def digests_of(manifest):
    """{path: digest} of a manifest's entry lines."""
    found = {}
    for line in manifest.decode("utf-8").splitlines():
        if line.startswith("#"):
            continue
        path, _, rest = line.partition("|")
        found[path] = rest.rpartition("#sha256=")[2]
    return found


try:
    served = work / "served"
    files = work / "served" / "files"
    rng = random.Random(7)
    sizes = [0, 1, 4095, 65536, 1 << 20, (1 << 20) + 1, 3 << 20, 123457, 2 << 20, 77, 512 << 10, 9]
    for i, size in enumerate(sizes):
        path = files / ("maps" if i % 3 == 0 else "data") / ("file-%02d-\u00e9.bin" % i)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(rng.randbytes(size))
    wanted = {p.relative_to(files).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
              for p in files.rglob("*") if p.is_file()}

    with LocalNginx(served) as nginx:
        print("== launcher-manifest --sha256, %d files" % len(wanted))
        code, manifest, stderr = run("launcher-manifest", ["--sha256", str(files), nginx.url("files")])
        expect(code == 0, "launcher-manifest --sha256 exit %d: %s" % (code, stderr[-2000:]))
        expect(code != 0 or digests_of(manifest) == wanted, "launcher-manifest --sha256 wrote other digests")
        (served / "manifest.txt").write_bytes(manifest)

        print("== launcher-manifest --sha256 while files grow")
        growing = work / "growing"
        growing.mkdir()
        for i in range(4):
            (growing / ("big-%d.bin" % i)).write_bytes(rng.randbytes(16 << 20))
        stop = threading.Event()

        def grow():
            while not stop.is_set():
                for i in range(4):
                    with open(growing / ("big-%d.bin" % i), "ab") as f:
                        f.write(b"+")
                time.sleep(0.001)

        grower = threading.Thread(target=grow)
        grower.start()
        try:
            code, _, stderr = run("launcher-manifest", ["--sha256", str(growing), "http://127.0.0.1/g"])
        finally:
            stop.set()
            grower.join()
        expect(code == 1 and "changed while it was listed" in stderr,
               "launcher-manifest over growing files: exit %d: %s" % (code, stderr[-2000:]))

        print("== launcher-patch patch --jobs 4, one file missing on the server")
        gone = sorted(wanted)[5]
        shutil.move(files / gone, work / "gone.bin")
        game = work / "game"
        game.mkdir()
        code, _, stderr = run("launcher-patch", ["patch", "--dir", str(game), "--url",
                                                 nginx.url("manifest.txt"), "--jobs", "4"])
        expect(code == 1 and stderr.count("HTTP status 404") == 1,
               "launcher-patch patch: exit %d: %s" % (code, stderr[-2000:]))
        shutil.move(work / "gone.bin", files / gone)
        code, _, stderr = run("launcher-patch", ["patch", "--dir", str(game), "--url",
                                                 nginx.url("manifest.txt"), "--jobs", "4", "--verify"])
        expect(code == 0, "launcher-patch patch --verify: exit %d: %s" % (code, stderr[-2000:]))
        for relative, digest in wanted.items():
            got = game / relative
            expect(got.is_file() and hashlib.sha256(got.read_bytes()).hexdigest() == digest,
                   "launcher-patch left %s other than served" % relative)
        code, _, stderr = run("launcher-patch", ["check", "--dir", str(game), "--url",
                                                 nginx.url("manifest.txt"), "--jobs", "4", "--verify"])
        expect(code == 0, "launcher-patch check --verify: exit %d: %s" % (code, stderr[-2000:]))
finally:
    shutil.rmtree(work, ignore_errors=True)

for failure in failures:
    print("tsan_tools: " + failure, file=sys.stderr)
print("tsan_tools: %s" % ("FAILED" if failures else "no ThreadSanitizer report, every outcome as expected"))
sys.exit(1 if failures else 0)
EOF
