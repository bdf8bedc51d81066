#!/usr/bin/env bash
# Takes screenshots of Varnell watching a local DNS server: unbound serves a small
# zone on loopback, the program starts under Xvfb with a few items on it, and
# ImageMagick's import grabs the screen into docs/screenshots/. Four copies run
# side by side, each on an X server of its own: at scale 1 and 2, in a light and
# in a dark palette. Midway unbound is stopped for a while and started again, so
# the selected item's round-trip history holds an outage in all four.
#
# usage: scripts/screenshots.sh [BUILD_DIR]      (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out="$root/docs/screenshots"

for tool in Xvfb xdotool unbound dig /usr/bin/import /usr/bin/convert; do
  command -v "$tool" >/dev/null || { echo "screenshots.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
cmake --build "$build" --target varnell varnell_seed_store >/dev/null

work=$(mktemp -d)
unbound_pid=""
xvfb_pids=()
varnell_pids=()
stop_unbound() {
  if [ -n "$unbound_pid" ]; then
    kill "$unbound_pid" 2>/dev/null || true
    wait "$unbound_pid" 2>/dev/null || true
    unbound_pid=""
  fi
}
cleanup() {
  local pid
  for pid in "${varnell_pids[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  stop_unbound
  for pid in "${xvfb_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/dns" "$work/config" "$out"

# An address of its own in 127/8, so a test suite running on 127.0.0.1 at the
# same time never meets this server.
dns=127.77.0.1
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.77.0.1", 0)); print(s.getsockname()[1])')
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
start_unbound() {
  "$root/scripts/peers/unbound.sh" "$work/dns" "$port" "$dns" >>"$work/unbound.out" 2>&1 &
  unbound_pid=$!
  for _ in $(seq 50); do
    dig +short +time=1 +tries=1 -p "$port" @"$dns" www.example A >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  echo "screenshots.sh: unbound did not answer" >&2
  exit 1
}
start_unbound

# Pop-ups off: the events show in the event list without boxes over the window.
# Nothing answers on 127.77.0.9: that item goes down after one lost probe.
XDG_CONFIG_HOME="$work/config" "$build/tests/e2e/varnell_seed_store" --quiet "$work/varnell.log" \
  "Web site,www.example,A,$dns:$port,1000" \
  "Web alias,app.example,CNAME,$dns:$port,2000" \
  "Mail exchangers,example,MX,$dns:$port,3000" \
  "Name servers,example,NS,$dns:$port,3000" \
  "Reverse of www,10.2.0.192.in-addr.arpa,PTR,$dns:$port,3000" \
  "Zone authority,example,SOA,$dns:$port,4000" \
  "Silent server,www.example,A,127.77.0.9:$port,1000,1"

# The dark palette comes from the desktop's colour scheme as Qt's own KDE
# platform theme reads it (no plugin needed): kdeglobals in the config home,
# read only when the session says it is that desktop.
cat > "$work/config/kdeglobals" <<INI
[Colors:Window]
BackgroundNormal=45,47,50
ForegroundNormal=228,230,232
ForegroundInactive=150,153,158
[Colors:View]
BackgroundNormal=30,32,34
BackgroundAlternate=38,40,43
ForegroundNormal=228,230,232
ForegroundInactive=150,153,158
[Colors:Button]
BackgroundNormal=55,58,62
ForegroundNormal=228,230,232
[Colors:Selection]
BackgroundNormal=47,128,200
ForegroundNormal=255,255,255
[Colors:Tooltip]
BackgroundNormal=40,42,45
ForegroundNormal=228,230,232
INI

# The runs: scale, palette, picture.
runs=("1 light history_light.png" "2 light history_light_scale2.png"
      "1 dark history_dark.png" "2 dark history_dark_scale2.png")
displays=()
wins=()

# start_run N: a private X server the size of a 1280x800 screen at the run's
# scale, and the program on it with a store, state and runtime folder of its
# own (light: the plain Fusion palette; dark: the colour scheme above).
start_run() {
  local -a r=(${runs[$1]})
  local scale=${r[0]} dir="$work/run$1" fd_file="$work/run$1/display"
  mkdir -p "$dir/state" "$dir/runtime"
  chmod 700 "$dir/runtime"
  cp -r "$work/config" "$dir/config"
  : >"$fd_file"
  Xvfb -displayfd 3 -screen 0 "$((1280 * scale))x$((800 * scale))x24" -nolisten tcp 3>"$fd_file" \
    >"$dir/xvfb.out" 2>&1 &
  xvfb_pids+=($!)
  for _ in $(seq 50); do
    [ -s "$fd_file" ] && break
    sleep 0.1
  done
  displays[$1]=":$(head -1 "$fd_file")"
  local -a env=(env -u QT_QPA_PLATFORMTHEME -u XDG_CURRENT_DESKTOP -u KDE_SESSION_VERSION
                DISPLAY="${displays[$1]}" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state"
                XDG_RUNTIME_DIR="$dir/runtime" QT_SCALE_FACTOR="$scale")
  [ "${r[1]}" = dark ] && env+=(XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5)
  "${env[@]}" "$build/varnell" -style Fusion >"$dir/varnell.out" 2>&1 &
  varnell_pids[$1]=$!
  wins[$1]=$(DISPLAY="${displays[$1]}" xdotool search --sync --name '^Varnell$' | head -1)
}

# x N COMMAND...: runs an X tool against run N's display.
x() {
  local n=$1
  shift
  DISPLAY="${displays[$n]}" "$@"
}

# click N X Y: window coordinates at scale 1.
scale_of() { local -a r=(${runs[$1]}); echo "${r[0]}"; }
click() {
  local s
  s=$(scale_of "$1")
  x "$1" xdotool windowfocus --sync "${wins[$1]}" || true
  x "$1" xdotool mousemove --window "${wins[$1]}" $(($2 * s)) $(($3 * s)) click 1
}

# shoot N FILE: run N's screen into FILE, in 256 colours (a quarter of the
# bytes, no difference a reader sees in flat widgets and text).
shoot() {
  x "$1" /usr/bin/import -window root "$work/shot.png"
  /usr/bin/convert "$work/shot.png" +dither -colors 256 -define png:compression-level=9 -strip "PNG8:$out/$2"
}

for n in "${!runs[@]}"; do start_run "$n"; done
# Results stream in: the silent server's item goes down, the others come up.
sleep 9
# The first row ("Web site") focused: the detail pane shows its reply.
click 0 120 114
sleep 1
shoot 0 main_window.png
# Help > About Varnell...
x 0 xdotool key --window "${wins[0]}" alt+h
sleep 0.5
x 0 xdotool key a
sleep 1
shoot 0 about_box.png
x 0 xdotool key Escape
sleep 0.3
# The first row selected in every run: the detail pane draws its history in
# the window's first layout.
for n in "${!runs[@]}"; do
  click "$n" 120 114
done
# The server stops: every item fails and goes down; then it comes back.
sleep "${SHOTS_UP1:-60}"
stop_unbound
sleep "${SHOTS_DOWN:-40}"
start_unbound
sleep "${SHOTS_UP2:-45}"
for n in "${!runs[@]}"; do
  local_run=(${runs[$n]})
  click "$n" 120 114
  sleep 0.5
  shoot "$n" "${local_run[2]}"
done
echo "screenshots in $out"
