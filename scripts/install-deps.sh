#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Varnell need,
# when any is missing. Non-interactive; runs apt-get only when something lacks.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev libsqlite3-dev
  libgtest-dev libgmock-dev ccache
  # mail over TLS, metrics endpoint, command line, history graph, desktop notifications
  libssl-dev openssl libmicrohttpd-dev nlohmann-json3-dev qt6-charts-dev dbus-daemon
  # the metrics endpoint's web configuration (YAML, bcrypt through crypt(3))
  libyaml-cpp-dev libcrypt-dev
  # sound layer
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-libav
  # DNS over HTTPS (libcurl with HTTP/2)
  libcurl4-openssl-dev
  # fuzzing
  clang libclang-rt-14-dev
  # real peers the tests start on loopback
  unbound dnsutils dnsperf prometheus prometheus-alertmanager python3-aiosmtpd rsyslog samba smbclient pulseaudio pulseaudio-utils sox
  # expected answers (regular expressions)
  libre2-dev
  # signed zones and the servers of the answer interoperability rows
  bind9-utils
  bind9
  knot
  nsd
  dnsmasq
  # desktop runs and screenshots
  xvfb xauth imagemagick xdg-utils xdotool x11-utils openbox
  # packaging checks
  appstream desktop-file-utils dpkg-dev systemd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# Package scripts must not start system services (the tests start their own peers).
if [ ! -e /usr/sbin/policy-rc.d ] && [ "$(id -u)" -eq 0 ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod +x /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
