#!/usr/bin/env bash
# Runs rsyslogd in the foreground as a test peer: it listens for UDP syslog on
# ADDR:PORT (loopback only) and writes each received message as one line
#   PRI|FACILITY|SEVERITY|RAWMSG
# to DIR/messages.log. Everything it needs (config, pid file, work folder) is
# kept in DIR. Stop it with SIGTERM.
#
# usage: rsyslog.sh DIR PORT [ADDR]
set -euo pipefail

dir=$1
port=$2
addr=${3:-127.0.0.1}

case "$addr" in
  127.*) ;;
  *) echo "rsyslog.sh: only loopback addresses are allowed" >&2; exit 2 ;;
esac

rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
mkdir -p "$dir/work"
cat > "$dir/rsyslog.conf" <<CONF
global(workDirectory="$dir/work")
module(load="imudp")
template(name="peer" type="string" string="%pri%|%syslogfacility-text%|%syslogseverity-text%|%rawmsg%\n")
input(type="imudp" address="$addr" port="$port")
*.* action(type="omfile" file="$dir/messages.log" template="peer")
CONF

exec "$rsyslogd" -n -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid"
