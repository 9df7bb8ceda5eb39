#!/bin/sh
# The emulator the mingw-w64 toolchain files give CMake: runs a Windows program
# under Wine. Usage: wine-run.sh LOADER PROGRAM [ARGS...]
#
# Wine's server and its service processes, when a program starts them, inherit
# that program's standard streams and stay until the server ends; CTest waits
# for a test's output pipe to close, so the test would last that long too. The
# first call therefore starts the server itself, detached from our streams,
# lingering QUELM_WINE_PERSIST seconds (default 30) after the last program, and
# lets a first program create the prefix and start the services the same way.
# Parallel calls wait on a lock until that is done: one that ran its program
# beside a starting server would start the services itself.
loader=$1
shift
server=$(dirname "$loader")/wineserver
[ -x "$server" ] || server=wineserver
prefix=${WINEPREFIX:-$HOME/.wine}

# Descriptor 9 (the lock) is closed for what starts here: the server and the
# services would otherwise hold the lock for as long as they live.
start_server() {
  # The server refuses a prefix folder that does not exist yet (status 1).
  [ -d "$prefix" ] || "$loader" wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
  # 0: a new server was started; 2: one serves this prefix already.
  if "$server" "-p${QUELM_WINE_PERSIST:-30}" </dev/null >/dev/null 2>&1 9>&-; then
    "$loader" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
}

if command -v flock >/dev/null 2>&1; then
  (
    flock 9
    start_server
  ) 9>"${TMPDIR:-/tmp}/quelm-wine-run-$(id -u).lock"
else
  start_server
fi
exec "$loader" "$@"
