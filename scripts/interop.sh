#!/usr/bin/env bash
# Interoperability matrix: Varnell's engine and alert senders against the
# servers Debian ships, all on loopback, and writes docs/interop.md.
#
#   DNS:   every record type the item dialog offers (A, CNAME, MX, NS, PTR, SOA;
#          TXT, SRV, CAA, HTTPS, DNSKEY and DS compared as answer sets of record
#          texts with what dig +short prints)
#          against unbound, knot, nsd, bind9 (named) and dnsmasq, each serving
#          the same test zone on its own address 127.0.1.1 ... 127.0.1.5 (named
#          on 127.0.0.1 and a port of its own: it binds interface addresses); the
#          addresses Varnell gathers are compared with the A records dig sees
#          in the same reply (answer and additional sections). A 40-address pool
#          is asked with EDNS (one datagram) and without (truncated, then TCP).
#          AAAA items are asked over IPv4 and over IPv6: each server listens on
#          ::1 too, on a port of its own (loopback has one IPv6 address).
#          unbound and bind9 also serve DNS over TLS and over HTTPS (a CA
#          made here, scripts/peers/make-ca.sh): each type is probed over both
#          and compared with dig +tls and dig +https on the same port.
#   mail:  aiosmtpd (HELO, and EHLO with AUTH LOGIN) and exim4 delivering to a
#          local mailbox, in the clear and over STARTTLS with AUTH PLAIN (a CA
#          made here with the openssl command line).
#   syslog: rsyslogd and syslog-ng (syslog-ng conflicts with rsyslog as a
#          package, so it runs from its unpacked package).
#   network messages: smbd.
#
# Installs the packages it needs (apt-get, non-interactive; package scripts
# may not start services). Needs root. Not part of `make test`.
#
# usage: scripts/interop.sh [BUILD_DIR]     (default build-interop)
set -uo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-interop}
port=${INTEROP_DNS_PORT:-5300}
work=$(mktemp -d /tmp/varnell-interop-XXXXXX)
out=$src/docs/interop.md
pids=()

cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  sleep 1
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  if [ "${INTEROP_KEEP:-0}" = 1 ]; then echo "peers' files kept in $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

if [ "$(id -u)" -ne 0 ]; then
  echo "interop.sh: run as root (servers on port $port, packages to install)" >&2
  exit 2
fi

# ---- packages ----
packages=(unbound knot nsd bind9 dnsmasq-base dnsutils python3-aiosmtpd exim4-daemon-light
          rsyslog samba smbclient cmake ninja-build g++)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  made_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    made_policy=1
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
  [ $made_policy -eq 1 ] && rm -f /usr/sbin/policy-rc.d
fi
# syslog-ng from its unpacked package (it conflicts with rsyslog), with the
# libraries it needs installed as ordinary packages.
ngdir=/opt/varnell-interop/syslog-ng
if [ ! -x "$ngdir/usr/sbin/syslog-ng" ]; then
  mkdir -p "$ngdir" && (cd "$ngdir" && apt-get download -qq syslog-ng-core 2>/dev/null) &&
    dpkg -x "$ngdir"/syslog-ng-core_*.deb "$ngdir"
fi
ngdeb=$(ls "$ngdir"/syslog-ng-core_*.deb 2>/dev/null | head -1)
if [ -n "$ngdeb" ]; then
  deps=$(dpkg-deb -f "$ngdeb" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (].*//; s/|.*//' |
         grep -v -e '^$' -e sysvinit -e lsb-base)
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $deps >/dev/null
fi

# ---- Varnell's side ----
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNELL_BUILD_UI=OFF >/dev/null
fi
cmake --build "$build" --target bench_interop_probe bench_interop_alerts >/dev/null || exit 1
probe=$build/bench/bench_interop_probe
alerts=$build/bench/bench_interop_alerts

