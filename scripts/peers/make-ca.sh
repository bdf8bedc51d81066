#!/usr/bin/env bash
# Makes a CA of its own and a server certificate it signs, for the DNS over TLS
# and HTTPS peers of the benchmarks and the interoperability matrix (the tests
# make theirs with the OpenSSL API, tests/support/pki.*). EC P-256, valid for
# two days.
#
# usage: make-ca.sh DIR [NAME]
#        writes DIR/ca.pem, DIR/server.pem and DIR/server.key; the server
#        certificate names NAME (default dns.varnell.test) and 127.0.0.1.
set -euo pipefail
dir=$1
name=${2:-dns.varnell.test}
cd "$dir"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Varnell test CA" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr \
  -subj "/CN=$name" 2>/dev/null
printf 'subjectAltName=DNS:%s,IP:127.0.0.1\n' "$name" > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
  -extfile server.ext 2>/dev/null
rm -f server.csr server.ext ca.srl
