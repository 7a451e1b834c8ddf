#!/bin/sh
# Patching a large file from its old copy: bytes that travel against a
# whole download and zsync, time through a 50 ms round trip against curl,
# peak memory on a large file, and launcher-manifest --chunks against
# --sha256 alone (bench/delta.py's header says how each is measured).
#
# Usage, from the repository root:   bench/delta.sh [delta.py options]
#   e.g.  bench/delta.sh                      1 GiB file, 4 GiB for memory
#         bench/delta.sh --size 268435456 --memory-size 1073741824
#                                             smaller, when time is short
#         bench/delta.sh --memory-size 0      memory case left out
#         bench/delta.sh --only-manifest      case (d) alone (--chunks against --sha256)
# Needs about 4 times --size, and 4 times --memory-size, free under $TMPDIR
# (or --workdir DIR). Installs zsync (Debian) when it is missing, builds
# launcher-patch and launcher-manifest in Release into $BENCH_BUILD
# (default build/bench) and bench/peak_rss.c beside them.
# Goals are reported, never enforced: the exit status is non-zero only when
# an install, a build, the server or a verification failed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-"$root/build/bench"}

if ! command -v zsyncmake >/dev/null 2>&1; then
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
  echo "Installing Debian packages: zsync" >&2
  $SUDO apt-get update -q >&2
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends zsync >&2
fi

mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_TESTS=OFF &&
       cmake --build "$build" --target launcher-patch launcher-manifest; } >"$build/delta-build.log" 2>&1; then
  tail -n 40 "$build/delta-build.log" >&2
  echo "bench/delta.sh: the build failed (whole output in $build/delta-build.log)" >&2
  exit 1
fi
if [ ! -x "$build/peak_rss" ] || [ "$root/bench/peak_rss.c" -nt "$build/peak_rss" ]; then
  cc -O2 -Wall -Wextra -o "$build/peak_rss" "$root/bench/peak_rss.c"
fi

python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" "$root/bench/delta.py" --build "$build" --peak-rss "$build/peak_rss" "$@"
