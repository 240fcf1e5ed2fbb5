#!/bin/sh
# What the Windows edition ships: KRVDownload.exe (one statically linked program) and 7z.dll
# beside it. The program's size without its debug information (what a release ships) is the
# figure, against the Linux KRVDownload stripped the same way (which links the C++ runtime
# dynamically and opens GTK and OpenSSL as modules of its own, none of them counted).
# Usage: bench/windows-size.sh WINDOWS-BUILD LINUX-BUILD
set -eu
win=$1 linux=$2
exe=$win/downloader/KRVDownload.exe dll=$win/7zip/7z.dll
size() { stat -c %s "$1"; }
[ -f "$dll" ] || { echo "bench windows_size: no $dll" >&2; exit 1; }
if [ ! -f "$exe" ]; then
  echo "size: KRVDownload.exe does not build for Windows in this tree yet (the launch figure is the launch path alone); 7z.dll $(size "$dll") bytes"
  exit 0
fi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/krv-bench-size.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
x86_64-w64-mingw32-strip -o "$tmp/KRVDownload.exe" "$exe"
strip -o "$tmp/KRVDownload" "$linux/downloader/KRVDownload"
awk -v a="$(size "$tmp/KRVDownload.exe")" -v b="$(size "$tmp/KRVDownload")" \
  'BEGIN { printf "bench windows_exe_size: ratio %.3f (ours %.1f KiB, reference %.1f KiB)\n", a / b, a / 1024, b / 1024 }'
# The build keeps the debug information in KRVDownload.exe.debug beside the program, not in it.
debug=; [ -f "$exe.debug" ] && debug=" (its debug information beside it, KRVDownload.exe.debug: $(size "$exe.debug") bytes)"
echo "size: KRVDownload.exe $(size "$exe") bytes as built$debug, $(size "$tmp/KRVDownload.exe") stripped; 7z.dll beside it $(size "$dll") bytes"
