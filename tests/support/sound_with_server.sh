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

# Starts the server with its devices and defaults. A start that fails (a part of the server
# exits or never becomes ready) is stopped and made again from scratch, up to three times, each
# failure printed with the server's logs, so that neither a test nor a whole run has to retry.
start_server() {
  attempt=1
  until start_once; do
    echo "sound_with_server: $kind start $attempt of 3 failed: $failure" >&2
    print_logs
    stop_server
    rm -f "$scratch"/*.log
    if [ "$attempt" -ge 3 ]; then exit 1; fi
    attempt=$((attempt + 1))
  done
}

print_logs() {
  for log in "$scratch"/*.log; do
    [ -s "$log" ] || continue
    echo "---- $(basename "$log")" >&2
    cat "$log" >&2
  done
}

# Waits until the command succeeds, up to a minute (a loaded machine can need that). The server's
# parts started so far ($server_parts, name:pid) are checked on each turn, so that a part that
# exited fails the start at once. On failure, $failure says which step did not happen.
wait_for() {
  step=$1
  shift
  deadline=$(($(date +%s) + 60))
  until "$@" >/dev/null 2>&1; do
    for part in $server_parts; do
      if ! running "${part#*:}"; then
        failure="${part%:*} exited before $step"
        return 1
      fi
    done
    if [ "$(date +%s)" -ge "$deadline" ]; then
      failure="no $step within a minute"
      return 1
    fi
    sleep 0.1
  done
}

# Readiness checks, each bounded so that a server that accepts but never answers cannot hang them.
pipewire_answers() { timeout 20 pw-cli info 0; }
# WirePlumber's "default" metadata: without it pipewire-pulse answers "Not supported" to every
# change of the default devices, for as long as it runs.
session_manager_ready() { timeout 20 pw-metadata -n default | grep -q '^Found "default" metadata'; }
pulse_answers() { timeout 20 pactl info; }
has_devices() { [ "$(timeout 20 pactl list short sinks | grep -c -E '\b(headphones|speakers|microphone)\b')" -ge 3 ]; }
# Sets the defaults and checks that the server reports them: pipewire-pulse answers "Not supported"
# until the sinks' monitors exist, and WirePlumber applies a configured default asynchronously.
defaults_set() {
  timeout 20 pactl set-default-sink headphones && timeout 20 pactl set-default-source microphone.monitor &&
    timeout 20 pactl info >"$scratch/info" && grep -qx 'Default Sink: headphones' "$scratch/info" &&
    grep -qx 'Default Source: microphone.monitor' "$scratch/info"
}
keepers_recording() {
  [ "$(timeout 20 pactl list source-outputs | grep -c 'application.id = "ombrix-test-keeper"')" -ge 3 ]
}

# pipewire-pulse 0.3.65 checks for its folder and then creates it, and exits ("mkdir() .../pulse
# failed: File exists") when a client, such as the readiness check's pactl, created it in between.
make_pulse_dir() { mkdir -p -m 700 "$XDG_RUNTIME_DIR/pulse"; }

# One start. PipeWire's parts start one after the other, each once the previous one answers: a
# WirePlumber or pipewire-pulse that finds no PipeWire socket does not wait for it (WirePlumber
# exits with "Failed to connect to PipeWire"). Returns non-zero with $failure set.
start_once() {
  server_parts=
  case "$kind" in
    pulseaudio)
      # Runs as root with a harmless warning. stream-restore is loaded so that a stored preference
      # left by a move would show.
      if ! pulseaudio --daemonize=yes --exit-idle-time=-1 -n --log-target="file:$scratch/server.log" \
        --load=module-native-protocol-unix --load=module-stream-restore \
        --load=module-default-device-restore >>"$scratch/server-start.log" 2>&1; then
        failure="pulseaudio did not start"
        return 1
      fi
      server_parts=pulseaudio:$(cat "$XDG_RUNTIME_DIR/pulse/pid" 2>/dev/null || true)
      wait_for "pulseaudio answering" pulse_answers || return 1
      ;;
    pipewire)
      pipewire >>"$scratch/pipewire.log" 2>&1 &
      track $!
      server_parts=pipewire:$!
      wait_for "PipeWire answering" pipewire_answers || return 1
      wireplumber >>"$scratch/wireplumber.log" 2>&1 &
      track $!
      server_parts="$server_parts wireplumber:$!"
      wait_for "WirePlumber's default metadata" session_manager_ready || return 1
      make_pulse_dir
      pipewire-pulse >>"$scratch/pipewire-pulse.log" 2>&1 &
      track $!
      server_parts="$server_parts pipewire-pulse:$!"
      wait_for "pipewire-pulse answering" pulse_answers || return 1
      ;;
    *)
      echo "sound_with_server: unknown server $kind" >&2
      exit 2
      ;;
  esac

  for sink in "headphones Cuffie" "speakers Altoparlanti" "microphone Microfono di prova"; do
    name=${sink%% *}
    if ! timeout 20 pactl load-module module-null-sink sink_name="$name" rate=48000 channels=2 \
      "sink_properties=\"device.description='${sink#* }'\"" >/dev/null 2>>"$scratch/pactl.log"; then
      failure="cannot load the null sink $name"
      return 1
    fi
  done
  # pipewire-pulse creates the sinks asynchronously.
  wait_for "null sinks" has_devices || return 1
  wait_for "default devices" defaults_set || return 1
  for s in headphones speakers microphone; do
    parec --device="$s.monitor" --latency-msec=10 --property=application.name=keeper \
      --property=application.id=ombrix-test-keeper >/dev/null 2>>"$scratch/keepers.log" &
    track $!
  done
  wait_for "the monitors' recorders" keepers_recording
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
    server_parts=pipewire:$!
    if ! wait_for "PipeWire answering" pipewire_answers; then
      echo "sound_with_server: empty server: $failure" >&2
      exit 1
    fi
    make_pulse_dir
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
# PulseAudio needs no session bus: without one, nothing a test does (a sign-in saving its session)
# can reach the user's keyring.
if [ "$kind" = pulseaudio ]; then unset DBUS_SESSION_BUS_ADDRESS; fi
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
# Services the private bus starts on demand (a keyring, when a test signs in) take the scratch
# folders too, not the environment the bus was started with.
if [ "${OMBRIX_PRIVATE_SESSION_BUS:-}" = 1 ]; then
  dbus-update-activation-environment HOME XDG_CONFIG_HOME XDG_STATE_HOME XDG_DATA_HOME XDG_CACHE_HOME \
    XDG_RUNTIME_DIR
fi
export OMBRIX_TEST_SOUND_SERVER="$kind" OMBRIX_TEST_SCRATCH="$scratch"


start_server
export OMBRIX_TEST_STOP_SERVER="$0 stop-$kind" OMBRIX_TEST_RESTART_SERVER="$0 restart-$kind" \
  OMBRIX_TEST_EMPTY_SERVER="$0 empty-$kind"

status=0
"$@" || status=$?
exit "$status"
