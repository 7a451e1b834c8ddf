"""What the Python tests do when the Windows build is there but Wine, or
something its Windows part needs under Wine, is not: the rule of
tests/support/wine.sh, which its header explains. In short: one line on
stderr, "<who>: Windows build not tested: <what is missing>", and the
Windows part is skipped; with LAUNCHER_REQUIRE_WINE=1 (scripts/test.sh, the
CI command, sets it) the same line makes it fail instead.

Also the environment every Wine start in the tests shares.
"""
import os
import shutil
import sys

REQUIRE_VARIABLE = "LAUNCHER_REQUIRE_WINE"
DEBIAN_WINE_LOADER = "/usr/lib/wine/wine"

# Quiet, and a new prefix never stops to offer to install Mono or Gecko.
WINE_ENVIRONMENT = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


class WineRequired(AssertionError):
    """Wine is missing where LAUNCHER_REQUIRE_WINE=1 asks for the Windows
    tests: a failure, not a skip."""


def wine_missing(needs=()):
    """What keeps the Windows build from running under Wine here, or None:
    the wine command, Debian's 32-bit loader (where Debian's Wine is
    installed), then each of needs (a command name, or an absolute path)."""
    if shutil.which("wine") is None:
        return "wine is not installed (scripts/install-deps.sh)"
    if os.path.isdir(os.path.dirname(DEBIAN_WINE_LOADER)) and not os.access(DEBIAN_WINE_LOADER, os.X_OK):
        return "the 32-bit Wine loader is not installed (wine32:i386, scripts/install-deps.sh)"
    for need in needs:
        found = os.path.exists(need) if os.path.isabs(need) else shutil.which(need) is not None
        if not found:
            return "%s is not installed (scripts/install-deps.sh)" % need
    return None


def wine_unavailable(who, what):
    """Prints the rule's line and returns it; raises WineRequired with it
    when LAUNCHER_REQUIRE_WINE=1."""
    line = "%s: Windows build not tested: %s" % (who, what)
    print(line, file=sys.stderr, flush=True)
    if os.environ.get(REQUIRE_VARIABLE) == "1":
        raise WineRequired(line)
    return line


def wine_ready(who, needs=()):
    """None when Wine and needs are here; else the rule's line (printed),
    for the caller to skip with. Raises WineRequired instead when
    LAUNCHER_REQUIRE_WINE=1."""
    what = wine_missing(needs)
    return None if what is None else wine_unavailable(who, what)
