#!/usr/bin/env bash
# Builds the benchmarks and runs each; every figure is printed as
#   bench <name>: ratio <ours/reference> (ours <value> <unit>, reference <value> <unit>)
# with its reference measured in the same run.
#   scripts/bench.sh [FILTER]     the Linux benchmarks (those whose path holds FILTER)
#   scripts/bench.sh --windows    krv-fetch.exe under Wine against the Linux krv-fetch
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKRV_BUILD_TESTS=OFF >/dev/null
# krv-fetch and curl both honour the proxy variables: the loopback figures go direct.
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
if [ "${1:-}" = --windows ]; then
  cmake --build build-bench -j "$(nproc)" --target krv-fetch >/dev/null
  cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKRV_BUILD_BENCH=OFF >/dev/null
  cmake --build build-win -j "$(nproc)" --target krv-fetch >/dev/null
  trap 'build-win/wine-run --stop' EXIT
  build-win/wine-run --start
  bench/windows-fetch.sh build-win/wine-run build-win/tools/krv-fetch/krv-fetch.exe \
    build-bench/tools/krv-fetch/krv-fetch 5 </dev/null
  exit 0
fi
cmake --build build-bench -j "$(nproc)" >/dev/null
filter=${1:-}
# Every benchmark program at any depth (the TLS one sits three folders down), in a stable order.
find build-bench/bench -type f -perm -u+x -name 'bench_*' -not -path '*/CMakeFiles/*' | sort | while read -r b; do
  case "$b" in *"$filter"*) ;; *) continue ;; esac
  "$b" </dev/null
done
