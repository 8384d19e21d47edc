#!/usr/bin/env bash
# Builds the Debian packages from a configured and built tree, checks them the way a distribution
# would (lintian, desktop-file-validate, appstreamcli), unpacks them into a throw-away root and
# runs what was installed: the status-line mode, the app role for a moment (from the installed
# tree, from a moved copy, while its files are replaced by an upgrade, and without its library),
# vigilorb-peer and vigilorb-relay. Nothing is installed on this machine.
#
#   package_check.sh BUILD_DIR VERSION SOURCE_DIR
#
# Exits 77 (skipped) when the packaging tools are not installed.
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
source=$(cd "$3" && pwd)

for tool in cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate appstreamcli curl; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (scripts/setup.sh installs it)"
    exit 77
  fi
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "cpack"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture)
companion_deb=$work/out/tallyloom-companion_${version}_${arch}.deb
relay_deb=$work/out/tallyloom-relay_${version}_${arch}.deb
[ -f "$companion_deb" ] || { ls "$work/out"; fail "no $(basename "$companion_deb")"; }
has_relay=0
[ -f "$relay_deb" ] && has_relay=1
debs=("$companion_deb")
[ $has_relay = 1 ] && debs+=("$relay_deb")

step "control fields"
for deb in "${debs[@]}"; do
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$(basename "$deb") has version $(dpkg-deb -f "$deb" Version)"
done
companion_depends=$(dpkg-deb -f "$companion_deb" Depends)
# Generated from the linked libraries: Qt for the app library, OpenSSL and Avahi for vigilorb-peer.
for lib in libqt6core6 libqt6widgets6 libssl3 libavahi-client3 libc6; do
  [[ $companion_depends == *"$lib"* ]] || fail "tallyloom-companion does not depend on $lib: $companion_depends"
done
if [ $has_relay = 1 ]; then
  relay_depends=$(dpkg-deb -f "$relay_deb" Depends)
  [[ $relay_depends != *libqt6* ]] || fail "tallyloom-relay pulls in Qt: $relay_depends"
  [[ $relay_depends == *libmicrohttpd* ]] || fail "tallyloom-relay does not depend on libmicrohttpd: $relay_depends"
fi

step "lintian"
# Errors fail; warnings are printed for the reader. The overrides below are justified where they
# are listed.
lintian --fail-on error --tag-display-limit 0 --suppress-tags-from-file "$(dirname "$0")/lintian-suppressed-tags" "${debs[@]}"

step "unpack"
root=$work/root
for deb in "${debs[@]}"; do dpkg -x "$deb" "$root"; done
lib_dir=$(cd "$root" && dirname "$(find usr/lib -name libvigilorb_app.so)")
[ -n "$lib_dir" ] && [ "$lib_dir" != . ] || fail "no libvigilorb_app.so in the package"
[ -x "$root/usr/bin/vigilorb-companion" ] && [ -x "$root/usr/bin/vigilorb-peer" ] || fail "executables missing from usr/bin"
[ ! -e "$root/usr/bin/libvigilorb_app.so" ] || fail "the app library is installed beside the executables as well"

step "desktop entry and metainfo"
desktop=$root/usr/share/applications/com.tarnbrook.VigilorbCompanion.desktop
metainfo=$root/usr/share/metainfo/com.tarnbrook.VigilorbCompanion.metainfo.xml
appstreamcli validate --no-net "$metainfo"
# The desktop entry and icon come with the window; once the tree has them the package must too.
if [ -f "$source/data/com.tarnbrook.VigilorbCompanion.desktop" ]; then
  [ -f "$desktop" ] || fail "the desktop entry is not in the package"
  desktop-file-validate "$desktop"
  exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
  [ -x "$root/usr/bin/$exec_name" ] || fail "the desktop entry starts $exec_name, which is not in usr/bin"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon $icon"
  for size in 16 24 32 48 64 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
    [ -f "$png" ] || fail "no ${size}x${size} icon"
    file "$png" | grep -q "PNG image data, $size x $size" || fail "$png is not a $size x $size PNG: $(file "$png")"
  done
fi
# The newest release in the metainfo and the changelog name the version being packaged.
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"
zcat "$root/usr/share/doc/tallyloom-companion/changelog.gz" | head -1 | grep -qF "($version)" ||
  fail "the changelog does not start with version $version"

step "manual pages"
for page in man1/vigilorb-companion.1 man1/vigilorb-peer.1 $([ $has_relay = 1 ] && echo man8/vigilorb-relay.8); do
  [ -f "$root/usr/share/man/$page.gz" ] || fail "no manual page $page"
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/$page.gz" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "$page: $out"
done

companion=$root/usr/bin/vigilorb-companion
home=$work/home
mkdir -p "$home"
# A bare session: no display, no session bus, no keyring; its own home.
run_env=(env -i "HOME=$home" "PATH=/usr/bin:/bin" "XDG_RUNTIME_DIR=$home/run" "LANG=C.UTF-8" QT_QPA_PLATFORM=offscreen)
mkdir -p -m 0700 "$home/run"

