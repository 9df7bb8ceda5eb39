# 64-bit Windows binaries from Debian's g++-mingw-w64-x86-64, run under wine64:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64-x86_64.cmake
set(QUELM_MINGW_TRIPLET x86_64-w64-mingw32)
set(QUELM_MINGW_PROCESSOR x86_64)
# Debian keeps the wine64 loader in /usr/lib/wine, off the PATH.
find_program(QUELM_WINE NAMES wine64 HINTS /usr/lib/wine)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64-common.cmake)
