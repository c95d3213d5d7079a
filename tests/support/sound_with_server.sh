#!/bin/sh
# Runs a command against a private sound server that nothing else uses: its own XDG_RUNTIME_DIR
# and HOME in a scratch folder, so neither the user's server nor their stored stream preferences
# are ever touched. The server is stopped and the folder removed afterwards.
#   sound_with_server.sh pulseaudio|pipewire <command> [args...]
# Under PulseAudio, $OMBRIX_TEST_RESTART_SERVER starts the server again after a test stopped it.
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
      pipewire >"$scratch/pipewire.log" 2>&1 &
      pids="$pids $!"
      wireplumber >"$scratch/wireplumber.log" 2>&1 &
      pids="$pids $!"
      pipewire-pulse >"$scratch/pipewire-pulse.log" 2>&1 &
      pids="$pids $!"
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
    pids="$! $pids"
  done
}

# Restart mode, for tests of a server that goes away and comes back (PulseAudio only): run by a
# test, inside the environment the launcher made.
if [ "$kind" = restart-pulseaudio ]; then
  kind=pulseaudio
  pids=
  scratch=$OMBRIX_TEST_SCRATCH
  start_server
  exit 0
fi

if [ "$kind" = pipewire ] && [ "${OMBRIX_PRIVATE_SESSION_BUS:-}" != 1 ]; then
  export OMBRIX_PRIVATE_SESSION_BUS=1
  exec dbus-run-session -- "$0" "$kind" "$@"
fi

unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PULSE_LATENCY_MSEC PIPEWIRE_REMOTE
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-sound.XXXXXX")
pids=
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  if [ "$kind" = pulseaudio ]; then pactl exit >/dev/null 2>&1 || true; fi
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  # A pulseaudio that daemonized is not our child: wait for its pid file to go.
  tries=0
  while [ -f "$XDG_RUNTIME_DIR/pulse/pid" ] && kill -0 "$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null)" 2>/dev/null \
    && [ "$tries" -lt 50 ]; do
    tries=$((tries + 1)); sleep 0.1
  done
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
export OMBRIX_TEST_RESTART_SERVER="$0 restart-pulseaudio"

status=0
"$@" || status=$?
exit "$status"
