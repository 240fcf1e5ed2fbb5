#!/usr/bin/env bash
# The whole update of the Windows edition (scripts/demo.sh --windows): KRVDownload.exe under Wine
# and Xvfb against the Linux krv-update-server on 127.0.0.1, on a port the system picks.
#  1. installs what is missing, builds the Linux krv-update-server and starts it on port 0;
#  2. builds in build-win/ (KRV_DEMO_WIN_BUILD) an edition of KRVDownload.exe whose update host is
#     that port, the demo product for Windows (10.0.18.20) and 7z.dll;
#  3. packs the product with 7z; the server sends it at 256 KiB/s, so that the window is seen;
#  4. starts a private Xvfb and the demo's own Wine prefix (build-win/demo-wine/, kept between
#     runs), whose programs run on a virtual desktop of Wine (title bars without a window manager);
#  5. runs KRVDownload.exe in an empty folder: screenshots of its window while the archive
#     arrives (kept in build-win/artifacts/), the product's arguments as it recorded them, the
#     .lnk on the prefix's desktop with its target and arguments, the server's log;
#  6. runs it a second time: the product is up to date and starts at once, no request is made.
# Every step that waits is bounded; the server, Xvfb and the prefix's wineserver are stopped on
# exit, also on failure or Ctrl-C. Exits non-zero, saying which step failed, when one does.
# KRV_DEMO_KEEP=1 keeps the scratch folder (/tmp/krv-windemo.*: logs, screenshots, the folder).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux=${KRV_DEMO_BUILD:-$root/build}
win=${KRV_DEMO_WIN_BUILD:-$root/build-win}
cd "$root"
# Loopback traffic goes direct, whatever proxy the caller has.
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

fail() {
  echo "demo.sh --windows: $*" >&2
  if [ -n "$work" ] && [ -s "$work/server.log" ]; then sed 's/^/   server: /' "$work/server.log" >&2; fi
  exit 1
}
# A Linux path as a Windows program names it (Wine maps / to drive Z:).
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local n=$1
  shift
  for ((; n > 0; n--)); do "$@" && return 0; sleep 0.1; done
  "$@"
}