# ---- the zone ----
zone=$work/interop.example.zone
cat > "$zone" <<'ZONE'
$ORIGIN interop.example.
$TTL 300
@        IN SOA  ns1.interop.example. hostmaster.interop.example. 2026120801 3600 600 86400 300
@        IN NS   ns1.interop.example.
@        IN NS   ns2.interop.example.
@        IN MX   10 mx1.interop.example.
@        IN MX   20 mx2.interop.example.
ns1      IN A    192.0.2.1
ns2      IN A    192.0.2.2
mx1      IN A    192.0.2.25
mx2      IN A    192.0.2.26
www      IN A    192.0.2.80
www      IN A    192.0.2.81
www      IN AAAA 2001:db8::80
www      IN AAAA 2001:db8::81
alias    IN CNAME www.interop.example.
deep     IN CNAME alias.interop.example.
host     IN PTR  www.interop.example.
@        IN TXT  "v=spf1 ip4:192.0.2.0/24 -all"
_sip._udp IN SRV 10 60 5060 mx1.interop.example.
_sip._udp IN SRV 10 20 5060 mx2.interop.example.
_sip._udp IN SRV 20 0 5061 www.interop.example.
@        IN CAA  0 issue "ca.example"
@        IN CAA  0 issuewild ";"
@        IN CAA  128 iodef "mailto:security@interop.example"
@        IN HTTPS 1 . alpn="h2,h3" port=8443 ipv4hint=192.0.2.80
@        IN DNSKEY 257 3 13 mdsswUyr3DPW132mOi8V9xESWE8jTo0dxCjjnopKl+GqJxpVXckHAeF+KkxLbxILfDLUT0rAK9iUzy1L53eKGQ==
child    IN NS   ns1.interop.example.
child    IN DS   12345 13 2 C988EC423E3880EB8DD8A46FE06CA230EE23F35B578D64D5DFCE9D2D50CF1C9F
ZONE
# The same records for dnsmasq, which has no zone file: raw data in hexadecimal.
hex_of() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
caa_hex() { # flags tag value
  printf '%02x%02x%s%s' "$1" "${#2}" "$(hex_of "$2")" "$(hex_of "$3")"
}
content_rr=(
  "--dns-rr=interop.example,257,$(caa_hex 0 issue ca.example)"
  "--dns-rr=interop.example,257,$(caa_hex 0 issuewild ';')"
  "--dns-rr=interop.example,257,$(caa_hex 128 iodef mailto:security@interop.example)"
  # 1 . alpn=h2,h3 port=8443 ipv4hint=192.0.2.80
  "--dns-rr=interop.example,65,000100000100060268320268330003000220fb00040004c0000250"
  "--dns-rr=interop.example,48,$(printf '0101030d'; base64 -d <<<'mdsswUyr3DPW132mOi8V9xESWE8jTo0dxCjjnopKl+GqJxpVXckHAeF+KkxLbxILfDLUT0rAK9iUzy1L53eKGQ==' | od -An -tx1 | tr -d ' \n')"
  "--dns-rr=child.interop.example,43,30390d02C988EC423E3880EB8DD8A46FE06CA230EE23F35B578D64D5DFCE9D2D50CF1C9F"
)
# A 40-address pool: over 512 bytes, so without EDNS the answer comes truncated.
pool_addresses=()
for i in $(seq 1 40); do pool_addresses+=("198.51.100.$i"); echo "pool     IN A    198.51.100.$i" >> "$zone"; done
# name asked for each type
declare -A ask=([A]=www.interop.example [CNAME]=deep.interop.example [MX]=interop.example [NS]=interop.example
                [PTR]=host.interop.example [SOA]=interop.example [TXT]=interop.example
                [SRV]=_sip._udp.interop.example [CAA]=interop.example [HTTPS]=interop.example
                [DNSKEY]=interop.example [DS]=child.interop.example)
types=(A CNAME MX NS PTR SOA TXT SRV CAA HTTPS DNSKEY DS)
# The types whose answer is a set of record texts rather than addresses.
content_types=" TXT SRV CAA HTTPS DNSKEY DS "
# AAAA items: two addresses, a CNAME chain ending in them, a name with an A
# record only (no addresses, no error) and a name that does not exist.
aaaa_names=(www.interop.example deep.interop.example mx1.interop.example absent.interop.example)

# dig's view of what an item of type t on name q gathers: the addresses of the
# names the answer points at (the name itself for A; the CNAME, PTR, MX and NS
# targets; the SOA's primary server), each followed through CNAMEs and looked
# up on the same server when the reply does not carry them.
dig_short() { # addr name type   (port: the server's, set by the loop below; dig_mode: +tls or +https ...)
  # shellcheck disable=SC2086
  dig $dig_mode +time=2 +tries=1 +norecurse +short @"$1" -p "$sport" "$2" "$3" 2>/dev/null
}
dig_mode=""
is_ipv4() { [[ $1 =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; }
addresses_of() { # addr name: A records, following CNAMEs
  local a
  for a in $(dig_short "$1" "$2" A); do is_ipv4 "$a" && echo "$a"; done
}
addresses6_of() { # addr name: AAAA records, following CNAMEs, in one sorted line
  # A reply that ends in a CNAME without its target's records (dnsmasq's) is
  # asked again for the target, as Varnell does.
  local name=$2 line found target
  for _ in 1 2 3 4 5 6 7 8; do
    found=() target=
    while read -r line; do
      [ -z "$line" ] && continue
      if [[ $line == *:* ]]; then found+=("$line"); else target=$line; fi
    done < <(dig_short "$1" "$name" AAAA)
    if [ ${#found[@]} -ne 0 ] || [ -z "$target" ]; then break; fi
    name=$target
  done
  printf '%s\n' "${found[@]}" | grep . | sort -u | paste -sd ' '
}
expected_addresses() { # addr type name
  local targets=() line
  case $2 in
    A) targets=("$3") ;;
    CNAME | PTR | NS) while read -r line; do [ -n "$line" ] && targets+=("$line"); done < <(dig_short "$1" "$3" "$2") ;;
    MX) while read -r _ line; do [ -n "$line" ] && targets+=("$line"); done < <(dig_short "$1" "$3" MX) ;;
    SOA) read -r line _ < <(dig_short "$1" "$3" SOA); [ -n "$line" ] && targets=("$line") ;;
  esac
  for line in "${targets[@]}"; do addresses_of "$1" "$line"; done | sort -u -t. -k1,1n -k2,2n -k3,3n -k4,4n | paste -sd ' '
}
# Varnell's result code for a reply code: 0 answered, 1-5 the DNS error codes.
code_of() {
  case $1 in NOERROR) echo 0 ;; FORMERR) echo 1 ;; SERVFAIL) echo 2 ;; NXDOMAIN) echo 3 ;; NOTIMP) echo 4 ;; REFUSED) echo 5 ;; *) echo none ;; esac
}

