#!/bin/sh
# Patch benchmark: launcher-patch against curl (and aria2c) over a private
# nginx on 127.0.0.1, directly and through a proxy that adds a 50 ms round
# trip, with peak memory, printed as a table with PASS/MISS per target.
#
# Usage, from the repository root:   bench/run.sh [patchbench options]
#   e.g.  bench/run.sh                    the full run (about 5 minutes)
#   (the patch cases below, then the frame painter's cost per frame)
#         bench/run.sh --skip-large       without the 4 x 256 MiB case
#         bench/run.sh --skip-latency --skip-resume   only (i) to (iii)
#         bench/run.sh --runs 3 --latency-runs 3 --keep
#                                         fewer runs; keep the temporary folder
#         bench/run.sh --skip-https       without the HTTPS case (viii)
#         bench/run.sh --only-https --https-runs 3   (viii) alone, quickly
#
# Cases (bench/patchbench.py's header says more): (i) 2000 x 16 KiB
# (against curl one transfer at a time and curl --parallel-max 8), (ii) 4 x
# 256 MiB, (iii) a check of 100,000 present files, (iv) 300 x 16 KiB
# through bench/latency_proxy.py (25 ms each way) against curl
# --parallel-max 8 and aria2c -j 8, also the Windows build under Wine,
# (v) resuming a 256 MiB download killed half-way (bytes the server sent),
# (vi) the cost of per-file SHA-256: (ii) with "#sha256=" on every line
# against (ii) without, at full loopback speed and again with nginx pacing
# each download to 100 MiB/s, and launcher-manifest --sha256 over about 2.5 GiB
# against sha256sum (1.5 GiB more disk; --skip-hashing leaves it out),
# (viii) (iv)'s files over HTTPS with HTTP/2 through the proxy, nginx
# holding a certificate from a throwaway CA made with openssl for the run
# (scripts/tls_nginx.py; the launcher trusts it through SSL_CERT_FILE),
# against curl --parallel-max 100 --http2: wall and CPU time, the load
# average beside them.
#
# First installs what a fresh Debian 12 machine lacks: the project's
# packages through scripts/install-deps.sh (nothing when all are there; it
# brings nginx, curl, the MinGW compilers and Wine), then aria2 and openssl
# (the HTTPS case's certificates). Builds launcher-patch and
# launcher-manifest (which makes the manifests) in Release (only when out of
# date), the Windows launcher-patch.exe with MinGW, and the
# small bench/peak_rss.c helper that measures peak memory, then runs
# bench/patchbench.py, which generates the patch tree in a temporary folder
# (under $TMPDIR, default /tmp, or --workdir DIR; about 4.5 GiB free needed,
# checked first), serves it with nginx, times the cases and removes the
# folder again.
#
# Environment:
#   BENCH_BUILD           the Linux build folder (default build/bench)
#   BENCH_WINDOWS_BUILD   the Windows build folder (default build/bench-windows, with
#                         -x86_64 added where a 64-bit build stands in: see below);
#                         its wineprefix/ is the Wine prefix of the Windows row
#                         (made on the first run, which takes a minute more)
#   LAUNCHER_PATCH_WINDOWS  a launcher-patch.exe to run under Wine instead of
#                         building one (a file that does not exist, e.g. none,
#                         leaves the Windows row out, with a note)
#   LAUNCHER_REQUIRE_WINE=1  a missing Wine is an error, not a note
#                         (tests/support/wine.sh)
# Targets are reported, never enforced: the exit status is non-zero only
# when an install, a build, the server or a download verification failed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-"$root/build/bench"}
windows_build=${BENCH_WINDOWS_BUILD:-"$root/build/bench-windows"}

# quiet LOG COMMAND...: runs the command with its output into LOG, shown
# (the end of it) only when the command fails.
quiet() {
  _log=$1
  shift
  mkdir -p "$(dirname "$_log")"
  if ! "$@" >"$_log" 2>&1; then
    tail -n 40 "$_log" >&2
    echo "bench/run.sh: failed: $* (whole output in $_log)" >&2
    exit 1
  fi
}

"$root/scripts/install-deps.sh"
missing=""
for package in aria2 openssl; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
if [ -n "$missing" ]; then
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
  echo "Installing Debian packages:$missing" >&2
  $SUDO apt-get update -q >&2
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing >&2
fi

quiet "$build/bench-build.log" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLAUNCHER_TESTS=OFF -DLAUNCHER_BENCH=ON
quiet "$build/bench-build.log" cmake --build "$build" \
  --target launcher-patch launcher-manifest paint_bench launcher_artwork
# The peak-memory helper (see its header for why Python cannot measure it).
if [ ! -x "$build/peak_rss" ] || [ "$root/bench/peak_rss.c" -nt "$build/peak_rss" ]; then
  cc -O2 -Wall -Wextra -o "$build/peak_rss" "$root/bench/peak_rss.c"
fi

# The shipped Windows build is 32-bit; on a machine whose kernel runs no
# 32-bit program (32-bit Wine cannot start there), the Windows row runs a
# 64-bit build of the same sources under 64-bit Wine instead, in a build
# folder of its own, as scripts/test.sh does.
windows_toolchain=mingw-i686
windows_compiler=i686-w64-mingw32-g++-posix
if ! /usr/lib/wine/wine --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; then
  windows_toolchain=mingw-x86_64
  windows_compiler=x86_64-w64-mingw32-g++-posix
  windows_build="$windows_build-x86_64"
  PATH="$root/tests/support/wine64:$PATH"
  export PATH
fi
windows_tool=${LAUNCHER_PATCH_WINDOWS:-}
if [ -z "$windows_tool" ]; then
  windows_tool="$windows_build/launcher-patch.exe"
  if command -v "$windows_compiler" >/dev/null 2>&1; then
    quiet "$windows_build/bench-build.log" cmake -S "$root" -B "$windows_build" -G Ninja \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$windows_toolchain.cmake" -DLAUNCHER_TESTS=OFF
    quiet "$windows_build/bench-build.log" cmake --build "$windows_build" --target launcher-patch
  fi
fi

# Debian's interpreter rather than whatever python3 comes first on PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" "$root/bench/patchbench.py" --tool "$build/launcher-patch" \
  --peak-rss "$build/peak_rss" --windows-tool "$windows_tool" \
  --wine-prefix "$windows_build/wineprefix" "$@"

# Painting one whole frame on the software canvas, against the 45 ms the
# animation timer leaves it.
echo
echo "Frame painting (software canvas), budget 45 ms per frame:"
"$build/bench/paint_bench" "$build" --benchmark_min_time=0.5
