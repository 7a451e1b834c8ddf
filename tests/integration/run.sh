#!/bin/sh
# Runs the launcher-patch integration scenarios (nginx and a fault server on
# loopback) against build/linux/launcher-patch and then, when it was built,
# against build/windows/launcher-patch.exe under Wine.
# Needs python3, nginx-light and, for the Windows build, wine (see
# scripts/install-deps.sh); without Wine the Windows build is skipped, or
# fails with LAUNCHER_REQUIRE_WINE=1 (tests/support/wine.sh). Exits
# non-zero when any scenario fails.
# Usage: tests/integration/run.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$repo/tests/support/wine.sh"
status=0

if [ ! -x "$repo/build/linux/launcher-patch" ]; then
  echo "integration: build/linux/launcher-patch is missing; build first" >&2
  exit 1
fi
echo "== launcher-patch integration: linux"
LAUNCHER_PATCH_TARGET=linux python3 "$here/test_patch.py" || status=1

if [ -f "$repo/build/windows/launcher-patch.exe" ] && wine_ready "launcher-patch integration"; then
  echo "== launcher-patch integration: windows (Wine)"
  LAUNCHER_PATCH_TARGET=windows python3 "$here/test_patch.py" || status=1
fi
echo "== launcher-patch and control characters (linux, and windows under Wine when built)"; python3 "$here/test_names.py" || status=1
echo "== launcher-patch against a hostile server (linux, and windows under Wine when built)"; python3 "$here/test_hostile_http.py" || status=1
echo "== launcher-patch retries and resumes (linux, and windows under Wine when built)"; python3 "$here/test_resume.py" || status=1
echo "== launcher-patch and links or FIFOs where it keeps files (linux, and windows under Wine when built)"; python3 "$here/test_kept_files.py" || status=1
echo "== launcher-patch and signed manifests (linux, and windows under Wine when built)"; python3 "$here/test_signature.py" || status=1
echo "== large files patched from their old copy (linux, and windows under Wine when built)"; python3 "$here/test_delta.py" || status=1
echo "== per-file SHA-256: downloads, --verify, launcher-manifest --sha256 (linux, and windows under Wine when built)"; python3 "$here/test_integrity.py" || status=1
echo "== launcher-manifest (linux, and windows under Wine when built)"
python3 "$here/test_manifest.py" || status=1
echo "== the README's publishing recipe (linux launcher-manifest; linux, and windows under Wine when built, launcher-patch)"; python3 "$here/test_recipe.py" || status=1

echo "== Windows resources: manifests and versions (windows build, LAUNCHER_WINDOWS_BUILD)"; python3 "$here/test_windows_resources.py" || status=1
echo "== the demo on a virtual display (linux)"; python3 "$here/test_demo.py" || status=1
echo "== the Linux launcher and its X display (private Xvfb)"; python3 "$here/test_display_loss.py" || status=1
echo "== default artwork"
python3 "$here/test_artwork.py" || status=1

exit $status
