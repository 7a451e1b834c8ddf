#!/bin/sh
# Idle benchmark of the launcher window: CPU while it sits idle with its
# animation running, peak memory and the time to its first painted frame,
# for the Linux launcher and for launcher.exe under Wine, on a private
# 1920x1080x24 Xvfb with no network (the probe and the patch server point
# at a closed port on 127.0.0.1). Printed with PASS/MISS against the
# targets: <= 3 % of one core, <= 40 MiB, <= 150 ms.
#
# Usage, from the repository root:   bench/idle.sh [--seconds 30] [--only linux|windows]
#   (--only measures that build alone; both builds are still built)
#   (about 2 minutes: 30 s per build plus the builds and Wine's start; the
#    first run also makes the Wine prefix, a minute more)
#
# How (bench/idle.py's header says more): CPU is utime + stime of the
# launcher process itself over the idle span (/proc/<pid>/stat, children
# not included); peak memory is VmHWM (/proc/<pid>/status); the first
# frame is seen from outside, by polling the screen's pixels with XGetImage
# about every millisecond from just before the process is started until
# the window's area no longer shows the blank root. Under Wine the figures
# are the launcher.exe process's; Wine's own processes are listed as notes,
# and a Wine part that fails is a note too.
#
# First installs what a fresh Debian 12 machine lacks (scripts/install-deps.sh),
# then builds the launcher and its artwork in Release (only when out of
# date), for Linux and with MinGW for Windows, in the same build folders
# and with the same options as bench/run.sh.
#
# Environment:
#   BENCH_BUILD           the Linux build folder (default build/bench)
#   BENCH_WINDOWS_BUILD   the Windows build folder (default build/bench-windows);
#                         its wineprefix/ is the Wine prefix used
#   LAUNCHER_EXE_WINDOWS  a launcher.exe folder to measure instead of building
#                         one (a folder without launcher.exe leaves the Wine
#                         part out, with a note)
# Targets are reported, never enforced: the exit status is non-zero only
# when an install, a build, the X server or the Linux launcher failed.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-"$root/build/bench"}
windows_build=${BENCH_WINDOWS_BUILD:-"$root/build/bench-windows"}

# build_launcher DIR [cmake options...]: configures DIR (when needed) and
# builds the launcher and its artwork there; the output goes to
# DIR/idle-build.log, whose end is shown when a step fails.
build_launcher() {
  dir=$1
  shift
  mkdir -p "$dir"
  log="$dir/idle-build.log"
  if ! { cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_TESTS=OFF "$@" &&
         cmake --build "$dir" --target launcher launcher_artwork; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "bench/idle.sh: building the launcher in $dir failed (whole output in $log)" >&2
    exit 1
  fi
}

"$root/scripts/install-deps.sh"
build_launcher "$build" -DLAUNCHER_BENCH=ON

windows_folder=${LAUNCHER_EXE_WINDOWS:-}
if [ -z "$windows_folder" ]; then
  windows_folder=$windows_build
  if command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1; then
    build_launcher "$windows_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
  fi
fi

python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" "$root/bench/idle.py" --linux-build "$build" --windows-build "$windows_folder" \
  --wine-prefix "$windows_build/wineprefix" "$@"
