#!/usr/bin/env bash
# Builds the Debian package and checks that it installs and starts on a clean Debian 12: a
# minimal bookworm tree made by debootstrap (kept in $ROOT between runs), the package installed
# there with apt and no recommended packages, then `ombrix` started under Xvfb against a
# PulseAudio of its own. Prints the sinks and sources it created and writes a screenshot.
# Needs root and the network; takes several minutes the first time.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=${ROOT:-$PWD/build/debian12-root}

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target ombrix ombrix-sound-guard ombrix-translate
(cd build/release && cpack -G DEB >/dev/null)
deb=$(ls -t build/release/ombrix_*_amd64.deb | head -n 1)

command -v debootstrap >/dev/null || apt-get install -y debootstrap
[ -x "$ROOT/bin/bash" ] || debootstrap --variant=minbase bookworm "$ROOT" http://deb.debian.org/debian
cleanup() { umount -R "$ROOT/proc" "$ROOT/dev" "$ROOT/sys" 2>/dev/null || true; }
trap cleanup EXIT
mount -t proc proc "$ROOT/proc"
mount --rbind /dev "$ROOT/dev"
mount --rbind /sys "$ROOT/sys"
cp /etc/resolv.conf "$ROOT/etc/"
cp "$deb" "$ROOT/tmp/ombrix.deb"

chroot "$ROOT" bash -euo pipefail <<'INSIDE'
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends /tmp/ombrix.deb >/dev/null
# What a desktop brings anyway: a display, a sound server, a session bus.
apt-get install -y -qq --no-install-recommends xvfb xauth pulseaudio pulseaudio-utils dbus-x11 imagemagick >/dev/null
export HOME=/root XDG_RUNTIME_DIR=/tmp/check-xdg DISPLAY=:7
rm -rf "$XDG_RUNTIME_DIR" && mkdir -m 700 "$XDG_RUNTIME_DIR"
Xvfb :7 -screen 0 1280x900x24 >/dev/null 2>&1 &
xvfb=$!
pulseaudio --daemonize=yes --exit-idle-time=-1 -n --load=module-native-protocol-unix \
  --load="module-null-sink sink_name=headphones" >/dev/null 2>&1
eval "$(dbus-launch --sh-syntax)"
sleep 2
ombrix >/tmp/ombrix.log 2>&1 &
app=$!
sleep 12
import -window root /tmp/ombrix-check.png
pactl list short sinks
pactl list short sources
kill -TERM "$app"
status=0
wait "$app" || status=$?
pulseaudio -k || true
kill "$xvfb" "$DBUS_SESSION_BUS_PID" || true
cat /tmp/ombrix.log
echo "ombrix exited with $status"
[ "$status" -eq 0 ]
INSIDE
cp "$ROOT/tmp/ombrix-check.png" build/release/
echo "screenshot: build/release/ombrix-check.png"
