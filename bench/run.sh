#!/bin/sh
# Patch benchmark: launcher-patch against curl over a private nginx on
# 127.0.0.1, with peak memory, printed as a table with PASS/MISS per target.
#
# Usage, from the repository root:   bench/run.sh [patchbench options]
#   e.g.  bench/run.sh                    the full run (about 1-2 minutes)
#   (the patch cases below, then the frame painter's cost per frame)
#         bench/run.sh --skip-large       without the 4 x 256 MiB case
#         bench/run.sh --runs 3 --keep    fewer runs; keep the temporary folder
#
# Builds launcher-patch and launcher-manifest (which makes the manifests) in
# Release into build/bench (only when out of date) and the small
# bench/peak_rss.c helper that measures peak memory, then runs
# bench/patchbench.py, which generates the patch tree in a temporary folder
# (under $TMPDIR, default /tmp, or --workdir DIR; about 2.5 GiB free needed,
# checked first), serves it with nginx, times the cases and removes the
# folder again. Needs only the Debian packages from scripts/install-deps.sh
# (build-essential, cmake, ninja-build, nginx-light, curl, python3).
# Targets are reported, never enforced: the exit status is non-zero only
# when the build, the server or a download verification failed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLAUNCHER_TESTS=OFF -DLAUNCHER_BENCH=ON >/dev/null
cmake --build "$build" --target launcher-patch launcher-manifest paint_bench launcher_artwork >/dev/null
# The peak-memory helper (see its header for why Python cannot measure it).
if [ ! -x "$build/peak_rss" ] || [ "$root/bench/peak_rss.c" -nt "$build/peak_rss" ]; then
  cc -O2 -Wall -Wextra -o "$build/peak_rss" "$root/bench/peak_rss.c"
fi

# Debian's interpreter rather than whatever python3 comes first on PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" "$root/bench/patchbench.py" --tool "$build/launcher-patch" \
  --peak-rss "$build/peak_rss" "$@"

# Painting one whole frame on the software canvas, against the 45 ms the
# animation timer leaves it.
echo
echo "Frame painting (software canvas), budget 45 ms per frame:"
"$build/bench/paint_bench" "$build" --benchmark_min_time=0.5
