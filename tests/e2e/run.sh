#!/bin/sh
# Runs the end-to-end scenarios (tests/e2e/test_e2e.py) against the Linux
# launcher and then, under Wine, against the Windows launcher. Starts its own
# X servers on free display numbers, a 1920x1080 and a 1366x768 Xvfb, each
# with openbox as window manager, and ends everything it started: the X
# servers, the window managers, any nginx left by a failed scenario and the
# Wine processes of its own Wine prefix.
# Builds nothing: needs launcher, tests/launcher_fastprobe, tests/test_game
# and the artwork in build/linux and the same .exe files in build/windows
# (LAUNCHER_LINUX_BUILD and LAUNCHER_WINDOWS_BUILD name other build folders;
# a Windows build that is missing is skipped with a note, and one without
# Wine follows tests/support/wine.sh: skipped with a line on stderr, or a
# failure with LAUNCHER_REQUIRE_WINE=1). The Wine prefix is
# build/e2e/wineprefix (LAUNCHER_E2E_WINEPREFIX), made on the first run.
# On a failure the work folder (game folders, logs, server state) is kept
# and named at the end.
# Usage: tests/e2e/run.sh [linux|windows|both [unittest names...]]
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cd "$repo"
. "$repo/tests/support/wine.sh"
linux_build=$(cd "${LAUNCHER_LINUX_BUILD:-build/linux}" 2>/dev/null && pwd)
windows_build=$(cd "${LAUNCHER_WINDOWS_BUILD:-build/windows}" 2>/dev/null && pwd)
targets=${1:-both}
[ "$targets" = both ] && targets="linux windows"
[ $# -gt 0 ] && shift
python=/usr/bin/python3   # Debian's, with Pillow

for tool in Xvfb openbox xdotool xwininfo xprop /usr/sbin/nginx "$python"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "e2e: $tool is missing; run scripts/install-deps.sh" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/launcher-e2e.XXXXXX")
chmod 755 "$work"   # readable by the servers the tests start, whatever their user
pids="$work/pids"
: >"$pids"
WINEPREFIX=${LAUNCHER_E2E_WINEPREFIX:-$repo/build/e2e/wineprefix}
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_used=0

cleanup() {
  if [ "$wine_used" = 1 ]; then wineserver -k 2>/dev/null; fi
  # Servers a scenario could not stop, then window managers and X servers.
  while read -r pid; do
    kill "$pid" 2>/dev/null
  done <"$pids"
  if [ "$status" = 0 ]; then rm -rf "$work"; else echo "e2e: kept $work" >&2; fi
}
status=1
trap cleanup EXIT
trap 'exit 130' INT TERM

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds.
wait_for() {
  tries=$(($1 * 10)); shift
  while ! "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# start_screen NAME WxH: an Xvfb on a free display with openbox on it;
# sets display_NAME to ":N".
start_screen() {
  Xvfb -displayfd 3 -screen 0 "$2x24" -nolisten tcp -noreset 3>"$work/$1.display" \
    >"$work/$1.xvfb.log" 2>&1 &
  echo $! >>"$pids"
  if ! wait_for 15 test -s "$work/$1.display"; then
    echo "e2e: Xvfb did not start (see below)" >&2
    cat "$work/$1.xvfb.log" >&2
    exit 1
  fi
  display=":$(cat "$work/$1.display")"
  # Debian's own configuration, whatever the user's: it binds Alt+F4 to close.
  DISPLAY=$display openbox --sm-disable --config-file /etc/xdg/openbox/rc.xml \
    >"$work/$1.openbox.log" 2>&1 &
  echo $! >>"$pids"
  if ! wait_for 15 env DISPLAY="$display" sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'; then
    echo "e2e: openbox did not start on $display" >&2
    cat "$work/$1.openbox.log" >&2
    exit 1
  fi
  eval "display_$1=$display"
}

start_screen large 1920x1080
start_screen small 1366x768
export LAUNCHER_E2E_DISPLAY_LARGE="$display_large" LAUNCHER_E2E_DISPLAY_SMALL="$display_small"
export LAUNCHER_E2E_PIDS="$pids"

status=0
for target in $targets; do
  case $target in
    linux) build=$linux_build ;;
    windows)
      build=$windows_build
      if [ -z "$build" ] || [ ! -f "$build/launcher.exe" ]; then
        echo "e2e: no Windows build; the Windows launcher was not tested" >&2
        continue
      fi
      wine_ready "e2e" wineserver wineboot || continue
      wine_used=1
      # A wineserver started without a display keeps a desktop without a
      # driver; ours always starts fresh on our X server.
      wineserver -k 2>/dev/null
      if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== e2e: making the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        DISPLAY=$display_large wineboot -i >"$work/wineboot.log" 2>&1 && wineserver -w
      fi
      ;;
    *) echo "usage: tests/e2e/run.sh [linux|windows|both [unittest names...]]" >&2; exit 64 ;;
  esac
  if [ -z "$build" ]; then
    echo "e2e: no $target build folder; build first" >&2
    status=1
    continue
  fi
  mkdir -p "$work/$target"
  started=$(date +%s)
  echo "== e2e: $target"
  LAUNCHER_E2E_TARGET=$target LAUNCHER_E2E_BUILD=$build LAUNCHER_E2E_WORK="$work/$target" \
    "$python" "$here/test_e2e.py" "$@" || status=1
  echo "== e2e: $target took $(($(date +%s) - started)) s"
done
exit $status