ready() { # addr port: waits until the server answers
  for _ in $(seq 100); do
    dig +time=1 +tries=1 @"$1" -p "$2" interop.example SOA >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

start_bg() { # logfile command...
  local log=$1; shift
  "$@" >"$log" 2>&1 &
  pids+=($!)
}

# DNS over TLS and HTTPS: unbound and named, with a certificate for 127.0.0.1
# and dns.varnell.test signed by a CA of this run.
bash "$src/scripts/peers/make-ca.sh" "$work"
unbound_tls=$((port + 10)) unbound_https=$((port + 11)) named_tls=$((port + 12)) named_https=$((port + 13))
# unbound
mkdir -p "$work/unbound" && cp "$zone" "$work/unbound/"
start_bg "$work/unbound.log" bash "$src/scripts/peers/unbound.sh" --tls "$unbound_tls" --https "$unbound_https" \
  --cert "$work/server.pem" "$work/server.key" "$work/unbound" "$port" 127.0.1.1 "::1@$((port + 1))"
# knot
mkdir -p "$work/knot"
cat > "$work/knot/knot.conf" <<CONF
server:
  listen: [ 127.0.1.2@$port, ::1@$((port + 2)) ]
  rundir: "$work/knot"
  user: root:root
database:
  storage: "$work/knot"
template:
  - id: default
    storage: "$work"
    file: "%s.zone"
    zonefile-sync: -1
    journal-content: none
zone:
  - domain: interop.example
CONF
start_bg "$work/knot.log" knotd -c "$work/knot/knot.conf"
# nsd
mkdir -p "$work/nsd"
cat > "$work/nsd/nsd.conf" <<CONF
server:
  ip-address: 127.0.1.3@$port
  ip-address: ::1@$((port + 3))
  username: ""
  chroot: ""
  zonesdir: "$work"
  pidfile: "$work/nsd/nsd.pid"
  database: ""
  zonelistfile: "$work/nsd/zone.list"
  xfrdfile: "$work/nsd/xfrd.state"
  xfrdir: "$work/nsd"
  verbosity: 0
remote-control:
  control-enable: no
zone:
  name: interop.example
  zonefile: interop.example.zone
CONF
start_bg "$work/nsd.log" nsd -d -c "$work/nsd/nsd.conf"
# bind9: named listens only on addresses an interface carries, and loopback
# carries 127.0.0.1 and ::1 alone: it gets those and a port of its own.
named_port=$((port + 4))
mkdir -p "$work/named"
cat > "$work/named/named.conf" <<CONF
tls local-tls { cert-file "$work/server.pem"; key-file "$work/server.key"; };
http local-http { endpoints { "/dns-query"; }; };
options {
  directory "$work/named";
  pid-file "$work/named/named.pid";
  listen-on port $named_port { 127.0.0.1; };
  listen-on port $named_tls tls local-tls { 127.0.0.1; };
  listen-on port $named_https tls local-tls http local-http { 127.0.0.1; };
  listen-on-v6 port $named_port { ::1; };
  recursion no;
  dnssec-validation no;
};
controls { };
zone "interop.example" { type primary; file "$zone"; };
CONF
start_bg "$work/named.log" named -g -u root -c "$work/named/named.conf"
# dnsmasq: no zone files; the same data as its own records, authoritative for
# the zone. One port for all its addresses, so a port of its own for ::1's sake.
dnsmasq_port=$((port + 5))
start_bg "$work/dnsmasq.log" dnsmasq --keep-in-foreground --no-daemon --conf-file=/dev/null --no-resolv --no-hosts \
  --bind-interfaces --listen-address=127.0.1.5,::1 --port="$dnsmasq_port" --user=root --group=root \
  --auth-server=ns1.interop.example,127.0.1.5 --auth-zone=interop.example --auth-sec-servers=ns2.interop.example \
  --auth-soa=2026120801,hostmaster.interop.example,3600,600,86400 \
  --host-record=ns1.interop.example,192.0.2.1 --host-record=ns2.interop.example,192.0.2.2 \
  --host-record=mx1.interop.example,192.0.2.25 --host-record=mx2.interop.example,192.0.2.26 \
  --host-record=www.interop.example,192.0.2.80 --host-record=www.interop.example,192.0.2.81 \
  --host-record=www.interop.example,2001:db8::80 --host-record=www.interop.example,2001:db8::81 \
  --cname=alias.interop.example,www.interop.example --cname=deep.interop.example,alias.interop.example \
  --mx-host=interop.example,mx1.interop.example,10 --mx-host=interop.example,mx2.interop.example,20 \
  --ptr-record=host.interop.example,www.interop.example \
  --txt-record=interop.example,"v=spf1 ip4:192.0.2.0/24 -all" \
  --srv-host=_sip._udp.interop.example,mx1.interop.example,5060,10,60 \
  --srv-host=_sip._udp.interop.example,mx2.interop.example,5060,10,20 \
  --srv-host=_sip._udp.interop.example,www.interop.example,5061,20,0 \
  "${content_rr[@]}" \
  "${pool_addresses[@]/#/--host-record=pool.interop.example,}"

# name, IPv4 address and port, port on ::1
servers=("unbound 127.0.1.1 $port $((port + 1))" "knot 127.0.1.2 $port $((port + 2))"
         "nsd 127.0.1.3 $port $((port + 3))" "bind9 127.0.0.1 $named_port $named_port"
         "dnsmasq 127.0.1.5 $dnsmasq_port $dnsmasq_port")
version_of() {
  case $1 in
    unbound) unbound -V 2>/dev/null | awk '/^Version/ {print $2}' ;;
    knot) knotd -V 2>/dev/null | awk '{print $NF}' ;;
    nsd) nsd -v 2>&1 | awk 'NR==1 {print $NF}' ;;
    bind9) named -v 2>/dev/null | awk '{print $2}' ;;
    dnsmasq) dnsmasq -v 2>/dev/null | awk 'NR==1 {print $3}' ;;
  esac
}

