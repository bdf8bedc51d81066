#!/usr/bin/env bash
# Runs unbound in the foreground as a local authoritative server for the tests
# and the probe benchmark. Every DIR/<zone>.zone file is served as the zone
# <zone>. (answers in zone order, no recursion to anywhere).
#
# usage: unbound.sh [--tls PORT] [--https PORT] [--cert PEM KEY]
#                   DIR PORT ADDRESS[@PORT] [ADDRESS[@PORT]...]
#        (loopback addresses only: 127.x.x.x or ::1; an address without a port
#        of its own takes PORT). --tls and --https add DNS over TLS (RFC 7858,
#        usually 853) and over HTTPS (RFC 8484, usually 443, path /dns-query)
#        on every address, with the certificate PEM and its key KEY.
set -euo pipefail
tls_port=""
https_port=""
cert=""
key=""
while [ $# -gt 0 ]; do
  case "$1" in
    --tls) tls_port=$2; shift 2 ;;
    --https) https_port=$2; shift 2 ;;
    --cert) cert=$2; key=$3; shift 3 ;;
    *) break ;;
  esac
done
if { [ -n "$tls_port" ] || [ -n "$https_port" ]; } && [ -z "$cert" ]; then
  echo "unbound.sh: --tls and --https need --cert PEM KEY" >&2; exit 2
fi
dir=$1
port=$2
shift 2
conf="$dir/unbound.conf"
ip6=no
{
  echo "server:"
  for arg in "$@"; do
    addr=${arg%@*}
    at=$port
    [ "$addr" != "$arg" ] && at=${arg##*@}
    case "$addr" in
      127.*) ;;
      ::1) ip6=yes ;;
      *) echo "unbound.sh: $addr is not a loopback address" >&2; exit 2 ;;
    esac
    echo "  interface: $addr@$at"
    if [ -n "$tls_port" ]; then echo "  interface: $addr@$tls_port"; fi
    if [ -n "$https_port" ]; then echo "  interface: $addr@$https_port"; fi
  done
  if [ -n "$tls_port" ]; then echo "  tls-port: $tls_port"; fi
  if [ -n "$https_port" ]; then
    echo "  https-port: $https_port"
    echo "  http-endpoint: \"/dns-query\""
  fi
  if [ -n "$cert" ]; then
    echo "  tls-service-pem: \"$cert\""
    echo "  tls-service-key: \"$key\""
    # Many queries on one connection stay open between the probes' passes.
    echo "  tcp-idle-timeout: 60000"
    echo "  incoming-num-tcp: 1024"
  fi
  cat <<CONF
  port: $port
  username: ""
  chroot: ""
  directory: "$dir"
  pidfile: ""
  module-config: "iterator"
  do-not-query-localhost: no
  use-syslog: no
  logfile: ""
  verbosity: 0
  num-threads: 1
  # A whole pass of probes arrives as one burst: room for it (granted to root,
  # capped at net.core.rmem_max otherwise).
  so-rcvbuf: 4m
  so-sndbuf: 4m
  do-ip6: $ip6
  rrset-roundrobin: no
  minimal-responses: no
  access-control: 127.0.0.0/8 allow
  access-control: ::1/128 allow
  # Nothing outside the zones below is ever looked up elsewhere.
  do-daemonize: no
CONF
  for zone in "$dir"/*.zone; do
    name=$(basename "$zone" .zone)
    echo "  local-zone: \"$name.\" nodefault"
  done
  echo "stub-zone:"
  echo "  name: \".\""
  echo "  stub-addr: 127.0.0.1@1"
  for zone in "$dir"/*.zone; do
    name=$(basename "$zone" .zone)
    cat <<CONF
auth-zone:
  name: "$name."
  zonefile: "$zone"
  for-downstream: yes
  for-upstream: no
  fallback-enabled: no
CONF
  done
  cat <<CONF
remote-control:
  control-enable: no
CONF
} > "$conf"
exec unbound -d -c "$conf"
