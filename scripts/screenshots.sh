#!/usr/bin/env bash
# Takes screenshots of Varnell watching a local DNS server: unbound serves a small
# zone on loopback, the program starts under Xvfb with a few items on it, and
# ImageMagick's import grabs the screen into docs/screenshots/.
#
# usage: scripts/screenshots.sh [BUILD_DIR]      (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out="$root/docs/screenshots"

if [ "${VARNELL_SHOTS_INSIDE:-}" = 1 ]; then
  # Second half: runs inside the Xvfb display.
  work=$2
  # ImageMagick's own import; a stand-in `convert` earlier on PATH is no help.
  import=/usr/bin/import
  XDG_CONFIG_HOME="$work/config" "$build/varnell" >"$work/varnell.out" 2>&1 &
  pid=$!
  # Results stream in: the silent server's item goes down, the others come up.
  sleep 9
  win=$(xdotool search --sync --name '^Varnell$' | head -1)
  xdotool windowfocus --sync "$win" || true
  # Focus the first row (keyboard: the list is the window's first focus stop).
  eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove --window "$win" 120 112 click 1
  sleep 1
  "$import" -window root "$out/main_window.png"
  # Help > About Varnell...
  xdotool key --window "$win" alt+h
  sleep 0.5
  xdotool key a
  sleep 1
  "$import" -window root "$out/about_box.png"
  xdotool key Escape
  sleep 0.3
  kill -TERM "$pid"
  wait "$pid" || true
  exit 0
fi

for tool in xvfb-run xdotool unbound /usr/bin/import; do
  command -v "$tool" >/dev/null || { echo "screenshots.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
cmake --build "$build" --target varnell varnell_seed_store >/dev/null

work=$(mktemp -d)
unbound_pid=""
cleanup() {
  [ -n "$unbound_pid" ] && kill "$unbound_pid" 2>/dev/null && wait "$unbound_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/dns" "$work/config" "$out"

port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The zone is example. (reserved for documentation): unbound answers the
# reserved test. names itself unless a zone of exactly that name is served.
cat > "$work/dns/example.zone" <<ZONE
\$ORIGIN example.
\$TTL 300
@      IN SOA ns1 hostmaster 2026120801 3600 600 86400 300
@      IN NS  ns1
@      IN NS  ns2
ns1    IN A   127.0.0.41
ns2    IN A   127.0.0.42
www    IN A   127.0.0.10
www    IN A   127.0.0.11
www    IN A   127.0.0.12
app    IN CNAME www
@      IN MX  10 mail
@      IN MX  20 backup-mail
mail   IN A   127.0.0.25
backup-mail IN A 127.0.0.26
ZONE
cat > "$work/dns/2.0.192.in-addr.arpa.zone" <<ZONE
\$ORIGIN 2.0.192.in-addr.arpa.
\$TTL 300
@      IN SOA ns1.example. hostmaster.example. 1 3600 600 86400 300
@      IN NS  ns1.example.
10     IN PTR www.example.
ZONE
"$root/scripts/peers/unbound.sh" "$work/dns" "$port" 127.0.0.1 >"$work/unbound.out" 2>&1 &
unbound_pid=$!
for _ in $(seq 50); do
  dig +short +time=1 +tries=1 -p "$port" @127.0.0.1 www.example A >/dev/null 2>&1 && break
  sleep 0.2
done

# Pop-ups off: the events show in the event list without boxes over the window.
# Nothing answers on 127.0.0.9: that item goes down after one lost probe.
XDG_CONFIG_HOME="$work/config" "$build/tests/e2e/varnell_seed_store" --quiet "$work/varnell.log" \
  "Web site,www.example,A,127.0.0.1:$port,2000" \
  "Web alias,app.example,CNAME,127.0.0.1:$port,2000" \
  "Mail exchangers,example,MX,127.0.0.1:$port,3000" \
  "Name servers,example,NS,127.0.0.1:$port,3000" \
  "Reverse of www,10.2.0.192.in-addr.arpa,PTR,127.0.0.1:$port,3000" \
  "Zone authority,example,SOA,127.0.0.1:$port,4000" \
  "Silent server,www.example,A,127.0.0.9:$port,1000,1"

VARNELL_SHOTS_INSIDE=1 xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$build" "$work"
echo "screenshots in $out"
