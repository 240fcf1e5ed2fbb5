#!/bin/sh
# krv-fetch.exe under Wine downloading 1 GiB from nginx on loopback, against the Linux build's
# krv-fetch in the same run: the median wall time of RUNS downloads each and the peak memory
# (resident size of the process, under Wine the emulated program's), in the bench line form.
# Usage: bench/windows-fetch.sh WINE-RUN KRV-FETCH.EXE LINUX-KRV-FETCH [RUNS]
set -eu
run=$1 exe=$2 linux=$3 runs=${4:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/krv-bench-win.XXXXXX")
chmod 755 "$work"
trap 'nginx -p "$work" -c "$work/nginx.conf" -s stop 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/www" "$work/tmp"
head -c 1073741824 /dev/urandom > "$work/www/big.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<EOC
daemon on; pid $work/nginx.pid; error_log $work/error.log; worker_processes 1;
events { worker_connections 64; }
http { access_log off; sendfile on; client_body_temp_path $work/tmp; proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp; uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  server { listen 127.0.0.1:$port; root $work/www; } }
EOC
nginx -p "$work" -c "$work/nginx.conf"
url=http://127.0.0.1:$port/big.bin
# The figures count only if the download is right.
"$run" "$exe" -o "$work/check.bin" "$url" && cmp -s "$work/check.bin" "$work/www/big.bin" ||
  { echo "bench windows_http_1gib: the check download was wrong" >&2; exit 1; }
rm -f "$work/check.bin"
# One download: "seconds peak-KiB" (GNU time's elapsed time and maximum resident size).
measure() { /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null 2>&1 && cat "$work/time.txt"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
: > "$work/ours" && : > "$work/ref"
i=0
while [ $i -lt "$runs" ]; do
  measure "$run" "$exe" -o NUL "$url" >> "$work/ours"
  measure "$linux" -o /dev/null "$url" >> "$work/ref"
  i=$((i + 1))
done
report() { awk -v n="$1" -v a="$2" -v b="$3" -v u="$4" \
  'BEGIN { printf "bench %s: ratio %.3f (ours %.6g %s, reference %.6g %s)\n", n, (b > 0 ? a / b : 0), a, u, b, u }'; }
report windows_http_1gib_under_wine "$(cut -d' ' -f1 "$work/ours" | median)" "$(cut -d' ' -f1 "$work/ref" | median)" s
report windows_http_1gib_peak_memory "$(cut -d' ' -f2 "$work/ours" | sort -n | tail -1 | awk '{ print $1 / 1024 }')" \
  "$(cut -d' ' -f2 "$work/ref" | sort -n | tail -1 | awk '{ print $1 / 1024 }')" MiB
