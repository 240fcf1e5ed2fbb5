#!/bin/sh
# Runs a command (a Windows test through wine-run) with DISPLAY on a private Xvfb, on a free
# display the server picks; KRV_TEST_DESKTOP=1 tells the tests a display was given. Without
# Xvfb the command runs as it is (its window tests skip, saying why).
set -u
[ -x /usr/bin/Xvfb ] || exec "$@"
dir=$(mktemp -d) && mkfifo "$dir/display" || exit 1
/usr/bin/Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$dir/display" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb; rm -rf "$dir"' EXIT
trap 'exit 143' INT TERM
# Written once the server accepts connections; empty when it died first.
read -r number <"$dir/display" || { echo "with-xvfb.sh: Xvfb did not start" >&2; exit 1; }
DISPLAY=":$number" KRV_TEST_DESKTOP=1 "$@"
