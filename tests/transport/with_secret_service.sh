#!/bin/sh
# Runs a command in a private D-Bus session, in a throwaway HOME so no real keyring is touched.
#   with_secret_service.sh keyring CMD...  with an unlocked GNOME Keyring (Secret Service)
#   with_secret_service.sh bus CMD...      with the bus only (tests bring their own service)
set -eu
mode=$1
shift
home=$(mktemp -d)
# The keyring daemon leaves when the bus does, possibly a moment after us.
cleanup() {
  for _ in 1 2 3 4 5 6 7 8 9 10; do rm -rf "$home" 2>/dev/null && return 0; sleep 0.5; done
  rm -rf "$home"
}
trap cleanup EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
if [ "$mode" = keyring ]; then
  dbus-run-session -- sh -c 'printf pw | gnome-keyring-daemon --unlock --components=secrets >/dev/null && exec "$@"' sh "$@"
else
  dbus-run-session -- "$@"
fi
