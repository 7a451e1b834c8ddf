#!/bin/sh
# The console tools' threads under ThreadSanitizer (a report fails): launcher-manifest
# --sha256 and --chunks hashing a dozen files, then launcher-patch --jobs 4 from a private nginx with
# one file missing, and again over changed large files patched from their old copies, then once more
# over HTTPS with HTTP/2, where the requests of every worker are streams of one connection driven by a
# thread of their own. Needs python3, nginx and openssl. Usage: tsan_tools.sh [BUILD] (build/tsan)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$repo/build/tsan}" && pwd)
if ! grep -q '^LAUNCHER_SANITIZE:STRING=thread$' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "tsan_tools: $build is not a ThreadSanitizer build (-DLAUNCHER_SANITIZE=thread)" >&2
  exit 1
fi

TSAN_OPTIONS=halt_on_error=1 exec /usr/bin/python3 - "$repo" "$build" <<'EOF'
import hashlib, os, random, shutil, subprocess, sys, tempfile
from pathlib import Path

repo, build = Path(sys.argv[1]), Path(sys.argv[2])
sys.path.insert(0, str(repo / "scripts"))
from local_nginx import LocalNginx  # noqa: E402
from tls_nginx import TlsNginx, make_authority  # noqa: E402

work = Path(tempfile.mkdtemp(prefix="launcher-tsan-tools-"))
failures = []


def run(name, args, code, extra_env=None):
    """stdout of one program; an exit other than code or a TSan report fails."""
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    done = subprocess.run([str(build / name)] + args, stdin=subprocess.DEVNULL, capture_output=True, timeout=300,
                          env=dict(env, **(extra_env or {})))
    stderr = done.stderr.decode("utf-8", "replace")
    if "ThreadSanitizer" in stderr or done.returncode != code:
        failures.append("%s %s: exit %d:\n%s" % (name, " ".join(args), done.returncode, stderr[-8000:]))
    return done.stdout, stderr


try:
    files, rng = work / "files", random.Random(7)
    for i, size in enumerate([0, 1, 4095, 65536, 1 << 20, (1 << 20) + 1, 3 << 20, 123457, 2 << 20, 77, 512 << 10, 9]):
        path = files / ("maps" if i % 3 == 0 else "data") / ("file-%02d-\u00e9.bin" % i)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(rng.randbytes(size))
    wanted = {p.relative_to(files).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
              for p in files.rglob("*") if p.is_file()}
    with LocalNginx(work) as nginx:
        manifest, _ = run("launcher-manifest", ["--sha256", str(files), nginx.url("files")], 0)
        got = dict(line.split("|")[0::2] for line in manifest.decode().splitlines() if not line.startswith("#"))
        if {path: url.rpartition("#sha256=")[2] for path, url in got.items()} != wanted:
            failures.append("launcher-manifest --sha256 wrote other digests")
        (work / "manifest.txt").write_bytes(manifest)
        # --chunks: the same read cuts the large files and feeds the file's digest to a helper thread.
        chunked, _ = run("launcher-manifest", ["--chunks", str(work / "chunks"), str(files), nginx.url("files")], 0)
        if chunked != manifest or len(list((work / "chunks").rglob("*.chunks"))) != 4:
            failures.append("launcher-manifest --chunks wrote another manifest or other indexes")
        gone = sorted(wanted)[5]
        (files / gone).unlink()
        (work / "game").mkdir()
        _, stderr = run("launcher-patch", ["patch", "--dir", str(work / "game"), "--url", nginx.url("manifest.txt"),
                                           "--jobs", "4"], 1)
        fetched = {p.relative_to(work / "game").as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
                   for p in (work / "game").rglob("*")
                   if p.is_file() and not p.name.startswith(".~launcher") and p.name != "launcher.hashes"}
        if stderr.count("HTTP status 404") != 1 or fetched != {p: d for p, d in wanted.items() if p != gone}:
            failures.append("launcher-patch --jobs 4 did not fetch all but %s: %s" % (gone, stderr[-2000:]))
        # The large files changed in places, with their indexes published beside them: their
        # ranges are spread over the four workers.
        for index in (work / "chunks").rglob("*.chunks"):
            shutil.copy(index, files / index.relative_to(work / "chunks"))
            old = work / "game" / index.relative_to(work / "chunks").with_suffix("")
            if old.exists():
                body = bytearray(old.read_bytes())
                for at in range(100000, len(body), 300000):
                    body[at:at + 100] = rng.randbytes(100)
                old.write_bytes(bytes(body))
        _, stderr = run("launcher-patch", ["patch", "--dir", str(work / "game"), "--url", nginx.url("manifest.txt"),
                                           "--jobs", "4"], 1)
        fetched = {p.relative_to(work / "game").as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
                   for p in (work / "game").rglob("*")
                   if p.is_file() and not p.name.startswith(".~launcher") and p.name != "launcher.hashes"}
        if fetched != {p: d for p, d in wanted.items() if p != gone}:
            failures.append("launcher-patch --jobs 4 did not patch the changed large files: %s" % stderr[-2000:])
    authority = make_authority(work / "ca")
    with TlsNginx(work, work / "tls", authority).start() as server:
        (work / "https.txt").write_text(manifest.decode().replace(nginx.url(), server.tls_url()))
        (work / "over-https").mkdir()
        _, stderr = run("launcher-patch", ["patch", "--dir", str(work / "over-https"), "--url",
                                           server.tls_url("https.txt"), "--jobs", "4"], 1, {"SSL_CERT_FILE": authority.ca})
        fetched = {p.relative_to(work / "over-https").as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
                   for p in (work / "over-https").rglob("*")
                   if p.is_file() and not p.name.startswith(".~launcher") and p.name != "launcher.hashes"}
        if stderr.count("HTTP status 404") != 1 or fetched != {p: d for p, d in wanted.items() if p != gone}:
            failures.append("launcher-patch over HTTPS did not fetch all but %s: %s" % (gone, stderr[-2000:]))
finally:
    shutil.rmtree(work, ignore_errors=True)

for failure in failures:
    print("tsan_tools: " + failure, file=sys.stderr)
print("tsan_tools: %s" % ("FAILED" if failures else "no ThreadSanitizer report, every outcome as expected"))
sys.exit(1 if failures else 0)
EOF
