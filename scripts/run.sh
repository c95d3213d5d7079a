#!/usr/bin/env bash
# Builds Ombrix (release) and runs it. Until the desktop application lands this runs the headless
# translator, ombrix-translate: with no arguments it makes a short English sentence with espeak-ng
# and translates it with the mock provider; any arguments go to ombrix-translate as they are
# (see `scripts/run.sh --help`).
set -euo pipefail
caller=$PWD
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target ombrix-translate >/dev/null

tool=$root/build/release/src/tools/ombrix-translate
if [ $# -gt 0 ]; then
  cd "$caller"  # file names on the command line are the caller's
  exec "$tool" "$@"
fi

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
espeak-ng -w "$demo/frase.wav" "Good morning. This sentence comes back from the mock provider after two seconds."
"$tool" --provider mock --out "$demo/frase.tradotto.wav" "$demo/frase.wav"
mkdir -p build
cp "$demo/frase.wav" "$demo/frase.tradotto.wav" build/
echo "Ingresso e traduzione copiati in build/frase.wav e build/frase.tradotto.wav"
