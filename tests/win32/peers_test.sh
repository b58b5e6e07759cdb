#!/usr/bin/env bash
# Starts the real peers of the HTTP tests (nginx with a test authority made
# now, tinyproxy: Linux processes in this namespace) and runs the Windows
# test program that talks to them under Wine. Only inside scripts/netns-run.
#
#   peers_test.sh TEST_EXE
set -euo pipefail

test_exe=$1
# shellcheck source=../support/netns_scratch.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/netns_scratch.sh" peers_test
cd "$work"

quiet() { "$@" >/dev/null 2>&1 || { echo "peers_test: failed: $*" >&2; exit 1; }; }

# RSA throughout: the system's classic key store holds no other keys. The
# authority's name in printable strings: Wine 8 cannot match a unit encoded
# as UTF8String, which openssl writes by default.
printf '[req]\ndistinguished_name = dn\nstring_mask = default\n[dn]\n' >ca.cnf
quiet openssl req -x509 -config ca.cnf -newkey rsa:2048 -nodes -days 30 -keyout ca.key \
    -out ca.pem -subj "/O=Test Authorities/OU=ZN Test Unit/CN=zembrixnet test authority"
issue() {
    local name=$1 extension=$2
    quiet openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" \
        -subj "/CN=$name"
    printf '%s\n' "$extension" >"$name.ext"
    quiet openssl x509 -req -days 30 -in "$name.csr" -CA ca.pem -CAkey ca.key \
        -CAcreateserial -extfile "$name.ext" -out "$name.pem"
}
issue localhost "subjectAltName=DNS:localhost,IP:127.0.0.1"
issue client "extendedKeyUsage=clientAuth"
quiet openssl pkcs12 -export -in client.pem -inkey client.key -out client.p12 -passout pass:

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
required=$(free_port) optional=$(free_port) plain_tls=$(free_port) http=$(free_port)
proxy=$(free_port) upstream=$(free_port) witness=$(free_port) witness_http=$(free_port)
body='<RES>OK</RES><LIST>served by nginx</LIST>'
servers=""
for pair in "$required on" "$optional optional" "$plain_tls off"; do
    set -- $pair
    servers+="server { listen 127.0.0.1:$1 ssl; ssl_certificate $work/localhost.pem;
      ssl_certificate_key $work/localhost.key; ssl_client_certificate $work/ca.pem;
      ssl_verify_client $2; absolute_redirect off; location / { return 200 \"$body\"; }
      location /redirect { return 302 \$arg_to; }
      location /status/ { proxy_pass http://127.0.0.1:$upstream; } }
"
done
mkdir site
printf '%s' "$body" >site/list.txt
cat >nginx.conf <<CONF
daemon off; master_process off; pid $work/nginx.pid; error_log $work/error.log;
events { worker_connections 64; }
http { access_log off; client_body_temp_path $work/body; proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi; uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
  $servers
  server { listen 127.0.0.1:$http; root $work/site; }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" &
pids+=($!)
printf 'User root\nGroup root\nPort %s\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\nLogLevel Critical\nLogFile "%s/tinyproxy.log"\n' \
    "$proxy" "$work" >tinyproxy.conf
tinyproxy -d -c "$work/tinyproxy.conf" &
pids+=($!)
# The upstream that answers /status/CODE?to=URL, and the witnesses that
# count each connection a redirect's target gets.
: >witness.log
python3 "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/listen.py" listening \
    "127.0.0.1:$upstream,redirect" "127.0.0.1:$witness,count=$work/witness.log" \
    "127.0.0.1:$witness_http,count=$work/witness.log" &
pids+=($!)

for port in "$required" "$optional" "$plain_tls" "$http" "$proxy" "$upstream"; do
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
        sleep 0.1
    done
done

export ZN_PEER_DIR="Z:${work//\//\\}" ZN_PEER_REQUIRED=$required ZN_PEER_OPTIONAL=$optional
export ZN_PEER_PLAIN_TLS=$plain_tls ZN_PEER_HTTP=$http ZN_PEER_PROXY=$proxy
export ZN_PEER_WITNESS=$witness ZN_PEER_WITNESS_HTTP=$witness_http
wine "$test_exe"
