#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite.
#   scripts/test.sh              the normal build (build/)
#   scripts/test.sh --sanitize   the same suite under AddressSanitizer and UBSan (build-asan/)
#   scripts/test.sh -L LABEL     only the tests of one folder label (passed on to ctest)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=build
cmake_args=()
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) build=build-asan; cmake_args+=(-DKRV_SANITIZE=ON -DKRV_BUILD_BENCH=OFF) ;;
    *) ctest_args+=("$1") ;;
  esac
  shift
done

scripts/setup.sh

jobs=$(nproc)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}" >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export GSETTINGS_BACKEND=memory
# Tests that need a display start their own Xvfb; nothing may reach a display of the caller's.
unset DISPLAY WAYLAND_DISPLAY
# The programs honour the proxy variables as curl does; the tests set their own, and loopback
# traffic must not go to a proxy of the caller's.
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
cd "$build"
ctest --output-on-failure -j "$jobs" --timeout 600 "${ctest_args[@]}"