dns_rows=()
agree=0 total=0
# One row of the table: what Varnell's probe gathers against what dig sees on
# the same server (name, ver and sport: the server's, set by the loop below).
dns_row() { # addr type name label
  local reply rcode records want got_out code got verdict=no
  reply=$(dig +time=2 +tries=1 +norecurse @"$1" -p "$sport" "$3" "$2" 2>/dev/null)
  rcode=$(sed -n 's/.*status: \([A-Z]*\),.*/\1/p' <<<"$reply")
  records=$(dig +time=2 +tries=1 +norecurse +noall +answer @"$1" -p "$sport" "$3" "$2" 2>/dev/null |
            awk '{print $4" "$5" "$6}' | sed 's/ *$//' | paste -sd ';' | sed 's/;/; /g')
  got_out=$("$probe" "$1" "$sport" "$2" "$3" 2000 2>/dev/null)
  code=$(sed -n '1s/^code //p' <<<"$got_out")
  if [ "$2" = AAAA ]; then
    want=$(addresses6_of "$1" "$3")
    got=$(tail -n +3 <<<"$got_out" | sort -u | paste -sd ' ')
  elif [[ $content_types == *" $2 "* ]]; then
    # The texts one after another, the bars between them escaped for the table.
    want=$(dig_short "$1" "$3" "$2" | sort -u | paste -sd '|' | sed 's/|/ \\| /g')
    got=$(tail -n +3 <<<"$got_out" | sort -u | paste -sd '|' | sed 's/|/ \\| /g')
    records="$(grep -c . <<<"$(dig_short "$1" "$3" "$2")") $2 records"
  else
    want=$(expected_addresses "$1" "$2" "$3")
    got=$(tail -n +3 <<<"$got_out" | sort -u -t. -k1,1n -k2,2n -k3,3n -k4,4n | paste -sd ' ')
  fi
  total=$((total + 1))
  if [ "$code" = "$(code_of "$rcode")" ] && [ "$got" = "$want" ]; then
    verdict=yes
    agree=$((agree + 1))
  fi
  dns_rows+=("| $name $ver | $4 | ${rcode:-none}: ${records:--} | ${want:--} | code ${code:-none}: ${got:--} | $verdict |")
}
for entry in "${servers[@]}"; do
  read -r name addr sport sport6 <<<"$entry"
  if ! ready "$addr" "$sport"; then
    dns_rows+=("| $name | | all | did not start | | no |")
    continue
  fi
  ver=$(version_of "$name")
  for t in "${types[@]}"; do
    dns_row "$addr" "$t" "${ask[$t]}" "$t ${ask[$t]}"
  done
  # The 40-address pool, with the program's EDNS size and with none.
  q=pool.interop.example
  reply=$(dig +time=2 +tries=1 +norecurse @"$addr" -p "$sport" "$q" A 2>/dev/null)
  rcode=$(sed -n 's/.*status: \([A-Z]*\),.*/\1/p' <<<"$reply")
  count=$(dig +time=2 +tries=1 +norecurse +noall +answer @"$addr" -p "$sport" "$q" A 2>/dev/null | grep -c "IN[[:space:]]*A")
  want=$(expected_addresses "$addr" A "$q")
  for edns in 1232 0; do
    got_out=$("$probe" "$addr" "$sport" A "$q" 2000 "$edns" 2>/dev/null)
    code=$(sed -n '1s/^code //p' <<<"$got_out")
    over=$(sed -n '2s/^over //p' <<<"$got_out")
    got=$(tail -n +3 <<<"$got_out" | sort -u -t. -k1,1n -k2,2n -k3,3n -k4,4n | paste -sd ' ')
    total=$((total + 1))
    verdict=no
    if [ "$code" = "$(code_of "$rcode")" ] && [ "$got" = "$want" ] && [ -n "$want" ]; then
      verdict=yes
      agree=$((agree + 1))
    fi
    label="EDNS $edns"; [ "$edns" = 0 ] && label="no EDNS"
    dns_rows+=("| $name $ver | 40-address pool: A $q, $label | ${rcode:-none}: $count A records | $(wc -w <<<"$want") addresses, 198.51.100.1-40 | code ${code:-none} over ${over:-?}: $(wc -w <<<"$got") addresses | $verdict |")
  done
  # AAAA items, with the server reached over IPv4 and over IPv6.
  for transport in "IPv4 $addr $sport" "IPv6 ::1 $sport6"; do
    read -r family taddr sport <<<"$transport"
    if ! ready "$taddr" "$sport"; then
      dns_rows+=("| $name $ver | AAAA over $family | does not answer on $taddr port $sport | | | no |")
      total=$((total + 1))
      continue
    fi
    for q in "${aaaa_names[@]}"; do
      dns_row "$taddr" AAAA "$q" "AAAA $q over $family ($taddr)"
    done
  done
