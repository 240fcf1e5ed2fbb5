#!/usr/bin/env bash
# Runs what the system does today, end to end on this machine, in a scratch folder:
#  1. packs a product (a small program carrying version 10.0.0.2) into a 7z archive with the 7z
#     program, and extracts it with krv-7z (our archive component over the 7-Zip library);
#  2. starts KRVDownload next to the extracted product: the version gate accepts it and the
#     product is started with the forwarded command line, without a window;
#  3. shows the downloader's window (label and moving marquee) under a private Xvfb and saves a
#     screenshot to demo-window.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target KRVDownload krv-7z krv-gui-demo krv_test_product_10002 >/dev/null

work=$(mktemp -d /tmp/krv-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "== scratch folder $work"

echo "== 1. archive made by 7z, extracted by krv-7z"
mkdir -p "$work/pack/docs"
cp build/tests/downloader/krv_test_product_10002 "$work/pack/KorvelFA.exe"
echo "Korvel demo" > "$work/pack/docs/readme.txt"
(cd "$work/pack" && 7z a -bd -bso0 -bsp0 "$work/dlDownloadFA_SQL_KO_1001820.7z" . )
mkdir -p "$work/app"
build/tools/krv-7z/krv-7z x "$work/dlDownloadFA_SQL_KO_1001820.7z" -o "$work/app" --overwrite
ls -l "$work/app" "$work/app/docs"

echo "== 2. KRVDownload next to an up-to-date product starts it"
cp build/downloader/KRVDownload "$work/app/"
exec 3>"$work/product-record"
(cd "$work" && KRV_PRODUCT_FD=3 "$work/app/KRVDownload" "/INI=/tmp/x y/a.ini" /L=EN)
exec 3>&-
for _ in $(seq 50); do [ -s "$work/product-record" ] && break; sleep 0.1; done
echo "the product ran in, and with the arguments:"
tr '\0' '\n' < "$work/product-record" | sed 's/^/    /'

echo "== 3. the downloader's window"
if command -v xvfb-run >/dev/null; then
  GSETTINGS_BACKEND=memory xvfb-run -a -s "-screen 0 1024x768x24" bash -c "
    build/tools/krv-gui-demo/krv-gui-demo --seconds 3 &
    sleep 1.5
    import -window root '$root/demo-window.png'
    wait"
  echo "screenshot: $root/demo-window.png"
else
  echo "xvfb-run is missing: window not shown"
fi
echo "== done"
