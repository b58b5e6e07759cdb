#!/usr/bin/env bash
# zembrixnet in one command: installs what the machine lacks, builds the
# command-line host zembrix-netcheck, and then, inside a private network
# namespace (scripts/netns-run), brings up a small simulated provider
# network at the library's own default addresses and drives the library
# through init, check, info, update, list and a second check, saying what
# happened at each step. No packet leaves the machine; nothing is left
# running. Needs root (package installation and namespaces).
#
#   scripts/demo.sh
set -euo pipefail

root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)

# The simulated network. The default entries of the provider configuration
# use documentation-only addresses, which exist only inside the namespace.
#   web  WEB2 198.51.100.9:443 and WEB3 203.0.113.80:443 run the provider's
#        web API (HTTPS, client certificate required); WEB1 and WEB4 refuse.
#   sip  SIP2 192.0.2.22:5060 answers; SIP1 and SIP3 refuse.
#   im   IM2 203.0.113.5 answers on its HTTPS port 443 only.
#   fax  FAX1 192.0.2.100:10080 refuses.
# The web API answers with fresh servers, which all answer except SIP3:
readonly fresh_web=198.51.100.20:443
readonly fresh_sip=(192.0.2.31:5060 192.0.2.32:5060 192.0.2.33:5060)
readonly fresh_im=203.0.113.25:5222TCP443HTTPS80HTTP
readonly fresh_fax=192.0.2.110:10080
# The fallback page of FREE1 (http://www.zembrix.example/list1) lives here:
readonly page_address=10.0.0.80
readonly page_web=198.51.100.30:443 page_sip=192.0.2.41:5060
readonly page_im=203.0.113.35:5222TCP443HTTPS80HTTP
readonly tcp_listeners="192.0.2.22:5060 203.0.113.5:443 192.0.2.31:5060 192.0.2.32:5060
    203.0.113.25:5222 192.0.2.110:10080 192.0.2.41:5060"

