#!/usr/bin/env bash
# The test command: installs what a fresh Debian machine lacks, builds the
# library, the tools and the test suite, and runs the suite.
#   tests/run_tests.sh [BUILD_DIR]        (default: build)
# Extra arguments for ctest go in CTEST_ARGS, for example CTEST_ARGS="-R Sim".
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

# What the suite needs beyond a compiler: the test libraries, pkg-config and
# man for the installed-package tests, libzip for quelm-capture's sr format,
# the programs that check its files (sigrok-cli, rsvg-convert), and pytest
# for the Python package (numpy and matplotlib for its array and plot paths).
packages=(cmake g++ make libgtest-dev libgmock-dev pkg-config man-db libzip-dev sigrok-cli librsvg2-bin
          python3-pytest python3-numpy python3-matplotlib)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    sudo=()
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo=(sudo -n)
  else
    echo "The tests need these Debian packages: ${missing[*]}" >&2
    echo "Install them as root (apt-get update && apt-get install -y ${missing[*]}), then run this again." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$build" -DQUELM_TESTS=ON
cmake --build "$build" -j2
# shellcheck disable=SC2086 # CTEST_ARGS is split on purpose
ctest --test-dir "$build" --output-on-failure -j2 ${CTEST_ARGS:-}