done

# Over TLS and HTTPS: each type on the two servers that serve them, the
# addresses Varnell gathers against those dig gathers over the same transport.
enc_rows=()
for entry in "unbound 127.0.1.1 $unbound_tls $unbound_https" "bind9 127.0.0.1 $named_tls $named_https"; do
  read -r name addr tport hport <<<"$entry"
  ver=$(version_of "$name")
  for enc in "tls $tport" "https $hport"; do
    read -r transport sport <<<"$enc"
    dig_mode="+$transport +tls-ca=$work/ca.pem +tls-hostname=dns.varnell.test"
    target=dns.varnell.test
    [ "$transport" = https ] && target="https://dns.varnell.test:$sport/dns-query"
    for t in "${types[@]}"; do
      q=${ask[$t]}
      want=$(expected_addresses "$addr" "$t" "$q")
      got_out=$("$probe" "$addr" "$sport" "$t" "$q" 4000 1232 "$transport" "$target" "$work/ca.pem" 2>/dev/null)
      code=$(sed -n '1s/^code //p' <<<"$got_out")
      got=$(tail -n +3 <<<"$got_out" | sort -u -t. -k1,1n -k2,2n -k3,3n -k4,4n | paste -sd ' ')
      total=$((total + 1))
      verdict=no
      if [ "$code" = 0 ] && [ "$got" = "$want" ] && [ -n "$want" ]; then
        verdict=yes
        agree=$((agree + 1))
      fi
      enc_rows+=("| $name $ver | $transport | $t $q | ${want:--} | code ${code:-none}: ${got:--} | $verdict |")
    done
  done
done
dig_mode=""