# Step titles in bold on a terminal, unless NO_COLOR is set.
bold=() && [[ -t 1 && -z "${NO_COLOR:-}" ]] && bold=($'\033[1m' $'\033[0m')
say() {
    printf '\n%s== %s%s\n' "${bold[0]:-}" "$1" "${bold[1]:-}"
    shift
    [[ $# -eq 0 ]] || printf '   %s\n' "$@"
}

# Runs the tool with its progress lines (standard error) in place. The
# library's diagnostic line, which the tool keeps off standard output, is
# left out here.
show() {
    printf '\n$ zembrix-netcheck %s\n' "$*"
    "$tool" "$@" 2>&1 | grep -v '^CryptAcquireContext succeeded\.$'
    return "${PIPESTATUS[0]}"
}

# Waits until every host:port given accepts a connection (5 s at most).
wait_for_ports() {
    python3 - "$@" <<'PY'
import socket, sys, time
deadline = time.time() + 5
for target in sys.argv[1:]:
    host, port = target.rsplit(":", 1)
    while True:
        try:
            socket.create_connection((host, int(port)), timeout=1).close()
            break
        except OSError:
            if time.time() > deadline:
                sys.exit("demo: nothing answers on " + target)
            time.sleep(0.05)
PY
}

write_certificates() {
    local d=$1
    # The library picks its client certificate by the organizational unit of
    # the certificate's issuer: the provider's authority carries it.
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -keyout "$d/ca.key" -out "$d/ca.pem" -subj "/O=Zembrix Demo/OU=Quenstead Corp./CN=Demo CA" \
        2>/dev/null
    local name
    for name in server client; do
        openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -keyout "$d/$name.key" -out "$d/$name.csr" -subj "/CN=demo $name" 2>/dev/null
        openssl x509 -req -days 2 -in "$d/$name.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" \
            -CAcreateserial -out "$d/$name.crt" 2>/dev/null
        cat "$d/$name.crt" "$d/$name.key" >"$d/$name.pem"
    done
    # Each PEM file of <directory>/certs/MY holds one certificate and its key.
    mkdir -p "$d/client/certs/MY"
    cp "$d/client.pem" "$d/client/certs/MY/demo-client.pem"
}

write_nginx_conf() {
    local d=$1 answer=$2
    cat >"$d/nginx.conf" <<EOF
daemon off; master_process off; pid $d/nginx.pid; error_log $d/error.log;
events { worker_connections 64; }
http {
    client_body_temp_path $d/body; proxy_temp_path $d/proxy; fastcgi_temp_path $d/fastcgi;
    uwsgi_temp_path $d/uwsgi; scgi_temp_path $d/scgi;
    default_type text/plain;
    log_format api '\$request_uri | client certificate: \$ssl_client_s_dn | agent: \$http_user_agent';
    # The provider's web API.
    server {
        listen 198.51.100.9:443 ssl; listen 203.0.113.80:443 ssl; listen $fresh_web ssl;
        ssl_certificate $d/server.pem; ssl_certificate_key $d/server.pem;
        ssl_client_certificate $d/ca.pem; ssl_verify_client on;
        access_log $d/api.log api;
        location = /webapi/zembrix.php {
            if (-f $d/api-down) { return 503 "down for maintenance"; }
            if (\$arg_op != getlist) { return 400; }
            return 200 "$answer";
        }
    }
    # The connectivity-test hosts.
    server { listen 10.0.0.201:80; listen 10.0.0.202:80; access_log off; return 200 "up"; }
    # The fallback page.
    server { listen $page_address:80; access_log $d/page.log; root $d/site; }
}
EOF
}

inside_namespace() {
    tool=$1
    # The scratch directory $work and the processes in $pids go at exit.
    # shellcheck source=../tests/support/netns_scratch.sh
    source "$root/tests/support/netns_scratch.sh" zembrix-demo
    local d=$work
    local dir=$d/client

    say "Setting up the simulated provider network (inside a private network namespace)"
    write_certificates "$d"
    # The fallback page hosts resolve through this namespace's own hosts file.
    { cat /etc/hosts; echo "$page_address www.zembrix.example"; } >"$d/hosts"
    mount --bind "$d/hosts" /etc/hosts

    local sip_items="" n=0 address
    for address in "${fresh_sip[@]}"; do
        n=$((n + 1))
        sip_items+="<sip$n>$address</sip$n>"
    done
    local answer="<RES>OK</RES><webservernum>1</webservernum><web1>$fresh_web</web1>"
    answer+="<sipservernum>$n</sipservernum>$sip_items"
    answer+="<imservernum>1</imservernum><im1>$fresh_im</im1>"
    answer+="<faxservernum>1</faxservernum><fax1>$fresh_fax</fax1>"
    write_nginx_conf "$d" "$answer"
    # The page carries its addresses enciphered, in tags of its own.
    mkdir -p "$d/site"
    {
        echo "<html><body><p>Zembrix servers</p><div hidden>"
        echo "<webnum>1</webnum><web1>$("$tool" encipher "$page_web")</web1>"
        echo "<sipnum>1</sipnum><sip1>$("$tool" encipher "$page_sip")</sip1>"
        echo "<imnum>1</imnum><im1>$("$tool" encipher "$page_im")</im1>"
        echo "</div></body></html>"
    } >"$d/site/list1"

    nginx -p "$d" -c "$d/nginx.conf" &
    pids+=($!)
    # shellcheck disable=SC2086
    "$root/tests/support/listen.py" "$d/listeners-ready" $tcp_listeners &
    pids+=($!)
    # shellcheck disable=SC2086
    wait_for_ports 198.51.100.9:443 203.0.113.80:443 10.0.0.201:80 "$page_address:80" $tcp_listeners
    echo "   web API (nginx, HTTPS, client certificate required) on WEB2 198.51.100.9:443,"
    echo "     WEB3 203.0.113.80:443 and $fresh_web; WEB1 and WEB4 refuse"
    echo "   answering on TCP: SIP2 192.0.2.22:5060, IM2 203.0.113.5:443 (HTTPS port); SIP1,"
    echo "     SIP3, the other IM servers and FAX1 refuse"
    echo "   connectivity hosts $ZEMBRIXNET_CONNECTIVITY_HOST1 and $ZEMBRIXNET_CONNECTIVITY_HOST2 (port 80)"
    echo "   fallback page http://www.zembrix.example/list1 (FREE1); demo client certificate in"
    echo "     $dir/certs/MY/, issued by an authority whose unit is \"Quenstead Corp.\""

    say "1. init: the library writes its defaults into ZembrixNetWork.ini" \
        "Progress lines (on standard error) are the library's callbacks."
    show init --dir "$dir"
    show list --dir "$dir"

    say "2. check: which servers answer now?" \
        "Each kind starts at a random entry, then tries entry 1 upward; the first that" \
        "accepts a TCP connection is selected (status 1), every refusal is marked -1."
    show check --dir "$dir" || true

    say "3. info: the selections the check recorded in the file"
    show info --dir "$dir" || true
    "$tool" list --dir "$dir" --json >"$d/before-update.json"

    say "4. update: ask the provider's web API (at the selected web server) for fresh lists" \
        "The answer's servers go into the entries marked failed (-1); usable (0) and" \
        "selected (1) entries stay."
    show update --dir "$dir"
    echo
    echo "   What the web API received (nginx's log): the lists the client has, each entry"
    echo "   with its status. nginx asked for a client certificate during the handshake; the"
    echo "   library ended that handshake, took the certificate in certs/MY whose issuer's"
    echo "   unit is \"Quenstead Corp.\" and connected again, so the request went out once,"
    echo "   with the certificate:"
    fold -w 88 "$d/api.log" | sed 's/^/     /'

    say "5. list: the file after the update (status 0 on the rewritten entries)"
    show list --dir "$dir"

    say "6. check again: the fresh servers take part"
    show check --dir "$dir" || true
    "$tool" info --dir "$dir" --json >"$d/after.json"
    python3 - "$d/before-update.json" "$d/after.json" <<'PY'
import json, sys
before = json.load(open(sys.argv[1]))
known = {row["address"] for row in before["rows"]}
brought = 0
print()
for server in json.load(open(sys.argv[2]))["servers"]:
    if not server["found"]:
        print(f"   {server['kind']}: nothing selected")
        continue
    address = f"{server['host']}:{server['port']}"
    origin = ("a server known before the update"
              if any(a.startswith(server["host"] + ":") for a in known)
              else "BROUGHT BY THE UPDATE")
    brought += origin.startswith("BROUGHT")
    print(f"   {server['kind']}: {address} is {origin}")
if not brought:
    sys.exit("demo: the second check selected no server that the update brought")
PY

    say "7. update while the web API is down: the fallback page" \
        "The web API now answers 503 and the file's HTTP proxy (198.51.100.80:8080 by" \
        "default) refuses, so the library reads the next FREE page and marks it used (-1)." \
        "The page's servers (a web, a SIP and an IM server) go into entries still marked" \
        "failed, if any are."
    touch "$d/api-down"
    show update --dir "$dir" || true

    say "8. doctor: why did an update fail?" \
        "The web API is back, but the client certificate has gone from certs/MY. doctor" \
        "runs a check and an update with the library's own code watched step by step, then" \
        "names the causes it found."
    rm -f "$d/api-down" "$dir"/certs/MY/*.pem
    show doctor --update --dir "$dir" | tee "$d/doctor.out" || true
    if ! grep -q "no certificate issued under 'Quenstead Corp.'" "$d/doctor.out"; then
        echo "demo: doctor did not name the missing client certificate" >&2
        exit 1
    fi

    say "Done" "Everything ran inside the namespace; the servers are stopped now."
}

if [[ "${1:-}" == --inside-namespace ]]; then
    [[ "${ZN_NETNS:-}" == 1 ]] || { echo "demo: run scripts/demo.sh, not this step" >&2; exit 2; }
    inside_namespace "$2"
    exit 0
fi
if [[ $# -ne 0 ]]; then
    echo "usage: scripts/demo.sh" >&2
    exit 2
fi

cd "$root"
"$root/scripts/bootstrap"
build="$root/build/plain"
echo "== building zembrix-netcheck in $build"
cmake -S "$root" -B "$build" --log-level=WARNING -DZEMBRIXNET_WERROR=ON -DZEMBRIXNET_SANITIZE=
cmake --build "$build" -j"$(nproc)" --target zembrix-netcheck >/dev/null

# The namespace's hosts file must name the connectivity hosts of this build.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
ZEMBRIXNET_CONNECTIVITY_HOST1=$(cache_value ZEMBRIXNET_CONNECTIVITY_HOST1)
ZEMBRIXNET_CONNECTIVITY_HOST2=$(cache_value ZEMBRIXNET_CONNECTIVITY_HOST2)
export ZEMBRIXNET_CONNECTIVITY_HOST1 ZEMBRIXNET_CONNECTIVITY_HOST2
exec "$root/scripts/netns-run" bash "$root/scripts/demo.sh" --inside-namespace \
    "$build/tools/zembrix-netcheck/zembrix-netcheck"
