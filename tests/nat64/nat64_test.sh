#!/usr/bin/env bash
# The command-line tool on an IPv6-only network with NAT64: a nested network
# namespace whose only IPv4 address is loopback, routed over a veth pair to
# tayga (a real translator, on a TUN device of the test namespace) under the
# prefix 2001:db8:64::/96, and dnsmasq answering as a DNS64 name server
# (ipv4only.arpa, the connectivity-test hosts) on ::1. IPv4 listeners beyond
# the translator stand for the servers; the file's entries are the IPv4
# literals init writes. Only inside scripts/netns-run.
#
#   nat64_test.sh TOOL
set -euo pipefail

tool=$(readlink -f "$1")
# shellcheck source=../support/netns_scratch.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/netns_scratch.sh" nat64_test
for program in tayga dnsmasq nsenter; do
    if ! command -v "$program" >/dev/null; then
        echo "nat64_test: $program not found: run scripts/bootstrap" >&2
        exit 1
    fi
done

prefix=2001:db8:64
# The connectivity-test hosts and one SIP server of init's list listen.
start_listeners 10.0.0.201:80 10.0.0.202:80 192.0.2.22:5060

# The IPv6-only network: a namespace held open by a sleeping process, entered
# with nsenter for every command.
unshare --net --mount -- sleep 600 &
holder=$!
pids+=("$holder")
for _ in $(seq 100); do
    [[ "$(readlink "/proc/$holder/ns/net")" != "$(readlink /proc/self/ns/net)" ]] && break
    sleep 0.05
done
in6() { nsenter --net="/proc/$holder/ns/net" --mount="/proc/$holder/ns/mnt" -- "$@"; }

ip link add zn64a type veth peer name zn64b netns "$holder"
ip -6 addr add 2001:db8:6::1/64 dev zn64a nodad
ip link set zn64a up
echo 1 >/proc/sys/net/ipv6/conf/all/forwarding
echo 1 >/proc/sys/net/ipv4/ip_forward

in6 ip link set lo up
in6 ip link set zn64b up
in6 ip -6 addr add 2001:db8:6::2/64 dev zn64b nodad
in6 ip -6 route add "$prefix::/96" via 2001:db8:6::1
printf '%s\n' "127.0.0.1 localhost" "::1 localhost" >"$work/hosts"
printf '%s\n' "nameserver ::1" "options timeout:1 attempts:1" >"$work/resolv.conf"
chmod 644 "$work/hosts" "$work/resolv.conf"
in6 mount --bind "$work/hosts" /etc/hosts
in6 mount --bind "$work/resolv.conf" /etc/resolv.conf

# Tayga maps its dynamic pool's addresses to the IPv6 hosts that reach it.
cat >"$work/tayga.conf" <<EOF
tun-device zn-nat64
ipv4-addr 192.168.255.1
prefix $prefix::/96
dynamic-pool 192.168.255.0/24
EOF
tayga --config "$work/tayga.conf" --mktun >/dev/null
ip link set zn-nat64 up
ip route add 192.168.255.0/24 dev zn-nat64
ip -6 route add "$prefix::/96" dev zn-nat64
tayga --config "$work/tayga.conf" --nodetach >"$work/tayga.log" 2>&1 &
pids+=($!)

# DNS64 as the network's name server does it: the addresses of names that
# have IPv4 only, synthesised under the prefix. 192.0.0.170/171 and the
# connectivity-test hosts 10.0.0.201/202, in hex.
in6 dnsmasq --keep-in-foreground --no-hosts --no-resolv --bind-interfaces --listen-address=::1 \
    --user=root --pid-file= \
    --host-record=ipv4only.arpa,$prefix::c000:aa,$prefix::c000:ab \
    --host-record="$ZEMBRIXNET_CONNECTIVITY_HOST1,$prefix::a00:c9" \
    --host-record="$ZEMBRIXNET_CONNECTIVITY_HOST2,$prefix::a00:ca" 2>"$work/dnsmasq.log" &
pids+=($!)
for _ in $(seq 100); do
    in6 ss -uln | grep -q '\[::1\]:53 ' && break
    sleep 0.05
done

failed=0
# row STATUS PATTERN ARGS...: the tool's exit status and a line of its output
# when run on the IPv6-only network.
row() {
    local want=$1 pattern=$2 output status=0
    shift 2
    echo "== zembrix-netcheck $*"
    output=$(in6 timeout 120 "$tool" "$@" 2>&1) || status=$?
    sed 's/^/   /' <<<"$output"
    [[ $status -eq $want ]] || { echo "nat64_test: exit status $status, not $want"; failed=1; }
    grep -qE "$pattern" <<<"$output" || { echo "nat64_test: no line matching: $pattern"; failed=1; }
}

mkdir "$work/data"
row 0 '^initialised on ' init --dir "$work/data"
row 0 '' proxy none --dir "$work/data"
# The IPv4-literal entry answers through the translator, the connectivity
# test passes, and the host sees the literal.
row 0 '"host":"192\.0\.2\.22","port":"5060"' check sip --json --dir "$work/data"
row 1 '^SIP +192\.0\.2\.22 +5060' info --dir "$work/data"
row 1 '"step":"connectivity","subject":"[^"]+:80","outcome":"connected"' doctor --json --dir "$work/data"
exit "$failed"
