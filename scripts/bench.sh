#!/usr/bin/env bash
# Builds the benchmarks and runs each; every figure is printed as
#   bench <name>: ratio <ours/reference> (ours <value> <unit>, reference <value> <unit>)
# with its reference measured in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKRV_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null
filter=${1:-}
# krv-fetch and curl both honour the proxy variables: the loopback figures go direct.
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
# Every benchmark program at any depth (the TLS one sits three folders down), in a stable order.
find build-bench/bench -type f -perm -u+x -name 'bench_*' -not -path '*/CMakeFiles/*' | sort | while read -r b; do
  case "$b" in *"$filter"*) ;; *) continue ;; esac
  "$b" </dev/null
done
