#!/bin/sh
# The real companion window end to end: an X server (Xvfb), a private session bus with the
# accessibility bus, the companion started as a user would, then window_e2e.py drives it through
# AT-SPI like assistive technology does and reads the QR code off a screenshot.
#   window_e2e.sh BIN_DIR ARTIFACT_DIR
set -eu
bin=$1
artifacts=$2
here=$(cd "$(dirname "$0")" && pwd)
home=$(mktemp -d)
cleanup() {
  [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_RUNTIME_DIR" "$artifacts" && chmod 700 "$XDG_RUNTIME_DIR"
# Nothing of the companion's own may come from the caller's environment.
unset WAYLAND_DISPLAY QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS 2>/dev/null || true

# Xvfb picks a free display number and writes it to the descriptor we give it.
exec 3>"$home/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$home/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 1 100); do [ -s "$home/display" ] && break; sleep 0.1; done
exec 3>&-
[ -s "$home/display" ] || { echo "Xvfb did not start"; cat "$home/xvfb.log"; exit 1; }
export DISPLAY=":$(cat "$home/display")"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0 QT_ACCESSIBILITY=1
# An unlocked keyring, as a desktop session has one: the pairing key goes to the Secret Service.
exec dbus-run-session -- sh -c 'printf pw | gnome-keyring-daemon --unlock --components=secrets >/dev/null &&
  exec /usr/bin/python3 "$0" "$@"' "$here/window_e2e.py" "$bin" "$artifacts"
