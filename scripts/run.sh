#!/bin/sh
# Builds the launcher for Linux if needed and runs the demo: a demo game
# folder, a patch server and a game server on loopback, and the launcher's
# window. Installs the Debian packages it needs first (needs root or sudo).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux --target launcher launcher-patch launcher-manifest >/dev/null
exec python3 scripts/demo.py