# ---- mail ----
mail_rows=()
smtp_port=2525
mkdir -p "$work/smtpd"
start_bg "$work/smtpd.log" /usr/bin/python3 "$src/scripts/peers/smtpd.py" "$smtp_port" "$work/smtpd" monitor interop-secret
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$smtp_port) 2>/dev/null && break; sleep 0.1; done
r=$("$alerts" mail 127.0.0.1 "$smtp_port" varnell@interop.example oncall@interop.example "www is down" 2>&1)
ok=no; grep -q "www is down" "$work/smtpd/message-1.txt" 2>/dev/null && grep -q "^auth: -" "$work/smtpd/message-1.txt" && ok=yes
mail_rows+=("| aiosmtpd $(/usr/bin/python3 -c 'import aiosmtpd; print(aiosmtpd.__version__)' 2>/dev/null) | HELO | $r | $ok |")
r=$("$alerts" mail 127.0.0.1 "$smtp_port" varnell@interop.example oncall@interop.example "www is up" monitor interop-secret 2>&1)
ok=no; grep -q "www is up" "$work/smtpd/message-2.txt" 2>/dev/null && grep -q "^auth: monitor" "$work/smtpd/message-2.txt" && ok=yes
mail_rows+=("| aiosmtpd | EHLO, AUTH LOGIN | $r | $ok |")
r=$("$alerts" mail 127.0.0.1 "$smtp_port" varnell@interop.example oncall@interop.example "refused" monitor wrong 2>&1)
ok=no; [[ "$r" == "mail -1 "* ]] && ok=yes
mail_rows+=("| aiosmtpd | AUTH LOGIN, wrong password (must fail) | $r | $ok |")
# exim4 on its own port and spool, delivering to a local mailbox.
# exim never delivers as root: the mailbox belongs to a local user of its own.
mkdir -p "$work/exim/spool" "$work/exim/mail"
chmod 0755 "$work" "$work/exim"
chmod 1777 "$work/exim/mail"
id varnellrx >/dev/null 2>&1 || useradd -M -s /usr/sbin/nologin varnellrx
# A CA of this run's own and a certificate for the address the client calls.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=interop-ca \
  -keyout "$work/exim/ca.key" -out "$work/exim/ca.crt" 2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 \
  -keyout "$work/exim/server.key" -out "$work/exim/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' > "$work/exim/server.ext"
openssl x509 -req -in "$work/exim/server.csr" -CA "$work/exim/ca.crt" -CAkey "$work/exim/ca.key" -CAcreateserial \
  -days 2 -extfile "$work/exim/server.ext" -out "$work/exim/server.crt" 2>/dev/null
cat > "$work/exim/exim.conf" <<CONF
primary_hostname = interop.example
tls_advertise_hosts = *
tls_certificate = $work/exim/server.crt
tls_privatekey = $work/exim/server.key
spool_directory = $work/exim/spool
log_file_path = $work/exim/%s.log
daemon_smtp_ports = 2526
local_interfaces = 127.0.0.1
domainlist local_domains = interop.example
host_lookup =
rfc1413_hosts =
exim_user = root
exim_group = root
never_users =
acl_smtp_rcpt = acl_check_rcpt
begin acl
acl_check_rcpt:
  accept domains = +local_domains
  deny
begin routers
localuser:
  driver = accept
  check_local_user
  transport = local_delivery
begin transports
local_delivery:
  driver = appendfile
  file = $work/exim/mail/varnellrx
  user = varnellrx
  home_directory = $work/exim/mail
  current_directory = $work/exim/mail
  mode = 0600
begin retry
*  *  F,1m,1m
begin authenticators
# PLAIN alone, and only over TLS: the client must wait for the handshake and
# take the mechanism the server names.
plain_server:
  driver = plaintext
  public_name = PLAIN
  server_advertise_condition = \${if def:tls_in_cipher}
  server_condition = \${if and {{eq{\$auth2}{monitor}}{eq{\$auth3}{interop-secret}}}}
  server_set_id = \$auth2
CONF
start_bg "$work/exim.out" exim4 -C "$work/exim/exim.conf" -bdf -q30s -oX 2526 -oP "$work/exim/exim.pid"
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/2526) 2>/dev/null && break; sleep 0.1; done
r=$("$alerts" mail 127.0.0.1 2526 varnell@interop.example varnellrx@interop.example "mx is down" 2>&1)
for _ in $(seq 50); do grep -q "mx is down" "$work/exim/mail/varnellrx" 2>/dev/null && break; sleep 0.1; done
ok=no; grep -q "mx is down" "$work/exim/mail/varnellrx" 2>/dev/null && ok=yes
mail_rows+=("| exim4 $(exim4 -bV -C "$work/exim/exim.conf" 2>/dev/null | awk 'NR==1 {print $3}') | HELO, delivered to a local mailbox | $r | $ok |")
r=$("$alerts" mail 127.0.0.1 2526 varnell@interop.example varnellrx@interop.example "mx is up" monitor interop-secret \
  starttls "$work/exim/ca.crt" 2>&1)
for _ in $(seq 50); do grep -q "mx is up" "$work/exim/mail/varnellrx" 2>/dev/null && break; sleep 0.1; done
# The log line of the arrival names the cipher (X=) and the logon (A=).
ok=no; grep -q "mx is up" "$work/exim/mail/varnellrx" 2>/dev/null &&
  grep -q "<= varnell@interop.example .*X=TLS.*A=plain_server:monitor" "$work/exim/main.log" 2>/dev/null &&
  ok=yes
mail_rows+=("| exim4 | STARTTLS (CA of the run), AUTH PLAIN, delivered to a local mailbox | $r | $ok |")
r=$("$alerts" mail 127.0.0.1 2526 varnell@interop.example varnellrx@interop.example "refused" monitor interop-secret \
  starttls "$work/exim/server.crt" 2>&1)
ok=no; [[ "$r" == "mail -1 the server's certificate is not accepted"* ]] && ok=yes
mail_rows+=("| exim4 | STARTTLS, server certificate not signed by the given CA (must fail) | $r | $ok |")

