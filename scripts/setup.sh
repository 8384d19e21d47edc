#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent and quiet when all is present.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  nlohmann-json3-dev libutf8proc-dev libssl-dev libsqlite3-dev
  qt6-base-dev qtkeychain-qt6-dev libqrencode-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-cryptography jq sqlite3 hyperfine
  dbus dbus-x11 gnome-keyring libsecret-tools
  iproute2 util-linux
  nodejs npm
  # local link: DNS-SD (a private daemon in tests), independent TLS and HTTP clients
  libavahi-client-dev avahi-daemon avahi-utils openssl curl
  # relay server: HTTP server library, shared store
  libcpp-httplib-dev libmicrohttpd-dev libhiredis-dev redis-server
  # relay benchmark baseline: a static file served by nginx
  nginx-light
  # Codex approval observer: WebSocket over a Unix socket
  libboost-dev python3-websockets
  # window: icons, a real X server, accessibility bus, QR decoding, screenshots
  qt6-svg-dev xvfb at-spi2-core python3-pyatspi zbar-tools x11-apps x11-utils xdotool imagemagick libnotify-bin
  python3-dbus python3-gi adwaita-icon-theme fonts-dejavu-core desktop-file-utils
  # fuzz preset (scripts/fuzz.sh): clang 16 with libFuzzer; clang 14 cannot compile <expected>
  clang-16 libclang-rt-16-dev
  # interactive agents under a terminal multiplexer in tests
  tmux
  # Debian packages: build (CPack with dpkg-shlibdeps), icons, and the checks a distribution runs
  dpkg-dev librsvg2-bin file man-db lintian desktop-file-utils appstream
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# nodejs/npm may come from elsewhere on a developer machine; only require the commands.
filtered=()
for p in "${missing[@]}"; do
  case "$p" in
    nodejs) command -v node >/dev/null 2>&1 || filtered+=("$p") ;;
    npm) command -v npm >/dev/null 2>&1 || filtered+=("$p") ;;
    *) filtered+=("$p") ;;
  esac
done
if [ ${#filtered[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${filtered[@]}" >/dev/null
fi

# The real agents that the end-to-end tests run (from the npm registry).
bash "$(dirname "$0")/install-agents.sh"
