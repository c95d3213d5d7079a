#!/bin/sh
# Runs a command against a private sound server that nothing else uses: its own XDG_RUNTIME_DIR
# and HOME in a scratch folder, so neither the user's server nor their stored stream preferences
# are ever touched. The server is stopped and the folder removed afterwards.
#   sound_with_server.sh pulseaudio|pipewire <command> [args...]
# For tests of a server that goes away and comes back, $OMBRIX_TEST_STOP_SERVER stops the server
# and $OMBRIX_TEST_RESTART_SERVER starts it again, devices and all; $OMBRIX_TEST_EMPTY_SERVER <dir>
# runs a second server without any device.
# Devices: null sinks "headphones" (the default output, "Cuffie"), "speakers" ("Altoparlanti")
# and "microphone" (stereo, "Microfono di prova"), whose monitor is the default input. Each null
# sink gets a low-latency recorder on its monitor: a null sink with no low-latency client renders
# up to 2 s ahead, which would make every measurement late.
set -eu

kind=$1
shift

start_server() {
case "$kind" in
    pulseaudio)
      # Runs as root with a harmless warning. stream-restore is loaded so that a stored preference
      # left by a move would show.
      pulseaudio --daemonize=yes --exit-idle-time=-1 -n --log-target="file:$scratch/server.log" \
        --load=module-native-protocol-unix --load=module-stream-restore \
        --load=module-default-device-restore >/dev/null 2>&1
      ;;
    pipewire)
      pipewire >>"$scratch/pipewire.log" 2>&1 &
      track $!
      wireplumber >>"$scratch/wireplumber.log" 2>&1 &
      track $!
      pipewire-pulse >>"$scratch/pipewire-pulse.log" 2>&1 &
      track $!
      ;;
    *)
      echo "sound_with_server: unknown server $kind" >&2
      exit 2
      ;;
  esac
  
  tries=0
  until pactl info >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ "$tries" -gt 600 ]; then
      echo "sound_with_server: $kind did not start" >&2
      cat "$scratch"/*.log >&2 2>/dev/null || true
      exit 1
    fi
    sleep 0.1
  done
  
  null_sink() {
    pactl load-module module-null-sink sink_name="$1" rate=48000 channels=2 \
      "sink_properties=\"device.description='$2'\"" >/dev/null
  }
  null_sink headphones Cuffie
  null_sink speakers Altoparlanti
  null_sink microphone "Microfono di prova"
  # Wait until the sinks are there (pipewire-pulse creates them asynchronously).
  tries=0
  until [ "$(pactl list short sinks | grep -c -E '\b(headphones|speakers|microphone)\b')" -ge 3 ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 600 ]; then echo "sound_with_server: null sinks missing" >&2; exit 1; fi
    sleep 0.1
  done
  # pipewire-pulse may answer "Not supported" until the sinks' monitors and the session manager's
  # defaults exist: retry. Every wait here allows a minute, which a loaded machine can need.
  tries=0
  until pactl set-default-sink headphones 2>/dev/null && pactl set-default-source microphone.monitor 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 600 ]; then echo "sound_with_server: cannot set the defaults" >&2; exit 1; fi
    sleep 0.1
  done
  for s in headphones speakers microphone; do
    parec --device="$s.monitor" --latency-msec=10 --property=application.name=keeper \
      --property=application.id=ombrix-test-keeper >/dev/null 2>&1 &
    track $!
  done
}

# The processes this harness started (the server's own, when it is not a daemon, and the keepers),
# one pid a line, so that the stop and restart modes below and the final cleanup find them all.
track() { echo "$1" >>"$pids_file"; }
# True while process $1 runs (a zombie that nobody has reaped yet counts as gone).
running() { [ -r "/proc/$1/stat" ] && [ "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)" != Z ]; }

# Stops the server and everything tracked, and waits until they are gone.
stop_server() {
  if [ "$kind" = pulseaudio ]; then pactl exit >/dev/null 2>&1 || true; fi
  for p in $(cat "$pids_file" 2>/dev/null); do kill "$p" 2>/dev/null || true; done
  tries=0
  while [ "$tries" -lt 100 ]; do
    alive=
    for p in $(cat "$pids_file" 2>/dev/null); do running "$p" && alive=1; done
    # A pulseaudio that daemonized is not tracked: its pid file says whether it still runs.
    if [ -f "$XDG_RUNTIME_DIR/pulse/pid" ] && running "$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null)"; then
      alive=1
    fi
    [ -n "$alive" ] || break
    tries=$((tries + 1)); sleep 0.1
  done
  : >"$pids_file"
}

# Stop and restart modes, run by a test inside the environment the launcher made; and a second
# server with no devices at all (a machine without any output), in the foreground, whose socket
# is <dir>/pulse/native.
case "$kind" in
  empty-pulseaudio|empty-pipewire)
    export XDG_RUNTIME_DIR=$1
    mkdir -p "$1"
    chmod 700 "$1"
    if [ "$kind" = empty-pulseaudio ]; then
      exec pulseaudio --daemonize=no --exit-idle-time=-1 -n --load=module-native-protocol-unix >"$1/server.log" 2>&1
    fi
    pipewire >"$1/pipewire.log" 2>&1 &
    pipewire-pulse >"$1/pipewire-pulse.log" 2>&1 &
    wait
    exit 0
    ;;
  stop-pulseaudio|stop-pipewire|restart-pulseaudio|restart-pipewire)
    mode=${kind%%-*}
    kind=${kind#*-}
    scratch=$OMBRIX_TEST_SCRATCH
    pids_file=$scratch/server.pids
    if [ "$mode" = stop ]; then stop_server; else start_server; fi
    exit 0
    ;;
esac

if [ "$kind" = pipewire ] && [ "${OMBRIX_PRIVATE_SESSION_BUS:-}" != 1 ]; then
  export OMBRIX_PRIVATE_SESSION_BUS=1
  exec dbus-run-session -- "$0" "$kind" "$@"
fi

unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PULSE_LATENCY_MSEC PIPEWIRE_REMOTE
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-sound.XXXXXX")
pids_file=$scratch/server.pids
: >"$pids_file"
cleanup() {
  stop_server
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_STATE_HOME="$scratch/state" \
  XDG_DATA_HOME="$scratch/data" XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export OMBRIX_TEST_SOUND_SERVER="$kind" OMBRIX_TEST_SCRATCH="$scratch"


start_server
export OMBRIX_TEST_STOP_SERVER="$0 stop-$kind" OMBRIX_TEST_RESTART_SERVER="$0 restart-$kind" \
  OMBRIX_TEST_EMPTY_SERVER="$0 empty-$kind"

status=0
"$@" || status=$?
exit "$status"
