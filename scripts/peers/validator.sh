#!/usr/bin/env bash
# Runs unbound in the foreground as a validating resolver for one signed zone:
# it asks the authoritative server at 127.0.0.1@UPSTREAM for the zone, checks
# its answers against the trust anchor and sets AD on what validates.
#
# usage: validator.sh DIR PORT ADDRESS ZONE UPSTREAM-PORT ANCHOR-FILE
set -euo pipefail
dir=$1
port=$2
addr=$3
zone=$4
upstream=$5
anchor=$6
case "$addr" in
  127.*) ;;
  *) echo "validator.sh: $addr is not a loopback address" >&2; exit 2 ;;
esac
conf="$dir/validator.conf"
cat > "$conf" <<CONF
server:
  interface: $addr@$port
  port: $port
  username: ""
  chroot: ""
  directory: "$dir"
  pidfile: ""
  module-config: "validator iterator"
  trust-anchor-file: "$anchor"
  do-not-query-localhost: no
  use-syslog: no
  logfile: ""
  verbosity: 0
  num-threads: 1
  do-ip6: no
  access-control: 127.0.0.0/8 allow
  do-daemonize: no
  # Every probe must reach the zone's server: a broken signature is seen at once.
  cache-max-ttl: 0
  cache-max-negative-ttl: 0
  val-bogus-ttl: 0
  local-zone: "$zone." nodefault
stub-zone:
  name: "$zone."
  stub-addr: 127.0.0.1@$upstream
remote-control:
  control-enable: no
CONF
exec unbound -d -c "$conf"