step "versions"
# What the user sees and what the package manager says must agree. Run in the bare session: the
# answer must not need a display or a bus.
for exe in vigilorb-companion vigilorb-peer $([ $has_relay = 1 ] && echo vigilorb-relay); do
  expected="$exe $version"
  [ "$exe" = vigilorb-companion ] && expected="Tallyloom Companion $version"
  got=$(timeout 20 "${run_env[@]}" "$root/usr/bin/$exe" --version) || fail "$exe --version failed"
  [ "$got" = "$expected" ] || fail "$exe --version printed '$got', the package is $version"
done

step "status-line mode"
line=$(echo '{}' | "${run_env[@]}" "$companion" --claude-statusline work)
[ "$line" = "Tallyloom · local only" ] || fail "status line: $line"

# Starts the app role headless from EXE and waits until the library from LIB is mapped.
start_app() {
  local exe=$1 lib=$2
  "${run_env[@]}" "$exe" --headless >"$work/app.log" 2>&1 &
  app_pid=$!
  pids+=("$app_pid")
  for _ in $(seq 200); do
    if grep -qF "$lib" "/proc/$app_pid/maps" 2>/dev/null; then return 0; fi
    kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log"; fail "$exe exited during start-up"; }
    sleep 0.1
  done
  cat "$work/app.log"; fail "$exe did not load $lib"
}
# Stops it with SIGTERM and expects a clean exit.
stop_app() {
  kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log"; fail "the app stopped by itself"; }
  kill -TERM "$app_pid"
  local status=0
  wait "$app_pid" || status=$?
  [ $status = 0 ] || { cat "$work/app.log"; fail "the app ended with status $status on SIGTERM"; }
}

step "app role from the installed tree"
start_app "$companion" "$root/$lib_dir/libvigilorb_app.so"
sleep 2
# An upgrade replaces files by renaming new ones over them; the running app keeps what it
# mapped and the next start uses the new files.
cp "$root/$lib_dir/libvigilorb_app.so" "$work/lib.new" && mv "$work/lib.new" "$root/$lib_dir/libvigilorb_app.so"
cp "$companion" "$work/exe.new" && mv "$work/exe.new" "$companion"
sleep 1
stop_app
start_app "$companion" "$root/$lib_dir/libvigilorb_app.so"
stop_app

step "app role from a moved tree"
moved=$work/elsewhere/opt/tallyloom
mkdir -p "$moved"
cp -a "$root/usr/." "$moved/"
start_app "$moved/bin/vigilorb-companion" "$moved/${lib_dir#usr/}/libvigilorb_app.so"
stop_app

step "app role without its library"
rm "$moved/${lib_dir#usr/}/libvigilorb_app.so"
status=0
"${run_env[@]}" "$moved/bin/vigilorb-companion" --headless >"$work/missing.log" 2>&1 || status=$?
[ $status = 1 ] || { cat "$work/missing.log"; fail "without its library the app ended with status $status"; }
grep -q "cannot find its app library" "$work/missing.log" || fail "unclear message: $(cat "$work/missing.log")"
[ "$(wc -l <"$work/missing.log")" = 1 ] || fail "more than one line: $(cat "$work/missing.log")"

step "vigilorb-peer --help"
help=$("$root/usr/bin/vigilorb-peer" --help) || fail "vigilorb-peer --help failed"
[[ $help == "usage: vigilorb-peer"* ]] || fail "vigilorb-peer --help shows no usage: $help"

if [ $has_relay = 1 ]; then
  step "vigilorb-relay serving a request"
  unit=$root/usr/lib/systemd/system/vigilorb-relay.service
  [ -f "$unit" ] || fail "no systemd unit"
  grep -q "^ExecStart=/usr/bin/vigilorb-relay " "$unit" || fail "the unit does not start /usr/bin/vigilorb-relay: $(grep ExecStart "$unit")"
  mkdir -p "$work/relay"
  "$root/usr/bin/vigilorb-relay" --listen 127.0.0.1:0 --data "$work/relay" >"$work/relay.log" 2>&1 &
  relay_pid=$!
  pids+=("$relay_pid")
  url=
  for _ in $(seq 200); do
    url=$(sed -n 's/^vigilorb-relay listening on //p' "$work/relay.log")
    [ -n "$url" ] && break
    kill -0 "$relay_pid" 2>/dev/null || { cat "$work/relay.log"; fail "vigilorb-relay exited"; }
    sleep 0.1
  done
  [ -n "$url" ] || fail "vigilorb-relay did not start listening"
  channel=$(printf '%064d' 0)
  code=$(curl -s -o /dev/null -w '%{http_code}' -H "Authorization: Bearer $(printf '%064d' 1)" "$url/v1/channels/$channel/sources")
  [ "$code" = 404 ] || fail "vigilorb-relay answered $code for an unknown channel"
  kill -TERM "$relay_pid"
  wait "$relay_pid" || fail "vigilorb-relay did not stop cleanly"
fi
echo "package check passed: $(cd "$work/out" && ls *.deb | tr '\n' ' ')"
