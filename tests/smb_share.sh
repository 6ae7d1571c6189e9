#!/usr/bin/env bash
# A real SMB file server on this machine for the tests and the benchmark: Samba's smbd serving one
# share from a folder of ours, reached through smbnetfs, a FUSE client of libsmbclient, as a Linux
# desktop reaches a NAS. The server lives in a network namespace of its own, so that it listens on
# the standard port 445 (the client has no other) without meeting any other server of the machine;
# only the client's network is that namespace, and its mount is the machine's.
#
# usage: smb_share.sh start STATE [--server-port N]   (root)
#        smb_share.sh mount STATE                     mounts a fresh client (after unmount)
#        smb_share.sh unmount STATE
#        smb_share.sh stop STATE                      whatever state it is in; never fails
#
# STATE is a folder of the caller's, created by start. After start:
#   STATE/share           the folder the share serves (write trees here, or through the mount)
#   STATE/mnt             the client's mount point; the share is STATE/mnt/localhost/share
#   STATE/env             NETNS, SHARE, MOUNT and SERVER_PORT as shell assignments
# --server-port makes smbd listen on another port of the namespace, for a proxy of the caller's
# that listens on 445 there and forwards to it (the benchmark's delaying, counting proxy).
set -euo pipefail

die() {
  echo "smb_share: $*" >&2
  exit 1
}

command_name=${1:-}
state=${2:-}
[ -n "$command_name" ] && [ -n "$state" ] || die "usage: smb_share.sh start|mount|unmount|stop STATE"
shift 2

# Waits up to `seconds` for `check` to succeed; fails naming what it waited for.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    if [ $SECONDS -ge $deadline ]; then
      die "gave up after ${seconds} s waiting for $what"
    fi
    sleep 0.2
  done
}

load_env() {
  [ -f "$state/env" ] || die "$state holds no started server"
  # shellcheck disable=SC1091
  . "$state/env"
}

mount_client() {
  load_env
  mkdir -p "$state/mnt"
  # smbnetfs refuses a configuration that others may read; libsmbclient reads HOME/.smb/smb.conf.
  HOME="$state/client" nsenter --net="/run/netns/$NETNS" \
    smbnetfs "$state/mnt" -o "config=$state/client/.smb/smbnetfs.conf" \
    >>"$state/log/smbnetfs.out" 2>&1 || die "smbnetfs did not start (see $state/log/smbnetfs.out)"
  wait_for 30 "the share to answer through $MOUNT" ls "$MOUNT"
  pgrep -n -f "smbnetfs $state/mnt" >"$state/smbnetfs.pid" || true
}

unmount_client() {
  [ -d "$state/mnt" ] || return 0
  if mountpoint -q "$state/mnt"; then
    fusermount -u "$state/mnt" 2>/dev/null || fusermount -uz "$state/mnt" 2>/dev/null || umount -l "$state/mnt" 2>/dev/null || true
  fi
  if [ -f "$state/smbnetfs.pid" ]; then
    local pid
    pid=$(cat "$state/smbnetfs.pid")
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -f "$state/smbnetfs.pid"
  fi
  # The client forks one process per server connection; none may outlive its mount.
  pkill -f "smbnetfs $state/mnt" 2>/dev/null || true
}

start() {
  local server_port=445
  while [ $# -gt 0 ]; do
    case $1 in
      --server-port) server_port=$2; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  [ "$(id -u)" -eq 0 ] || die "the server and its network namespace need root"
  for tool in smbd smbnetfs ip nsenter fusermount; do
    command -v "$tool" >/dev/null || die "$tool is missing: run scripts/setup-deps.sh samba smbnetfs fuse3 iproute2"
  done
  mkdir -p "$state"
  state=$(cd "$state" && pwd)
  [ ! -e "$state/env" ] || die "$state holds a server already: stop it first"
  mkdir -p "$state"/{share,private,lock,state,cache,pid,ncalrpc,log,client/.smb}
  chmod 777 "$state/share"
  local netns="pairwick-smb-$$-$RANDOM"
  cat >"$state/env" <<EOF
NETNS=$netns
SHARE=$state/share
MOUNT=$state/mnt/localhost/share
SERVER_PORT=$server_port
EOF
  ip netns add "$netns"
  ip -n "$netns" link set lo up

  cat >"$state/smb.conf" <<EOF
[global]
  netbios name = PAIRWICKTEST
  workgroup = WORKGROUP
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $server_port
  disable netbios = yes
  private dir = $state/private
  lock directory = $state/lock
  state directory = $state/state
  cache directory = $state/cache
  pid directory = $state/pid
  ncalrpc dir = $state/ncalrpc
  log file = $state/log/smbd.log
  max log size = 0
  map to guest = Bad User
  guest account = root
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  server min protocol = SMB2_10
  unix charset = UTF-8
[share]
  path = $state/share
  read only = no
  guest ok = yes
  force user = root
EOF
  # smbd leads a process group of its own (setsid), so that stop ends every process it forked.
  ip netns exec "$netns" setsid smbd --foreground --no-process-group --debug-stdout \
    -s "$state/smb.conf" >"$state/log/smbd.out" 2>&1 </dev/null &
  echo $! >"$state/smbd.pid"
  wait_for 30 "smbd to listen on port $server_port" \
    bash -c "ip netns exec '$netns' ss -ltnH 'sport = :$server_port' | grep -q LISTEN"

  cat >"$state/client/.smb/smb.conf" <<EOF
[global]
  client min protocol = SMB2_10
  disable netbios = yes
  name resolve order = host
EOF
  cat >"$state/client/.smb/smbnetfs.conf" <<EOF
auth "guest" ""
smb_query_browsers "false"
show_hidden_hosts "true"
host localhost visible=true
neg_cache "off"
EOF
  # The negative cache is off: after one failed request it would answer every name with an error
  # for three seconds, and a test must see each request's own answer. (The client hangs at its
  # start when this is given as a mount option, or as "false".)
  chmod 700 "$state/client/.smb"
  chmod 600 "$state/client/.smb/"*
  if [ "$server_port" = 445 ]; then
    mount_client
  fi
}

stop() {
  [ -d "$state" ] || return 0
  unmount_client
  if [ -f "$state/smbd.pid" ]; then
    local pid
    pid=$(cat "$state/smbd.pid")
    # The whole group: smbd forks a process per client and helpers of its own.
    kill -TERM -- "-$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 -- "-$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
    rm -f "$state/smbd.pid"
  fi
  if [ -f "$state/env" ]; then
    local netns
    netns=$(sed -n 's/^NETNS=//p' "$state/env")
    [ -n "$netns" ] && ip netns del "$netns" 2>/dev/null || true
    rm -f "$state/env"
  fi
}

case $command_name in
  start) start "$@" ;;
  mount) mount_client ;;
  unmount) unmount_client ;;
  stop) stop || true ;;
  *) die "unknown command $command_name" ;;
esac