# ---- syslog ----
md() { local t=$1; printf '%s' "${t//|/\\|}"; } # a table cell: its bars escaped
syslog_rows=()
mkdir -p "$work/rsyslog"
start_bg "$work/rsyslog.out" bash "$src/scripts/peers/rsyslog.sh" "$work/rsyslog" 5514 127.0.1.10
sleep 1
r=$("$alerts" syslog 127.0.1.10 5514 "www is down" 2>&1)
for _ in $(seq 50); do grep -q "www is down" "$work/rsyslog/messages.log" 2>/dev/null && break; sleep 0.1; done
line=$(grep "www is down" "$work/rsyslog/messages.log" 2>/dev/null | head -1)
ok=no; [[ "$line" == 26\|daemon\|crit\|* ]] && ok=yes
syslog_rows+=("| rsyslog $(rsyslogd -v 2>/dev/null | awk 'NR==1 {print $2}' | tr -d ,) | $r | \`$(md "${line:-nothing}")\` | $ok |")
mkdir -p "$work/syslog-ng"
cat > "$work/syslog-ng/syslog-ng.conf" <<CONF
@version: 3.38
options { keep-hostname(yes); };
source s_net { network(ip("127.0.1.11") port(5515) transport("udp") flags(store-raw-message)); };
destination d_file { file("$work/syslog-ng/messages.log"
  template("\${PRI}|\${FACILITY}|\${LEVEL}|\${RAWMSG}|parsed as host=\${HOST} program=\${PROGRAM} msg=\${MSG}\n")); };
log { source(s_net); destination(d_file); };
CONF
ngmod=$(dirname "$(find "$ngdir" -name libafsocket.so | head -1)")
start_bg "$work/syslog-ng.out" env LD_LIBRARY_PATH="$(dirname "$(find "$ngdir" -name 'libsyslog-ng*.so*' | head -1)")" \
  "$ngdir/usr/sbin/syslog-ng" -F -f "$work/syslog-ng/syslog-ng.conf" --module-path="$ngmod" \
  -R "$work/syslog-ng/persist" -p "$work/syslog-ng/pid" -c "$work/syslog-ng/ctl"
sleep 2
r=$("$alerts" syslog 127.0.1.11 5515 "www is down" 2>&1)
for _ in $(seq 50); do grep -q "www is down" "$work/syslog-ng/messages.log" 2>/dev/null && break; sleep 0.1; done
line=$(grep "www is down" "$work/syslog-ng/messages.log" 2>/dev/null | head -1)
ok=no; [[ "$line" == 26\|daemon\|crit\|* ]] && ok=yes
syslog_rows+=("| syslog-ng $(dpkg-deb -f "$ngdeb" Version 2>/dev/null || echo unpacked) | $r | \`$(md "${line:-nothing}")\` | $ok |")

# ---- network messages ----
net_rows=()
mkdir -p "$work/smb/msgs" "$work/smb/"{lock,state,cache,pid,private,ncalrpc}
chmod 0755 "$work" "$work/smb"; chmod 0777 "$work/smb/msgs"
cat > "$work/smb/smb.conf" <<CONF
[global]
  smb ports = 1139
  interfaces = 127.0.0.1/8
  bind interfaces only = yes
  disable netbios = yes
  server min protocol = NT1
  lock directory = $work/smb/lock
  state directory = $work/smb/state
  cache directory = $work/smb/cache
  pid directory = $work/smb/pid
  private dir = $work/smb/private
  ncalrpc dir = $work/smb/ncalrpc
  message command = /bin/sh -c '{ echo "from=%f"; /bin/cat %s; echo; } >> $work/smb/msgs/msgs.txt; /bin/rm -f %s' &
CONF
# In a session of its own: smbd ends its whole process group when it stops.
start_bg "$work/smbd.log" setsid smbd --foreground --no-process-group --debug-stdout -s "$work/smb/smb.conf"
for _ in $(seq 150); do (exec 3<>/dev/tcp/127.0.0.1/1139) 2>/dev/null && break; sleep 0.1; done
r=$("$alerts" netsend 127.0.0.1 1139 "www is down at $(date +%T)" 2>&1)
for _ in $(seq 50); do grep -q "www is down" "$work/smb/msgs/msgs.txt" 2>/dev/null && break; sleep 0.1; done
got=$(tr '\n' ' ' < "$work/smb/msgs/msgs.txt" 2>/dev/null)
ok=no; [[ "$got" == *"from=VARNELL"*"www is down"* ]] && ok=yes
net_rows+=("| smbd $(smbd -V 2>/dev/null | awk '{print $2}') | $r | \`${got:-nothing}\` | $ok |")

