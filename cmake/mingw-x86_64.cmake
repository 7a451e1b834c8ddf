# Cross build for 64-bit Windows with MinGW-w64, for running the Windows
# tests under 64-bit Wine on a machine that runs no 32-bit programs
# (scripts/test.sh); the shipped build stays 32-bit (mingw-i686.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LAUNCHER_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
