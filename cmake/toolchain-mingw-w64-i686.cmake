# 32-bit Windows binaries from Debian's g++-mingw-w64-i686. A build check: the
# programs run only where Debian's wine32:i386 is installed, else no emulator
# is set and tests cannot run.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64-i686.cmake
set(QUELM_MINGW_TRIPLET i686-w64-mingw32)
set(QUELM_MINGW_PROCESSOR x86)
# The 32-bit loader itself, which wine32 installs: /usr/bin/wine would fall
# back to wine64 and only print which package is missing.
find_program(QUELM_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64-common.cmake)
