#!/usr/bin/env bash
# Builds Ombrix (release) and runs it. On a desktop this starts the application, `ombrix`. On a
# machine without a display it says so and runs the headless translator's demo instead: a short
# English sentence made with espeak-ng, translated by the mock provider. Arguments go to the
# headless translator, ombrix-translate, as they are (see `scripts/run.sh --help`).
set -euo pipefail
caller=$PWD
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
cmake --preset release >/dev/null

build=$root/build/release
if [ $# -gt 0 ]; then
  cmake --build --preset release -j "$(nproc)" --target ombrix-translate >/dev/null
  cd "$caller"  # file names on the command line are the caller's
  exec "$build/src/tools/ombrix-translate" "$@"
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  cmake --build --preset release -j "$(nproc)" --target ombrix ombrix-sound-guard >/dev/null
  exec "$build/src/app/ombrix"
fi

echo "Nessuno schermo qui (DISPLAY e WAYLAND_DISPLAY vuoti): al posto della finestra, la demo di ombrix-translate."
cmake --build --preset release -j "$(nproc)" --target ombrix-translate >/dev/null
demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
espeak-ng -w "$demo/frase.wav" "Good morning. This sentence comes back from the mock provider after two seconds."
"$build/src/tools/ombrix-translate" --provider mock --out "$demo/frase.tradotto.wav" "$demo/frase.wav"
mkdir -p build
cp "$demo/frase.wav" "$demo/frase.tradotto.wav" build/
echo "Ingresso e traduzione copiati in build/frase.wav e build/frase.tradotto.wav"
