#!/usr/bin/env bash
# Installs the Debian packages Ombrix builds, runs and tests with, and the npm packages of the
# test peers. Idempotent: does nothing when everything is present. Runs as root, or via sudo.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  # core
  nlohmann-json3-dev libexpected-dev libre2-dev
  # network
  libboost1.81-dev libssl-dev
  # sound, secrets, UI, audio files
  libpulse-dev libsecret-1-dev qt6-base-dev qt6-svg-dev libsndfile1-dev
  # a font for the offscreen UI tests and their screenshots
  fonts-dejavu-core
  # tests and benchmarks (dbus brings dbus-daemon, with dbus-run-session, and dbus-bin, with
  # dbus-send: the private session buses of the sound and Secret Service tests)
  libgtest-dev libgmock-dev libbenchmark-dev libspeexdsp-dev clang-16 libclang-rt-16-dev
  pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus dbus-x11 gnome-keyring
  espeak-ng sox openssl nodejs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# The machines may carry a Node.js build with its own npm that conflicts with Debian's npm.
if ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "install-deps: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Test peers: pinned by the lockfile.
if [ -f "$here/tests/peers/package.json" ] && [ ! -d "$here/tests/peers/node_modules" ]; then
  (cd "$here/tests/peers" && npm ci --no-audit --no-fund --loglevel=error)
fi
