#!/usr/bin/env bash
# The whole update on this machine, in a scratch folder:
#  1. installs what is missing, builds KRVDownload (the default edition), krv-update-server and a
#     demo product (a program that prints its arguments, version 10.0.18.20);
#  2. packs the product into the edition's archive with 7z and serves it with krv-update-server on
#     the build's update host (KRV_UPDATE_HOST);
#  3. runs KRVDownload with a few arguments: it downloads, extracts, starts the product with the
#     forwarded arguments and writes its desktop entry into a demo desktop folder (in a window
#     when a display is there, headless otherwise);
#  4. runs it a second time: the product is now up to date and starts at once, no download;
#  5. a signed edition: makes a publisher key with krv-sign (once per build folder, kept there),
#     builds KRVDownload_demo_signed holding its public key, signs the archive and updates with it;
#  6. damages one byte of the served archive: the signed edition refuses it, extracts and starts
#     nothing (run headless, so that the error box needs no click).
# Everything started here is stopped at the end, also on failure or Ctrl-C.
# scripts/demo.sh --windows runs the Windows edition's demo instead (scripts/demo-windows.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KRV_DEMO_BUILD:-$root/build}
cd "$root"

if [ "${1:-}" = --windows ]; then
  exec "$root/scripts/demo-windows.sh"
fi

echo "== 1. setup and build ($build)"
scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(KRVDownload krv-update-server krv-demo-product)
grep -q '^krv_gui_gtk:' <(cmake --build "$build" --target help) && targets+=(krv_gui_gtk)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
host=$(sed -n 's/^KRV_UPDATE_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
addr=${host%:*}
port=${host##*:}
[ "$addr" = "$host" ] && port=80
case "$addr" in
  127.*|localhost|::1|\[::1\]) ;;
  *) echo "demo.sh: the build's update host $host is not on this machine; configure with -DKRV_UPDATE_HOST=127.0.0.1:<port>" >&2; exit 1 ;;
