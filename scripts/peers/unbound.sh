#!/usr/bin/env bash
# Runs unbound in the foreground as a local authoritative server for the tests
# and the probe benchmark. Every DIR/<zone>.zone file is served as the zone
# <zone>. (answers in zone order, no recursion to anywhere).
#
# usage: unbound.sh DIR PORT ADDRESS[@PORT] [ADDRESS[@PORT]...]
#        (loopback addresses only: 127.x.x.x or ::1; an address without a port
#        of its own takes PORT)
set -euo pipefail
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
  done
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
