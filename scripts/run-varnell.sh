#!/usr/bin/env bash
# Starts Varnell, or says how to when there is no display to show it on.
program=${1:-build/varnell}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat <<MSG
There is no display here, so Varnell's window has nowhere to show.
Run it from a desktop session:        $program
or monitor without a window:          $(dirname "$program")/varnell-monitor
and look at it with:                  $(dirname "$program")/varnellctl status
(stop it with Ctrl+C or SIGTERM; it saves its settings on the way out)
MSG
  exit 0
fi
exec "$program"
