#!/bin/sh
# Runs a command beside a private system D-Bus and Avahi daemon, in network and mount namespaces
# of its own: nothing reaches or answers on the real network, and the daemons' sockets under
# /run are a throwaway folder mounted over /run inside the namespace only.
#   with_avahi.sh CMD...
set -eu
if [ "${VIGILORB_IN_AVAHI_NS:-}" != 1 ]; then
  export VIGILORB_IN_AVAHI_NS=1
  # A PID namespace too: every daemon started here ends with this script.
  exec unshare --net --mount --pid --fork --mount-proc -- "$0" "$@"
fi
mount --make-rprivate /
run=$(mktemp -d)
home=$(mktemp -d)
mount --bind "$run" /run
mkdir -p /run/dbus /run/avahi-daemon
chmod 755 /run/dbus /run/avahi-daemon
ip link set lo up
ip link set lo multicast on
conf="$home/avahi-daemon.conf"
cat > "$conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
dbus_pid=$(dbus-daemon --system --fork --nopidfile --print-pid)
avahi-daemon --daemonize --no-drop-root --no-chroot --no-rlimits --file="$conf"
# The daemon answers on the bus once it has probed its host name.
i=0
until avahi-browse -at -p >/dev/null 2>&1; do
  i=$((i + 1))
  [ "$i" -lt 100 ] || { echo "avahi-daemon did not start" >&2; exit 1; }
  sleep 0.1
done
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config"
status=0
"$@" || status=$?
avahi-daemon --kill 2>/dev/null || true
kill "$dbus_pid" 2>/dev/null || true
umount /run
rm -rf "$run" "$home"
exit "$status"
