#!/bin/sh
# The core names no platform. Every file under src/base, src/app, src/patch,
# src/render and src/services, and every seam header src/platform/*.h, may
# include only C++ standard headers and the project's own headers, never a
# backend's header (platform/win32/..., platform/posix/...). Includes point
# down the layers:
#   base  <-  patch, render, services (none of them another)  <-  app
#   seams (platform/*.h) from any of them; a seam header only from base.
# Only base/text.h may test the platform (its #ifdef picks the text unit).
# Prints each offending line and exits 1; exits 0 when the core is clean.
# Usage: tests/layout/check_core_includes.sh
set -u
cd "$(dirname "$0")/../.."
report=$(mktemp)
trap 'rm -f "$report"' EXIT

# C++ standard library headers the core may use.
allowed='algorithm|array|atomic|bit|chrono|climits|cmath|condition_variable|cstdarg|cstddef|cstdint|cstdio|cstdlib|cstring|limits|mutex|new|string|type_traits|unordered_map|unordered_set|utility'

check_file() {  # check_file FILE LAYER
  file=$1 layer=$2
  grep -n '^[[:space:]]*#[[:space:]]*include' "$file" | while IFS= read -r line; do
    header=$(printf '%s\n' "$line" | sed -n 's/.*#[[:space:]]*include[[:space:]]*\([<"][^>"]*[>"]\).*/\1/p')
    case $header in
      \<*\>)
        name=${header#<}; name=${name%>}
        printf '%s\n' "$name" | grep -Eqx "$allowed" ||
          echo "$file:$line: system or third-party header" ;;
      \"platform/*/*\") echo "$file:$line: a backend's header" ;;
      \"platform/*\") [ "$layer" = seam ] && echo "$file:$line: a seam header includes another seam" ;;
      \"base/*\") ;;
      \"patch/*\"|\"render/*\"|\"services/*\")
        target=${header#\"}; target=${target%%/*}
        case $layer in
          app) ;;
          "$target") ;;
          *) echo "$file:$line: $layer/ may not include $target/" ;;
        esac ;;
      \"app/*\") [ "$layer" = app ] || echo "$file:$line: only app/ may include app/" ;;
      *) echo "$file:$line: include of an unknown kind" ;;
    esac
  done
  if [ "$file" != src/base/text.h ]; then
    grep -n '^[[:space:]]*#[[:space:]]*if' "$file" | sed "s|^|$file:|; s|\$|: conditional compilation (only base/text.h picks per platform)|"
  fi
}

for layer in base app patch render services; do
  for file in src/$layer/*.cpp src/$layer/*.h; do
    [ -f "$file" ] && check_file "$file" "$layer"
  done
done > "$report"
for file in src/platform/*.h; do
  [ -f "$file" ] && check_file "$file" seam
done >> "$report"

if [ -s "$report" ]; then
  cat "$report"
  echo "core include check: the core must not name a platform" >&2
  exit 1
fi
echo "core include check: clean"