work="" server_pid="" xvfb_pid="" wineserver=""
cleanup() {
  [ "${KRV_DEMO_KEEP:-}" = 1 ] && work=""
  # The prefix's own server only: it ends that prefix's programs, nobody else's.
  [ -n "$wineserver" ] && "$wineserver" -k 2>/dev/null || true
  for pid in $server_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ccache_args=()
command -v ccache >/dev/null && ccache_args=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

echo "== 1. setup; the update server of the Linux build ($linux) on a port the system picks"
scripts/setup.sh
cmake -S . -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${ccache_args[@]}" >/dev/null
cmake --build "$linux" -j "$(nproc)" --target krv-update-server >/dev/null || fail "krv-update-server does not build"
work=$(mktemp -d /tmp/krv-windemo.XXXXXX)
mkdir -p "$work/server" "$work/pack" "$work/demo"
rate=262144
"$linux/tools/krv-update-server/krv-update-server" --root "$work/server" --bind 127.0.0.1 --port 0 --rate $rate \
  >"$work/server.log" 2>&1 &
server_pid=$!
wait_for 50 grep -q serving "$work/server.log" || { cat "$work/server.log" >&2; fail "krv-update-server did not start"; }
port=$(sed -n 's|^krv-update-server: serving .* on http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$work/server.log")
[ -n "$port" ] || fail "no port in the server's first line: $(head -1 "$work/server.log")"
sed 's/^/   /' "$work/server.log"

echo "== 2. the Windows build ($win): KRVDownload.exe for 127.0.0.1:$port, the product, 7z.dll"
cmake -S . -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "${ccache_args[@]}" \
  -DKRV_DEMO_UPDATE_HOST="127.0.0.1:$port" >"$work/configure.log" 2>&1 ||
  { tail -20 "$work/configure.log" >&2; fail "the Windows build does not configure"; }
# (All of the list is read: a reader that stops early breaks the listing's pipe.)
targets=$(cmake --build "$win" --target help)
grep -q '^KRVDownload_demo:' <<<"$targets" ||
  fail "KRVDownload.exe does not build for Windows in this tree yet (no Windows edition of the downloader)"
echo "   (7z.dll is built once into $win/7zip/, minutes the first time)"
cmake --build "$win" -j "$(nproc)" --target sevenzip_dll KRVDownload_demo krv-demo-product >"$work/build.log" 2>&1 ||
  { tail -30 "$work/build.log" >&2; fail "the Windows programs do not build"; }
edition="$win/tools/krv-update-server/KRVDownload_demo.exe"
product="$win/tools/krv-update-server/krv-demo-product.exe"
ls -l "$edition" "$win/7zip/7z.dll" "$product" | sed 's/^/   /'

echo "== 3. the product archive, made by 7z, sent at $((rate / 1024)) KiB/s"
cp "$product" "$work/pack/KorvelFA.exe"
echo "Korvel demo" >"$work/pack/readme.txt"
# Incompressible ballast: about three seconds of transfer, so the window is on the screen a while.
head -c $((rate * 3)) /dev/urandom >"$work/pack/data.bin"
archive="$work/server/dlKorvelFA_SQL_KO_KO_1001820.7z"
(cd "$work/pack" && 7z a -t7z -bd -bso0 -bsp0 "$archive" KorvelFA.exe readme.txt data.bin) || fail "7z could not pack the product"
echo "   $(basename "$archive"): $(stat -c %s "$archive") bytes"

echo "== 4. a private X server and the demo's Wine prefix ($win/demo-wine)"
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
read -r -t 30 number <"$work/display" || fail "Xvfb did not start"
export DISPLAY=":$number"
wine=$(sed -n 's/^KRV_WINE64:FILEPATH=//p' "$win/CMakeCache.txt")
wineserver_path=$(sed -n 's/^KRV_WINESERVER:FILEPATH=//p' "$win/CMakeCache.txt")
[ -x "$wine" ] && [ -x "$wineserver_path" ] || fail "wine64 not found (scripts/setup.sh installs it)"
state="$win/demo-wine"
# As build-win/wine-run does: everything Wine keeps stays in the build folder.
export WINEPREFIX="$state/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml=,winemenubuilder.exe=d'
export HOME="$state/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache" \
       XDG_STATE_HOME="$HOME/.local/state" XDG_DESKTOP_DIR="$HOME/Desktop"
mkdir -p "$HOME/Desktop" "$WINEPREFIX"
[ -f "$WINEPREFIX/system.reg" ] || echo "   (a new prefix: a minute or two)"
wineserver=$wineserver_path
"$wineserver" -p 2>/dev/null || true
timeout 300 "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || fail "the Wine prefix could not be made"
# Programs run on the desktop KRVDemo, which Wine makes a virtual one of this size, with frames.
for key in 'HKCU\Software\Wine\Explorer /v Desktop /d KRVDemo' 'HKCU\Software\Wine\Explorer\Desktops /v KRVDemo /d 800x600'; do
  # shellcheck disable=SC2086
  timeout 60 "$wine" reg add $key /f </dev/null >/dev/null 2>&1 || fail "the prefix's desktop setting failed"
done
echo "   DISPLAY=$DISPLAY, WINEPREFIX=$WINEPREFIX"

echo "== 5. KRVDownload.exe in an empty folder: the update"
cp "$edition" "$work/demo/KRVDownload.exe"
cp "$win/7zip/7z.dll" "$work/demo/"
export KRV_DEMO_RECORD
KRV_DEMO_RECORD=$(winpath "$work/product.txt")
touch "$work/started"
(cd "$work/demo" && exec timeout 600 "$wine" KRVDownload.exe '/INI=C:\My Files\a.ini' /L=EN hello </dev/null) &
run_pid=$!
# Screenshots while the archive arrives (the server logs the request once it is answered): the
# last two show the window with its marquee half a second apart.
shots=0
while kill -0 "$run_pid" 2>/dev/null && ! grep -q GETFILE "$work/server.log"; do
  import -window root "$work/shot-$shots.png" 2>/dev/null && shots=$((shots + 1))
  sleep 0.5
done
mkdir -p "$win/artifacts"
screenshots=()
for i in 1 2; do
  n=$((shots - 3 + i))
  [ "$n" -ge 0 ] || continue
  cp "$work/shot-$n.png" "$win/artifacts/demo-windows-$i.png"
  screenshots+=("$win/artifacts/demo-windows-$i.png")
done
echo "   screenshots of the window while the archive arrived: ${screenshots[*]:-none}"
# Then extraction, the product's start and the shortcut, and the window closes: a box still open
# two minutes on (an "Error" box waits for its OK) is shown, not waited for.
wait_for 1200 eval '! kill -0 "$run_pid" 2>/dev/null' || {
  import -window root "$win/artifacts/demo-windows-stuck.png" 2>/dev/null || true
  fail "KRVDownload.exe was still running two minutes after the archive arrived; the screen then: $win/artifacts/demo-windows-stuck.png"
}
status=0
wait "$run_pid" || status=$?
[ "$status" -eq 0 ] || fail "KRVDownload.exe ended with $status$([ "$status" -eq 124 ] && echo ' (timed out)')"
wait_for 100 test -s "$work/product.txt" || fail "the product did not start (no record from it)"
echo "-- the product, as it recorded its start:"
sed 's/^/   /' "$work/product.txt"
echo "-- the folder:"
ls -l "$work/demo" | sed 's/^/   /'
echo "-- the desktop shortcut:"
# The user's desktop folder of the prefix (Wine links it to $HOME/Desktop when that exists).
lnk=$(find -L "$WINEPREFIX/drive_c/users" -path '*/Desktop/*.lnk' -newer "$work/started" 2>/dev/null | head -1)
[ -n "$lnk" ] || fail "no .lnk was written to the prefix's desktop"
echo "   C:${lnk#"$WINEPREFIX/drive_c"}" | tr / '\\'
echo "   (on this machine: $(readlink -f "$lnk"))"
if command -v lnkinfo >/dev/null; then
  lnkinfo "$lnk" | grep -E 'Local path|Command line arguments|Working directory|Relative path' |
    sed 's/^[[:space:]]*/   /; s/[[:space:]]*: /: /'
fi
[ ${#screenshots[@]} -gt 0 ] || fail "no screenshot was taken while the archive arrived"
echo "-- the server's log:"
sed '1d; s/^/   /' "$work/server.log"

echo "== 6. the second run: the product is up to date and starts at once"
lines=$(wc -l <"$work/server.log")
: >"$work/product.txt"
t0=$(date +%s%N)
(cd "$work/demo" && timeout 120 "$wine" KRVDownload.exe again </dev/null) || fail "the second run failed"
wait_for 100 test -s "$work/product.txt" || fail "the second run did not start the product"
echo "   the product recorded its start $(( ($(date +%s%N) - t0) / 1000000 )) ms after KRVDownload.exe was run:"
sed 's/^/   /' "$work/product.txt"
[ "$(wc -l <"$work/server.log")" -eq "$lines" ] || fail "the second run made a request:$(sed "1,${lines}d" "$work/server.log")"
echo "   no request reached the server"
echo "== done in $SECONDS s"
