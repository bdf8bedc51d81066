#!/usr/bin/env bash
# Runs smbd in the foreground as a network message receiver on 127.0.0.1:PORT.
# Each message it accepts is appended to DIR/msgs/msgs.txt as a line "from=NAME"
# followed by the text. With "refuse" as the third argument no message command
# is configured, so the server answers every message with an error status.
# Everything it needs (config, lock, state and pid folders) is kept in DIR.
# Stop it with SIGTERM.
#
# usage: smbd.sh DIR PORT [refuse]
set -euo pipefail

dir=$(realpath -m "$1")
port=$2
mode=${3:-accept}

mkdir -p "$dir"/{lock,state,cache,pid,private,ncalrpc,msgs}
# smbd runs the message command as the guest user, who must reach the folder.
chmod 0755 "$dir"
chmod 0777 "$dir/msgs"
{
  echo "[global]"
  echo "  smb ports = $port"
  echo "  interfaces = 127.0.0.1/8"
  echo "  bind interfaces only = yes"
  echo "  disable netbios = yes"
  echo "  server min protocol = NT1"
  echo "  lock directory = $dir/lock"
  echo "  state directory = $dir/state"
  echo "  cache directory = $dir/cache"
  echo "  pid directory = $dir/pid"
  echo "  private dir = $dir/private"
  echo "  ncalrpc dir = $dir/ncalrpc"
  if [ "$mode" != "refuse" ]; then
    echo "  message command = /bin/sh -c '{ echo \"from=%f\"; /bin/cat %s; echo; } >> $dir/msgs/msgs.txt; /bin/rm -f %s' &"
  fi
} > "$dir/smb.conf"

exec smbd --foreground --no-process-group --debug-stdout -s "$dir/smb.conf"
