#!/usr/bin/env bash
# Signs a zone for the DNSSEC tests with dnssec-signzone (bind9-utils): keys are
# made once per folder (ECDSA P-256, a KSK and a ZSK), the signatures expire
# SECONDS from now. Writes DIR/ZONE.zone (the signed zone, what unbound.sh
# serves) and DIR/ZONE.anchor (the KSK's DNSKEY, a trust anchor file).
# With a NAME, the signature over that name's A records is damaged.
#
# usage: sign-zone.sh DIR ZONE UNSIGNED-FILE SECONDS [NAME]
set -euo pipefail
dir=$1
zone=$2
unsigned=$3
seconds=$4
broken=${5:-}
keys="$dir/keys"
mkdir -p "$keys"
cd "$keys"
if [ ! -e ksk.name ]; then
  dnssec-keygen -q -a ECDSAP256SHA256 -f KSK "$zone" > ksk.name
  dnssec-keygen -q -a ECDSAP256SHA256 "$zone" > zsk.name
fi
ksk=$(cat ksk.name)
zsk=$(cat zsk.name)
cat "$unsigned" "$ksk.key" "$zsk.key" > work.zone
dnssec-signzone -q -O full -e "+$seconds" -o "$zone" -f work.signed work.zone "$ksk" "$zsk" > /dev/null
if [ -n "$broken" ]; then
  # The last characters of the signature field: a different byte, still base64.
  awk -v name="$broken" 'BEGIN { done = 0 }
       !done && $1 == name && $4 == "RRSIG" && $5 == "A" {
         n = length($NF); c = substr($NF, n - 3, 1)
         r = (c == "A") ? "B" : "A"
         $NF = substr($NF, 1, n - 4) r substr($NF, n - 2); done = 1 }
       { print }' work.signed > work.broken
  mv work.broken work.signed
fi
mv work.signed "$dir/$zone.zone"
grep -v '^;' "$ksk.key" > "$dir/$zone.anchor"