# ---- the report ----
{
  echo "# Interoperability"
  echo
  echo "Produced by \`scripts/interop.sh\` on $(date -u +%Y-%m-%d) ($(. /etc/os-release && echo "$PRETTY_NAME"))."
  echo "Every peer runs on a loopback address; Varnell's side is the real engine"
  echo "(\`bench/bench_interop_probe\`) and the real alert senders (\`bench/bench_interop_alerts\`)."
  echo
  echo "## DNS: $agree of $total agree"
  echo
  echo "Each server serves the same zone \`interop.example\` (two name servers, two mail"
  echo "exchangers with their addresses, \`www\` with two addresses, a CNAME chain"
  echo "\`deep\` -> \`alias\` -> \`www\`, a PTR at \`host\`). The dig column lists the"
  echo "addresses of the names the answer points at (the name itself for A, the"
  echo "CNAME, PTR, MX and NS targets, the SOA's primary server), each looked up with"
  echo "dig on the same server. Varnell agrees when its result code matches the"
  echo "reply code (0 for NOERROR, 3 for NXDOMAIN) and it gathered exactly those"
  echo "addresses."
  echo
  echo "AAAA items ask for \`www\` (two IPv6 addresses), \`deep\` (the CNAME chain"
  echo "ending in them), \`mx1\` (an A record only: no addresses, no error) and"
  echo "\`absent\` (NXDOMAIN), once with the server reached over IPv4 and once over"
  echo "IPv6 (\`::1\`, each server on a port of its own). The dig column lists the AAAA"
  echo "records at the end of the chain, asking dig again for a CNAME target that a"
  echo "reply leaves without its records (dnsmasq answers \`deep\` with its first"
  echo "CNAME alone, and Varnell sends the follow-up AAAA queries); Varnell gives"
  echo "the addresses in RFC 5952 text."
  echo
  echo "TXT, SRV, CAA, HTTPS, DNSKEY and DS items are compared by their answer sets:"
  echo "the dig column lists what \`dig +short\` prints for the asked type (sorted, one"
  echo "text after another), and Varnell agrees when its result code matches and the"
  echo "texts of its answer set, as it shows them, are exactly those."
  echo
  echo "The 40-address pool (\`pool\`, 198.51.100.1 to .40) needs about 700 bytes: asked"
  echo "with the program's EDNS size (1232) it comes in one datagram; asked without"
  echo "EDNS the server answers truncated and Varnell asks again over TCP (\`over tcp\`)."
  echo "It agrees when it gathered exactly the 40 addresses dig lists."
  echo
  echo "| server | query | reply (dig) | addresses (dig) | Varnell | agree |"
  echo "|---|---|---|---|---|---|"
  printf '%s\n' "${dns_rows[@]}"
  echo
  echo "dnsmasq has no zone files: the script gives it the same data as its own"
  echo "records. Its PTR records are answered under in-addr.arpa only, so"
  echo "\`host.interop.example PTR\` is NXDOMAIN there, and Varnell reports the same"
  echo "(code 3). bind9 listens only on addresses an interface carries, so it runs"
  echo "on 127.0.0.1 and ::1 with a port of its own; dnsmasq has one port for all"
  echo "its addresses, so it has a port of its own too."
  echo
  echo "### Over TLS and HTTPS"
  echo
  echo "unbound and bind9 serve the same zone over DNS over TLS (RFC 7858) and DNS"
  echo "over HTTPS (RFC 8484, \`/dns-query\`) with a certificate for 127.0.0.1 and"
  echo "\`dns.varnell.test\` from a CA made for the run. Each type is probed over"
  echo "both (the item's transport \`tls\` with that name, or \`https\` with the URL)"
  echo "and compared with what \`dig +tls\` and \`dig +https\` gather on the same port."
  echo
  echo "| server | transport | query | addresses (dig) | Varnell | agree |"
  echo "|---|---|---|---|---|---|"
  printf '%s\n' "${enc_rows[@]}"
  echo
  echo "## Mail"
  echo
  echo "| server | session | Varnell's result (0 sent, -1 no logon, -2 refused) | received as sent |"
  echo "|---|---|---|---|"
  printf '%s\n' "${mail_rows[@]}"
  echo
  echo "## Syslog"
  echo
  echo "One event datagram, facility daemon (3), severity Critical (2): PRI 26. The"
  echo "datagram is \`<PRI>SEQ:  text\` with no time stamp or host name, so a collector"
  echo "that parses the BSD syslog header (syslog-ng by default) takes the sequence"
  echo "number and the first word for header fields; the raw message is kept whole."
  echo
  echo "| collector | Varnell's send | received line (PRI, facility, severity, message) | as sent |"
  echo "|---|---|---|---|"
  printf '%s\n' "${syslog_rows[@]}"
  echo
  echo "## Network messages"
  echo
  echo "| receiver | Varnell's result (0 delivered) | delivered message | as sent |"
  echo "|---|---|---|---|"
  printf '%s\n' "${net_rows[@]}"
} > "$out"
cat "$out"
