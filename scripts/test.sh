#!/bin/sh
# Builds the launcher for Linux and for Windows and runs every test: the
# Windows unit tests under Wine, the Linux unit tests natively, under
# ASan+UBSan and under TSan (each test case a ctest test in a process of its
# own, two at a time), the console tools' threads under TSan, then the
# integration tests against nginx on loopback with both builds, and the real
# window end to end under Xvfb.
# Installs the Debian packages it needs first (needs root or sudo).
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh

echo "== The core names no platform (includes and conditional compilation)"
tests/layout/check_core_includes.sh

build() {  # build DIR [cmake options...]
  dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}

echo "== Builds: Linux, then Windows"
build build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  build build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
else
  # This machine runs no 32-bit program (its kernel has no IA-32 emulation),
  # so 32-bit Wine cannot start: the shipped 32-bit build is still built (and
  # must stay warning-free), and every Windows test below runs a 64-bit build
  # of the same sources under 64-bit Wine instead.
  echo "== This machine runs no 32-bit programs: the Windows tests run a 64-bit build under 64-bit Wine"
  build build/windows-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
  build build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
  PATH=$PWD/tests/support/wine64:$PATH
  export PATH
fi

echo "== Windows unit tests under Wine"
export WINEDEBUG=-all
# Wine was installed above: from here on a Windows part that finds no Wine
# fails, in every script below too (tests/support/wine.sh).
export LAUNCHER_REQUIRE_WINE=1
. tests/support/wine.sh
wine_ready "Windows unit tests"
wine build/windows/tests/launcher_unit_tests.exe --gtest_brief=1
wine build/windows/tests/worker_start_failure_test.exe --gtest_brief=1

echo "== Background music under Wine (private PulseAudio server)"
tests/integration/music_wine.sh build/windows

echo "== Linux unit tests"
(cd build/linux && ctest --output-on-failure -j2)

echo "== Unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DLAUNCHER_SANITIZE=address,undefined
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
  sh -c 'cd build/asan && ctest --output-on-failure -j2'

echo "== Unit tests under ThreadSanitizer"
build build/tsan -DCMAKE_BUILD_TYPE=Debug -DLAUNCHER_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 sh -c 'cd build/tsan && ctest --output-on-failure -j2'

echo "== The console tools' threads under ThreadSanitizer (launcher-manifest --sha256 and --chunks, launcher-patch --jobs 4, also over HTTPS)"
tests/integration/tsan_tools.sh build/tsan

echo "== Frame comparison: GDI canvas under Wine against the software canvas"
tests/frame/run.sh

echo "== Integration tests"
tests/integration/run.sh

echo "== End-to-end tests: the launcher window under Xvfb (Linux, and Windows under Wine)"
tests/e2e/run.sh

echo "All tests passed."