esac
[ "$addr" = localhost ] && addr=127.0.0.1
addr=${addr#[}; addr=${addr%]}

work=$(mktemp -d /tmp/krv-demo.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
echo "   scratch folder $work, update host $host"

echo "== 2. the product archive, served by krv-update-server"
mkdir -p "$work/pack" "$work/server" "$work/demo" "$work/desktop"
cp "$build/tools/krv-update-server/krv-demo-product" "$work/pack/KorvelFA.exe"
echo "Korvel demo" > "$work/pack/readme.txt"
(cd "$work/pack" && 7z a -t7z -bd -bso0 -bsp0 "$work/server/dlKorvelFA_SQL_KO_KO_1001820.7z" KorvelFA.exe readme.txt)
"$build/tools/krv-update-server/krv-update-server" --root "$work/server" --bind "$addr" --port "$port" \
  >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do grep -q serving "$work/server.log" 2>/dev/null && break; kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
if ! grep -q serving "$work/server.log"; then
  echo "demo.sh: krv-update-server did not start:" >&2; cat "$work/server.log" >&2; exit 1
fi
sed 's/^/   /' "$work/server.log"

echo "== 3. KRVDownload in an empty folder: the update"
cp "$build/downloader/KRVDownload" "$work/demo/"
[ -f "$build/platform/gui/libkrv_gui_gtk.so" ] && cp "$build/platform/gui/libkrv_gui_gtk.so" "$work/demo/"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then echo "   (in a window on the display)"; else echo "   (headless: no display)"; fi
export XDG_DESKTOP_DIR="$work/desktop" KRV_DEMO_RECORD="$work/product.txt"
(cd "$work/demo" && timeout 300 ./KRVDownload "/INI=/tmp/My Files/a.ini" /L=EN hello)
for _ in $(seq 50); do [ -s "$work/product.txt" ] && break; sleep 0.1; done
echo "-- the product:"
sed 's/^/   /' "$work/product.txt" 2>/dev/null || { echo "demo.sh: the product did not start" >&2; exit 1; }
echo "-- the folder:"
ls -l "$work/demo" | sed 's/^/   /'
echo "-- the desktop entry:"
for f in "$work/desktop"/*; do echo "   $f"; sed 's/^/      /' "$f"; done
echo "-- the server's log:"
sed '1d; s/^/   /' "$work/server.log"

echo "== 4. the second run: the product is up to date and starts at once"
lines=$(wc -l <"$work/server.log")
: >"$work/product.txt"
(cd "$work/demo" && timeout 60 ./KRVDownload again)
for _ in $(seq 50); do [ -s "$work/product.txt" ] && break; sleep 0.1; done
sed 's/^/   /' "$work/product.txt"
if [ "$(wc -l <"$work/server.log")" -eq "$lines" ]; then echo "   no request reached the server"; else echo "demo.sh: the second run downloaded again" >&2; exit 1; fi
echo "== 5. a signed edition: the archive signed by the publisher is accepted"
key="$build/demo-publisher.pem"
# One key per build folder: the edition built with its public half stays valid between runs.
if [ ! -f "$key" ] || [ ! -s "$key.pub" ]; then
  rm -f "$key" "$key.pub"
  cmake --build "$build" --target krv-sign >/dev/null
  "$build/tools/krv-sign/krv-sign" keygen "$key" >"$key.pub"
fi
pub=$(cat "$key.pub")
if [ "$(sed -n 's/^KRV_DEMO_PUBKEY:[A-Z]*=//p' "$build/CMakeCache.txt")" != "$pub" ]; then
  cmake -S . -B "$build" -DKRV_DEMO_PUBKEY="$pub" >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target KRVDownload_demo_signed krv-sign krvcrypto >/dev/null
echo "   publisher key $key, public key $pub"
archive="$work/server/dlKorvelFA_SQL_KO_KO_1001820.7z"
"$build/tools/krv-sign/krv-sign" sign "$key" "$archive" | sed 's/^/   /'
lines=$(wc -l <"$work/server.log")
mkdir -p "$work/signed" "$work/tampered"
cp "$build/tools/krv-update-server/KRVDownload_demo_signed" "$work/signed/KRVDownload"
cp "$build/platform/crypto/libkrvcrypto.so" "$work/signed/"  # a release edition loads its modules from its own folder only
[ -f "$build/platform/gui/libkrv_gui_gtk.so" ] && cp "$build/platform/gui/libkrv_gui_gtk.so" "$work/signed/"
: >"$work/product.txt"
(cd "$work/signed" && timeout 300 ./KRVDownload signed) 2>&1 | sed 's/^/   /'
for _ in $(seq 50); do [ -s "$work/product.txt" ] && break; sleep 0.1; done
echo "-- the product:"
sed 's/^/   /' "$work/product.txt"
[ -s "$work/product.txt" ] || { echo "demo.sh: the signed edition did not start the product" >&2; exit 1; }
echo "-- the server's log (the archive, then its signature):"
sed "1,${lines}d; s/^/   /" "$work/server.log"

echo "== 6. one byte of the served archive changed: the signed edition refuses it"
at=$(( $(stat -c %s "$archive") / 2 ))
byte=$(od -An -tu1 -j "$at" -N1 "$archive" | tr -d ' ')
printf "\\$(printf %03o $(( byte ^ 1 )))" | dd of="$archive" bs=1 seek="$at" conv=notrunc status=none
"$build/tools/krv-sign/krv-sign" verify "$pub" "$archive" 2>&1 | sed 's/^/   /' || true
cp "$build/tools/krv-update-server/KRVDownload_demo_signed" "$work/tampered/KRVDownload"
cp "$build/platform/crypto/libkrvcrypto.so" "$work/tampered/"
: >"$work/product.txt"
(cd "$work/tampered" && KRV_GUI=headless timeout 300 ./KRVDownload tampered) 2>&1 | sed 's/^/   /'
sleep 0.5
echo "-- the folder (nothing extracted, the archive deleted):"
ls -A "$work/tampered" | sed 's/^/   /'
if [ -s "$work/product.txt" ] || [ -e "$work/tampered/KorvelFA.exe" ]; then
  echo "demo.sh: the tampered archive was installed" >&2; exit 1
fi
echo "   nothing was started"
echo "== done"
