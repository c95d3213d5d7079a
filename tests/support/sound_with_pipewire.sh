#!/bin/sh
# Runs a command against a private pipewire: see sound_with_server.sh.
exec "$(dirname "$0")/sound_with_server.sh" pipewire "$@"
