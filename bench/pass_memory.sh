#!/bin/sh
# Peak memory of launcher-patch check and patch over a manifest of
# 1,000,000 entries in separate folders (bench/pass_memory.py says how),
# the Linux build and, when built, the Windows build under Wine.
# Usage, from the repository root: bench/pass_memory.sh [--entries N] [--short]
#   e.g. bench/pass_memory.sh --entries 12000000 --short   (a 168 MB manifest)
# Needs the builds of scripts/test.sh (build/linux, build/windows).
set -eu
cd "$(dirname "$0")/.."
mkdir -p build/bench
[ -x build/bench/peak_rss ] || cc -O2 -o build/bench/peak_rss bench/peak_rss.c
set -- --peak-rss build/bench/peak_rss --tool build/linux/launcher-patch "$@"
[ -f build/windows/launcher-patch.exe ] && set -- "$@" --windows build/windows/launcher-patch.exe
exec python3 bench/pass_memory.py "$@"
