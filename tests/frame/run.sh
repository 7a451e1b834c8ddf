#!/bin/sh
# Paints the fixed launcher screen with the Linux build (software canvas)
# and with the Windows build under Wine (GDI canvas) and compares the two
# frames outside the text boxes; prints the share of differing pixels.
# Then the Windows window's present of changed tiles against a whole
# repaint, tick after tick: the unit tests' GdiPresent case, which needs a
# real window, on a private Xvfb (xvfb-run).
# Builds nothing: needs build/linux/tests/paint_frame,
# build/windows/tests/paint_frame.exe and launcher_unit_tests.exe beside it
# (LAUNCHER_LINUX_BUILD and LAUNCHER_WINDOWS_BUILD name other build
# folders), python3, wine and xvfb-run.
# Without Wine there is nothing to compare: skipped with a line on stderr,
# or a failure with LAUNCHER_REQUIRE_WINE=1 (tests/support/wine.sh).
# The frames and a difference image are left in build/frames.
# Usage: tests/frame/run.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cd "$repo"
. "$repo/tests/support/wine.sh"
linux_build=${LAUNCHER_LINUX_BUILD:-build/linux}
windows_build=${LAUNCHER_WINDOWS_BUILD:-build/windows}
out=build/frames

for program in "$linux_build/tests/paint_frame" "$windows_build/tests/paint_frame.exe" \
  "$windows_build/tests/launcher_unit_tests.exe"; do
  if [ ! -f "$program" ]; then
    echo "frame comparison: $program is missing; build first" >&2
    exit 1
  fi
done
wine_ready "frame comparison" xvfb-run || exit 0

# Each build writes its bg.bmp beside its frame, so each gets a folder.
# Paths stay relative: Wine resolves them against the same working folder.
mkdir -p "$out/soft" "$out/gdi"
"$linux_build/tests/paint_frame" "$out/soft/frame.bmp"
WINEDEBUG=-all wine "$windows_build/tests/paint_frame.exe" "$out/gdi/frame.bmp"
python3 "$here/compare_frames.py" "$out/soft/frame.bmp" "$out/gdi/frame.bmp" --diff "$out/diff.bmp"

# -a takes a free display number; the case fails rather than skips when no
# window can be made there. Wine's desktop belongs to the first program of a
# session: the one paint_frame.exe ran in ends first (within a deadline),
# so the next starts on the Xvfb.
timeout 60 wineserver -w || true
LAUNCHER_NEED_WINDOW=1 WINEDEBUG=-all xvfb-run -a -s "-screen 0 1920x1080x24" \
  wine "$windows_build/tests/launcher_unit_tests.exe" --gtest_filter='GdiPresent.*' --gtest_brief=1
