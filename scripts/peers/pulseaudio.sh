#!/usr/bin/env bash
# Runs a private PulseAudio server in the foreground: a null sink (what is
# played goes nowhere, its monitor can be recorded) and a capture source
# "VarnellCapture" remapped from that monitor. Clients reach it with
#   PULSE_SERVER=unix:DIR/native
# and nothing is ever played on the machine's own sound device. Stop it with
# SIGTERM.
#
# usage: pulseaudio.sh DIR
set -euo pipefail

dir=$(realpath -m "$1")
mkdir -p "$dir"
chmod 0700 "$dir"
cat > "$dir/pa.conf" <<CONF
load-module module-null-sink sink_name=varnell_null rate=44100 channels=1
load-module module-remap-source source_name=varnell_capture master=varnell_null.monitor source_properties=device.description=VarnellCapture
load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1
set-default-sink varnell_null
set-default-source varnell_capture
CONF

export PULSE_RUNTIME_PATH="$dir" XDG_RUNTIME_DIR="$dir" HOME="$dir"
# Shared memory between clients is off: without it recordings of the monitor
# have no holes when several clients play at once.
exec pulseaudio -n -F "$dir/pa.conf" --daemonize=no --system=no --exit-idle-time=-1 \
  --disallow-exit --disable-shm=yes --log-target=stderr
