#!/bin/sh
# Runs a command against a private Secret Service: a D-Bus session bus of its own
# (dbus-run-session) and an unlocked GNOME Keyring whose files live in a scratch folder. Needs no
# display and works as root. The keyring is stopped and its files removed afterwards; the bus
# ends with dbus-run-session.
#   with-secret-service.sh <command> [args...]
set -eu

if [ "${OMBRIX_PRIVATE_SESSION_BUS:-}" != 1 ]; then
  export OMBRIX_PRIVATE_SESSION_BUS=1
  exec dbus-run-session -- "$0" "$@"
fi

# Nothing may reach a desktop session or start a GUI prompt.
unset DISPLAY WAYLAND_DISPLAY
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-keyring.XXXXXX")
keyring=
cleanup() {
  if [ -n "$keyring" ]; then
    kill "$keyring" 2>/dev/null || true
    wait "$keyring" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
  XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# An empty password would make the daemon wait for a prompt; any other creates and unlocks the
# login keyring.
printf 'ombrix-test-password' >"$scratch/password"
gnome-keyring-daemon --foreground --unlock --components=secrets <"$scratch/password" \
  >"$scratch/keyring.log" 2>&1 &
keyring=$!

# Wait until the daemon owns the Secret Service name, so that no call starts a second one
# through D-Bus activation.
tries=0
until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
  org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ] || ! kill -0 "$keyring" 2>/dev/null; then
    echo "with-secret-service: gnome-keyring-daemon did not start" >&2
    cat "$scratch/keyring.log" >&2
    exit 1
  fi
  sleep 0.1
done

# Tests stop and continue the daemon to play a service that hangs.
export OMBRIX_TEST_KEYRING_PID="$keyring"
status=0
"$@" || status=$?
exit "$status"
