#!/usr/bin/env bash
# Runs bind9's named in the foreground as a local authoritative server with DNS
# over TLS and over HTTPS (its "tls" and "http" statements), for the transport
# tests and the interoperability matrix. Every DIR/<zone>.zone file is served
# as the zone <zone>.
#
# usage: named.sh DIR PORT TLS_PORT HTTPS_PORT CERT KEY
#        (on 127.0.0.1 only; HTTPS serves the path /dns-query)
set -euo pipefail
dir=$1
port=$2
tls_port=$3
https_port=$4
cert=$5
key=$6
conf="$dir/named.conf"
{
  cat <<CONF
tls local-tls {
  cert-file "$cert";
  key-file "$key";
};
http local-http {
  endpoints { "/dns-query"; };
};
options {
  directory "$dir";
  pid-file none;
  session-keyfile none;
  listen-on port $port { 127.0.0.1; };
  listen-on port $tls_port tls local-tls { 127.0.0.1; };
  listen-on port $https_port tls local-tls http local-http { 127.0.0.1; };
  listen-on-v6 { none; };
  recursion no;
  notify no;
  dnssec-validation no;
};
controls { };
CONF
  for zone in "$dir"/*.zone; do
    name=$(basename "$zone" .zone)
    printf 'zone "%s" { type primary; file "%s"; };\n' "$name" "$zone"
  done
} > "$conf"
exec named -g -n 1 -c "$conf"
