#!/usr/bin/env bash
# Runs the probe benchmark matrix: one server and 16 loopback addresses, with the
# probe socket's receive buffer held to 212992 (what an unprivileged program gets
# with the common default net.core.rmem_max) and as the engine opens it.
#   usage: bench/bench_probe.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$1
seconds=${2:-60}
for servers in 1 16; do
  for rcvbuf in 212992 0; do
    echo "== servers $servers, rcvbuf ${rcvbuf/#0/as opened}"
    "$build/bench/bench_probe" --seconds "$seconds" --servers "$servers" --rcvbuf "$rcvbuf"
  done
done
