#!/usr/bin/env bash
# Builds the benchmarks and runs each; every figure is printed as
#   bench <name>: ratio <ours/reference> (ours <value> <unit>, reference <value> <unit>)
# with its reference measured in the same run.
#   scripts/bench.sh [FILTER]     the Linux benchmarks (those whose path holds FILTER)
#   scripts/bench.sh --windows [FILTER]
#                                 the Windows build under Wine: its launch path (version gate and
#                                 shell open) against starting the product directly, the size of
#                                 KRVDownload.exe and 7z.dll, and krv-fetch.exe against the Linux
#                                 krv-fetch (FILTER: "launch" or "fetch" runs only that part)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKRV_BUILD_TESTS=OFF >/dev/null
# krv-fetch and curl both honour the proxy variables: the loopback figures go direct.
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
if [ "${1:-}" = --windows ]; then
  part=${2:-}
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKRV_BUILD_BENCH=ON "${launcher[@]}" >/dev/null
  linux_targets=() win_targets=()
  case fetch in *"$part"*) linux_targets+=(krv-fetch) win_targets+=(krv-fetch) ;; esac
  case launch in *"$part"*) linux_targets+=(KRVDownload) win_targets+=(bench_launch sevenzip_dll) ;; esac
  [ ${#win_targets[@]} -gt 0 ] || { echo "bench.sh --windows: no part named $part (launch, fetch)" >&2; exit 2; }
  # The Windows program itself where it builds (the launch bench measures it then).
  targets=$(cmake --build build-win --target help)
  grep -q '^KRVDownload:' <<<"$targets" && win_targets+=(KRVDownload)
  cmake --build build-bench -j "$(nproc)" --target "${linux_targets[@]}" >/dev/null
  cmake --build build-win -j "$(nproc)" --target "${win_targets[@]}" >/dev/null
  trap 'build-win/wine-run --stop' EXIT
  build-win/wine-run --start
  case launch in *"$part"*)
    # Its lines end in CR LF (a Windows program's text output).
    build-win/wine-run build-win/bench/downloader/bench_launch.exe </dev/null | tr -d '\r'
    bench/windows-size.sh build-win build-bench ;;
  esac
  case fetch in *"$part"*)
    bench/windows-fetch.sh build-win/wine-run build-win/tools/krv-fetch/krv-fetch.exe \
      build-bench/tools/krv-fetch/krv-fetch 5 </dev/null ;;
  esac
  exit 0
fi
cmake --build build-bench -j "$(nproc)" >/dev/null
filter=${1:-}
# Every benchmark program at any depth (the TLS one sits three folders down), in a stable order.
find build-bench/bench -type f -perm -u+x -name 'bench_*' -not -path '*/CMakeFiles/*' | sort | while read -r b; do
  case "$b" in *"$filter"*) ;; *) continue ;; esac
  "$b" </dev/null
done
