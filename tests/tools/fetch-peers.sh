#!/bin/sh
# krv-fetch against real peers on loopback, started here: nginx serving http and https (with a
# test CA made here), nginx as an HTTP proxy, and a SOCKS 5 server. The program to run comes as
# the arguments (on Windows the emulator, then krv-fetch.exe), so both builds run the same checks.
set -u
[ $# -ge 1 ] || { echo "usage: $0 [EMULATOR] KRV-FETCH" >&2; exit 2; }
work=$(mktemp -d "$PWD/krv-fetch-peers.XXXXXX")
chmod 755 "$work" && cd "$work" || exit 2  # nginx's workers read www/
socks_pid=
cleanup() {
  [ -f nginx.pid ] && nginx -p "$work" -c "$work/nginx.conf" -s stop 2>/dev/null
  [ -n "$socks_pid" ] && kill "$socks_pid" 2>/dev/null
  cd / && rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
fetch() { "$@" >out.txt 2>err.txt; }

ports=$(python3 -c 'import socket
ss=[socket.socket() for _ in range(4)]
for s in ss: s.bind(("127.0.0.1",0))
print(" ".join(str(s.getsockname()[1]) for s in ss))')
read -r http https proxy socks <<EOT
$ports
EOT

mkdir -p www tmp logs
head -c 3145728 /dev/urandom > www/blob
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=KRV test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null &&
openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj "/CN=localhost" 2>/dev/null &&
printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' > ext.cnf &&
openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem -days 2 -extfile ext.cnf \
  2>/dev/null || { echo "cannot make the test certificates"; exit 1; }
cat > nginx.conf <<EOC
daemon on; pid $work/nginx.pid; error_log $work/logs/error.log; worker_processes 1;
events { worker_connections 64; }
http {
  access_log off; client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  server { listen 127.0.0.1:$http; root $work/www; }
  server { listen 127.0.0.1:$https ssl; ssl_certificate $work/srv.pem; ssl_certificate_key $work/srv.key; root $work/www; }
  server { listen 127.0.0.1:$proxy; access_log $work/logs/proxy.log;
           location / { proxy_pass http://127.0.0.1:$http; } }
}
EOC
nginx -p "$work" -c "$work/nginx.conf" || { echo "nginx did not start"; exit 1; }
# A SOCKS 5 server without authentication: CONNECT by name or IPv4 address, each target logged.
cat > socks5.py <<'EOS'
import socket, struct, sys, threading
def pipe(a, b):
    try:
        while True:
            d = a.recv(65536)
            if not d: break
            b.sendall(d)
    except OSError: pass
    finally:
        try: b.shutdown(socket.SHUT_WR)
        except OSError: pass
def serve(c):
    head = c.recv(2); c.recv(head[1]); c.sendall(b"\x05\x00")
    ver, cmd, _, atyp = c.recv(4)
    host = socket.inet_ntoa(c.recv(4)) if atyp == 1 else c.recv(c.recv(1)[0]).decode()
    port = struct.unpack(">H", c.recv(2))[0]
    with open("socks.log", "a") as f: f.write("%s:%d\n" % (host, port))
    t = socket.create_connection(("127.0.0.1" if host == "localhost" else host, port))
    c.sendall(b"\x05\x00\x00\x01\x7f\x00\x00\x01" + struct.pack(">H", port))
    threading.Thread(target=pipe, args=(t, c), daemon=True).start()
    pipe(c, t)
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(("127.0.0.1", int(sys.argv[1]))); l.listen(8)
open("socks.ready", "w").close()
while True:
    threading.Thread(target=serve, args=(l.accept()[0],), daemon=True).start()
EOS
python3 socks5.py "$socks" & socks_pid=$!
for _ in $(seq 100); do [ -f socks.ready ] && break; sleep 0.1; done

fetch "$@" -o got http://localhost:$http/blob && cmp -s got www/blob || fail "http: $(cat err.txt)"
fetch "$@" http://127.0.0.1:$http/blob && cmp -s out.txt www/blob || fail "http to standard output: $(cat err.txt)"
rm -f got
fetch "$@" --cacert ca.pem -o got https://localhost:$https/blob && cmp -s got www/blob || fail "https: $(cat err.txt)"
fetch "$@" -o got2 https://localhost:$https/blob && fail "https without the test CA was accepted"
grep -q "certificate was refused" err.txt || fail "unknown authority: $(cat err.txt)"
[ -e got2 ] && fail "a refused download left its file"
fetch "$@" --cacert ca.pem -o got2 https://127.0.0.1:$https/blob && fail "https to a name the certificate lacks was accepted"
grep -q "certificate was refused" err.txt || fail "wrong name: $(cat err.txt)"
fetch "$@" --insecure -o got3 https://127.0.0.1:$https/blob && cmp -s got3 www/blob || fail "https --insecure: $(cat err.txt)"
fetch "$@" --proxy 127.0.0.1:$proxy http://localhost:$http/blob && cmp -s out.txt www/blob ||
  fail "through the HTTP proxy: $(cat err.txt)"
grep -q "GET http://localhost:$http/blob" logs/proxy.log 2>/dev/null || fail "the HTTP proxy saw no request"
fetch "$@" --socks5 127.0.0.1:$socks --cacert ca.pem https://localhost:$https/blob && cmp -s out.txt www/blob ||
  fail "https through SOCKS 5: $(cat err.txt)"
grep -qx "localhost:$https" socks.log 2>/dev/null || fail "the SOCKS server saw no request for localhost:$https"
echo "$failures failed"
[ "$failures" -eq 0 ]
