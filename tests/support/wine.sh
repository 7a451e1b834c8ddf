# The rule every test script follows when the Windows build is there but
# Wine, or something its Windows part needs under Wine, is not:
#
#   - the script skips its Windows part and prints one line on stderr,
#       "<who>: Windows build not tested: <what is missing>"
#   - unless LAUNCHER_REQUIRE_WINE=1 is set: then it prints that same line
#     and exits 1. scripts/test.sh, the CI command, sets it: it installs
#     Wine itself, so there a missing Wine is a broken machine, and CI must
#     never pass without the Windows tests.
#
# "Wine" is the wine command and, where Debian's Wine is installed, its
# 32-bit loader: the Windows build is 32-bit, and without wine32:i386
# Debian's wine falls back to a 64-bit loader that cannot start it. Each
# script names the further commands or files its Windows part needs. A
# Windows build that was never built is each script's own business.
# tests/support/wine.py applies the same rule in the Python tests.
#
# Usage, in a POSIX sh script:
#   . "$repo/tests/support/wine.sh"
#   if wine_ready "e2e" wineserver wineboot; then ...the Windows part...; fi
#   pactl info >/dev/null || wine_unavailable "music" "no audio server" || exit 0

DEBIAN_WINE_LOADER=/usr/lib/wine/wine

# wine_ready WHO [NEED...]: 0 when Wine and every NEED (a command name, or
# the absolute path of a file) are here; otherwise wine_unavailable with
# the first thing missing.
wine_ready() {
  _wine_who=$1
  shift
  if ! command -v wine >/dev/null 2>&1; then
    wine_unavailable "$_wine_who" "wine is not installed (scripts/install-deps.sh)"
    return
  fi
  if [ -d "${DEBIAN_WINE_LOADER%/*}" ] && [ ! -x "$DEBIAN_WINE_LOADER" ]; then
    wine_unavailable "$_wine_who" "the 32-bit Wine loader is not installed (wine32:i386, scripts/install-deps.sh)"
    return
  fi
  for _wine_need in "$@"; do
    case $_wine_need in
      /*) [ -e "$_wine_need" ] && continue ;;
      *) command -v "$_wine_need" >/dev/null 2>&1 && continue ;;
    esac
    wine_unavailable "$_wine_who" "$_wine_need is not installed (scripts/install-deps.sh)"
    return
  done
  return 0
}

# wine_unavailable WHO WHAT: prints the rule's line; then exits 1 when
# LAUNCHER_REQUIRE_WINE=1, else returns 1 so that the caller skips.
wine_unavailable() {
  echo "$1: Windows build not tested: $2" >&2
  if [ "${LAUNCHER_REQUIRE_WINE:-}" = 1 ]; then
    exit 1
  fi
  return 1
}
