# What the two mingw-w64 toolchain files share; include it from one of them,
# never give it to CMake directly. Debian's cross compilers, static runtimes,
# and Wine as the emulator that runs tests and build-time tools.
if(NOT QUELM_MINGW_TRIPLET OR NOT QUELM_MINGW_PROCESSOR OR NOT DEFINED QUELM_WINE)
  message(FATAL_ERROR "Use cmake/toolchain-mingw-w64-x86_64.cmake or cmake/toolchain-mingw-w64-i686.cmake")
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QUELM_MINGW_PROCESSOR})

# The -posix builds: before GCC 13 the -win32 thread model has no std::thread
# or std::mutex, which the platform runtime and the reading threads use.
set(CMAKE_C_COMPILER ${QUELM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELM_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUELM_MINGW_TRIPLET}-windres)

# Headers, libraries and packages come from the target's tree only; programs
# (widl, wine, code generators) from the build machine. Further roots, such as
# the prefix a cross-built GoogleTest was installed to, can be given with
# -DCMAKE_FIND_ROOT_PATH=... and are kept.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${QUELM_MINGW_TRIPLET})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The plain pkg-config answers with the build machine's packages (it found
# Debian's libzip for Linux); the cross wrapper looks in the target's tree.
find_program(PKG_CONFIG_EXECUTABLE NAMES ${QUELM_MINGW_TRIPLET}-pkg-config)

# libgcc, libstdc++ and winpthread linked in: a test or tool then runs under
# Wine or on a bare Windows without the compiler's DLLs copied beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Wine runs what the build makes: try_run, gtest_discover_tests, add_test and
# custom commands naming an executable target, through wine-run.sh (which
# keeps the server from holding CTest's pipes). WINEDEBUG=-all keeps Wine's
# fixme lines out of test output; QUELM_WINEPREFIX (default: $WINEPREFIX at
# configure time, else Wine's own default) fixes the prefix for every run.
# QUELM_WINE is the loader the including file found (empty: none, no emulator).
if(NOT DEFINED QUELM_WINEPREFIX AND DEFINED ENV{WINEPREFIX})
  set(QUELM_WINEPREFIX "$ENV{WINEPREFIX}")
endif()
set(QUELM_WINEPREFIX "${QUELM_WINEPREFIX}" CACHE PATH "The Wine prefix tests run in (empty: Wine's default)")
if(QUELM_WINE)
  set(quelm_wine_env WINEDEBUG=-all)
  if(QUELM_WINEPREFIX)
    list(APPEND quelm_wine_env WINEPREFIX=${QUELM_WINEPREFIX})
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${quelm_wine_env}
      /bin/sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${QUELM_WINE})
  unset(quelm_wine_env)
endif()
